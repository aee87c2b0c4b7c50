#include "platform/windows/device_notices.h"

#include <cstring>

#include "device/device_notifier.h"
#include "platform/windows/setupapi_enumerator.h"

namespace qks::win {

std::array<GUID, 3> NoticeClasses() {
    return {kUsbDeviceInterfaceClass, kDiskInterfaceClass, kCdromInterfaceClass};
}

DEV_BROADCAST_DEVICEINTERFACE_A NoticeFilter(const GUID& cls) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = cls;
    return filter;
}

DEV_BROADCAST_DEVICEINTERFACE_A UsbDeviceNoticeFilter() {
    return NoticeFilter(kUsbDeviceInterfaceClass);
}

std::vector<HDEVNOTIFY> RegisterForDeviceNotices(HWND window, RegisterNotices reg) {
    std::vector<HDEVNOTIFY> registered;
    for (const GUID& cls : NoticeClasses()) {
        DEV_BROADCAST_DEVICEINTERFACE_A filter = NoticeFilter(cls);
        if (const HDEVNOTIFY notices = reg(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE))
            registered.push_back(notices);
    }
    return registered;
}

bool ChangesDeviceList(WPARAM eventCode) {
    return eventCode == DBT_DEVICEARRIVAL || eventCode == DBT_DEVICEREMOVECOMPLETE;
}

void NoticeBatch::Add(uint32_t eventCode) {
    pending_ = true;
    arrival_ = arrival_ || eventCode == DBT_DEVICEARRIVAL;
}

uint32_t NoticeBatch::Take() {
    const uint32_t code = BatchNotice(arrival_);
    pending_ = false;
    arrival_ = false;
    return code;
}

}  // namespace qks::win
