// On Windows the system tells a program of plugs and unplugs by sending
// WM_DEVICECHANGE to a window it registered: the command line has one of
// its own, message-only, and waits on its messages.
#include "faces/cli/notice_wait.h"
#include "faces/common/runtime.h"
#include "platform/windows/notice_window.h"

namespace qks::cli {

namespace {
class WindowNoticeWait final : public NoticeWait {
public:
    explicit WindowNoticeWait(std::function<void(uint32_t)> listener)
        : notices_(std::move(listener)) {}

    const std::string& Error() const { return notices_.Error(); }
    void WaitUpTo(int milliseconds) override {
        notices_.WaitUpTo(static_cast<DWORD>(milliseconds > 0 ? milliseconds : 0));
    }

private:
    win::UsbNoticeWindow notices_;
};
}  // namespace

std::unique_ptr<NoticeWait> OpenNoticeWait(Runtime& runtime,
                                           std::function<void(uint32_t)> listener,
                                           std::string& why) {
    if (runtime.Emulated()) {
        why = "no device notices here; showing the first refresh only";
        return nullptr;
    }
    auto wait = std::make_unique<WindowNoticeWait>(std::move(listener));
    if (!wait->Error().empty()) {
        why = "device notices unavailable: " + wait->Error() + "; showing the first refresh only";
        return nullptr;
    }
    return wait;
}

}  // namespace qks::cli
