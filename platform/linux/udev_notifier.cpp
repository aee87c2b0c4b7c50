#include "platform/linux/udev_notifier.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qks {

namespace {

constexpr const char* kSubsystem = "scsi_generic";
// A hub full of enclosures plugged at once must not overflow the socket.
constexpr int kReceiveBufferBytes = 1 << 20;
// Enough for any plausible burst; the rest waits for the next call, which
// the still-readable descriptor brings.
constexpr int kMaxEventsPerDispatch = 4096;

std::string NodeOf(udev_device* device) {
    if (const char* node = udev_device_get_devnode(device)) return node;
    // A remove event may come without DEVNAME; sg nodes are named after
    // their sysfs entry.
    if (const char* name = udev_device_get_sysname(device)) return std::string("/dev/") + name;
    return {};
}

std::set<std::string> ListSgNodes(udev* context) {
    std::set<std::string> nodes;
    udevptr::Enumerate scan(udev_enumerate_new(context));
    if (!scan) return nodes;
    udev_enumerate_add_match_subsystem(scan.get(), kSubsystem);
    if (udev_enumerate_scan_devices(scan.get()) < 0) return nodes;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
        udevptr::Device device(
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (device) nodes.insert(NodeOf(device.get()));
    }
    return nodes;
}

}  // namespace

bool UdevNotifier::UdevdRunning() { return access("/run/udev/control", F_OK) == 0; }

UdevNotifier::UdevNotifier(Source source) {
    active_ = source == Source::Automatic ? (UdevdRunning() ? Source::Udev : Source::Kernel)
                                          : source;
    udev_.reset(udev_new());
    if (!udev_) {
        error_ = std::string("libudev could not start: ") + std::strerror(errno);
        return;
    }
    const char* name = active_ == Source::Udev ? "udev" : "kernel";
    udevptr::Monitor monitor(udev_monitor_new_from_netlink(udev_.get(), name));
    if (!monitor) {
        error_ = std::string("cannot listen to ") + name + " device events: " +
                 std::strerror(errno) + "; plugging and unplugging will need a manual refresh";
        return;
    }
    int result = udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), kSubsystem,
                                                                 nullptr);
    // Larger buffers are a comfort, not a need: failure here is harmless.
    udev_monitor_set_receive_buffer_size(monitor.get(), kReceiveBufferBytes);
    if (result >= 0) result = udev_monitor_enable_receiving(monitor.get());
    if (result < 0) {
        error_ = std::string("cannot listen to ") + name + " device events: " +
                 std::strerror(-result) +
                 "; plugging and unplugging will need a manual refresh";
        return;
    }
    monitor_ = std::move(monitor);
    // Listed after the monitor is live, so a node that comes in between is
    // known from both sides and still yields a single notice.
    presence_ = NodePresence(ListSgNodes(udev_.get()));
}

void UdevNotifier::Subscribe(Listener listener) { listener_ = std::move(listener); }

int UdevNotifier::Fd() const { return monitor_ ? udev_monitor_get_fd(monitor_.get()) : -1; }

void UdevNotifier::Drain(bool& any, bool& arrival) {
    std::vector<uint32_t> notices;
    bool lost = false;
    for (int i = 0; i < kMaxEventsPerDispatch; ++i) {
        errno = 0;
        udevptr::Device device(udev_monitor_receive_device(monitor_.get()));
        if (!device) {
            if (errno == ENOBUFS) {   // the socket overflowed: events are missing
                lost = true;
                continue;
            }
            break;
        }
        const char* action = udev_device_get_action(device.get());
        if (const uint32_t code = presence_.Feed(action ? action : "", NodeOf(device.get())))
            notices.push_back(code);
    }
    if (lost) {
        const std::vector<uint32_t> missed = presence_.Reconcile(ListSgNodes(udev_.get()));
        notices.insert(notices.end(), missed.begin(), missed.end());
    }
    for (const uint32_t code : notices) {
        any = true;
        arrival = arrival || code == kDeviceArrival;
    }
}

size_t UdevNotifier::Dispatch() {
    if (!monitor_) return 0;
    bool any = false, arrival = false;
    Drain(any, arrival);
    if (!any) return 0;
    // The rest of the plug: a burst that never ends still ends the wait.
    constexpr int kMaxSettles = 8;
    for (int i = 0; i < kMaxSettles; ++i) {
        struct pollfd ready = {udev_monitor_get_fd(monitor_.get()), POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(kNoticeSettleMillis)) <= 0) break;
        Drain(any, arrival);
    }
    // The listener refreshes the device list; it runs after the plug is
    // complete, once.
    if (listener_) listener_(BatchNotice(arrival));
    return 1;
}

}  // namespace qks
