// What keeps a device's disk busy on the host: a file system mounted from
// it or from one of its partitions, or another block device built on it
// (device-mapper, RAID). The vendor sequence must not share the device with
// any of them: the host's own commands would fall between the bridge's, and
// whatever the file system has not written yet is lost at the power cycle.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device/pass_through.h"

namespace qks {

struct DiskUser {
    std::string node;         // "/dev/sdb1", or the Windows volume's name
    std::string mountPoint;   // "/media/u/DISK", "E:\"; empty when held, not mounted
    std::string holder;       // "dm-0" when another block device holds it
    std::string howToFree;    // "udisksctl unmount -b /dev/sdb1", in the system's own words
};

// Each platform answers for its own paths; nothing known means not in use.
using DiskUseProbe = std::function<std::vector<DiskUser>(const DevicePath&)>;

}  // namespace qks
