// Arrival and removal of USB storage devices as WM_DEVICECHANGE messages to
// a window. The window itself is the listener: there is no queue of our own,
// the message loop delivers the notices between other messages.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <array>
#include <cstdint>
#include <vector>

namespace qks::win {

// GUID_DEVINTERFACE_USB_DEVICE: every USB device, whatever its function.
inline constexpr GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

#ifndef _WIN64
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32);
#endif

// The classes a window follows: the USB device comes first, and its disk
// and CD-ROM interfaces (what a refresh lists) only once their drivers have
// started, seconds later on a first plug.
std::array<GUID, 3> NoticeClasses();

// The filter handed to RegisterDeviceNotificationA: size, device type
// DBT_DEVTYP_DEVICEINTERFACE and the class; reserved and name stay zero.
DEV_BROADCAST_DEVICEINTERFACE_A NoticeFilter(const GUID& cls);
DEV_BROADCAST_DEVICEINTERFACE_A UsbDeviceNoticeFilter();

// Sends the notices of every class above to `window` (flag 0: the
// recipient is a window handle). The registrations last as long as the
// window; those the system took are returned, none when it refused all.
using RegisterNotices = HDEVNOTIFY(WINAPI*)(HANDLE recipient, LPVOID filter, DWORD flags);
std::vector<HDEVNOTIFY> RegisterForDeviceNotices(HWND window,
                                                 RegisterNotices reg = RegisterDeviceNotificationA);

// The event codes (WPARAM of WM_DEVICECHANGE) that change which devices
// are present: DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE.
bool ChangesDeviceList(WPARAM eventCode);

// The notices of one plug (the USB device, then its disk and CD-ROM
// interfaces) gathered into one: the window waits kNoticeSettleMillis
// after the last before it refreshes once.
class NoticeBatch {
public:
    void Add(uint32_t eventCode);
    bool Pending() const { return pending_; }
    // The one notice for the batch, which starts a new one.
    uint32_t Take();

private:
    bool pending_ = false;
    bool arrival_ = false;
};

}  // namespace qks::win
