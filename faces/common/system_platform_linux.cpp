#include "faces/common/system_platform.h"
#include "platform/linux/logind_inhibitor.h"
#include "platform/linux/disk_use.h"
#include "platform/linux/sg_pass_through.h"
#include "platform/linux/sysfs_scsi.h"
#include "platform/linux/udev_enumerator.h"
#include "platform/linux/udev_notifier.h"

namespace qks {

SystemPlatform MakeSystemPlatform(std::string& error) {
    SystemPlatform platform;
    platform.passThrough = std::make_unique<SgPassThrough>();
    platform.enumerator = std::make_unique<UdevEnumerator>();
    auto notifier = std::make_unique<UdevNotifier>();
    // Without notices the window still works; it only stops following plugs.
    if (notifier->Ok())
        platform.notifier = std::move(notifier);
    else
        error = "device notices unavailable: " + notifier->Error();
    platform.transferLimit = [](const DevicePath& path) { return MaxTransferBytes(path); };
    platform.sleepInhibitor = std::make_unique<LogindInhibitor>();
    platform.diskUsers = [](const DevicePath& path) { return DiskUsersOfSgNode(path); };
    return platform;
}

}  // namespace qks
