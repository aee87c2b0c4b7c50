// Which bridge family, and which revision, answers at a device path.
#pragma once

#include <array>
#include <cstdint>

#include "device/user_messages.h"
#include "device/vendor_commands.h"

namespace qks {

using ChipIdValue = uint16_t;   // low byte ChipType, high byte ChipRevision

inline constexpr uint8_t ChipTypeOf(ChipIdValue id) { return static_cast<uint8_t>(id); }
inline constexpr uint8_t ChipRevisionOf(ChipIdValue id) { return static_cast<uint8_t>(id >> 8); }
inline constexpr ChipIdValue MakeChipId(uint8_t type, uint8_t revision) {
    return static_cast<ChipIdValue>(type | (revision << 8));
}

inline constexpr uint8_t kTargetChipType = 10;
inline constexpr uint8_t kLateRevision = 9;

inline constexpr size_t kNameFieldBytes = 20;   // 19 characters and a NUL
inline constexpr size_t kChipTypeCount = 19;
inline constexpr size_t kFlashVendorNameCount = 9;

extern const std::array<const char*, kChipTypeCount> ChipSeriesNames;
extern const std::array<const char*, kFlashVendorNameCount> FlashVendorNames;

// "Unknown" for codes without a row, so a display never reads past the table.
const char* FlashVendorName(uint8_t code);

inline constexpr const char* kChipInfoFailText = "Get chip information fail !";

ChipIdValue GetChipId(VendorCommandSet& commands, UserMessages& messages,
                      const DevicePath& path);
// The same, handing out the 40-byte INQUIRY reply it asked for (zeros when
// it failed, and then false): the device's name is in it, so a listing
// need not ask again.
ChipIdValue GetChipId(VendorCommandSet& commands, UserMessages& messages,
                      const DevicePath& path, std::array<uint8_t, 40>& inquiry, bool& answered);

}  // namespace qks
