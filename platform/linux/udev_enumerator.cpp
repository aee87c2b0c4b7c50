#include "platform/linux/udev_enumerator.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/node_access.h"
#include "platform/linux/sysfs_scsi.h"
#include "platform/linux/udev_ptr.h"

namespace qks {

namespace {

int AccessProbe(const std::string& node) {
    return access(node.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
}

std::string UsbLabel(const SgNodeFacts& facts) {
    char text[64];
    std::snprintf(text, sizeof text, "USB %04x:%04x", facts.usbVendor, facts.usbProduct);
    std::string label = text;
    if (!facts.serial.empty()) label += " serial " + facts.serial;
    return label;
}

std::string ProblemText(const SgNodeFacts& facts, int error) {
    if (error == EACCES || error == EPERM)
        return AccessAdvice(facts.node, facts.usbVendor, facts.usbProduct);
    if (error == ENOENT)
        return facts.node + ": the kernel lists this " + UsbLabel(facts) +
               " device, but the node does not exist (is devtmpfs mounted on /dev?)";
    return facts.node + ": cannot be opened (" + UsbLabel(facts) +
           "): " + std::strerror(error);
}

// Visits every device of a subsystem; the result is the scan's error
// (negative errno) or the number visited.
template <typename Visit>
int ForEachDevice(udev* context, const char* subsystem, Visit visit) {
    udevptr::Enumerate scan(udev_enumerate_new(context));
    if (!scan) return -ENOMEM;
    int result = udev_enumerate_add_match_subsystem(scan.get(), subsystem);
    if (result >= 0) result = udev_enumerate_scan_devices(scan.get());
    if (result < 0) return result;
    int visited = 0;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
        udevptr::Device device(
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (!device) continue;   // gone between the scan and now
        visit(device.get());
        ++visited;
    }
    return visited;
}

}  // namespace

UdevEnumerator::UdevEnumerator() : probe_(AccessProbe) {}

UdevEnumerator::UdevEnumerator(NodeProbe probe)
    : probe_(probe ? std::move(probe) : NodeProbe(AccessProbe)) {}

std::vector<InterfaceInfo> UdevEnumerator::ListUsbStorage(InterfaceClass cls) {
    udevptr::Context context(udev_new());
    if (!context) {
        AddProblem(std::string("cannot list devices: libudev failed: ") + std::strerror(errno));
        return {};
    }
    std::vector<SgNodeFacts> kept;
    const int scanned = ForEachDevice(context.get(), "scsi_generic", [&](udev_device* device) {
        SgNodeFacts facts = FactsOfSgDevice(device);
        if (ClassOfScsiType(facts.scsiType) != cls) return;
        if (!IsUsbStorageInterface(facts)) return;
        kept.push_back(std::move(facts));
    });
    if (scanned < 0) {
        AddProblem(std::string("cannot list SCSI generic devices in /sys: ") +
                   std::strerror(-scanned));
        return {};
    }
    // Without the sg driver a bridge shows up as a disk and nothing else;
    // say so rather than list nothing. (With it loaded, a device briefly
    // without its node is only a plug in progress.)
    if (scanned == 0 && access("/sys/class/scsi_generic", F_OK) != 0) {
        ForEachDevice(context.get(), "scsi", [&](udev_device* device) {
            const char* type = udev_device_get_devtype(device);
            if (type == nullptr || std::strcmp(type, "scsi_device") != 0) return;
            const SgNodeFacts facts = FactsOfScsiDevice(device);
            if (ClassOfScsiType(facts.scsiType) != cls) return;
            if (!IsUsbStorageInterface(facts)) return;
            AddProblem("SCSI device " + facts.scsiDevice + " (" + UsbLabel(facts) +
                       ") has no SCSI generic node: load the sg driver (sudo modprobe sg)");
        });
    }
    // Unparsable addresses sort last; the node name breaks ties.
    std::sort(kept.begin(), kept.end(), [](const SgNodeFacts& a, const SgNodeFacts& b) {
        if (a.address.valid != b.address.valid) return a.address.valid;
        if (a.address != b.address) return a.address < b.address;
        return a.node < b.node;
    });

    std::vector<InterfaceInfo> listed;
    listed.reserve(kept.size());
    for (const SgNodeFacts& facts : kept) {
        if (const int error = probe_(facts.node)) AddProblem(ProblemText(facts, error));
        InterfaceInfo info;
        info.path = facts.node;
        info.serial = facts.serial;
        info.enclosure = facts.usbDevice;
        info.usbVendor = facts.usbVendor;
        info.usbProduct = facts.usbProduct;
        listed.push_back(std::move(info));
    }
    return listed;
}

std::vector<std::string> UdevEnumerator::TakeProblems() {
    const std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> taken;
    taken.swap(problems_);
    return taken;
}

void UdevEnumerator::AddProblem(std::string text) {
    // A refresh runs both passes and may run again before anyone asks; the
    // operations of a bench list from their own threads.
    const std::lock_guard<std::mutex> hold(lock_);
    if (std::find(problems_.begin(), problems_.end(), text) == problems_.end())
        problems_.push_back(std::move(text));
}

}  // namespace qks
