// One SetupAPI pass, its calls and its rules, over a scripted device
// database; and the real SetupAPI.
#include <gtest/gtest.h>

#include <initguid.h>
#include <windows.h>
#include <setupapi.h>
#include <ntddstor.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/windows/setupapi_enumerator.h"

namespace qks::win {
namespace {

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

const HDEVINFO kSet = reinterpret_cast<HDEVINFO>(0x5e7);

// A device database: per class, the interface paths in member order; a
// path of nullptr stands for an interface whose detail cannot be read.
class ScriptedApi final : public DeviceInterfaceApi {
public:
    std::map<int, std::vector<const char*>> members;   // 0 disk, 1 CD-ROM
    bool noSet = false;
    std::vector<std::string> calls;
    std::vector<DWORD> detailSizes;
    std::vector<DWORD> detailHeaderSizes;
    std::vector<DWORD> interfaceDataSizes;
    int destroyed = 0;

    static int Class(const GUID& cls) { return SameGuid(cls, kDiskInterfaceClass) ? 0 : 1; }

    HDEVINFO GetClassDevs(const GUID& cls, DWORD flags) override {
        char call[48];
        std::snprintf(call, sizeof call, "classdevs %d flags %lu", Class(cls),
                      static_cast<unsigned long>(flags));
        calls.push_back(call);
        current_ = Class(cls);
        return noSet ? INVALID_HANDLE_VALUE : kSet;
    }
    BOOL EnumDeviceInterfaces(HDEVINFO set, const GUID& cls, DWORD member,
                              SP_DEVICE_INTERFACE_DATA& data) override {
        EXPECT_EQ(set, kSet);
        calls.push_back("enum " + std::to_string(member));
        interfaceDataSizes.push_back(data.cbSize);
        const auto& list = members[Class(cls)];
        if (member >= list.size()) {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        data.Reserved = member;
        return TRUE;
    }
    BOOL GetDeviceInterfaceDetail(HDEVINFO, SP_DEVICE_INTERFACE_DATA& data,
                                  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                  DWORD detailBytes) override {
        calls.push_back("detail " + std::to_string(data.Reserved));
        detailSizes.push_back(detailBytes);
        detailHeaderSizes.push_back(detail->cbSize);
        const char* path = members[current_][data.Reserved];
        if (path == nullptr) return FALSE;
        std::strcpy(detail->DevicePath, path);
        return TRUE;
    }
    void DestroyDeviceInfoList(HDEVINFO set) override {
        EXPECT_EQ(set, kSet);
        ++destroyed;
    }

    std::string ParentDeviceId(HDEVINFO, SP_DEVICE_INTERFACE_DATA& data) override {
        return data.Reserved < parents.size() ? parents[data.Reserved] : std::string();
    }
    std::vector<std::string> parents;   // by member, for every class

    std::vector<std::string> Pass(const GUID& cls) { return UsbStoragePaths(*this, cls); }

private:
    int current_ = 0;
};

constexpr const char* kUsbDisk =
    "\\\\?\\usbstor#disk&ven_tavrel&prod_qks970&rev_1.00#00000000123a&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kUsbDisk2 =
    "\\\\?\\usbstor#disk&ven_generic&prod_flash&rev_8.07#7&2b6a8f4c&0&0&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kSataDisk =
    "\\\\?\\scsi#disk&ven_wdc&prod_wd10ezex#4&1a2b3c4d&0&000000#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
constexpr const char* kUsbCdrom =
    "\\\\?\\usbstor#cdrom&ven_tavrel&prod_qks970_cd&rev_1.00#00000000123a&0#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";

TEST(SetupApiPass, ClassesAreThePlatformsDiskAndCdromInterfaces) {
    EXPECT_TRUE(SameGuid(kDiskInterfaceClass, GUID_DEVINTERFACE_DISK));
    EXPECT_TRUE(SameGuid(kCdromInterfaceClass, GUID_DEVINTERFACE_CDROM));
    EXPECT_EQ(kClassDevsFlags, 0x12u);
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), 5u);
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), 28u);
}

