// Copies of a device's flash taken before anything is erased or written, so
// a recovery interrupted at any moment leaves the user a way back, and the
// device's own header can be found again after its flash lost it.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>

#include "firmware/header_block.h"

namespace qks {

// A file-name-safe form of a device identity: letters, digits, '-', '_'.
std::string BackupIdentity(const std::string& identity);

// Writes `bytes` to a new file in `folder` named by identity and time; an
// existing backup is never replaced. Returns the path, or nothing with
// `error` set when the backup could not be written completely.
std::optional<std::string> SaveFlashBackup(const std::string& folder, const std::string& identity,
                                           std::span<const uint8_t> bytes, std::time_t when,
                                           std::string& error);

// The header of the newest backup of this identity that carries the
// signature, if any.
std::optional<HeaderBlock> FindSavedHeader(const std::string& folder, const std::string& identity);

}  // namespace qks
