// The bounded wait on the serial flash's busy bit.
#pragma once

#include "device/clock.h"
#include "device/flash_progress.h"
#include "device/vendor_commands.h"

namespace qks {

inline constexpr uint32_t kReadyPollMs = 10;
inline constexpr int kReadyRereadsAccepted = 500;
inline constexpr int kReadyRereadsMax = 502;

// 1 when the busy bit was seen clear within 500 re-reads, else 0. A status
// read that fails counts as busy, so the bound holds; one that finds no
// device at the path ends the wait at once. A wait longer than a second is
// told to `progress` about once a second.
int WaitFlashReady(VendorCommandSet& commands, Clock& clock, const DevicePath& path,
                   FlashProgress* progress = nullptr);

}  // namespace qks