TEST(SetupApiPass, KeepsUsbStoragePathsInMemberOrderAndSkipsTheRest) {
    ScriptedApi api;
    api.members[0] = {kUsbDisk, kSataDisk, kUsbDisk2};
    EXPECT_EQ(api.Pass(kDiskInterfaceClass), (std::vector<std::string>{kUsbDisk, kUsbDisk2}));
    EXPECT_EQ(api.calls, (std::vector<std::string>{"classdevs 0 flags 18", "enum 0", "detail 0",
                                                   "enum 1", "detail 1", "enum 2", "detail 2",
                                                   "enum 3"}));
    EXPECT_EQ(api.destroyed, 1);
    for (DWORD size : api.detailSizes) EXPECT_EQ(size, 1024u);
    for (DWORD size : api.detailHeaderSizes) EXPECT_EQ(size, 5u);
    for (DWORD size : api.interfaceDataSizes) EXPECT_EQ(size, 28u);
}

TEST(SetupApiPass, StopsAtTheFirstInterfaceWhoseDetailFails) {
    ScriptedApi api;
    api.members[0] = {kUsbDisk, nullptr, kUsbDisk2};
    EXPECT_EQ(api.Pass(kDiskInterfaceClass), (std::vector<std::string>{kUsbDisk}));
    EXPECT_EQ(api.calls.back(), "detail 1");
    EXPECT_EQ(api.destroyed, 1);
}

TEST(SetupApiPass, WithoutADeviceSetNothingIsListedOrReleased) {
    ScriptedApi api;
    api.noSet = true;
    api.members[0] = {kUsbDisk};
    EXPECT_TRUE(api.Pass(kDiskInterfaceClass).empty());
    EXPECT_EQ(api.calls.size(), 1u);
    EXPECT_EQ(api.destroyed, 0);
}

TEST(SetupApiPass, UsbStorageTestIsExactAndCaseSensitive) {
    EXPECT_TRUE(NamesUsbStorage(kUsbDisk));
    EXPECT_TRUE(NamesUsbStorage("x#usbsto"));
    EXPECT_FALSE(NamesUsbStorage("\\\\?\\USBSTOR#DISK&VEN_X#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"));
    EXPECT_FALSE(NamesUsbStorage("usbst#or"));
    EXPECT_FALSE(NamesUsbStorage(kSataDisk));

    ScriptedApi api;
    api.members[0] = {"\\\\?\\USBSTOR#DISK&VEN_LOUD#9&0#{x}", kUsbDisk};
    EXPECT_EQ(api.Pass(kDiskInterfaceClass), (std::vector<std::string>{kUsbDisk}));
}

TEST(SetupApiPass, SerialComesFromTheInstanceName) {
    EXPECT_EQ(SerialFromPath(kUsbDisk), "00000000123a");
    EXPECT_EQ(SerialFromPath(kUsbCdrom), "00000000123a");
    EXPECT_EQ(SerialFromPath(kUsbDisk2), "");   // made up by Windows: no serial
    EXPECT_EQ(SerialFromPath("\\\\?\\usbstor#disk&ven_a#AB12&0"), "");   // no class part
    EXPECT_EQ(SerialFromPath("garbage"), "");
}

TEST(SetupApiEnumerator, ListsDisksAndCdromsFromTheirOwnClasses) {
    ScriptedApi api;
    api.members[0] = {kUsbDisk, kSataDisk};
    api.members[1] = {kUsbCdrom};
    SetupApiEnumerator enumerator(api);
    const auto disks = enumerator.ListUsbStorage(InterfaceClass::Disk);
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].path, kUsbDisk);
    EXPECT_EQ(disks[0].serial, "00000000123a");
    EXPECT_FALSE(disks[0].emulated);
    const auto cdroms = enumerator.ListUsbStorage(InterfaceClass::Cdrom);
    ASSERT_EQ(cdroms.size(), 1u);
    EXPECT_EQ(cdroms[0].path, kUsbCdrom);
    EXPECT_EQ(api.calls.front(), "classdevs 0 flags 18");
    EXPECT_NE(std::find(api.calls.begin(), api.calls.end(), "classdevs 1 flags 18"), api.calls.end());
}

