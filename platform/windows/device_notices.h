// Arrival and removal of USB devices as WM_DEVICECHANGE messages to a
// window. The window itself is the listener: there is no queue of our own,
// the message loop delivers the notices between other messages.
#pragma once

#include <windows.h>
#include <dbt.h>

namespace qks::win {

// GUID_DEVINTERFACE_USB_DEVICE: every USB device, whatever its function.
inline constexpr GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

#ifndef _WIN64
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32);
#endif

// The filter handed to RegisterDeviceNotificationA: size, device type
// DBT_DEVTYP_DEVICEINTERFACE and the class; reserved and name stay zero.
DEV_BROADCAST_DEVICEINTERFACE_A UsbDeviceNoticeFilter();

// Sends the USB device-interface notices to `window` (flag 0: the
// recipient is a window handle). The registration lasts as long as the
// window; null when the system refused it.
HDEVNOTIFY RegisterForUsbDeviceNotices(HWND window);

// The event codes (WPARAM of WM_DEVICECHANGE) that change which devices
// are present: DBT_DEVICEARRIVAL and DBT_DEVICEREMOVECOMPLETE.
bool ChangesDeviceList(WPARAM eventCode);

}  // namespace qks::win
