// USB device notices for a program that has no window of its own (the
// command line): a message-only window registered for them, and a wait on
// the thread's messages with a time limit. WM_DEVICECHANGE is sent, not
// posted, so it is delivered while the thread waits for messages.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/windows/device_notices.h"

namespace qks::win {

// The window class, for whoever has to find the window from outside.
inline constexpr const char* kNoticeWindowClass = "QksUsbNoticeWindow";

class UsbNoticeWindow {
public:
    using Listener = std::function<void(uint32_t eventCode)>;

    // Creates the window on the calling thread, which must be the one that
    // waits; `listener` gets arrivals and removals (DBT_DEVICEARRIVAL,
    // DBT_DEVICEREMOVECOMPLETE) only, one for the notices of one plug.
    explicit UsbNoticeWindow(Listener listener);
    ~UsbNoticeWindow();
    UsbNoticeWindow(const UsbNoticeWindow&) = delete;
    UsbNoticeWindow& operator=(const UsbNoticeWindow&) = delete;

    // Empty when the window exists and the system took the registration;
    // otherwise which step failed and the system's reason.
    const std::string& Error() const { return error_; }
    HWND Handle() const { return window_; }

    // Handles the thread's messages until a notice has gone to the listener
    // (true) or `milliseconds` have passed without one (false). A notice
    // goes once no other has come for kNoticeSettleMillis; one still
    // settling when the time is up goes in a later wait.
    bool WaitUpTo(DWORD milliseconds);

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM w, LPARAM l);

    Listener listener_;
    HWND window_ = nullptr;
    std::vector<HDEVNOTIFY> notices_;
    std::string error_;
    NoticeBatch batch_;
    ULONGLONG lastNotice_ = 0;
};

}  // namespace qks::win
