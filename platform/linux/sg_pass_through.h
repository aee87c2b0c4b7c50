// SCSI pass-through on Linux: one SG_IO request on a SCSI generic node
// (/dev/sgN) per command. Data-in opens share the node; data-out opens hold
// it alone for the one command, so no other sg user interleaves a write.
#pragma once

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

}  // namespace qks
