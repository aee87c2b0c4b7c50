// Copies of a device's flash taken before anything is erased or written, so
// a recovery interrupted at any moment leaves the user a way back. What a
// cut-off write is finished with is the journal's, not these files'.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/header_block.h"

namespace qks {

// A UTC time in strftime's `format`, the same on every system.
std::string UtcStamp(std::time_t when, const char* format);

// A file-name-safe form of a device identity: letters, digits, '-', '_'.
std::string BackupIdentity(const std::string& identity);

// Whether a file name stem written for one identity belongs to another:
// without regard to case, as one enclosure's serial reaches us upper-cased
// on one system and lower-cased on another (and copies made by an older
// Windows build carry it lower-cased).
bool SameSerial(const std::string& a, const std::string& b);

// Writes `bytes` to a new file in `folder` named by identity and time; an
// existing backup is never replaced. Returns the path, or nothing with
// `error` set when the backup could not be written completely.
std::optional<std::string> SaveFlashBackup(const std::string& folder, const std::string& identity,
                                           std::span<const uint8_t> bytes, std::time_t when,
                                           std::string& error);

// The header of the newest backup of this identity that carries the
// signature, if any.
std::optional<HeaderBlock> FindSavedHeader(const std::string& folder, const std::string& identity);

// The first `length` bytes of the newest backup of this identity in which
// they are not all 0xFF.
std::optional<std::vector<uint8_t>> FindSavedStart(const std::string& folder,
                                                   const std::string& identity, uint32_t length);

// Every copy of this identity, oldest first.
std::vector<std::string> SavedCopiesOf(const std::string& folder, const std::string& identity);
// The time a copy's name carries, as "2026-12-08 13:07:32 UTC"; empty for another name.
std::string SavedCopyTime(const std::string& path);
// The first `length` bytes of a backup file.
std::optional<std::vector<uint8_t>> ReadBackupStart(const std::string& path, uint32_t length);

}  // namespace qks
