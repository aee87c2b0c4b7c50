// A chip erase takes the whole serial flash, however large the part, and no
// command of the bridge names that size. These find where the part ends, so
// what lies past the image can be kept before such an erase, and put it back
// after the image is written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "firmware/engine_context.h"

namespace qks {

// The flash commands carry three address bytes: no part reaches further.
inline constexpr uint32_t kLargestPart = 16u << 20;
inline constexpr uint32_t kPartBlock = 65536;

// The part from address 0 to the end of its last block that holds data, at
// least one block. A part has no address lines past its end, so reads there
// wrap to address 0: the first doubling whose upper half reads as its lower
// half, and that lower half holds data, ends the part. Erased halves tell
// nothing and the reads go on. `partSize`, when given, is where the part
// ends (kLargestPart when no wrap showed). Nothing when a read fails.
std::optional<std::vector<uint8_t>> ReadWholePart(EngineContext& window, const DevicePath& path,
                                                  uint32_t* partSize = nullptr);

// Makes the flash hold `bytes` from `from` on, where it does not already:
// programs what programming alone can reach, erases a block first only
// where the whole block lies past `from` (an erase never reaches the
// image), and reads every changed block back. 1 when the flash holds
// `bytes` there.
int RestorePartFrom(EngineContext& window, const DevicePath& path, uint32_t from,
                    std::span<const uint8_t> bytes);

}  // namespace qks
