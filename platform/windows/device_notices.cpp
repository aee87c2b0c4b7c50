#include "platform/windows/device_notices.h"

#include <cstring>

namespace qks::win {

DEV_BROADCAST_DEVICEINTERFACE_A UsbDeviceNoticeFilter() {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDeviceInterfaceClass;
    return filter;
}

HDEVNOTIFY RegisterForUsbDeviceNotices(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter = UsbDeviceNoticeFilter();
    return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

bool ChangesDeviceList(WPARAM eventCode) {
    return eventCode == DBT_DEVICEARRIVAL || eventCode == DBT_DEVICEREMOVECOMPLETE;
}

}  // namespace qks::win
