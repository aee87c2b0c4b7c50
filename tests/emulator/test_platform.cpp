// The platform side: listing, opening, presence, persistence and the
// contents a profile starts with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "device/flash_ready.h"
#include "emulator/flash_content.h"
#include "tests/emulator/rig.h"

namespace qks::emu::test {
namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string TempFile(const std::string& name) {
    const std::string path = ::testing::TempDir() + "qks_emu_" + name;
    std::filesystem::remove(path);
    return path;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Paths, AreLowerCaseUniqueStableAndNameTheStorageClass) {
    const std::vector<std::string> descriptions = {"q970", "q970:iface=both", "plain:iface=cdrom",
                                                   "qk60716u"};
    auto listAll = [&descriptions](Rig& rig) {
        for (const auto& d : descriptions) rig.Add(d);
        std::vector<InterfaceInfo> all = rig.platform.ListUsbStorage(InterfaceClass::Disk);
        for (auto& info : rig.platform.ListUsbStorage(InterfaceClass::Cdrom)) all.push_back(info);
        return all;
    };
    Rig first, second;
    const auto listed = listAll(first);
    const auto again = listAll(second);
    ASSERT_EQ(listed.size(), 5u);
    std::set<std::string> unique;
    for (size_t i = 0; i < listed.size(); ++i) {
        const std::string& path = listed[i].path;
        EXPECT_EQ(path, again[i].path) << "paths must not change between runs";
        EXPECT_NE(path.find("usbstor"), std::string::npos) << path;
        EXPECT_TRUE(std::none_of(path.begin(), path.end(), [](char c) { return std::isupper(c); }))
            << path;
        EXPECT_TRUE(listed[i].emulated);
        unique.insert(path);
    }
    EXPECT_EQ(unique.size(), listed.size());
    EXPECT_EQ(listed[0].path, "emu:usbstor#disk&ven_tavrel&prod_q970#0");
    EXPECT_EQ(listed[0].serial, "EMU0-Q970");
    EXPECT_EQ(listed[0].usbVendor, kTavrelUsbVendor);
    EXPECT_EQ(listed[0].usbProduct, 0x0970);
}

TEST(Paths, EnclosuresCanShareTheSerialTheyReport) {
    Rig rig;
    rig.Add("q970:serial=0123456789AB");
    rig.Add("q970:serial=0123456789AB");
    rig.Add("q970");
    const auto listed = rig.platform.ListUsbStorage(InterfaceClass::Disk);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].serial, "0123456789AB");
    EXPECT_EQ(listed[1].serial, "0123456789AB");
    EXPECT_NE(listed[0].path, listed[1].path);
    EXPECT_EQ(listed[2].serial, "EMU2-Q970");
}

TEST(Paths, BothInterfacesLeadToTheSameBridge) {
    Rig rig;
    rig.Add("q970:iface=both");
    const auto disks = rig.platform.ListUsbStorage(InterfaceClass::Disk);
    const auto cdroms = rig.platform.ListUsbStorage(InterfaceClass::Cdrom);
    ASSERT_EQ(disks.size(), 1u);
    ASSERT_EQ(cdroms.size(), 1u);
    ASSERT_EQ(rig.commands.EnterVendorMode(cdroms[0].path), 1);
    EXPECT_TRUE(rig.Bridge().InVendorMode());
    uint8_t inquiry[40] = {};
    ASSERT_EQ(rig.commands.Inquiry(cdroms[0].path, inquiry, 40), 1);
    EXPECT_EQ(inquiry[0], 0x05) << "the CD-ROM interface reports a CD-ROM device";
    ASSERT_EQ(rig.commands.Inquiry(disks[0].path, inquiry, 40), 1);
    EXPECT_EQ(inquiry[0], 0x00);
}

TEST(Open, IgnoresCaseAndFailsForPathsThatAreNotThere) {
    Rig rig;
    const DevicePath path = rig.Add("q970");
    EXPECT_EQ(rig.commands.EnterVendorMode(Upper(path)), 1);
    const OpenResult missing = rig.platform.Open("emu:usbstor#disk&ven_tavrel&prod_q970#7", OpenMode::Shared);
    EXPECT_FALSE(missing.handle);
    EXPECT_EQ(missing.failure, OpenFailure::NotFound);
}

struct PlugCase {
    std::string name;
    std::vector<char> actions;   // u: unplug, p: plug, c: power cycle
    std::vector<uint32_t> events;
    bool presentAfter;
};

class Hotplug : public ::testing::TestWithParam<PlugCase> {};

