// Who on this system uses the disk behind a storage interface path: the
// volumes on it (a volume with an extent on the disk's number, or a CD's
// volume with the drive's own number) that have a drive letter or a folder
// mount point.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "device/disk_use.h"

namespace qks::win {

std::vector<DiskUser> DiskUsersOf(const DevicePath& path);

// A storage device's type (FILE_DEVICE_DISK, FILE_DEVICE_CD_ROM) and its
// number among the system's devices of that type.
struct StorageNumber {
    uint32_t type = 0;
    uint32_t number = 0;
};

// The decision alone: a disk's volumes are found by the extents they lie
// on; a CD's volume is the drive itself, so it carries the drive's number.
bool VolumeOnDevice(StorageNumber device, const std::vector<uint32_t>& extentDisks,
                    std::optional<StorageNumber> volumeNumber);

}  // namespace qks::win
