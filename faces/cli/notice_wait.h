// How `watch` waits for device notices: each system has its own way of
// telling a program that devices came and went (a readable descriptor on
// Linux, WM_DEVICECHANGE to a window on Windows). The build picks the
// source file that knows the system's way (wait_posix.cpp, wait_windows.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qks {
class Runtime;
}  // namespace qks

namespace qks::cli {

class NoticeWait {
public:
    virtual ~NoticeWait() = default;
    // Returns after at most `milliseconds`, having handed every notice that
    // arrived meanwhile to the listener; sooner once one has.
    virtual void WaitUpTo(int milliseconds) = 0;
};

// Nothing, and `why` says so, when this run gets no notices to wait for:
// the emulator's bridges change only when the run itself changes them.
std::unique_ptr<NoticeWait> OpenNoticeWait(Runtime& runtime,
                                           std::function<void(uint32_t)> listener,
                                           std::string& why);

}  // namespace qks::cli
