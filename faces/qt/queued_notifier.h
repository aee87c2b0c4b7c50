// Device notices re-posted onto the Qt event loop. A platform may announce a
// removal from inside a device command (an enclosure losing power mid-way);
// running the refresh right there would re-enter the window model in the
// middle of its own work. Posted, the notice runs once the current event
// has been handled, like any other window message. A system source is
// watched through its descriptor, never polled.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "device/device_notifier.h"

namespace qks::qt {

class QueuedNotifier final : public DeviceNotifier {
public:
    explicit QueuedNotifier(DeviceNotifier& source);
    ~QueuedNotifier() override;
    QueuedNotifier(const QueuedNotifier&) = delete;
    QueuedNotifier& operator=(const QueuedNotifier&) = delete;

    // The listener runs on the thread of the event loop, later, never from
    // inside the source's own call. Notices still queued when this object
    // goes are dropped.
    void Subscribe(Listener listener) override;

private:
    DeviceNotifier& source_;
    std::unique_ptr<QObject> receiver_;
    // A system source (udev) is read when its descriptor becomes readable.
    std::unique_ptr<QSocketNotifier> readable_;
};

}  // namespace qks::qt
