// What the window and the list show about a device's firmware version, for
// any path: read once from the chip information record.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device/vendor_commands.h"

namespace qks {

struct FirmwareVersionReading {
    bool tavrelRecord = true;   // false: the reply is no Tavrel record
    // major, minor, build (build 0 for the short record); none when unread
    std::optional<std::array<uint8_t, 3>> numbers;
    // "Ver 1.05" or "Ver 1.05.03", or the family's default when unread
    std::optional<std::string> text;
};

FirmwareVersionReading ReadFirmwareVersion(VendorCommandSet& commands, const DevicePath& path,
                                           uint8_t chipType);

// "Ver 1.05" or "Ver 1.05.03" from the chip information record, a default
// by chip type when it cannot be read, nothing for a reply that is no
// Tavrel record.
std::optional<std::string> FirmwareVersionText(VendorCommandSet& commands, const DevicePath& path,
                                               uint8_t chipType);

}  // namespace qks
