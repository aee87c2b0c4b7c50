// Does a firmware file carry the tag record of the identified chip?
#pragma once

#include <array>
#include <string>

#include "device/chip_id.h"
#include "device/user_messages.h"

namespace qks {

inline constexpr size_t kChipNumberBytes = 10;
extern const std::array<const char*, kChipTypeCount> ChipNumbers;

inline constexpr const char* kOpenFirmwareFileErrorText = "Open Firmware File Error!!";

// 1 when the file fits the chip, 0 when it does not or cannot be read.
int CheckFirmwareFile(UserMessages& messages, const std::string& fileName, ChipIdValue chipId);

}  // namespace qks
