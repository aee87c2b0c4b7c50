// Device notices for the window and for the command line's window of its
// own, and the firmware images the program finds among its own resources.
#include <gtest/gtest.h>

#include <initguid.h>
#include <windows.h>
#include <usbiodef.h>
#include <ntddstor.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "device/device_notifier.h"
#include "firmware/header_block.h"
#include "firmware/image_store.h"
#include "platform/windows/device_notices.h"
#include "platform/windows/notice_window.h"
#include "platform/windows/resource_images.h"

namespace qks::win {
namespace {

TEST(DeviceNotices, FilterAsksForEveryUsbDeviceInterface) {
    const DEV_BROADCAST_DEVICEINTERFACE_A filter = UsbDeviceNoticeFilter();
    EXPECT_EQ(filter.dbcc_size, 32u);
    EXPECT_EQ(filter.dbcc_devicetype, 5u);
    EXPECT_EQ(filter.dbcc_reserved, 0u);
    EXPECT_EQ(filter.dbcc_name[0], 0);
    EXPECT_EQ(0, std::memcmp(&filter.dbcc_classguid, &GUID_DEVINTERFACE_USB_DEVICE, sizeof(GUID)));
}

TEST(DeviceNotices, OnlyArrivalAndRemovalChangeTheList) {
    EXPECT_EQ(WM_DEVICECHANGE, 537u);
    EXPECT_TRUE(ChangesDeviceList(0x8000));
    EXPECT_TRUE(ChangesDeviceList(0x8004));
    EXPECT_FALSE(ChangesDeviceList(0x8001));   // query remove
    EXPECT_FALSE(ChangesDeviceList(0x0007));   // DBT_DEVNODES_CHANGED
    EXPECT_EQ(kDeviceArrival, static_cast<uint32_t>(DBT_DEVICEARRIVAL));
    EXPECT_EQ(kDeviceRemoveComplete, static_cast<uint32_t>(DBT_DEVICEREMOVECOMPLETE));
}

// The USB device, and the disk and CD-ROM interfaces that appear seconds
// after it on a first plug: a refresh on the first alone can find nothing.
std::vector<GUID> registeredClasses;
std::vector<DWORD> registeredFlags;
HDEVNOTIFY WINAPI RecordRegistration(HANDLE, LPVOID filter, DWORD flags) {
    const auto* f = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter);
    EXPECT_EQ(f->dbcc_size, 32u);
    EXPECT_EQ(f->dbcc_devicetype, 5u);
    registeredClasses.push_back(f->dbcc_classguid);
    registeredFlags.push_back(flags);
    return reinterpret_cast<HDEVNOTIFY>(registeredClasses.size());
}

TEST(DeviceNotices, TheWindowFollowsUsbDevicesDisksAndCdroms) {
    registeredClasses.clear();
    const auto handles = RegisterForDeviceNotices(nullptr, RecordRegistration);
    EXPECT_EQ(handles.size(), 3u);
    ASSERT_EQ(registeredClasses.size(), 3u);
    const GUID wanted[] = {GUID_DEVINTERFACE_USB_DEVICE, GUID_DEVINTERFACE_DISK,
                           GUID_DEVINTERFACE_CDROM};
    for (const GUID& cls : wanted)
        EXPECT_NE(std::find_if(registeredClasses.begin(), registeredClasses.end(),
                               [&](const GUID& g) { return std::memcmp(&g, &cls, sizeof g) == 0; }),
                  registeredClasses.end());
    for (DWORD flags : registeredFlags) EXPECT_EQ(flags, 0u);   // a window handle

    const HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                        GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    const auto notices = RegisterForDeviceNotices(window);
    EXPECT_EQ(notices.size(), 3u) << GetLastError();
    for (const HDEVNOTIFY n : notices) UnregisterDeviceNotification(n);
    DestroyWindow(window);
}

TEST(DeviceNotices, ABatchIsOneArrivalWhenAnythingArrived) {
    NoticeBatch batch;
    EXPECT_FALSE(batch.Pending());
    for (uint32_t code : {kDeviceRemoveComplete, kDeviceArrival, kDeviceRemoveComplete}) batch.Add(code);
    EXPECT_TRUE(batch.Pending());
    EXPECT_EQ(batch.Take(), kDeviceArrival);
    EXPECT_FALSE(batch.Pending());
    batch.Add(kDeviceRemoveComplete);
    EXPECT_EQ(batch.Take(), kDeviceRemoveComplete);
}

// The system sends WM_DEVICECHANGE from elsewhere while the program waits;
// a thread of the test stands in for it. Arrival and removal end the wait
// at once and reach the listener; other codes and other messages are
// handled without ending it.
TEST(NoticeWindow, ArrivalAndRemovalEndTheWaitOtherMessagesDoNot) {
    std::vector<uint32_t> heard;
    UsbNoticeWindow notices([&heard](uint32_t code) { heard.push_back(code); });
    ASSERT_EQ(notices.Error(), "");
    ASSERT_NE(notices.Handle(), nullptr);

    struct Case {
        const char* what;
        UINT message;
        WPARAM code;
        bool ends;
    };
    const Case cases[] = {
        {"arrival", WM_DEVICECHANGE, DBT_DEVICEARRIVAL, true},
        {"removal", WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, true},
        {"nodes changed", WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, false},
        {"query remove", WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, false},
        {"another message", WM_APP + 7, DBT_DEVICEARRIVAL, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        heard.clear();
        const HWND target = notices.Handle();
        std::thread system([&c, target] {
            Sleep(50);
            DWORD_PTR ignored = 0;
            SendMessageTimeoutA(target, c.message, c.code, 0, SMTO_NORMAL, 5000, &ignored);
        });
        const ULONGLONG started = GetTickCount64();
        const bool ended = notices.WaitUpTo(c.ends ? 20000 : 400);
        const ULONGLONG took = GetTickCount64() - started;
        system.join();
        EXPECT_EQ(ended, c.ends);
        if (c.ends) {
            EXPECT_EQ(heard, std::vector<uint32_t>{static_cast<uint32_t>(c.code)});
            EXPECT_LT(took, 5000u);
        } else {
            EXPECT_TRUE(heard.empty());
            EXPECT_GE(took, 380u);   // the tick count moves in steps of about 16 ms
        }
    }
}

// The notices of one plug (USB device, disk, CD-ROM), also those handled
// before the wait, reach the listener once, when they have settled.
TEST(NoticeWindow, TheNoticesOfOnePlugAreOneCall) {
    int heard = 0;
    UsbNoticeWindow notices([&heard](uint32_t) { ++heard; });
    ASSERT_EQ(notices.Error(), "");
    SendMessageA(notices.Handle(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    EXPECT_EQ(heard, 0);
    const HWND target = notices.Handle();
    std::thread system([target] {
        for (int i = 0; i < 2; ++i) {
            Sleep(kNoticeSettleMillis / 4);
            DWORD_PTR ignored = 0;
            SendMessageTimeoutA(target, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, SMTO_NORMAL, 5000,
                                &ignored);
        }
    });
    EXPECT_TRUE(notices.WaitUpTo(5000));
    system.join();
    EXPECT_EQ(heard, 1);
    EXPECT_FALSE(notices.WaitUpTo(100));
    EXPECT_EQ(heard, 1);
}

TEST(ResourceImages, TheProgramCarriesEveryImageOfTypeFW) {
    const ImageStore& images = EmbeddedImages();
    auto names = images.Names();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"FW719", "FW742A", "FW742B", "QKS958FW"}));
    for (const auto& name : names) EXPECT_FALSE(images.Find(name).empty()) << name;
}

TEST(ResourceImages, TargetImageIsReadInPlaceWithItsSignedHeader) {
    const auto image = EmbeddedImages().Find(kTargetImageName);
    ASSERT_EQ(image.size(), 51208u);
    EXPECT_TRUE(HasHeaderSignature(image.data(), kHeaderBlockBytes));
    // The same bytes every time: the resource is mapped, not copied.
    EXPECT_EQ(EmbeddedImages().Find(kTargetImageName).data(), image.data());
    // And the very bytes of the file the build embedded.
    EXPECT_EQ(Sha256Hex(image), QKS_TARGET_IMAGE_SHA256);
}

TEST(ResourceImages, NamesAreFoundAsTheSystemFindsThem) {
    const ImageStore& images = EmbeddedImages();
    EXPECT_TRUE(images.Find("NOSUCHFW").empty());
    EXPECT_TRUE(images.Find("").empty());
    // Resource names are not case-sensitive.
    EXPECT_EQ(images.Find("qks958fw").data(), images.Find(kTargetImageName).data());
}

TEST(ResourceImages, AModuleWithoutImagesHasNone) {
    const ResourceImageStore kernel(GetModuleHandleA("kernel32.dll"));
    EXPECT_TRUE(kernel.Names().empty());
    EXPECT_TRUE(kernel.Find(kTargetImageName).empty());
}

TEST(Sha256, MatchesTheStandardsVectors) {
    const auto bytes = [](const char* text) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
    };
    EXPECT_EQ(Sha256Hex(bytes("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex(bytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex(bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
}  // namespace qks::win
