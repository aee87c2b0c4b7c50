// The small serial-flash operations the engines are built from, and the
// panel's erase-only and backup-only actions.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "firmware/durable_file.h"
#include "firmware/engine_context.h"

namespace qks {

inline constexpr const char* kDefaultBackupName = "oldflash.bak";
inline constexpr size_t kBackupNameLimit = 259;
inline constexpr const char* kDefaultBackupNotice = "Default backup firmware as OldFalsh.bak!";

int WaitFlashReady(EngineContext& window, const DevicePath& path);
int ReadFlashPaged(EngineContext& window, const DevicePath& path, uint32_t address,
                   uint8_t* dest, uint32_t length);
int EraseFlashPaged(EngineContext& window, const DevicePath& path, uint32_t length);
int EraseAllFlash(EngineContext& window, const DevicePath& path);
int BackupFlashToFile(EngineContext& window, const DevicePath& path);

// One logical ReadFlash of `length` bytes from `address`: a single command,
// or pieces no larger than the host's transfer limit where it has one.
int ReadFlashWhole(EngineContext& window, const DevicePath& path, uint32_t address,
                   uint8_t* dest, uint32_t length);

// The backup name in use: the field's text, or the default after its notice.
std::string ChooseBackupName(EngineContext& window);

}  // namespace qks
