// USB mass-storage disks and CD-ROMs as SCSI generic nodes, found in sysfs
// through libudev: every scsi_generic device whose SCSI device has the
// pass's peripheral type and hangs below a USB interface bound to
// usb-storage or uas. Listed by SCSI address, so the order is the same on
// every refresh.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "device/enumeration.h"

namespace qks {

class UdevEnumerator final : public DeviceEnumerator {
public:
    // Says whether this process may open a node for reading and writing:
    // 0, or the errno that stands in the way.
    using NodeProbe = std::function<int(const std::string& node)>;

    // The default probe asks access(2).
    UdevEnumerator();
    explicit UdevEnumerator(NodeProbe probe);

    // A node this process may not open stays in the list (it is present,
    // and the open will say so again), and a problem names it with the fix.
    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass cls) override;
    std::vector<std::string> TakeProblems() override;

private:
    void AddProblem(std::string text);

    NodeProbe probe_;
    std::vector<std::string> problems_;
    std::mutex lock_;
};

}  // namespace qks