TEST_P(Hotplug, NotifiesEachChangeOfPresence) {
    const PlugCase& c = GetParam();
    Rig rig;
    const DevicePath path = rig.Add("q970");
    std::vector<uint32_t> events;
    rig.platform.Subscribe([&events](uint32_t code) { events.push_back(code); });
    for (char action : c.actions) {
        if (action == 'u') rig.platform.Unplug(0);
        if (action == 'p') rig.platform.Plug(0);
        if (action == 'c') rig.platform.PowerCycle(0);
    }
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(rig.platform.ListUsbStorage(InterfaceClass::Disk).size(), c.presentAfter ? 1u : 0u);
    const OpenResult opened = rig.platform.Open(path, OpenMode::Shared);
    EXPECT_EQ(opened.handle != nullptr, c.presentAfter);
    if (!c.presentAfter) {
        EXPECT_EQ(opened.failure, OpenFailure::NotFound);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Hotplug,
    ::testing::Values(
        PlugCase{"Unplug", {'u'}, {kDeviceRemoveComplete}, false},
        PlugCase{"UnplugTwice", {'u', 'u'}, {kDeviceRemoveComplete}, false},
        PlugCase{"PlugWhilePresent", {'p'}, {}, true},
        PlugCase{"UnplugThenPlug", {'u', 'p'}, {kDeviceRemoveComplete, kDeviceArrival}, true},
        PlugCase{"PowerCycle", {'c'}, {kDeviceRemoveComplete, kDeviceArrival}, true},
        PlugCase{"PowerCycleWhileAway", {'u', 'c'}, {kDeviceRemoveComplete, kDeviceArrival}, true}),
    [](const auto& info) { return info.param.name; });

TEST(FlashFile, WhatOneRunProgramsTheNextRunFinds) {
    const std::string file = TempFile("persist.bin");
    const std::vector<uint8_t> zeros(256, 0x00);
    {
        Rig rig;
        const DevicePath path = rig.Add("q970:flash=" + file);
        EXPECT_EQ(ReadFile(file), Bytes(rig.Bridge().Flash(), 0, 65536))
            << "a missing file starts as the profile's content";
        ASSERT_EQ(rig.commands.EraseFlashSector(path, 0), 1);
        ASSERT_EQ(WaitFlashReady(rig.commands, rig.clock, path), 1);
        ASSERT_EQ(rig.commands.WriteFlash(path, 0x4000, zeros.data(), 256), 1);
    }
    Rig next;
    const DevicePath path = next.Add("q970:flash=" + file);
    std::vector<uint8_t> back(512);
    ASSERT_EQ(next.commands.ReadFlash(path, 0x4000, back.data(), 512), 1);
    EXPECT_EQ(Bytes(back, 0, 256), zeros);
    EXPECT_EQ(Bytes(back, 256, 256), std::vector<uint8_t>(256, 0xFF));
    EXPECT_EQ(ReadFile(file), Bytes(next.Bridge().Flash(), 0, 65536));
    std::filesystem::remove(file);
}

TEST(FlashFile, AFileOfTheWrongSizeIsRefused) {
    const std::string file = TempFile("short.bin");
    std::ofstream(file, std::ios::binary) << std::string(1000, 'x');
    Rig rig;
    const AddedBridge added = rig.platform.AddBridge("q970:flash=" + file);
    EXPECT_FALSE(added.ok());
    EXPECT_NE(added.error.find("1000 bytes"), std::string::npos) << added.error;
    EXPECT_EQ(rig.platform.BridgeCount(), 0u);
    std::filesystem::remove(file);
}

TEST(Content, EveryRunMakesTheSameBytes) {
    for (const std::string description : {"q970", "q970:content=updated", "q742:size=1M", "q716"}) {
        Rig first, second;
        first.Add(description);
        second.Add(description);
        EXPECT_TRUE(std::ranges::equal(first.Bridge().Flash(), second.Bridge().Flash())) << description;
        EXPECT_TRUE(std::ranges::equal(first.Bridge().Rom(), second.Bridge().Rom())) << description;
    }
}

TEST(Content, OldAndUpdatedShareTheDevicesOwnHeader) {
    Rig rig;
    rig.Add("q970:content=old");
    rig.Add("q970:content=updated");
    const auto old = rig.Bridge(0).Flash();
    const auto updated = rig.Bridge(1).Flash();
    const auto& image = rig.image;

    EXPECT_TRUE(std::equal(old.begin(), old.begin() + 128, updated.begin()));
    EXPECT_EQ(old[126], 'Q');
    EXPECT_EQ(old[127], 'K');
    EXPECT_NE(Bytes(old, 0, 4), Bytes(image, 0, 4)) << "the device has its own USB ids";
    EXPECT_NE(Bytes(old, 14, 32), Bytes(image, 14, 32));
    EXPECT_NE(Bytes(old, 50, 31), Bytes(image, 50, 31));

    EXPECT_NE(old[128], image[128]) << "an old flash must fail the already-updated test at once";
    EXPECT_TRUE(std::equal(image.begin() + 128, image.end(), updated.begin() + 128));
    EXPECT_TRUE(std::equal(old.begin() + image.size(), old.end(), updated.begin() + image.size()))
        << "past the image the updated flash keeps the old bytes";
}

TEST(Content, BlankIsErased) {
    Rig rig;
    rig.Add("q970:content=blank,size=256K");
    const auto flash = rig.Bridge().Flash();
    EXPECT_EQ(flash.size(), 262144u);
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST(Counters, CountCommandsAndBytesPerBridge) {
    Rig rig;
    const DevicePath a = rig.Add("q970");
    const DevicePath b = rig.Add("q958");
    std::vector<uint8_t> data(8192);
    ASSERT_EQ(rig.commands.ReadFlashExt(a, 0, data.data(), 8192), 1);
    ASSERT_EQ(rig.commands.ReadFlash(a, 0, data.data(), 100), 1);
    ASSERT_EQ(rig.commands.EnterVendorMode(b), 1);
    EXPECT_EQ(rig.commands.ReadFlashVendor(b, data.data()), 1);
    uint8_t ignored[4];
    rig.transport.ScsiTransferIn(a, std::vector<uint8_t>{0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}.data(), 10,
                                 ignored, 4, nullptr);
    EXPECT_EQ(rig.platform.CommandsSent(0), 3u) << "a refused command is still a command";
    EXPECT_EQ(rig.platform.CommandsSent(1), 2u);
    EXPECT_EQ(rig.platform.CommandsSent(), 5u);
    EXPECT_EQ(rig.platform.BytesMoved(0), 8292u);
    EXPECT_EQ(rig.platform.BytesMoved(1), 4u);
    EXPECT_EQ(rig.platform.BytesMoved(), rig.transport.BytesMoved());
}

}  // namespace
}  // namespace qks::emu::test
