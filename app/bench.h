// Many enclosures at once: every bridge on the bench recovered by its own
// operation on its own thread. Each erases and programs on its own and the
// USB bus is idle most of that time, so sixteen take about as long as one.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "operations/operations.h"

namespace qks {

enum class BenchState : uint8_t { Waiting, Working, Succeeded, Failed };
const char* BenchStateName(BenchState state);

struct BenchResult {
    IdentifyReport device;
    Outcome outcome;
    double seconds = 0;   // wall time of its operation
};

// Where one enclosure's operation is: its state, the bar's percentage, the
// phase it is in, and how long the busy bit has kept it waiting.
struct BenchProgress {
    BenchState state = BenchState::Waiting;
    int percent = 0;
    std::optional<PhaseKind> phase;
    std::optional<uint64_t> waitedMs;
    // The copy kept before its first erase, once it is saved.
    std::string copyPath;
};

// Told of every change of state, percentage, phase or wait, from the
// workers' threads, one call at a time.
using BenchObserver = std::function<void(size_t index, const BenchProgress& progress)>;

// Recovers each device (YES, as the window would) at the same time and
// returns when all have ended, in the order given.
std::vector<BenchResult> RecoverAll(const DeviceServices& services,
                                    const std::vector<IdentifyReport>& devices,
                                    const EngineOptions& options, const BenchObserver& observer);

}  // namespace qks
