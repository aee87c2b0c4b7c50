// What each profile tells a host that asks who it is.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/chip_id.h"
#include "tests/emulator/rig.h"

namespace qks::emu {
// Names the profile in failure messages.
static void PrintTo(const Profile& profile, std::ostream* os) { *os << profile.name; }
}  // namespace qks::emu

namespace qks::emu::test {
namespace {

class SilentMessages final : public UserMessages {
public:
    void ShowMessageBox(const std::string& text, const std::string&, MessageIcon) override {
        boxes.push_back(text);
    }
    void DebugOutput(const std::string&) override {}
    std::vector<std::string> boxes;
};

std::string Text(const uint8_t* bytes, size_t count) {
    return std::string(reinterpret_cast<const char*>(bytes), count);
}

class EveryProfile : public ::testing::TestWithParam<Profile> {};

TEST_P(EveryProfile, InquiryNamesTheMakerAndTheChipCode) {
    const Profile& profile = GetParam();
    Rig rig;
    const DevicePath path = rig.Add(profile.name);
    std::vector<uint8_t> reply(40, 0);
    uint32_t moved = 0;
    const uint8_t cdb[12] = {0x12, 0, 0, 0, 40};
    ASSERT_EQ(rig.transport.ScsiTransferIn(path, cdb, 12, reply.data(), 40, &moved), 1);
    EXPECT_EQ(Text(&reply[8], 8), profile.tavrel ? "Tavrel  " : "Generic ");
    EXPECT_EQ(Text(&reply[16], 16), profile.product);
    if (profile.inquiryCode.empty()) {
        EXPECT_EQ(moved, 36u);
        EXPECT_EQ(Text(&reply[36], 4), std::string(4, '\0'));
    } else {
        EXPECT_EQ(moved, 40u);
        EXPECT_EQ(Text(&reply[36], 4), profile.inquiryCode);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, EveryProfile, ::testing::ValuesIn(AllProfiles()),
                         [](const auto& info) { return std::string(info.param.name); });

struct IdCase {
    std::string description;
    uint8_t type;
    uint8_t revision;
};
void PrintTo(const IdCase& c, std::ostream* os) { *os << c.description; }

class ChipIdentity : public ::testing::TestWithParam<IdCase> {};

TEST_P(ChipIdentity, TheHostsIdentificationFindsTheProfilesChip) {
    const IdCase& c = GetParam();
    Rig rig;
    SilentMessages messages;
    const DevicePath path = rig.Add(c.description);
    const ChipIdValue id = GetChipId(rig.commands, messages, path);
    EXPECT_EQ(ChipTypeOf(id), c.type);
    EXPECT_EQ(ChipRevisionOf(id), c.revision);
    EXPECT_TRUE(messages.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cascade, ChipIdentity,
    ::testing::Values(IdCase{"q715", 1, 1}, IdCase{"q715:rev=3", 1, 3}, IdCase{"q716", 2, 0},
                      IdCase{"q717", 3, 0}, IdCase{"q719:rev=2", 4, 2}, IdCase{"q709", 5, 0},
                      IdCase{"q742", 6, 1}, IdCase{"q742:rev=2", 6, 2}, IdCase{"q743", 7, 1},
                      IdCase{"q743:rev=2", 7, 2}, IdCase{"q745", 8, 0}, IdCase{"q746", 9, 0},
                      IdCase{"q970", 10, 0}, IdCase{"q970:late=1", 10, 9},
                      IdCase{"q970:inqcode=0,rev=3", 10, 3}, IdCase{"q861:rev=4", 11, 4},
                      IdCase{"q851", 12, 0}, IdCase{"q958", 13, 0}, IdCase{"qk60717w", 14, 0},
                      IdCase{"qk60718w", 15, 0}, IdCase{"qk60719w", 16, 0},
                      IdCase{"qk60715w", 17, 0}, IdCase{"qk60716u", 18, 0},
                      IdCase{"plain", 0, 0}));

TEST(ChipInfoRecord, QK60716UCarriesItsUsbIdsAndTheReplyLengthIsHonoured) {
    Rig rig;
    const DevicePath path = rig.Add("qk60716u");
    for (uint32_t asked : {12u, 16u, 40u}) {
        std::vector<uint8_t> record(asked, 0);
        uint32_t received = 0;
        ASSERT_EQ(rig.commands.ReadChipInfo(path, record.data(), asked, &received), 1);
        EXPECT_EQ(received, std::min(asked, 16u));
        EXPECT_EQ(test::Bytes(record, 0, 6), (std::vector<uint8_t>{0xF4, 0xE7, 0x1C, 0x5B, 0x67, 0x16}));
        EXPECT_EQ(Text(&record[8], 3), "716");
    }
}

TEST(ChipInfoRecord, CarriesChipNumberRevisionAndVersionNumbers) {
    Rig rig;
    const DevicePath path = rig.Add("q970:rev=3");
    std::vector<uint8_t> record(16, 0);
    uint32_t received = 0;
    ASSERT_EQ(rig.commands.ReadChipInfo(path, record.data(), 16, &received), 1);
    EXPECT_EQ(Text(&record[8], 4), "9703");
    EXPECT_EQ(record[2] << 8 | record[3], kTavrelUsbVendor);
    EXPECT_EQ(record[4] << 8 | record[5], 0x0970);
    EXPECT_LT(record[7], 100) << "two-digit version field";
    EXPECT_LT(record[13], 100);
    EXPECT_LT(record[14], 100);
}

TEST(ChipInfoRecord, SingleChipBoardsAnswerUnsignedRecordsAndTheirIdWordBits) {
    const std::vector<std::pair<std::string, int>> boards = {
        {"qk60717w", 0}, {"qk60718w", 1}, {"qk60719w", 2}, {"qk60715w", 3}};
    for (const auto& [name, bits] : boards) {
        Rig rig;
        const DevicePath path = rig.Add(name);
        std::vector<uint8_t> record(16, 0);
        uint32_t received = 0;
        ASSERT_EQ(rig.commands.ReadChipInfo(path, record.data(), 16, &received), 1);
        EXPECT_FALSE(record[0] == 0xF4 && record[1] == 0xE7) << name;
        uint8_t word[2] = {};
        ASSERT_EQ(rig.commands.ReadChipIdWord(path, word), 1);
        EXPECT_EQ((word[0] >> 5) & 3, bits) << name;
    }
}

TEST(IdentificationText, CarriesTheRevisionCharacterAtByteFive) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"q715:rev=2", "q715C1"}, {"q719", "q719C0"}, {"q861:rev=4", "q861A3"}, {"q742:rev=2", "q742B1"}};
    for (const auto& [description, text] : cases) {
        Rig rig;
        const DevicePath path = rig.Add(description);
        std::vector<uint8_t> reply(40, 0xEE);
        ASSERT_EQ(rig.commands.ReadIdString(path, reply.data(), 40), 1);
        EXPECT_EQ(Text(reply.data(), 6), text) << description;
        EXPECT_EQ(reply[6], 0) << description;
    }
}

TEST(BridgeMemory, LateRevisionAndBlockModeShowWhereTheHostLooks) {
    struct Case {
        std::string description;
        int late;
        int block;
    };
    for (const Case& c : std::vector<Case>{{"q970", 0, 0}, {"q970:late=1", 1, 0},
                                           {"q970:blockmode=1", 0, 1}, {"q970:late=1,blockmode=1", 1, 1}}) {
        Rig rig;
        const DevicePath path = rig.Add(c.description);
        EXPECT_EQ(rig.commands.IsLateRevision(path), c.late) << c.description;
        EXPECT_EQ(rig.commands.IsBlockUpdateMode(path), c.block) << c.description;
    }
}

TEST(VendorMode, IsTrackedAndForgottenOnPowerLoss) {
    Rig rig;
    const DevicePath path = rig.Add("q970");
    EXPECT_FALSE(rig.Bridge().InVendorMode());
    ASSERT_EQ(rig.commands.EnterVendorMode(path), 1);
    EXPECT_TRUE(rig.Bridge().InVendorMode());
    ASSERT_EQ(rig.commands.ExitVendorMode(path), 1);
    EXPECT_FALSE(rig.Bridge().InVendorMode());
    ASSERT_EQ(rig.commands.EnterVendorMode(path), 1);
    rig.platform.PowerCycle(0);
    EXPECT_FALSE(rig.Bridge().InVendorMode());

    ASSERT_EQ(rig.commands.VendorCommand25(path), 1);
    EXPECT_EQ(rig.Bridge().Command25Count(), 1u);
}

TEST(FlashProbes, AmicProbeAnswersByTheFittedPart) {
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"q970:amic=1", 1}, {"q970:amic=3", 3}, {"q970:amic=4", 4}, {"q970:amic=5", 5},
        {"q970:amic=none", kNoAmicFlash}, {"q970:vendor=7", kNoAmicFlash}, {"q970:vendor=6", kNoAmicFlash}};
    for (const auto& [description, code] : cases) {
        Rig rig;
        const DevicePath path = rig.Add(description);
        EXPECT_EQ(rig.commands.DetectAmicFlash(path), code) << description;
    }
}

