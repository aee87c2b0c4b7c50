// SCSI pass-through on Windows: each command is one
// IOCTL_SCSI_PASS_THROUGH_DIRECT on a handle opened from the device
// interface path for that command alone. The driver moves the data straight
// to and from the caller's buffer.
#pragma once

#include "device/pass_through.h"

namespace qks::win {

class SptdPassThrough final : public PassThrough {
public:
    // CreateFileA for reading and writing. Data-in shares the device; data-out
    // opens it exclusively, so it fails at once while another handle is open.
    OpenResult Open(const DevicePath& path, OpenMode mode) override;
};

}  // namespace qks::win