TEST(SetupApiEnumerator, CdromPassFollowsTheDiskPassInTheSlots) {
    ScriptedApi api;
    api.members[0] = {kUsbDisk, kUsbDisk2};
    api.members[1] = {kUsbCdrom};
    SetupApiEnumerator enumerator(api);
    PathSlots slots;
    const int disks = EnumerateUsbDisks(enumerator, slots);
    const int cdroms = EnumerateUsbCdroms(enumerator, slots, disks);
    EXPECT_EQ(disks, 2);
    EXPECT_EQ(cdroms, 1);
    EXPECT_EQ(slots.slot[0].path, kUsbDisk);
    EXPECT_EQ(slots.slot[1].path, kUsbDisk2);
    EXPECT_EQ(slots.slot[2].path, kUsbCdrom);
}

// The USB device above the interface names the ids and the serial as the
// device reports them, as Linux reads them from sysfs; the lower-cased
// serial of the path serves only where there is no such parent.
TEST(SetupApiEnumerator, IdsAndSerialComeFromTheParentUsbDevice) {
    struct Case {
        const char* id;
        bool parsed;
        uint16_t vendor, product;
        const char* serial;
    };
    const Case cases[] = {
        {"USB\\VID_1C5B&PID_0970\\00000000123A", true, 0x1c5b, 0x0970, "00000000123A"},
        {"usb\\vid_1c5b&pid_0970\\AbC", true, 0x1c5b, 0x0970, "AbC"},
        {"USB\\VID_1C5B&PID_0970\\7&2B6A8F4C&0&2", true, 0x1c5b, 0x0970, ""},   // made up
        {"USB\\VID_1C5B&PID_0970&MI_00\\6&1&0", false, 0, 0, ""},   // a composite's function
        {"USBSTOR\\DISK&VEN_X\\1&0", false, 0, 0, ""},
        {"USB\\VID_1C5G&PID_0970\\1", false, 0, 0, ""},
        {"", false, 0, 0, ""},
    };
    for (const Case& c : cases) {
        const auto identity = UsbIdentityFromInstanceId(c.id);
        ASSERT_EQ(identity.has_value(), c.parsed) << c.id;
        if (!identity) continue;
        EXPECT_EQ(identity->vendor, c.vendor) << c.id;
        EXPECT_EQ(identity->product, c.product) << c.id;
        EXPECT_EQ(identity->serial, c.serial) << c.id;
    }

    ScriptedApi api;
    api.members[0] = {kUsbDisk, kUsbDisk2};
    api.parents = {"USB\\VID_1C5B&PID_0970\\00000000123A"};
    SetupApiEnumerator enumerator(api);
    const auto disks = enumerator.ListUsbStorage(InterfaceClass::Disk);
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0].serial, "00000000123A");
    EXPECT_EQ(disks[0].usbVendor, 0x1c5b);
    EXPECT_EQ(disks[0].usbProduct, 0x0970);
    EXPECT_EQ(disks[1].serial, "");   // no parent: the path, which has none
    EXPECT_EQ(disks[1].usbVendor, 0);
}

// Whatever this machine has: only USB storage interfaces, and no crash.
TEST(SetupApiEnumerator, SystemListingKeepsOnlyUsbStoragePaths) {
    SetupApiEnumerator enumerator;
    for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::Cdrom})
        for (const InterfaceInfo& info : enumerator.ListUsbStorage(cls))
            EXPECT_TRUE(NamesUsbStorage(info.path)) << info.path;
}

}  // namespace
}  // namespace qks::win
