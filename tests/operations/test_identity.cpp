// After a cut-off write the journal's entry, not what the cut left, says
// what the device ends with: the whole 64 KB comes back on the block path,
// and between enclosures sharing a serial each finishes its own write, or
// the user picks which.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/model_fixture.h"
#include "device/block_transfers.h"
#include "firmware/flash_backup.h"
#include "operations/journal.h"

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
    // The sequence number of the last (or first) flash write a clean recovery sends.
    static uint64_t LastWrite(const std::string& bridge, bool first = false) {
        ModelFixture counting({bridge});
        const auto services = counting.Services();
        SilentSink silent;
        EXPECT_TRUE(RecoverDevice(services, counting.RefOf(0, services), {}, silent).Ok());
        uint64_t last = 0;
        for (const auto& r : counting.trace.records)
            if (SummarizeCommand(r.cdb.data(), r.cdb.size()).name == "write" && !(first && last))
                last = r.seq;
        return last;
    }
    static uint64_t FirstWrite(const std::string& bridge) { return LastWrite(bridge, true); }
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

// A and B share a serial. B's success leaves A's unfinished write in the
// journal, and A's retry finishes it with A's own header, said. Both cut off
// right after their erase: each flash is what either entry's write leaves.
// Where the platform names the USB device each was written on, A's retry
// takes its own entry; where it cannot (round 1), the user is asked: no pick
// writes nothing and names both entries.
TEST_F(Identity, EnclosuresSharingASerialFinishTheirOwnWrites) {
    const std::string a = "q970:serial=SAME";
    const uint64_t firstWrite = FirstWrite(a);
    for (const int round : {0, 1, 2}) {
        SCOPED_TRACE(round);
        const std::string cutA = a + ",powerloss=" + std::to_string(round ? firstWrite : LastWrite(a) / 2 + 10);
        const std::string cutB = round ? a + ",powerloss=" + std::to_string(firstWrite) : a;
        ModelFixture fx({cutA, cutB});
        fx.platform->Bridge(1).WriteFlashDirect(14, std::vector<uint8_t>(32, 'B'));
        const auto originalA = fx.Flash(0);
        const auto services = fx.Services(folder.string());
        auto refOf = [&](size_t bridge) {
            DeviceRef ref = fx.RefOf(bridge, services);
            if (round == 1) ref.enclosure.clear();
            return ref;
        };
        ASSERT_FALSE(RecoverDevice(services, refOf(0), {}, sink).Ok());
        const Outcome b = RecoverDevice(services, refOf(1), {}, sink);
        ASSERT_EQ(b.Ok(), round == 0) << b.CauseText();
        fx.platform->Plug(0);
        PickingSink asked;
        const auto entries = Journal(folder.string() + "/journal").Matching("SAME", 0x000A, fx.Flash(0));
        ASSERT_EQ(entries.size(), round ? 2u : 1u);
        asked.want = "none";
        const Outcome again = RecoverDevice(services, refOf(0), {}, asked);
        if (round == 1) {
            ASSERT_FALSE(again.Ok());
            EXPECT_EQ(again.failure->kind, FailureKind::Ambiguous);
            EXPECT_NE(again.CauseText().find(entries[1].file), std::string::npos) << again.CauseText();
            EXPECT_EQ(fx.Flash(0), std::vector<uint8_t>(kImageBytes, 0xFF));
        } else {
            ASSERT_TRUE(again.Ok()) << again.CauseText();
            ASSERT_EQ(again.notes.size(), 1u);
            EXPECT_NE(again.notes[0].find(entries[0].file), std::string::npos) << again.notes[0];
            EXPECT_TRUE(OwnHeaderEqual(fx.Flash(0), originalA));
            EXPECT_EQ(Journal(folder.string() + "/journal").Matching("SAME", 0x000A, std::vector<uint8_t>(kImageBytes, 0xFF)).size(),
                      round ? 1u : 0u);
        }
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
}

// A write cut off before its first erase changed nothing: the next one is
// not called the finishing of it (an identical fresh enclosure on the same
// serial is no cut-off one), and its success closes that entry.
TEST_F(Identity, AWriteCutOffBeforeItsFirstEraseLeavesNothingToFinish) {
    const std::string bridge = "q970";
    uint64_t firstErase = 0;
    {
        ModelFixture counting({bridge});
        const auto services = counting.Services(folder.string());   // with its copy's reads
        ASSERT_TRUE(RecoverDevice(services, counting.RefOf(0, services), {}, sink).Ok());
        for (const auto& r : counting.trace.records)
            if (!firstErase && SummarizeCommand(r.cdb.data(), r.cdb.size()).modifiesMemory)
                firstErase = r.seq;
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    ModelFixture fx({bridge + ":fail=" + std::to_string(firstErase)});   // refused: nothing erased
    const auto original = fx.Flash();
    const auto services = fx.Services(folder.string());
    ASSERT_FALSE(RecoverDevice(services, fx.RefOf(0, services), {}, sink).Ok());
    fx.platform->Plug(0);
    ASSERT_EQ(fx.Flash(), original);
    const Journal journal(folder.string() + "/journal");
    ASSERT_EQ(journal.Matching(fx.RefOf(0, services).serial, 0x000A, original).size(), 1u);
    const Outcome again = RecoverDevice(services, fx.RefOf(0, services), {}, sink);
    ASSERT_TRUE(again.Ok()) << again.CauseText();
    for (const auto& note : again.notes) EXPECT_EQ(note.find("finishing"), std::string::npos) << note;
    EXPECT_TRUE(journal.Matching(fx.RefOf(0, services).serial, 0x000A, original).empty());
}

}  // namespace
}  // namespace qks::test
