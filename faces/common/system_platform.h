// The operating system's own device access, for runs without --emulate.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "device/device_notifier.h"
#include "device/disk_use.h"
#include "device/enumeration.h"
#include "device/pass_through.h"
#include "device/sleep_inhibitor.h"

namespace qks {

struct SystemPlatform {
    std::unique_ptr<PassThrough> passThrough;
    std::unique_ptr<DeviceEnumerator> enumerator;
    std::unique_ptr<DeviceNotifier> notifier;   // may be empty
    uint32_t maxTransferBytes = 0;
    std::function<uint32_t(const DevicePath&)> transferLimit;
    std::unique_ptr<SleepInhibitor> sleepInhibitor;   // may be empty
    DiskUseProbe diskUsers;   // may be empty: nothing known is in use
};

// Empty pass-through and `error` set when this build has no such layer;
// `error` may also carry a warning next to a working platform.
SystemPlatform MakeSystemPlatform(std::string& error);

}  // namespace qks
