// A look at a device's flash that writes nothing: how it differs from what a
// recovery would leave it holding, or from a saved copy of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "operations/operations.h"

namespace qks {

// Differing bytes by where they lie on the flash.
struct RegionCounts {
    uint32_t header = 0;   // the header's own bytes: those a recovery keeps from the device
    uint32_t image = 0;    // the rest of the image's extent, its header's other bytes included
    uint32_t beyond = 0;   // past the image's end, to 64 KB
    uint32_t Total() const { return header + image + beyond; }
};

struct VerifyReport {
    // A failure when the flash could not be read or there is nothing to
    // compare it with; nothing is written either way.
    Outcome outcome;
    std::optional<std::string> against;   // the saved copy; none: what a recovery leaves
    uint32_t imageEnd = 0;                // where the image ends on the flash
    RegionCounts differing;
    std::optional<uint32_t> firstDifference;
    // What a recovery would leave is an unfinished write's after-image:
    // the recovery finishes that entry rather than composing anew.
    std::string journalEntry;

    bool Equal() const { return outcome.Ok() && differing.Total() == 0; }
};

// Why `file` cannot stand for a 64 KB flash; empty when it can.
std::string SavedFlashProblem(const std::string& file);

// The device's 64 KB of flash, read, against the bytes a recovery of it
// would leave (the journal's unfinished write, or the composed image behind
// its own header), or against the saved copy `file`. Sends reads only.
VerifyReport VerifyFlash(const DeviceServices& services, const DeviceRef& device,
                         const std::optional<std::string>& file = std::nullopt);

}  // namespace qks
