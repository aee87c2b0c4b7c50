// Discovery, the screens it leads to, and hot-plug, on emulated bridges.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "device/device_notifier.h"
#include "model_fixture.h"

namespace qks::test {
namespace {

struct ScreenCase {
    const char* name;
    std::vector<std::string> bridges;
    Screen screen;
    size_t items;
    int deviceCount;
};

class DiscoveryScreens : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(DiscoveryScreens, EndsInTheScreenTheBridgesCallFor) {
    const auto& c = GetParam();
    ModelFixture fx(c.bridges);
    auto& w = fx.Open();
    EXPECT_EQ(w.CurrentScreen(), c.screen);
    EXPECT_EQ(w.DeviceCount(), c.deviceCount);
    if (c.screen == Screen::Confirm) {
        EXPECT_EQ(w.Control(ControlId::DeviceList).items.size(), c.items);
        EXPECT_EQ(w.Control(ControlId::DeviceList).selected, 0);
    } else {
        EXPECT_TRUE(w.Control(ControlId::DeviceList).items.size() == c.items);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Model, DiscoveryScreens,
    ::testing::Values(
        ScreenCase{"nothing", {}, Screen::NoDevice, 1, 0},
        ScreenCase{"target", {"q970"}, Screen::Confirm, 1, 1},
        ScreenCase{"updated", {"q970:content=updated"}, Screen::AlreadyUpdated, 0, 1},
        ScreenCase{"updatedAmongOthers", {"q719", "q970:content=updated", "plain"},
                   Screen::AlreadyUpdated, 0, 3},
        ScreenCase{"onlyOthers", {"q719", "plain"}, Screen::NoDevice, 0, 2},
        ScreenCase{"blankTarget", {"q970:content=blank"}, Screen::Confirm, 1, 1},
        ScreenCase{"twoTargets", {"q970", "q970:vendor=5"}, Screen::Confirm, 2, 2},
        // No fixed count: a target behind the host's own disks is still found.
        ScreenCase{"targetAfterSeventeenDisks",
                   [] {
                       std::vector<std::string> bridges(17, "plain");
                       bridges.push_back("q970");
                       return bridges;
                   }(),
                   Screen::Confirm, 1, 18},
        // The device table grows with the list.
        ScreenCase{"twentyTargets", std::vector<std::string>(20, "q970"), Screen::Confirm, 20, 20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiscoveryScreen, ShowsOnlyExitWhenNothingIsPlugged) {
    ModelFixture fx;
    auto& w = fx.Open();
    EXPECT_TRUE(w.Control(ControlId::ExtBtn).visible);
    EXPECT_FALSE(w.Control(ControlId::EraseButton).visible);
    EXPECT_FALSE(w.Control(ControlId::ExitBtn).visible);
    EXPECT_EQ(w.Control(ControlId::devLable).text, kNoDeviceText);
    EXPECT_EQ(w.Control(ControlId::devLable).color, kRed);
    EXPECT_EQ(w.Control(ControlId::DeviceList).items,
              std::vector<std::string>{"No available device!!!"});
    EXPECT_FALSE(w.Control(ControlId::DeviceList).enabled);
}

TEST(DiscoveryScreen, ConfirmNamesTheBridgeByItsInquiryText) {
    ModelFixture fx({"q970"});
    auto& w = fx.Open();
    EXPECT_EQ(w.Control(ControlId::devLable).text, kConfirmText);
    EXPECT_EQ(w.Control(ControlId::devLable).color, kBlack);
    EXPECT_TRUE(w.Control(ControlId::EraseButton).visible);
    EXPECT_TRUE(w.Control(ControlId::ExitBtn).visible);
    EXPECT_FALSE(w.Control(ControlId::ExtBtn).visible);
    const std::string item = w.Control(ControlId::DeviceList).items.at(0);
    ASSERT_EQ(item.rfind("<<USB>> ", 0), 0u);
    EXPECT_EQ(item.size(), 8u + 24u);   // vendor and product text, no NUL inside
    EXPECT_EQ(w.Control(ControlId::ChipLabelEdit).text, "QKS970/958 Series");
    EXPECT_EQ(w.Control(ControlId::StatusEdit).text, "The chip not support Firmware Update!");
    EXPECT_EQ(ChipTypeOf(w.ChipId()), 10);
}

TEST(DiscoveryScreen, WindowShrinksToTheQuestionAndButtons) {
    ModelFixture fx({"q970"});
    auto& w = fx.Open();
    EXPECT_EQ(w.ClientHeight(), 229 - 129);
    EXPECT_FALSE(w.Control(ControlId::RdPanel).visible);
}

TEST(DiscoveryTable, SkipsAnUpdatedBridgeAndReusesItsRow) {
    ModelFixture fx({"q970:content=updated", "q970"});
    auto& w = fx.Open();
    ASSERT_EQ(w.Control(ControlId::DeviceList).items.size(), 1u);
    EXPECT_EQ(w.DeviceTable()[0].Path, fx.platform->PathsOf(1).at(0));
}

TEST(DiscoveryTable, MarksTheCdromRowForReleaseAndPutsItInVendorMode) {
    ModelFixture fx({"q970:iface=both"});
    auto& w = fx.Open();
    ASSERT_EQ(w.DeviceCount(), 2);
    ASSERT_EQ(w.Control(ControlId::DeviceList).items.size(), 2u);
    EXPECT_EQ(w.DeviceTable()[0].ReleaseOnExit, 0);
    EXPECT_EQ(w.DeviceTable()[1].ReleaseOnExit, 1);
    EXPECT_TRUE(fx.platform->Bridge(0).InVendorMode());
    fx.window.reset();   // the window's end releases the marked row
    EXPECT_FALSE(fx.platform->Bridge(0).InVendorMode());
}

TEST(DiscoveryTable, LeavesUnmarkedRowsInVendorModeAtExit) {
    ModelFixture fx({"q970"});
    fx.Open();
    fx.window.reset();
    EXPECT_TRUE(fx.platform->Bridge(0).InVendorMode());
}

TEST(DiscoveryTable, PathsAreLowerCase) {
    ModelFixture fx({"q970"});
    auto& w = fx.Open();
    const auto& path = w.DeviceTable()[0].Path;
    for (char c : path) EXPECT_FALSE(c >= 'A' && c <= 'Z') << path;
}

TEST(HotPlug, FollowsThePowerCycleThroughTheScreens) {
    ModelFixture fx({"q970"});
    auto& w = fx.Open();
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    w.Click(ControlId::EraseButton);
    ASSERT_EQ(w.CurrentScreen(), Screen::Success);
    fx.platform->Unplug(0);
    EXPECT_EQ(w.CurrentScreen(), Screen::NoDevice);
    fx.platform->Plug(0);
    EXPECT_EQ(w.CurrentScreen(), Screen::AlreadyUpdated);
    EXPECT_FALSE(w.Control(ControlId::replugLable1).visible);
}

TEST(HotPlug, IgnoresNoticesOtherThanArrivalAndRemoval) {
    ModelFixture fx({"q970"});
    auto& w = fx.Open();
    const uint64_t before = fx.platform->CommandsSent();
    w.DeviceChange(kDeviceQueryRemove);
    w.DeviceChange(0x0007);
    EXPECT_EQ(fx.platform->CommandsSent(), before);
    w.DeviceChange(kDeviceArrival);
    EXPECT_GT(fx.platform->CommandsSent(), before);
}

TEST(SelectionCheck, IdentifiesNothingWhenPathsWereFoundButNoneListed) {
    ModelFixture fx({"q719"});
    auto& w = fx.Open();
    EXPECT_EQ(w.DeviceCount(), 1);
    EXPECT_TRUE(w.Control(ControlId::DeviceList).items.empty());
    EXPECT_EQ(w.SelectedRow(), nullptr);
    EXPECT_EQ(w.ChipId(), 0);
}


// Identification commands (INQUIRY, the chip information record, the
// identification text and word) each refresh sent to each path.
std::map<std::string, int> IdentificationCounts(const std::vector<TraceRecord>& records,
                                                size_t from) {
    std::map<std::string, int> counts;
    for (size_t i = from; i < records.size(); ++i) {
        const auto& cdb = records[i].cdb;
        if (cdb.empty()) continue;
        const bool inquiry = cdb[0] == 0x12;
        const bool chipInfo = cdb.size() > 2 && cdb[0] == 0xE0 && cdb[1] == 0xF4 && cdb[2] == 0xE7;
        const bool idWord = cdb.size() > 11 && cdb[11] == 0x02 && cdb[4] == 0x02 && cdb[0] != 0x12;
        if (inquiry || chipInfo || idWord) ++counts[records[i].path + " " + std::to_string(cdb[0])];
    }
    return counts;
}

struct IdentifyCase {
    const char* name;
    std::string bridge;
    bool engineering;
    int inquiries;   // identification, whose reply names a listed row too
    int chipInfos;   // identification where the chip needs it, then the version shown
};

class RefreshIdentification : public ::testing::TestWithParam<IdentifyCase> {};

TEST_P(RefreshIdentification, AsksEachBridgeOncePerRefreshAndAgainOnTheNext) {
    const auto& c = GetParam();
    ModelFixture fx({c.bridge});
    auto& w = fx.Open();
    if (c.engineering) w.EnableEngineeringMode();
    for (int refresh = 0; refresh < 2; ++refresh) {
        const size_t from = fx.trace.records.size();
        w.RefreshBtnClick();
        const auto counts = IdentificationCounts(fx.trace.records, from);
        ASSERT_FALSE(counts.empty()) << "a refresh must identify the bridge anew";
        for (const auto& [key, count] : counts) {
            const int expected = key.ends_with(" 18")    ? c.inquiries
                                 : key.ends_with(" 224") ? c.chipInfos
                                                         : 1;
            EXPECT_EQ(count, expected) << "[" << key << "] refresh " << refresh;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Model, RefreshIdentification,
    ::testing::Values(IdentifyCase{"listedTarget", "q970", false, 1, 1},
                      IdentifyCase{"updatedTarget", "q970:content=updated", false, 1, 1},
                      IdentifyCase{"otherFamily", "q719", false, 1, 1},
                      IdentifyCase{"otherFamilyInEngineering", "q743:rev=2", true, 1, 2},
                      IdentifyCase{"idWordChip", "qk60717w", true, 1, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RefreshIdentification, ASwappedBridgeOnTheSamePathIsIdentifiedAfresh) {
    ModelFixture fx({"q970"});
    auto& w = fx.Open();
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    fx.platform->Unplug(0);
    fx.Add("q719");   // the next enclosure on the bench
    w.RefreshBtnClick();
    EXPECT_EQ(w.CurrentScreen(), Screen::NoDevice);
}

}  // namespace
}  // namespace qks::test
