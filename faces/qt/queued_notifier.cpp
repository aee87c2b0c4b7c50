#include "faces/qt/queued_notifier.h"

#include <QMetaObject>
#include <QPointer>

namespace qks::qt {

QueuedNotifier::QueuedNotifier(DeviceNotifier& source)
    : source_(source), receiver_(std::make_unique<QObject>()) {
    if (source_.EventFd() >= 0) {
        readable_ = std::make_unique<QSocketNotifier>(source_.EventFd(), QSocketNotifier::Read);
        QObject::connect(readable_.get(), &QSocketNotifier::activated, receiver_.get(),
                         [this] { source_.DispatchEvents(); });
    }
}

// Deleting the receiver discards the notices still posted to it.
QueuedNotifier::~QueuedNotifier() = default;

void QueuedNotifier::Subscribe(Listener listener) {
    QPointer<QObject> receiver(receiver_.get());
    source_.Subscribe([receiver, listener = std::move(listener)](uint32_t code) {
        if (!receiver) return;
        QMetaObject::invokeMethod(
            receiver.data(), [listener, code] { listener(code); }, Qt::QueuedConnection);
    });
}

}  // namespace qks::qt
