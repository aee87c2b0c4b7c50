// Who on this host uses the disks behind a SCSI generic node: the sd or sr
// block device of the same SCSI device, its partitions, what is mounted
// from them (/proc/self/mountinfo, matched by device number) and what is
// built on them (their holders/ in sysfs). The roots are parameters so a
// test can hand in a tree of its own.
#pragma once

#include <string>
#include <vector>

#include "device/disk_use.h"

namespace qks {

std::vector<DiskUser> DiskUsersOfSgNode(const std::string& node,
                                        const std::string& sysRoot = "/sys",
                                        const std::string& mountInfo = "/proc/self/mountinfo");

// A mount point as mountinfo writes it ("\040" for a blank) made plain.
std::string UnescapeMountField(const std::string& field);

}  // namespace qks
