#include "faces/common/system_platform.h"
#include "platform/windows/execution_state_inhibitor.h"
#include "platform/windows/disk_use.h"
#include "platform/windows/setupapi_enumerator.h"
#include "platform/windows/sptd_pass_through.h"
#include "platform/windows/storage_limits.h"

namespace qks {

// No notifier: Windows sends the USB device notices to the window as
// WM_DEVICECHANGE, and the window face registers for them itself.
SystemPlatform MakeSystemPlatform(std::string&) {
    SystemPlatform platform;
    platform.passThrough = std::make_unique<win::SptdPassThrough>();
    platform.enumerator = std::make_unique<win::SetupApiEnumerator>();
    platform.transferLimit = [](const DevicePath& path) { return win::MaxTransferBytes(path); };
    platform.sleepInhibitor = std::make_unique<win::ExecutionStateInhibitor>();
    platform.diskUsers = [](const DevicePath& path) { return win::DiskUsersOf(path); };
    return platform;
}

}  // namespace qks
