#include "operations/device_texts.h"

#include <cstdio>

#include "operations/chip_family.h"

namespace qks {

FirmwareVersionReading ReadFirmwareVersion(VendorCommandSet& commands, const DevicePath& path,
                                           uint8_t chipType) {
    FirmwareVersionReading reading;
    uint8_t info[16] = {};
    uint32_t received = 0;
    if (!commands.ReadChipInfo(path, info, sizeof info, &received)) {
        reading.text = std::string(FamilyOf(chipType).versionWhenUnread);
        return reading;
    }
    if (info[0] != 0xF4 || info[1] != 0xE7) {
        reading.tavrelRecord = false;
        return reading;
    }
    char text[32];
    if (received > 12) {
        reading.numbers = std::array<uint8_t, 3>{info[12], info[13], info[14]};
        std::snprintf(text, sizeof text, "Ver %d.%.2d.%.2d", info[12], info[13], info[14]);
    } else {
        reading.numbers = std::array<uint8_t, 3>{info[6], info[7], 0};
        std::snprintf(text, sizeof text, "Ver %d.%.2d", info[6], info[7]);
    }
    reading.text = std::string(text);
    return reading;
}

std::optional<std::string> FirmwareVersionText(VendorCommandSet& commands, const DevicePath& path,
                                               uint8_t chipType) {
    return ReadFirmwareVersion(commands, path, chipType).text;
}

}  // namespace qks
