#include "platform/windows/setupapi_enumerator.h"

#include <cfgmgr32.h>

#include <cstddef>
#include <cstring>
#include <vector>

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
    std::string UsbDeviceOf(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data) override {
        std::vector<char> buffer(kDetailBufferBytes, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA info;
        std::memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailBufferBytes, nullptr, &info))
            return {};
        // The storage function hangs below the USB device, or below one
        // interface (MI_nn) of a composite device.
        DEVINST node = info.DevInst;
        for (int up = 0; up < 2; ++up) {
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return {};
            char id[MAX_DEVICE_ID_LEN + 1] = {};
            if (CM_Get_Device_IDA(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
            std::string text(id);
            for (char& c : text)
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            if (text.find("&MI_") == std::string::npos) return text;
            node = parent;
        }
        return {};
    }
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
    for (auto& found : UsbStorageInterfaces(api, cls)) paths.push_back(std::move(found.path));
    return paths;
}

std::vector<UsbStorageInterface> UsbStorageInterfaces(DeviceInterfaceApi& api, const GUID& cls) {
    std::vector<UsbStorageInterface> paths;
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
        if (NamesUsbStorage(path)) paths.push_back({path, api.UsbDeviceOf(set, data)});
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
    for (UsbStorageInterface& listed : UsbStorageInterfaces(api_, guid)) {
        InterfaceInfo info;
        info.serial = SerialFromPath(listed.path);
        info.path = std::move(listed.path);
        info.enclosure = std::move(listed.usbDevice);
        found.push_back(std::move(info));
    }
    return found;
}

}  // namespace qks::win
