// USB mass-storage disks and CD-ROMs from SetupAPI's device-interface
// database: every present interface of the disk (or CD-ROM) class whose
// path names the USB storage driver, in SetupAPI's member order.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/enumeration.h"

namespace qks::win {

// The platform's interface classes, GUID_DEVINTERFACE_DISK and _CDROM.
inline constexpr GUID kDiskInterfaceClass = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr GUID kCdromInterfaceClass = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

inline constexpr DWORD kDetailBufferBytes = 1024;
inline constexpr DWORD kClassDevsFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

#ifndef _WIN64
// SetupAPI wants the size of the record's header, which packing makes 5
// in a 32-bit process, and 28 for the interface data.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
#endif

// The four SetupAPI calls a pass makes, so its rules can be checked
// without devices.
class DeviceInterfaceApi {
public:
    virtual ~DeviceInterfaceApi() = default;
    virtual HDEVINFO GetClassDevs(const GUID& cls, DWORD flags) = 0;
    virtual BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID& cls, DWORD member,
                                      SP_DEVICE_INTERFACE_DATA& data) = 0;
    virtual BOOL GetDeviceInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data,
                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                          DWORD detailBytes) = 0;
    virtual void DestroyDeviceInfoList(HDEVINFO set) = 0;
    // The instance ID of the USB device the interface belongs to
    // ("USB\VID_1C5B&PID_0970\00000000123A"); empty when it has none.
    virtual std::string ParentDeviceId(HDEVINFO, SP_DEVICE_INTERFACE_DATA&) { return {}; }
};

// The system's SetupAPI.
DeviceInterfaceApi& SystemDeviceInterfaceApi();

// One pass over a class: the paths of its present interfaces that name the
// USB storage driver. The pass ends at the first call that fails, so the
// members behind an interface whose detail cannot be read are not visited.
std::vector<std::string> UsbStoragePaths(DeviceInterfaceApi& api, const GUID& cls);
// The same pass, each path with the USB device it belongs to.
struct UsbStorageInterface {
    std::string path;
    std::string parentId;   // the USB device's instance ID, or empty
};
std::vector<UsbStorageInterface> UsbStorageInterfaces(DeviceInterfaceApi& api, const GUID& cls);

// The ids and serial of a USB device from its instance ID,
// USB\VID_vvvv&PID_pppp\SERIAL, as the device reports them: the interface
// path only has a lower-cased serial and no ids. Nothing for another
// form; no serial when Windows made the instance name up.
struct UsbIdentity {
    uint16_t vendor = 0;
    uint16_t product = 0;
    std::string serial;
};
std::optional<UsbIdentity> UsbIdentityFromInstanceId(std::string_view id);

// The USB storage driver's interfaces carry "usbsto" in their paths; the
// test is exact and case-sensitive, as the paths are lower case.
bool NamesUsbStorage(std::string_view path);

// The device's serial number from a USB storage path
// (\\?\usbstor#disk&ven_v&prod_p&rev_r#SERIAL&0#{class}); empty when
// Windows made the instance name up because the device reports no serial.
std::string SerialFromPath(std::string_view path);

class SetupApiEnumerator final : public DeviceEnumerator {
public:
    SetupApiEnumerator();
    explicit SetupApiEnumerator(DeviceInterfaceApi& api);

    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass cls) override;

private:
    DeviceInterfaceApi& api_;
};

}  // namespace qks::win
