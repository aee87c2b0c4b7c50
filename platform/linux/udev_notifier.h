// Arrival and removal of SCSI generic nodes from a udev monitor, as the
// window's device-change codes. The monitor listens to udevd when it runs
// (its events come after the rules have set the node's permissions) and to
// the kernel otherwise. Free of any toolkit: a face watches Fd() for input
// (QSocketNotifier, poll) and calls Dispatch().
#pragma once

#include <string>

#include "device/device_notifier.h"
#include "platform/linux/node_presence.h"
#include "platform/linux/udev_ptr.h"

namespace qks {

class UdevNotifier final : public DeviceNotifier {
public:
    enum class Source { Automatic, Udev, Kernel };

    explicit UdevNotifier(Source source = Source::Automatic);

    // Replaces any earlier listener.
    void Subscribe(Listener listener) override;
    int EventFd() const override { return Fd(); }
    void DispatchEvents() override { Dispatch(); }

    // The monitor's descriptor, readable when events wait; -1 when no
    // monitor could be set up (Error() says why).
    int Fd() const;
    bool Ok() const { return monitor_ != nullptr; }
    const std::string& Error() const { return error_; }
    Source ActiveSource() const { return active_; }

    // Reads every waiting event and, when any node appeared, went or
    // changed, waits until no more come for kNoticeSettleMillis (the rest
    // of the same plug) and tells the listener once. Returns the number of
    // notices (0 or 1).
    size_t Dispatch();

    // udevd is running when its control socket exists.
    static bool UdevdRunning();

private:
    // Reads what waits now; true when the batch holds anything.
    void Drain(bool& any, bool& arrival);

    udevptr::Context udev_;
    udevptr::Monitor monitor_;
    Source active_ = Source::Kernel;
    std::string error_;
    NodePresence presence_;
    Listener listener_;
};

}  // namespace qks
