// YES from end to end on emulated bridges: what the flash holds afterwards,
// and the screen the user is left with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "firmware/header_block.h"
#include "model_fixture.h"

namespace qks::test {
namespace {

std::vector<uint8_t> MergedHeader(const std::vector<uint8_t>& flashBefore) {
    HeaderBlock device{};
    std::copy_n(flashBefore.begin(), kHeaderBlockBytes, device.begin());
    HeaderBlock image{};
    const auto img = ModelFixture::Image();
    std::copy_n(img.begin(), kHeaderBlockBytes, image.begin());
    MergeHeaderBlock(device, image);
    return {device.begin(), device.end()};
}

// What the recovery must leave in the first 64 KB: the merged header, the
// image body, and after the image either zeros (programming path) or the old
// bytes (block-update path).
std::vector<uint8_t> ExpectedFlash(const std::vector<uint8_t>& before, bool keepTail) {
    const auto image = ModelFixture::Image();
    std::vector<uint8_t> expected(65536, 0);
    if (keepTail) std::copy_n(before.begin(), 65536, expected.begin());
    const auto header = MergedHeader(before);
    std::copy(header.begin(), header.end(), expected.begin());
    std::copy(image.begin() + 128, image.end(), expected.begin() + 128);
    if (!keepTail) std::fill(expected.begin() + static_cast<long>(image.size()), expected.end(), 0);
    return expected;
}

struct PathCase {
    std::string description;
    bool blockPath;
};

class RecoveryPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(RecoveryPaths, ProgramsTheImageBehindTheMergedHeader) {
    ModelFixture fx({GetParam().description});
    const auto before = fx.Flash();
    auto& w = fx.Open();
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(w.CurrentScreen(), Screen::Success);
    const auto after = fx.Flash();
    const auto expected = ExpectedFlash(before, GetParam().blockPath);
    ASSERT_TRUE(std::equal(expected.begin(), expected.end(), after.begin()))
        << "first difference at "
        << std::mismatch(expected.begin(), expected.end(), after.begin()).first - expected.begin();
    EXPECT_EQ(fx.platform->Bridge(0).Command25Count(), 1u);
}

std::vector<PathCase> AllPaths() {
    std::vector<PathCase> cases;
    for (int vendor = 0; vendor <= 9; ++vendor) {
        cases.push_back({"q970:vendor=" + std::to_string(vendor), false});
        cases.push_back({"q970:blockmode=1,vendor=" + std::to_string(vendor), true});
    }
    cases.push_back({"q970:late=1", true});
    cases.push_back({"q970:content=blank", false});
    cases.push_back({"q970:content=blank,blockmode=1", true});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Model, RecoveryPaths, ::testing::ValuesIn(AllPaths()),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(RecoveryHeader, KeepsTheDeviceIdentityAndTakesTheMaskedBytesFromTheImage) {
    ModelFixture fx({"q970"});
    const auto before = fx.Flash();
    ASSERT_EQ(before[126], 'Q');
    ASSERT_EQ(before[127], 'K');
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    const auto after = fx.Flash();
    const auto image = ModelFixture::Image();
    for (size_t i = 0; i < 128; ++i) {
        const bool fromImage = HeaderMergeMask[i] < 256;
        EXPECT_EQ(after[i], fromImage ? image[i] : before[i]) << "byte " << i;
    }
    EXPECT_NE(std::memcmp(after.data(), image.data(), 4), 0) << "USB ids must stay the device's";
}

TEST(RecoveryHeader, AnUnsignedHeaderIsReplacedByTheImageHeader) {
    ModelFixture fx({"q970:content=blank"});
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    const auto after = fx.Flash();
    const auto image = ModelFixture::Image();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 128, after.begin()));
}

TEST(RecoveryProgress, StepsFromTwentyAndHidesTheBarAtTheEnd) {
    ModelFixture fx({"q970"});
    auto& w = fx.Open();
    std::vector<int> positions;
    fx.face.onEvents = [&] { positions.push_back(w.Control(ControlId::FwUpdatBar).position); };
    w.Click(ControlId::EraseButton);
    ASSERT_FALSE(positions.empty());
    EXPECT_GE(positions.front(), 20);
    EXPECT_FALSE(w.Control(ControlId::FwUpdatBar).visible);
    EXPECT_TRUE(w.Control(ControlId::EraseButton).enabled);
    EXPECT_FALSE(w.Control(ControlId::EraseButton).visible);
    EXPECT_TRUE(w.Control(ControlId::ExtBtn).visible);
    EXPECT_EQ(w.Control(ControlId::replugLable1).text, "Please un-plug AC adapter ");
    EXPECT_EQ(w.Control(ControlId::replugLable2).text, "and plug it again");
}

// Every injected fault ends in the Failure screen, never a false Success.
class RecoveryFaults : public ::testing::TestWithParam<std::string> {};

TEST_P(RecoveryFaults, EndInTheFailureScreen) {
    ModelFixture fx({GetParam()});
    auto& w = fx.Open();
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(w.CurrentScreen(), Screen::Failure);
    EXPECT_EQ(w.Control(ControlId::devLable).text, kFailureText);
    EXPECT_EQ(w.Control(ControlId::devLable).color, kRed);
    EXPECT_TRUE(w.Control(ControlId::devLable).visible);
    EXPECT_FALSE(w.Control(ControlId::FwUpdatBar).visible);
}

INSTANTIATE_TEST_SUITE_P(Model, RecoveryFaults,
                         ::testing::Values("q970:flip=0x9000", "q970:blockmode=1,flip=0x9000",
                                           "q970:unplug=60", "q970:blockmode=1,unplug=70",
                                           "q970:powerloss=62", "q970:blockmode=1,powerloss=80"));

TEST(RecoveryFaults, AnUnreadableHeaderStopsBeforeAnythingIsWritten) {
    // The click sends IsBlockUpdateMode, VendorCommand25, one status read and
    // then the header read: refuse exactly that one.
    uint64_t atOpen = 0;
    {
        ModelFixture counting({"q970"});
        counting.Open();
        atOpen = counting.platform->CommandsSent(0);
    }
    ModelFixture fx({"q970:fail=" + std::to_string(atOpen + 4)});
    const auto before = fx.Flash();
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(w.CurrentScreen(), Screen::Failure);
    EXPECT_EQ(fx.Flash(), before);
    ASSERT_FALSE(fx.trace.records.empty());
    const auto& last = fx.trace.records.back();
    EXPECT_FALSE(last.ok);
    EXPECT_EQ(last.cdb[0], 0xDF);   // nothing was sent after the refused read
    EXPECT_EQ(last.cdb[11], 0xFA);
}

// The host has the enclosure's disk mounted: nothing is erased, and the box
// after the Failure screen says where it is mounted and how to unmount it.
TEST(RecoveryGuard, AMountedDiskStopsBeforeTheFirstErase) {
    ModelFixture fx({"q970:mounted=/media/u/DISK"});
    const auto before = fx.Flash();
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(w.CurrentScreen(), Screen::Failure);
    EXPECT_EQ(fx.Flash(), before);
    ASSERT_FALSE(fx.face.boxes.empty());
    EXPECT_NE(fx.face.boxes.back().find("is mounted at /media/u/DISK (umount /media/u/DISK)"),
              std::string::npos)
        << fx.face.boxes.back();
}

TEST(RecoveryGuard, DevelopmentImageOnRealHardwareNeedsAnExplicitYes) {
    ModelFixture fx({"q970"});
    RealLookingEnumerator real(*fx.platform);
    auto& w = fx.Open(&real);
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    const auto before = fx.Flash();
    const uint64_t sent = fx.platform->CommandsSent();
    w.Click(ControlId::EraseButton);
    ASSERT_EQ(fx.face.risks.size(), 1u);
    EXPECT_EQ(fx.platform->CommandsSent(), sent);
    EXPECT_EQ(w.CurrentScreen(), Screen::Confirm);
    EXPECT_EQ(fx.Flash(), before);
    fx.face.acceptRisk = true;
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(w.CurrentScreen(), Screen::Success);
}

// While the question is open the bridge it is about goes away: the refresh
// waits, the other (updated) bridge is never written, and the Failure screen
// is followed by a box that says why.
TEST(RecoveryGuard, AnUnplugWhileTheQuestionIsOpenWritesNoOtherBridge) {
    ModelFixture fx({"q970", "q970:content=updated"});
    RealLookingEnumerator real(*fx.platform);
    auto& w = fx.Open(&real);
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    const auto other = fx.Flash(1);
    fx.face.acceptRisk = true;
    fx.face.onRisk = [&] { fx.platform->Unplug(0); };
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(fx.Flash(1), other);
    EXPECT_EQ(w.CurrentScreen(), Screen::Failure);
    ASSERT_FALSE(fx.face.boxes.empty());
    EXPECT_EQ(fx.face.boxes.back().rfind("Error: The update did not complete.", 0), 0u)
        << fx.face.boxes.back();
    // Nothing reached the flash, and the box says so.
    EXPECT_NE(fx.face.boxes.back().find(kNothingWritten), std::string::npos) << fx.face.boxes.back();
    EXPECT_FALSE(w.LastOutcome().Ok());
}

TEST(RecoveryConcurrency, NoDuringTheOperationClosesOnlyAfterItReturns) {
    ModelFixture fx({"q970"});
    auto& w = fx.Open();
    int closesSeen = -1;
    bool saidWhy = false;
    fx.face.onEvents = [&] {
        w.Click(ControlId::ExitBtn);
        closesSeen = fx.face.closes;
        saidWhy = w.Control(ControlId::CloseHeldLine).visible &&
                  w.Control(ControlId::CloseHeldLine).text == kCloseHeldText;
    };
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(closesSeen, 0);
    EXPECT_TRUE(saidWhy);
    EXPECT_EQ(fx.face.closes, 1);
    EXPECT_EQ(w.CurrentScreen(), Screen::Success);
}

TEST(RecoveryConcurrency, ANoticeDuringTheOperationDoesNotInterleaveCommands) {
    ModelFixture fx({"q970", "q970:vendor=6"});
    auto& w = fx.Open();
    uint64_t secondBridgeDuring = 0;
    fx.face.onEvents = [&] {
        const uint64_t before = fx.platform->CommandsSent(1);
        fx.platform->Unplug(1);
        secondBridgeDuring = fx.platform->CommandsSent(1) - before;
    };
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(secondBridgeDuring, 0u);
    EXPECT_EQ(w.CurrentScreen(), Screen::Success);   // the outcome stays on screen
    fx.platform->Plug(1);
    EXPECT_EQ(w.CurrentScreen(), Screen::Confirm);   // the next notice refreshes
    EXPECT_EQ(w.Control(ControlId::DeviceList).items.size(), 1u);
}

// The refresh identifies each path once and the selection takes its answer:
// a bridge whose identification was refused is never listed, so YES cannot
// reach a chip nobody identified.
TEST(RecoveryChipTypes, AnUnidentifiedBridgeIsNeverOfferedToYes) {
    ModelFixture fx({"q970:fail=1"});
    auto& w = fx.Open();
    EXPECT_EQ(w.CurrentScreen(), Screen::NoDevice);
    EXPECT_FALSE(w.Control(ControlId::EraseButton).enabled);
    EXPECT_EQ(w.SelectedRow(), nullptr);
}

// With two enclosures on the desk the question says which one YES writes,
// and after the first is done and unplugged, that the second is next.
TEST(RecoveryQuestion, NamesTheEnclosureYesWrites) {
    ModelFixture fx({"q970:serial=FIRST", "q970:serial=SECOND"});
    auto& w = fx.Open();
    const auto& line = w.Control(ControlId::EnclosureLine);
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    EXPECT_EQ(w.Control(ControlId::devLable).text, kConfirmText);
    EXPECT_TRUE(line.visible);
    EXPECT_EQ(line.text, "Tavrel QKS970 USB Disk, serial FIRST, QKS970/958 Series");
    w.Click(ControlId::EraseButton);
    ASSERT_EQ(w.CurrentScreen(), Screen::Success);
    EXPECT_FALSE(line.visible);
    fx.platform->Unplug(0);
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    EXPECT_TRUE(line.visible);
    EXPECT_EQ(line.text, "Tavrel QKS970 USB Disk, serial SECOND, QKS970/958 Series");
    fx.platform->Unplug(1);
    EXPECT_FALSE(line.visible);
}

}  // namespace
}  // namespace qks::test
