#include "app/device_texts.h"

#include <cstdio>

namespace qks {

std::optional<std::string> FirmwareVersionText(VendorCommandSet& commands, const DevicePath& path,
                                               uint8_t chipType) {
    uint8_t info[16] = {};
    uint32_t received = 0;
    if (!commands.ReadChipInfo(path, info, sizeof info, &received)) {
        if (chipType == 0) return "00.00";
        return (chipType == 1 || chipType == 2 || chipType == 4) ? "02.00" : "01.00";
    }
    if (info[0] != 0xF4 || info[1] != 0xE7) return std::nullopt;
    char text[32];
    if (received > 12)
        std::snprintf(text, sizeof text, "Ver %d.%.2d.%.2d", info[12], info[13], info[14]);
    else
        std::snprintf(text, sizeof text, "Ver %d.%.2d", info[6], info[7]);
    return std::string(text);
}

}  // namespace qks
