#include "platform/windows/notice_window.h"

#include "device/device_notifier.h"
#include "platform/windows/device_notices.h"
#include "platform/windows/win_error.h"

namespace qks::win {

UsbNoticeWindow::UsbNoticeWindow(Listener listener) : listener_(std::move(listener)) {
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA known{};
    if (!GetClassInfoExA(instance, kNoticeWindowClass, &known)) {
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = Proc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = kNoticeWindowClass;
        if (!RegisterClassExA(&windowClass)) {
            error_ = "cannot register the notice window's class: " + Win32ErrorText(GetLastError());
            return;
        }
    }
    window_ = CreateWindowExA(0, kNoticeWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                              this);
    if (!window_) {
        error_ = "cannot create the notice window: " + Win32ErrorText(GetLastError());
        return;
    }
    notices_ = RegisterForDeviceNotices(window_);
    if (notices_.empty())
        error_ = "RegisterDeviceNotificationA refused the device notices: " +
                 Win32ErrorText(GetLastError());
}

UsbNoticeWindow::~UsbNoticeWindow() {
    for (const HDEVNOTIFY notices : notices_) UnregisterDeviceNotification(notices);
    if (window_) {
        SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
}

LRESULT CALLBACK UsbNoticeWindow::Proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(l);
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<UsbNoticeWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && message == WM_DEVICECHANGE) {
        if (ChangesDeviceList(w)) {
            self->batch_.Add(static_cast<uint32_t>(w));
            self->lastNotice_ = GetTickCount64();
        }
        return TRUE;
    }
    return DefWindowProcA(window, message, w, l);
}

bool UsbNoticeWindow::WaitUpTo(DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        // Sent messages are handled inside PeekMessage, posted ones here.
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG settled = lastNotice_ + kNoticeSettleMillis;
        if (batch_.Pending() && now >= settled) {
            const uint32_t code = batch_.Take();
            if (listener_) listener_(code);
            return true;
        }
        if (now >= deadline) return false;
        ULONGLONG wait = deadline - now;
        if (batch_.Pending() && settled - now < wait) wait = settled - now;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(wait), QS_ALLINPUT);
    }
}

}  // namespace qks::win
