// The notices of the runtime's notifier (udev on Linux) come through its
// descriptor: poll() on it, then let the notifier hand them to its
// listeners.
#include <poll.h>

#include "faces/cli/notice_wait.h"
#include "faces/common/runtime.h"

namespace qks::cli {

namespace {
class DescriptorWait final : public NoticeWait {
public:
    DescriptorWait(DeviceNotifier& notifier, int fd) : notifier_(notifier), fd_(fd) {}

    void WaitUpTo(int milliseconds) override {
        pollfd readable{fd_, POLLIN, 0};
        if (::poll(&readable, 1, milliseconds) > 0) notifier_.DispatchEvents();
    }

private:
    DeviceNotifier& notifier_;
    int fd_;
};
}  // namespace

std::unique_ptr<NoticeWait> OpenNoticeWait(Runtime& runtime,
                                           std::function<void(uint32_t)> listener,
                                           std::string& why) {
    DeviceNotifier* notifier = runtime.Notifier();
    const int fd = notifier ? notifier->EventFd() : -1;
    if (fd < 0) {
        why = "no device notices here; showing the first refresh only";
        return nullptr;
    }
    notifier->Subscribe(std::move(listener));
    return std::make_unique<DescriptorWait>(*notifier, fd);
}

}  // namespace qks::cli
