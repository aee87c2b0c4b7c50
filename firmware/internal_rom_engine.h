// The QK60716's internal ROM: a 64 KB parallel flash the bridge reaches on
// the host's behalf. Erase it, back it up, or program and verify the "FW719"
// image. `romType` is the fitted part (0 ATMEL AT49BV512, 1 PMC OM39LV512,
// 2 SST SST39LF512); it only chooses the unlock cycles and is passed through.
#pragma once

#include <cstdint>

#include "device/vendor_commands.h"
#include "firmware/engine_context.h"

namespace qks {

inline constexpr uint32_t kInternalRomBytes = 65536;
// The ready-wait polls back to back: up to 100 rounds of 500 polls.
inline constexpr int kRomPollsPerRound = 500;
inline constexpr int kRomPollRounds = 100;

// 1 as soon as the ROM reports ready; 0 when the budget ran out. A poll whose
// transfer fails counts as busy, so a vanished device ends the wait too.
int WaitRomReady(VendorCommandSet& commands, const DevicePath& path);

// The panel's "Run" for the internal-ROM chips: switches to the ROM (unless
// the A1 chip box is checked), then runs erase-only, backup, or the full
// erase / blank check / program / verify, as the panel asks.
int ProgramInternalRom(EngineContext& window, const DevicePath& path, int32_t romType);

// Erase the whole ROM and prove it blank. A refused erase command or a busy
// wait after it is still 1: the user sees how far it got on the status line.
int EraseInternalRom(EngineContext& window, const DevicePath& path, int32_t romType);

// The raw 65536 ROM bytes into the backup file ("oldflash.bak" by default).
int BackupInternalRom(EngineContext& window, const DevicePath& path);

}  // namespace qks
