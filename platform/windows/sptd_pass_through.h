// SCSI pass-through on Windows: each command is one
// IOCTL_SCSI_PASS_THROUGH_DIRECT on a handle opened from the device
// interface path for that command alone. The driver moves the data straight
// to and from the caller's buffer, which must meet the adapter's alignment:
// a buffer that does not is copied through one that does.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "device/pass_through.h"

namespace qks::win {

class SptdPassThrough final : public PassThrough {
public:
    using MaskOf = std::function<uint32_t(const DevicePath&)>;
    // The adapter's AlignmentMask per path, asked once a path (the bench
    // opens from several threads).
    explicit SptdPassThrough(MaskOf maskOf = {});

    // CreateFileA for reading and writing. Data-in shares the device; data-out
    // opens it exclusively, so it fails at once while another handle is open.
    OpenResult Open(const DevicePath& path, OpenMode mode) override;

private:
    uint32_t MaskFor(const DevicePath& path);

    MaskOf maskOf_;
    std::mutex masksLock_;
    std::map<DevicePath, uint32_t> masks_;
};

}  // namespace qks::win
