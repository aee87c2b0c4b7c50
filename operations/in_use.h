// Before the first erase: the enclosure's disk must not be in the host's
// use. A mounted file system keeps writing and reading through its own
// commands, which fall between the bridge's vendor sequence, and loses what
// it has not written yet when the enclosure is power-cycled at the end.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "device/disk_use.h"
#include "operations/services.h"

namespace qks {

// "/dev/sdb1 is mounted at /media/u/DISK; ..." with how to free each one.
std::string DescribeDiskUse(const std::vector<DiskUser>& users);

// Empty when the device may be written. Otherwise why not, naming what
// uses it; with `services.forceInUse` the write goes ahead and `note` is
// told so instead.
std::string CheckNotInUse(const DeviceServices& services, const DevicePath& path,
                          const std::function<void(const std::string&)>& note);

}  // namespace qks
