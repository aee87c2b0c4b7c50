// The QKB742 update: new firmware from byte 4096 on, while the device's own
// configuration area in the first 4 KB of its flash survives the update.
#pragma once

#include <cstdint>

#include "firmware/engine_context.h"

namespace qks {

inline constexpr uint8_t kNvramChipType = 6;           // QKB742
inline constexpr uint32_t kNvramAreaBytes = 4096;      // kept from the device
inline constexpr uint32_t kNvramPieceBytes = 16384;    // one write, one read-back
inline constexpr uint32_t kNvramEraseUnitBytes = 32768;

// Picks the image by the chip's revision ("FW742A" for 1, "FW742B" for 2),
// erases and blank-checks 32 KB units, then writes and verifies 16 KB pieces.
// 1 when every piece read back equal; 0 otherwise, the flash then left
// erased or partly written.
int UpdateFlashPreservingNvram(EngineContext& window, const DevicePath& path);

}  // namespace qks
