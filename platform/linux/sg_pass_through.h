// SCSI pass-through on Linux: one SG_IO request on a SCSI generic node
// (/dev/sgN) per command. Data-in opens share the node; data-out opens hold
// it alone for the one command, so no other sg user interleaves a write.
#pragma once

#include <signal.h>

#include <cstdint>

#include "device/pass_through.h"
#include "platform/linux/sysfs_scsi.h"

namespace qks {

class SgPassThrough final : public PassThrough {
public:
    // Never blocks on a node another program holds: a busy node fails at
    // once with OpenFailure::Busy.
    OpenResult Open(const DevicePath& path, OpenMode mode) override;
};

// The open() flags for a mode; O_NONBLOCK makes an exclusive open that
// meets another user fail with EBUSY instead of waiting for it to close.
int SgOpenFlags(OpenMode mode);

// What the user reads when an open fails: which node, why, and for a
// permission failure how to get access.
std::string OpenFailureDiagnostic(const DevicePath& path, int error);

// Runs `call` (the SG_IO) with every signal held back until it returns. An
// SG_IO interrupted by a signal is orphaned by the sg driver, which lets
// the command run on; restarted, the same CDB would go out again while the
// first is still in the bridge. Signals that came meanwhile arrive after.
template <typename Call>
auto WithSignalsHeld(Call call) {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    const auto result = call();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

}  // namespace qks
