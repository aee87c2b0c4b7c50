// After a cut-off write, a saved copy stands in for the device's own bytes
// only where its record names that device: the whole 64 KB comes back on the
// block path, a shared serial never hands one enclosure's identity to
// another, and the user is told whenever a copy was used.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/model_fixture.h"
#include "firmware/flash_backup.h"
#include "operations/operations.h"

namespace qks::test {
namespace {

namespace fs = std::filesystem;

class PickingSink final : public ProgressSink {
public:
    void Status(const std::string&) override {}
    void AppendStatus(const std::string&) override {}
    void Step(int32_t) override {}
    void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override {}
    void DebugOutput(const std::string&) override {}
    std::optional<size_t> ChooseSavedCopy(const std::string&,
                                          const std::vector<std::string>& copies) override {
        offered = copies;
        for (size_t i = 0; i < copies.size(); ++i)
            if (copies[i].find(want) != std::string::npos) return i;
        return std::nullopt;
    }
    std::string want = "never";
    std::vector<std::string> offered;
};

class Identity : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("qks-identity-" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    DeviceServices Services(ModelFixture& fx) {
        DeviceServices services(*fx.platform, *fx.platform, fx.clock, EmbeddedImages());
        services.trace = &fx.trace;
        services.backupFolder = folder.string();
        return services;
    }
    DeviceRef Ref(ModelFixture& fx, size_t bridge) {
        const DevicePath path = fx.platform->PathsOf(bridge).at(0);
        for (const auto& info : fx.platform->ListUsbStorage(InterfaceClass::Disk)) {
            if (info.path != path) continue;
            SilentSink silent;
            return Identify(Services(fx), info, InterfaceClass::Disk, silent).Ref();
        }
        ADD_FAILURE() << "bridge " << bridge << " is not plugged in";
        return {};
    }
    // The sequence number of the last flash write a clean recovery sends.
    uint64_t LastWrite(const std::string& bridge) {
        ModelFixture counting({bridge});
        const DeviceServices services(*counting.platform, *counting.platform, counting.clock,
                                      EmbeddedImages());
        DeviceServices traced = services;
        traced.trace = &counting.trace;
        SilentSink silent;
        const auto list = counting.platform->ListUsbStorage(InterfaceClass::Disk);
        const auto ref = Identify(traced, list.at(0), InterfaceClass::Disk, silent).Ref();
        EXPECT_TRUE(RecoverDevice(traced, ref, {}, silent).Ok());
        uint64_t last = 0;
        for (const auto& r : counting.trace.records)
            if (SummarizeCommand(r.cdb.data(), r.cdb.size()).name == "write") last = r.seq;
        return last;
    }
    static bool OwnHeaderEqual(std::span<const uint8_t> a, std::span<const uint8_t> b) {
        for (size_t i = 0; i < kHeaderBlockBytes; ++i)
            if (HeaderMergeMask[i] >= 256 && a[i] != b[i]) return false;
        return true;
    }
    fs::path folder;
    SilentSink sink;
};

TEST_F(Identity, ABlockUpdateCutOffLateGetsTheWholeSixtyFourKilobytesBack) {
    const std::string bridge = "q970:blockmode=1,vendor=6";
    const uint64_t lastWrite = LastWrite(bridge);
    ModelFixture fx({bridge + ",powerloss=" + std::to_string(lastWrite)});
    const std::vector<uint8_t> own(kImageBytes - 51208, 0x5A);
    fx.platform->Bridge(0).WriteFlashDirect(51208, own);
    const auto original = fx.Flash();
    const DeviceRef ref = Ref(fx, 0);
    ASSERT_FALSE(RecoverDevice(Services(fx), ref, {}, sink).Ok());
    fx.platform->Plug(0);
    const Outcome second = RecoverDevice(Services(fx), Ref(fx, 0), {}, sink);
    ASSERT_TRUE(second.Ok()) << second.CauseText();
    const auto after = fx.Flash();
    EXPECT_TRUE(std::equal(after.begin() + 51208, after.begin() + kImageBytes, own.begin()));
    EXPECT_TRUE(OwnHeaderEqual(after, original));
}

TEST_F(Identity, EnclosuresSharingASerialKeepTheirOwnHeaders) {
    // A is cut off in the middle of its write; then B, same serial, is recovered.
    const std::string a = "q970:serial=SAME";
    const uint64_t lastWrite = LastWrite(a);
    ModelFixture fx({a + ",powerloss=" + std::to_string(lastWrite / 2 + 10), "q970:serial=SAME"});
    std::vector<uint8_t> nameB(32, 'B');
    fx.platform->Bridge(1).WriteFlashDirect(14, nameB);
    const auto originalA = fx.Flash(0);
    const auto originalB = fx.Flash(1);
    ASSERT_FALSE(OwnHeaderEqual(originalA, originalB));
    const DeviceRef refA = Ref(fx, 0);
    ASSERT_FALSE(RecoverDevice(Services(fx), refA, {}, sink).Ok());
    ASSERT_FALSE(HasHeaderSignature(fx.Flash(0).data(), kHeaderBlockBytes)) << "the cut must cost A its header";

    const Outcome b = RecoverDevice(Services(fx), Ref(fx, 1), {}, sink);
    ASSERT_TRUE(b.Ok()) << b.CauseText();
    EXPECT_TRUE(OwnHeaderEqual(fx.Flash(1), originalB)) << "B's signed header is its own";
    EXPECT_TRUE(b.notes.empty());

    // A again: its copies and B's disagree, so nobody may guess. Unasked,
    // the image's header is taken and said; asked, the user's pick is.
    fx.platform->Plug(0);
    PickingSink declining;
    Outcome again = RecoverDevice(Services(fx), Ref(fx, 0), {}, declining);
    ASSERT_TRUE(again.Ok()) << again.CauseText();
    EXPECT_FALSE(declining.offered.empty());
    ASSERT_FALSE(again.notes.empty());
    EXPECT_NE(again.notes.front().find("image's header"), std::string::npos) << again.notes.front();
    EXPECT_FALSE(OwnHeaderEqual(fx.Flash(0), originalB)) << "A never takes B's identity";
}

TEST_F(Identity, AChosenCopyStandsInAndIsSaid) {
    const std::string a = "q970:serial=SAME";
    const uint64_t lastWrite = LastWrite(a);
    ModelFixture fx({a + ",powerloss=" + std::to_string(lastWrite / 2 + 10), "q970:serial=SAME"});
    fx.platform->Bridge(1).WriteFlashDirect(14, std::vector<uint8_t>(32, 'B'));
    const auto originalA = fx.Flash(0);
    ASSERT_FALSE(RecoverDevice(Services(fx), Ref(fx, 0), {}, sink).Ok());
    const auto firstCopy = SavedCopiesOf(folder.string(), "SAME").front();
    ASSERT_TRUE(RecoverDevice(Services(fx), Ref(fx, 1), {}, sink).Ok());
    fx.platform->Plug(0);
    PickingSink picking;
    picking.want = fs::path(firstCopy).filename().string();
    const Outcome again = RecoverDevice(Services(fx), Ref(fx, 0), {}, picking);
    ASSERT_TRUE(again.Ok()) << again.CauseText();
    EXPECT_TRUE(OwnHeaderEqual(fx.Flash(0), originalA));
    ASSERT_FALSE(again.notes.empty());
    EXPECT_NE(again.notes.front().find(firstCopy), std::string::npos);
    // The write that was cut off has ended: its record is gone.
    EXPECT_FALSE(PendingBackup(folder.string(), "SAME").has_value());
}

}  // namespace
}  // namespace qks::test
