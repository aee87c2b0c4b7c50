#include "platform/windows/setupapi_enumerator.h"

#include <cfgmgr32.h>

#include <cctype>
#include <cstddef>
#include <cstdlib>
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
    std::string ParentDeviceId(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data) override {
        // The detail call is the one that names the interface's device.
        std::vector<char> buffer(kDetailBufferBytes, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailBufferBytes, nullptr,
                                              &device))
            return {};
        // The disk's parent is the USB storage function: the USB device,
        // or for a composite device its interface, whose parent it is then.
        DEVINST node = device.DevInst;
        for (int level = 0; level < 2; ++level) {
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return {};
            char id[MAX_DEVICE_ID_LEN + 1] = {};
            if (CM_Get_Device_IDA(parent, id, sizeof id - 1, 0) != CR_SUCCESS) return {};
            if (UsbIdentityFromInstanceId(id)) return id;
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
        if (NamesUsbStorage(path)) paths.push_back({path, api.ParentDeviceId(set, data)});
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

std::optional<UsbIdentity> UsbIdentityFromInstanceId(std::string_view id) {
    const auto upper = [](std::string_view text) {
        std::string out(text);
        for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return out;
    };
    const std::string head = upper(id.substr(0, 21));
    // USB\VID_1C5B&PID_0970\...
    if (id.size() < 22 || head.compare(0, 8, "USB\\VID_") != 0 || head.compare(12, 5, "&PID_") != 0 ||
        id[21] != '\\')
        return std::nullopt;
    const auto hex = [](const std::string& text) -> std::optional<uint16_t> {
        if (text.size() != 4 || text.find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return std::nullopt;
        return static_cast<uint16_t>(std::strtoul(text.c_str(), nullptr, 16));
    };
    const auto vendor = hex(head.substr(8, 4));
    const auto product = hex(head.substr(17, 4));
    if (!vendor || !product) return std::nullopt;
    UsbIdentity identity{*vendor, *product, std::string(id.substr(22))};
    // A made-up instance name (no serial from the device) holds '&'.
    if (identity.serial.find('&') != std::string::npos) identity.serial.clear();
    return identity;
}

SetupApiEnumerator::SetupApiEnumerator() : api_(SystemDeviceInterfaceApi()) {}
SetupApiEnumerator::SetupApiEnumerator(DeviceInterfaceApi& api) : api_(api) {}

std::vector<InterfaceInfo> SetupApiEnumerator::ListUsbStorage(InterfaceClass cls) {
    const GUID& guid = cls == InterfaceClass::Disk ? kDiskInterfaceClass : kCdromInterfaceClass;
    std::vector<InterfaceInfo> found;
    for (auto& storage : UsbStorageInterfaces(api_, guid)) {
        InterfaceInfo info;
        if (const auto usb = UsbIdentityFromInstanceId(storage.parentId)) {
            info.usbVendor = usb->vendor;
            info.usbProduct = usb->product;
            info.serial = usb->serial;
        } else {
            info.serial = SerialFromPath(storage.path);
        }
        info.path = std::move(storage.path);
        // One USB device, one enclosure: its instance ID, in one case.
        for (char& c : storage.parentId)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        info.enclosure = std::move(storage.parentId);
        found.push_back(std::move(info));
    }
    return found;
}

}  // namespace qks::win
