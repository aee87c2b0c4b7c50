#include "platform/windows/setupapi_enumerator.h"

#include <cstddef>
#include <cstring>

namespace qks::win {

namespace {

class SystemApi final : public DeviceInterfaceApi {
public:
    HDEVINFO GetClassDevs(const GUID& cls, DWORD flags) override {
        return SetupDiGetClassDevsA(&cls, nullptr, nullptr, flags);
    }
    BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID& cls, DWORD member,
                              SP_DEVICE_INTERFACE_DATA& data) override {
        return SetupDiEnumDeviceInterfaces(set, nullptr, &cls, member, &data);
    }
    BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                  DWORD detailBytes) override {
        return SetupDiGetDeviceInterfaceDetailA(set, &data, detail, detailBytes, nullptr, nullptr);
    }
    void DestroyDeviceInfoList(HDEVINFO set) override { SetupDiDestroyDeviceInfoList(set); }
};

}  // namespace

DeviceInterfaceApi& SystemDeviceInterfaceApi() {
    static SystemApi api;
    return api;
}

bool NamesUsbStorage(std::string_view path) {
    return path.find("usbsto") != std::string_view::npos;
}

std::vector<std::string> UsbStoragePaths(DeviceInterfaceApi& api, const GUID& cls) {
    std::vector<std::string> paths;
    const HDEVINFO set = api.GetClassDevs(cls, kClassDevsFlags);
    if (set == INVALID_HANDLE_VALUE) return paths;

    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(
        GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, kDetailBufferBytes));
    if (detail == nullptr) {
        api.DestroyDeviceInfoList(set);
        return paths;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    constexpr size_t kPathCapacity =
        kDetailBufferBytes - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!api.EnumDeviceInterfaces(set, cls, member, data)) break;
        if (!api.GetDeviceInterfaceDetail(set, data, detail, kDetailBufferBytes)) break;
        // Bounded by the buffer, whatever the call left in it.
        const std::string path(detail->DevicePath, strnlen(detail->DevicePath, kPathCapacity));
        if (NamesUsbStorage(path)) paths.push_back(path);
    }
    GlobalFree(detail);
    api.DestroyDeviceInfoList(set);
    return paths;
}

std::string SerialFromPath(std::string_view path) {
    // The instance name is the third '#'-separated part.
    const size_t first = path.find('#');
    if (first == std::string_view::npos) return {};
    const size_t second = path.find('#', first + 1);
    if (second == std::string_view::npos) return {};
    const size_t third = path.find('#', second + 1);
    if (third == std::string_view::npos) return {};
    std::string_view instance = path.substr(second + 1, third - second - 1);
    // The logical unit follows the last '&'.
    const size_t unit = instance.rfind('&');
    if (unit != std::string_view::npos) instance = instance.substr(0, unit);
    // A made-up name (no serial from the device) has '&' as its second
    // character, as in 7&2b6a8f4c; such names change with the USB port.
    if (instance.empty() || (instance.size() > 1 && instance[1] == '&') ||
        instance.find('&') != std::string_view::npos)
        return {};
    return std::string(instance);
}

SetupApiEnumerator::SetupApiEnumerator() : api_(SystemDeviceInterfaceApi()) {}
SetupApiEnumerator::SetupApiEnumerator(DeviceInterfaceApi& api) : api_(api) {}

std::vector<InterfaceInfo> SetupApiEnumerator::ListUsbStorage(InterfaceClass cls) {
    const GUID& guid = cls == InterfaceClass::Disk ? kDiskInterfaceClass : kCdromInterfaceClass;
    std::vector<InterfaceInfo> found;
    for (std::string& path : UsbStoragePaths(api_, guid)) {
        InterfaceInfo info;
        info.serial = SerialFromPath(path);
        info.path = std::move(path);
        found.push_back(std::move(info));
    }
    return found;
}

}  // namespace qks::win
