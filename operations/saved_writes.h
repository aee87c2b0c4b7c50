// What the program kept of the writes it made: the copies of each flash
// taken before writing, and the journal's unfinished writes. Read from the
// copies folder alone, with no device present.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "operations/services.h"

namespace qks {

struct SavedWrite {
    enum class State : uint8_t { Copy, UnfinishedWrite };
    std::string enclosure;   // the USB serial (or path) the name carries
    std::string time;        // "2026-12-10 01:30:00 UTC"
    uint64_t size = 0;       // the copy's bytes; the flash bytes an unfinished write covers
    State state = State::Copy;
    std::string path;
    std::string flow;        // an unfinished write's: "recover", "run", ...
};

const char* SavedWriteStateName(SavedWrite::State state);

// Every saved copy in the services' copies folder and every unfinished write
// in its journal, grouped by enclosure, newest first within each; nothing
// when no copies are kept or none were made.
std::vector<SavedWrite> SavedWrites(const DeviceServices& services);

}  // namespace qks
