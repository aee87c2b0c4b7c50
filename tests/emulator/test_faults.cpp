// Faults a description injects, seen from the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "device/chip_id.h"
#include "device/flash_ready.h"
#include "tests/emulator/rig.h"

namespace qks::emu::test {
namespace {

struct Events {
    std::vector<uint32_t> codes;
    void Listen(EmulatorPlatform& platform) {
        platform.Subscribe([this](uint32_t code) { codes.push_back(code); });
    }
};

// Four commands in a row: vendor mode, a write of 256 zero bytes at 0x100,
// a status read, a read back. Answers each command's result.
std::vector<int> SendFour(Rig& rig, const DevicePath& path) {
    const std::vector<uint8_t> zeros(256, 0);
    std::vector<uint8_t> back(256);
    uint8_t status = 0;
    return {rig.commands.EnterVendorMode(path),
            rig.commands.WriteFlash(path, 0x100, zeros.data(), 256),
            rig.commands.ReadFlashStatus(path, &status),
            rig.commands.ReadFlash(path, 0x100, back.data(), 256)};
}

class FailAt : public ::testing::TestWithParam<int> {};

TEST_P(FailAt, RefusesOnlyThatCommandAndChangesNothing) {
    const int n = GetParam();
    Rig rig;
    const DevicePath path = rig.Add("q970:content=blank,fail=" + std::to_string(n));
    const std::vector<int> results = SendFour(rig, path);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(results[i], i + 1 == n ? 0 : 1) << "command " << i + 1;
    const bool writeRefused = n == 2;
    EXPECT_EQ(rig.Bridge().Flash()[0x100], writeRefused ? 0xFF : 0x00);
    EXPECT_EQ(rig.Bridge().InVendorMode(), n != 1);
    EXPECT_EQ(rig.transport.LastFailure().senseText.find("HARDWARE ERROR"), 0u);
    EXPECT_EQ(rig.platform.CommandsSent(0), 4u);
}

INSTANTIATE_TEST_SUITE_P(EachPosition, FailAt, ::testing::Values(1, 2, 3, 4));

// short=N: the Nth command moves an eighth of its bytes with GOOD status; those
// before and after it move all of theirs.
TEST(ShortAt, ThatCommandMovesAnEighthOfItsBytesWithGoodStatus) {
    struct Case {
        std::string what;
        std::vector<uint8_t> cdb;
        DataDirection direction;
    };
    const std::vector<Case> cases = {
        {"first-family read", {0xFF, 0x04, 0x10, 0, 0x20, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In},
        {"block read", {0xDF, 0x10, 0, 0x02, 0x00, 0, 0, 0, 0, 0x20, 0, 0xFA}, DataDirection::In},
        {"block write", {0xDF, 0x00, 0, 0x02, 0x00, 0, 0, 0, 0, 0x20, 0, 0xFB}, DataDirection::Out},
    };
    for (const Case& c : cases) {
        Rig rig;
        const DevicePath path = rig.Add("q970:content=old,short=2");
        const auto flash = rig.Bridge().Flash();
        std::vector<uint32_t> moved;
        for (int n = 1; n <= 3; ++n) {
            const RawReply reply =
                Raw(rig.platform, path, c.cdb, c.direction, std::vector<uint8_t>(512, 0x00));
            EXPECT_TRUE(reply.outcome.Good()) << c.what << ", command " << n;
            moved.push_back(reply.outcome.transferred);
            if (n != 2 || c.direction != DataDirection::In) continue;
            EXPECT_EQ(Bytes(reply.data, 0, 64), Bytes(flash, 0x2000, 64)) << c.what;
            EXPECT_EQ(Bytes(reply.data, 64, 448), std::vector<uint8_t>(448, 0x00))
                << c.what << ": bytes past the short reply must not arrive";
        }
        EXPECT_EQ(moved, (std::vector<uint32_t>{512, 64, 512})) << c.what;
        if (c.direction == DataDirection::Out) {
            EXPECT_EQ(Bytes(flash, 0x2000, 512), std::vector<uint8_t>(512, 0x00))
                << "the later full writes program it all";
        }
    }
    Rig rig;
    const DevicePath path = rig.Add("q970:content=blank,short=1");
    const std::vector<uint8_t> zeros(512, 0x00);
    ASSERT_EQ(rig.commands.WriteFlash(path, 0x100, zeros.data(), 512), 1);
    EXPECT_EQ(Bytes(rig.Bridge().Flash(), 0x100, 64), Bytes(zeros, 0, 64));
    EXPECT_EQ(Bytes(rig.Bridge().Flash(), 0x140, 448), std::vector<uint8_t>(448, 0xFF))
        << "a short write programs only the bytes that arrived";
}

TEST(UnplugAt, TheDeviceVanishesBeforeThatCommandAndStaysAway) {
    Rig rig;
    Events events;
    events.Listen(rig.platform);
    const DevicePath path = rig.Add("q970:content=blank,unplug=3");
    const std::vector<int> results = SendFour(rig, path);
    EXPECT_EQ(results, (std::vector<int>{1, 1, 0, 0}));
    EXPECT_TRUE(rig.transport.LastFailure().openFailed);
    EXPECT_EQ(rig.transport.LastFailure().openFailure, OpenFailure::NotFound);
    EXPECT_EQ(rig.platform.CommandsSent(0), 2u);
    EXPECT_EQ(events.codes, std::vector<uint32_t>{kDeviceRemoveComplete});
    EXPECT_TRUE(rig.platform.ListUsbStorage(InterfaceClass::Disk).empty());
    EXPECT_EQ(rig.Bridge().Flash()[0x100], 0x00) << "what was written before stays";

    rig.platform.Plug(0);
    EXPECT_EQ(rig.commands.EnterVendorMode(path), 1) << "a person plugging it in brings it back";
}

TEST(PowerLossAt, AWriteKeepsItsFirstHalf) {
    Rig rig;
    Events events;
    events.Listen(rig.platform);
    const DevicePath path = rig.Add("q970:content=blank,powerloss=2");
    ASSERT_EQ(rig.commands.EnterVendorMode(path), 1);
    const std::vector<uint8_t> zeros(4096, 0);
    EXPECT_EQ(rig.commands.WriteFlash(path, 0, zeros.data(), 4096), 0);
    const auto flash = rig.Bridge().Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 2048, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(flash.begin() + 2048, flash.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_FALSE(rig.Bridge().Present());
    EXPECT_FALSE(rig.Bridge().InVendorMode());
    EXPECT_EQ(events.codes, std::vector<uint32_t>{kDeviceRemoveComplete});
    EXPECT_EQ(rig.commands.EnterVendorMode(path), 0);
}

TEST(PowerLossAt, AnEraseKeepsTheFirstHalfOfItsUnit) {
    struct Case {
        std::string what;
        std::function<int(Rig&, const DevicePath&)> send;
    };
    const std::vector<uint8_t> block(4096, 0x00);
    const std::vector<Case> cases = {
        {"sector erase", [](Rig& r, const DevicePath& p) { return r.commands.EraseFlashSector(p, 0); }},
        {"chip erase", [](Rig& r, const DevicePath& p) { return r.commands.EraseFlashChip(p); }},
        {"block write erasing first",
         [&block](Rig& r, const DevicePath& p) {
             return r.commands.WriteFlashExt(p, 0, block.data(), 4096, 2);
         }},
    };
    for (const Case& c : cases) {
        Rig rig;
        const DevicePath path = rig.Add("q970:vendor=6,powerloss=1");
        const std::vector<uint8_t> old(rig.Bridge().Flash().begin(), rig.Bridge().Flash().end());
        EXPECT_EQ(c.send(rig, path), 0) << c.what;
        const auto flash = rig.Bridge().Flash();
        EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 0x8000, [](uint8_t b) { return b == 0xFF; }))
            << c.what;
        EXPECT_TRUE(std::equal(old.begin() + 0x8000, old.end(), flash.begin() + 0x8000))
            << c.what << ": the second half must keep the old bytes, none programmed";
    }
}

TEST(PowerLoss, PullingThePlugMidEraseKeepsWhatTheEraseHadReached) {
    Rig rig;
    const DevicePath path = rig.Add("q970:vendor=6");
    const std::vector<uint8_t> old(rig.Bridge().Flash().begin(), rig.Bridge().Flash().end());
    ASSERT_EQ(rig.commands.EraseFlashSector(path, 0), 1);
    rig.clock.SleepMs(75);   // half of a 64 KB block erase
    rig.platform.Unplug(0);
    const auto flash = rig.Bridge().Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 0x7000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::equal(old.begin() + 0x9000, old.end(), flash.begin() + 0x9000));
}

TEST(BusyStuck, StatusNeverClearsYetOtherCommandsWork) {
    Rig rig;
    const DevicePath path = rig.Add("q970:busy=stuck");
    EXPECT_EQ(WaitFlashReady(rig.commands, rig.clock, path), 0);
    rig.clock.SleepMs(60'000);
    uint8_t status = 0;
    ASSERT_EQ(rig.commands.ReadFlashStatus(path, &status), 1);
    EXPECT_EQ(status & 1, 1);

    std::vector<uint8_t> data(512);
    ASSERT_EQ(rig.commands.ReadFlash(path, 0, data.data(), 512), 1);
    EXPECT_EQ(data, Bytes(rig.Bridge().Flash(), 0, 512));
    ASSERT_EQ(rig.commands.EnterVendorMode(path), 1);
    const std::vector<uint8_t> zeros(16, 0);
    ASSERT_EQ(rig.commands.WriteFlash(path, 0x200, zeros.data(), 16), 1);
    EXPECT_EQ(Bytes(rig.Bridge().Flash(), 0x200, 16), zeros);
}

// vendormode=1: the flash answers only in vendor mode, identification in
// either; the refusal names its rule and changes nothing.
TEST(VendorModeRequired, FlashCommandsOnlyBetweenEnterAndExit) {
    Rig rig;
    const DevicePath path = rig.Add("q970:vendormode=1");
    const auto before = Bytes(rig.Bridge().Flash(), 0, 16);
    const std::vector<uint8_t> zeros(16, 0);
    std::vector<uint8_t> data(16);
    uint8_t vendor[4] = {};
    const auto refused = [&] {
        const auto& sense = rig.transport.LastFailure().sense;
        return sense.size() > 13 && (sense[2] & 0x0F) == 0x05 && sense[12] == 0x24 &&
               sense[13] == 0x83;
    };
    EXPECT_EQ(rig.commands.WriteFlash(path, 0, zeros.data(), 16), 0);
    EXPECT_TRUE(refused());
    EXPECT_EQ(rig.commands.ReadFlashVendor(path, vendor), 0);
    struct : UserMessages {
        void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override {}
        void DebugOutput(const std::string&) override {}
    } quiet;
    EXPECT_EQ(ChipTypeOf(GetChipId(rig.commands, quiet, path)), 10);
    EXPECT_EQ(Bytes(rig.Bridge().Flash(), 0, 16), before);

    ASSERT_EQ(rig.commands.EnterVendorMode(path), 1);
    EXPECT_EQ(rig.commands.ReadFlash(path, 0, data.data(), 16), 1);
    EXPECT_EQ(rig.commands.ReadFlashVendor(path, vendor), 1);
    ASSERT_EQ(rig.commands.ExitVendorMode(path), 1);
    EXPECT_EQ(rig.commands.ReadFlash(path, 0, data.data(), 16), 0);
    EXPECT_TRUE(refused());
}

class FlipAt : public ::testing::TestWithParam<std::string> {};

TEST_P(FlipAt, OneBitReadsBackFlippedThroughBothFamilies) {
    Rig rig;
    const DevicePath path = rig.Add("q970:content=blank,flip=" + GetParam());
    constexpr uint32_t kFlipped = 0x1234;
    std::vector<uint8_t> first(8192), second(8192);
    ASSERT_EQ(rig.commands.ReadFlash(path, 0, first.data(), 8192), 1);
    ASSERT_EQ(rig.commands.ReadFlashExt(path, 0, second.data(), 8192), 1);
    for (const auto* read : {&first, &second}) {
        for (uint32_t i = 0; i < read->size(); ++i)
            ASSERT_EQ((*read)[i], i == kFlipped ? 0xFE : 0xFF) << "at " << i;
    }
    EXPECT_EQ(rig.Bridge().Flash()[kFlipped], 0xFF) << "the stored byte is intact";
}

INSTANTIATE_TEST_SUITE_P(DecimalAndHex, FlipAt, ::testing::Values("4660", "0x1234"));

TEST(StaleHandle, AHandleFromBeforeAPowerCycleNoLongerReachesTheChip) {
    Rig rig;
    const DevicePath path = rig.Add("q970");
    OpenResult opened = rig.platform.Open(path, OpenMode::Shared);
    ASSERT_TRUE(opened.handle);
    rig.platform.PowerCycle(0);
    const uint8_t cdb[12] = {0xFF, 0x04, 0x51, 0x4B, 0x55};
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = 12;
    command.direction = DataDirection::Out;
    EXPECT_FALSE(opened.handle->Execute(command).delivered);
    EXPECT_FALSE(rig.Bridge().InVendorMode());
    EXPECT_EQ(rig.platform.CommandsSent(0), 0u);
}

}  // namespace
}  // namespace qks::emu::test
