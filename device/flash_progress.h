// How far a flow is with the flash: which phase, how many of its bytes, and
// how long the busy bit has kept it waiting. Reported from the lowest layer
// that knows, shown by whichever face cares; a face that does not keeps the
// no-op defaults.
#pragma once

#include <cstdint>

namespace qks {

enum class PhaseKind : uint8_t { Copy, Erase, Write, Verify };
inline constexpr int kPhaseCount = 4;

inline const char* PhaseName(PhaseKind phase) {
    static constexpr const char* kNames[kPhaseCount] = {"copy", "erase", "write", "verify"};
    return kNames[static_cast<int>(phase)];
}

class FlashProgress {
public:
    virtual ~FlashProgress() = default;
    // `bytesDone` of `bytesTotal` in this phase; phases come in the order
    // above, some left out.
    virtual void Phase(PhaseKind /*phase*/, uint32_t /*bytesDone*/, uint32_t /*bytesTotal*/) {}
    // The busy bit has held the flow this long in one wait, about once a second.
    virtual void WaitingForFlash(uint64_t /*waitedMs*/) {}
};

}  // namespace qks
