// After a cut-off write, a saved copy stands in for the device's own bytes
// only where its record names that device: the whole 64 KB comes back on the
// block path, and between enclosures sharing a serial only the user's pick
// stands in, and is said.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/model_fixture.h"
#include "device/block_transfers.h"
#include "firmware/flash_backup.h"

namespace qks::test {
namespace {

namespace fs = std::filesystem;

class PickingSink final : public SilentSink {
public:
    std::optional<size_t> ChooseSavedCopy(const std::string&,
                                          const std::vector<std::string>& copies) override {
        for (size_t i = 0; i < copies.size(); ++i)
            if (copies[i].find(want) != std::string::npos) return i;
        return std::nullopt;
    }
    std::string want;
};

bool OwnHeaderEqual(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    for (size_t i = 0; i < kHeaderBlockBytes; ++i)
        if (HeaderMergeMask[i] >= 256 && a[i] != b[i]) return false;
    return true;
}

class Identity : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(folder); }
    void TearDown() override { fs::remove_all(folder); }
    // The sequence number of the last flash write a clean recovery sends.
    static uint64_t LastWrite(const std::string& bridge) {
        ModelFixture counting({bridge});
        const auto services = counting.Services();
        SilentSink silent;
        EXPECT_TRUE(RecoverDevice(services, counting.RefOf(0, services), {}, silent).Ok());
        uint64_t last = 0;
        for (const auto& r : counting.trace.records)
            if (SummarizeCommand(r.cdb.data(), r.cdb.size()).name == "write") last = r.seq;
        return last;
    }
    const fs::path folder = fs::temp_directory_path() / ("qks-identity-" + std::to_string(::getpid()));
    SilentSink sink;
};

TEST_F(Identity, ABlockUpdateCutOffLateGetsTheWholeSixtyFourKilobytesBack) {
    const std::string bridge = "q970:blockmode=1,vendor=6";
    ModelFixture fx({bridge + ",powerloss=" + std::to_string(LastWrite(bridge))});
    const std::vector<uint8_t> own(kImageBytes - 51208, 0x5A);
    fx.platform->Bridge(0).WriteFlashDirect(51208, own);
    const auto original = fx.Flash();
    const auto services = fx.Services(folder.string());
    ASSERT_FALSE(RecoverDevice(services, fx.RefOf(0, services), {}, sink).Ok());
    fx.platform->Plug(0);
    const Outcome second = RecoverDevice(services, fx.RefOf(0, services), {}, sink);
    ASSERT_TRUE(second.Ok()) << second.CauseText();
    const auto after = fx.Flash();
    EXPECT_TRUE(std::equal(after.begin() + 51208, after.begin() + kImageBytes, own.begin()));
    EXPECT_TRUE(OwnHeaderEqual(after, original));
}

// A is cut off, then B (same serial) is recovered with its own signed
// header; A's copies and B's disagree, so A is asked: no pick takes the
// image's header, a pick of A's first copy brings A's header back. Each use
// is said, and the record ends with the write it named.
TEST_F(Identity, EnclosuresSharingASerialKeepTheirOwnHeaders) {
    const std::string a = "q970:serial=SAME";
    const std::string cut = a + ",powerloss=" + std::to_string(LastWrite(a) / 2 + 10);
    for (const bool pick : {false, true}) {
        SCOPED_TRACE(pick);
        ModelFixture fx({cut, a});
        fx.platform->Bridge(1).WriteFlashDirect(14, std::vector<uint8_t>(32, 'B'));
        const auto originalA = fx.Flash(0);
        const auto originalB = fx.Flash(1);
        const auto services = fx.Services(folder.string());
        ASSERT_FALSE(RecoverDevice(services, fx.RefOf(0, services), {}, sink).Ok());
        ASSERT_FALSE(HasHeaderSignature(fx.Flash(0).data(), kHeaderBlockBytes));
        const std::string firstCopy = SavedCopiesOf(folder.string(), "SAME").front();

        const Outcome b = RecoverDevice(services, fx.RefOf(1, services), {}, sink);
        ASSERT_TRUE(b.Ok()) << b.CauseText();
        EXPECT_TRUE(OwnHeaderEqual(fx.Flash(1), originalB));
        EXPECT_TRUE(b.notes.empty());

        fx.platform->Plug(0);
        PickingSink asked;
        asked.want = pick ? fs::path(firstCopy).filename().string() : "none";
        const Outcome again = RecoverDevice(services, fx.RefOf(0, services), {}, asked);
        ASSERT_TRUE(again.Ok()) << again.CauseText();
        ASSERT_EQ(again.notes.size(), 1u);
        EXPECT_NE(again.notes[0].find(pick ? firstCopy : "image's header"), std::string::npos)
            << again.notes[0];
        EXPECT_EQ(OwnHeaderEqual(fx.Flash(0), originalA), pick);
        EXPECT_FALSE(OwnHeaderEqual(fx.Flash(0), originalB));
        EXPECT_EQ(PendingBackup(folder.string(), "SAME").has_value(), !pick);
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
}

}  // namespace
}  // namespace qks::test