TEST(FlashProbes, TheProbeReplyNeedsItsSelectFirst) {
    Rig rig;
    const DevicePath path = rig.Add("q970:amic=4");
    const RawReply reply = Raw(rig.platform, path, {0xFF, 0x04, 0x21, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                               DataDirection::In, std::vector<uint8_t>(4, 0xEE));
    ASSERT_TRUE(reply.outcome.Good());
    EXPECT_EQ(AmicCodeFromReply(reply.data.data()), kNoAmicFlash);
}

TEST(FlashProbes, VendorReadGivesTheMakerCode) {
    for (int vendor : {0, 1, 5, 8, 9, 15}) {
        Rig rig;
        const DevicePath path = rig.Add("q970:vendor=" + std::to_string(vendor));
        uint8_t reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        ASSERT_EQ(rig.commands.ReadFlashVendor(path, reply), 1);
        EXPECT_EQ(reply[0], vendor);
    }
}

struct UnknownCase {
    std::string name;
    std::string description;
    std::vector<uint8_t> cdb;
};

class UnknownCommand : public ::testing::TestWithParam<UnknownCase> {};

TEST_P(UnknownCommand, IsCheckConditionWithIllegalRequestSense) {
    const UnknownCase& c = GetParam();
    Rig rig;
    const DevicePath path = rig.Add(c.description);
    const RawReply reply = Raw(rig.platform, path, c.cdb, DataDirection::In, std::vector<uint8_t>(8, 0));
    EXPECT_TRUE(reply.outcome.delivered);
    EXPECT_EQ(reply.outcome.scsiStatus, 0x02);
    ASSERT_EQ(reply.outcome.sense.size(), 18u);
    EXPECT_EQ(reply.outcome.sense[0], 0x70);
    EXPECT_EQ(reply.outcome.sense[2], 0x05);
    EXPECT_EQ(reply.outcome.sense[12], 0x20);
    EXPECT_EQ(reply.outcome.transferred, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, UnknownCommand,
    ::testing::Values(
        UnknownCase{"Read10", "q970", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}},
        UnknownCase{"UnknownSubcommand", "q970", {0xFF, 0x04, 0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        UnknownCase{"WrongGroupByte", "q970", {0xFF, 0x05, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        UnknownCase{"UnknownExtFunction", "q970", {0xDF, 0x10, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0xEE}},
        UnknownCase{"BadChipInfoKey", "q970", {0xE0, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        UnknownCase{"RomCommandWithoutRom", "q970", {0xFF, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        UnknownCase{"ShortVendorCdb", "q970", {0xFF, 0x04, 0x10, 0, 0, 0}},
        UnknownCase{"PlainDiskVendorCommand", "plain", {0xFF, 0x04, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        UnknownCase{"PlainDiskChipInfo", "plain", {0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return info.param.name; });

TEST(UnknownCommand, ReachesTheHostAsAFailedTransferWithItsSense) {
    Rig rig;
    const DevicePath path = rig.Add("plain");
    uint8_t reply[4] = {};
    EXPECT_EQ(rig.commands.ReadFlashVendor(path, reply), 0);
    EXPECT_EQ(rig.transport.LastFailure().senseText, "ILLEGAL REQUEST, asc 0x20 ascq 0x00");
}

}  // namespace
}  // namespace qks::emu::test
