// Texts the window shows about a device, for any path: the selection check
// shows them for the selected device, the command line for every one.
#pragma once

#include <optional>
#include <string>

#include "device/vendor_commands.h"

namespace qks {

// "Ver 1.05" or "Ver 1.05.03" from the chip information record, a default
// by chip type when it cannot be read, nothing for a reply that is no
// Tavrel record.
std::optional<std::string> FirmwareVersionText(VendorCommandSet& commands, const DevicePath& path,
                                               uint8_t chipType);

}  // namespace qks
