// A flash that lives in a file, so that what one run programs the next run
// finds there, like a real part that keeps its contents across power.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "emulator/erase_map.h"

namespace qks::emu {

// Fills `flash` from the file, or creates the file from `flash` when there
// is none. The file must hold exactly flash.size() bytes. Returns an error
// text, empty on success.
std::string LoadOrCreateFlashFile(const std::string& path, std::vector<uint8_t>& flash);

// Writes the bytes of `region` back in place; false when the file refused.
bool WriteBackFlashFile(const std::string& path, std::span<const uint8_t> flash, Region region);

}  // namespace qks::emu
