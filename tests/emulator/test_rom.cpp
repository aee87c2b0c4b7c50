// The internal ROM behind the QK60716 bridges.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/emulator/rig.h"

namespace qks::emu::test {
namespace {

bool AllErased(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

int WaitRom(Rig& rig, const DevicePath& path) {
    for (int poll = 0; poll < 1000; ++poll)
        if (rig.commands.IsRomBusy(path) == 0) return 1;
    return 0;
}

// Types 0 and 2 share their unlock addresses; an unknown type sends none.
bool SameUnlock(int fitted, int sent) {
    if (sent > 2) return false;
    return (fitted == 1) == (sent == 1);
}

struct CycleCase {
    int fitted;
    int sent;
};
void PrintTo(const CycleCase& c, std::ostream* os) {
    *os << "fitted " << c.fitted << ", cycles of " << c.sent;
}

class RomCycles : public ::testing::TestWithParam<CycleCase> {};

TEST_P(RomCycles, EraseAndProgramTakeOnlyTheFittedPartsCycles) {
    const auto [fitted, sent] = GetParam();
    const bool accepted = SameUnlock(fitted, sent);
    Rig rig;
    const DevicePath path = rig.Add("q716:rom=" + std::to_string(fitted));
    const std::vector<uint8_t> before(rig.Bridge().Rom().begin(), rig.Bridge().Rom().end());

    ASSERT_EQ(rig.commands.SwitchToInternalRom(path), 1);
    EXPECT_EQ(rig.commands.PreEraseRom(path, sent), accepted ? 1 : 0);
    EXPECT_EQ(rig.commands.EraseRom(path), accepted ? 1 : 0);
    ASSERT_EQ(WaitRom(rig, path), 1);
    EXPECT_EQ(AllErased(rig.Bridge().Rom()), accepted);
    if (!accepted) {
        EXPECT_TRUE(std::equal(before.begin(), before.end(), rig.Bridge().Rom().begin()));
    }

    const std::vector<uint8_t> image(40000, 0x00);
    const std::vector<uint8_t> ahead(rig.Bridge().Rom().begin(), rig.Bridge().Rom().end());
    EXPECT_EQ(rig.commands.ProgramRom(path, image.data(), 40000, sent), accepted ? 1 : 0);
    const auto rom = rig.Bridge().Rom();
    if (accepted) {
        EXPECT_TRUE(std::all_of(rom.begin(), rom.begin() + 40000, [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(AllErased(rom.subspan(40000)));
    } else {
        EXPECT_TRUE(std::equal(ahead.begin(), ahead.end(), rom.begin()))
            << "refused cycles changed the ROM";
    }
}

INSTANTIATE_TEST_SUITE_P(TypesTimesCycleSets, RomCycles,
                         ::testing::Values(CycleCase{0, 0}, CycleCase{0, 1}, CycleCase{0, 2},
                                           CycleCase{0, 5}, CycleCase{1, 0}, CycleCase{1, 1},
                                           CycleCase{1, 2}, CycleCase{1, 5}, CycleCase{2, 0},
                                           CycleCase{2, 1}, CycleCase{2, 2}, CycleCase{2, 5}));

TEST(InternalRom, EraseWithoutItsPreEraseIsASequenceError) {
    Rig rig;
    const DevicePath path = rig.Add("qk60716u");
    const std::vector<uint8_t> before(rig.Bridge().Rom().begin(), rig.Bridge().Rom().end());
    const RawReply reply = Raw(rig.platform, path, {0xFF, 0x04, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                               DataDirection::Out);
    EXPECT_EQ(reply.outcome.scsiStatus, 0x02);
    ASSERT_GE(reply.outcome.sense.size(), 13u);
    EXPECT_EQ(reply.outcome.sense[2], 0x05);
    EXPECT_EQ(reply.outcome.sense[12], 0x2C);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), rig.Bridge().Rom().begin()));

    // A pre-erase arms one erase only.
    ASSERT_EQ(rig.commands.PreEraseRom(path, 0), 1);
    ASSERT_EQ(rig.commands.EraseRom(path), 1);
    EXPECT_EQ(rig.commands.EraseRom(path), 0);
}

TEST(InternalRom, BusyForTheEraseTime) {
    Rig rig;
    const DevicePath path = rig.Add("q716");
    ASSERT_EQ(rig.commands.PreEraseRom(path, 0), 1);
    ASSERT_EQ(rig.commands.EraseRom(path), 1);
    EXPECT_EQ(rig.commands.IsRomBusy(path), 1);
    rig.clock.SleepMs(90);
    EXPECT_EQ(rig.commands.IsRomBusy(path), 1);
    rig.clock.SleepMs(10);
    EXPECT_EQ(rig.commands.IsRomBusy(path), 0);
}

TEST(InternalRom, ReadsFromALeastSignificantFirstAddressAndProgramsNorStyle) {
    Rig rig;
    const DevicePath path = rig.Add("q716:content=blank");
    std::vector<uint8_t> pattern(0x2000);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 13);
    rig.Bridge().WriteRomDirect(0, pattern);

    std::vector<uint8_t> read(256);
    ASSERT_EQ(rig.commands.ReadRom(path, 0x1234, read.data(), 256), 1);
    EXPECT_EQ(read, Bytes(pattern, 0x1234, 256));

    const std::vector<uint8_t> mask(0x2000, 0xF0);
    ASSERT_EQ(rig.commands.ProgramRom(path, mask.data(), 0x2000, 0), 1);
    for (size_t i = 0; i < pattern.size(); ++i)
        ASSERT_EQ(rig.Bridge().Rom()[i], pattern[i] & 0xF0) << "at " << i;
}

TEST(InternalRom, ChipsWithoutOneRefuseTheRomCommands) {
    Rig rig;
    const DevicePath path = rig.Add("q970");
    EXPECT_EQ(rig.commands.SwitchToInternalRom(path), 0);
    EXPECT_EQ(rig.commands.PreEraseRom(path, 0), 0);
    EXPECT_EQ(rig.commands.IsRomBusy(path), 1) << "a refused status read counts as busy";
    EXPECT_NE(rig.transport.LastFailure().senseText.find("ILLEGAL REQUEST"), std::string::npos);
}

TEST(InternalRom, SwitchIsTrackedUntilPowerGoes) {
    Rig rig;
    const DevicePath path = rig.Add("q716");
    EXPECT_FALSE(rig.Bridge().InternalRomSelected());
    ASSERT_EQ(rig.commands.SwitchToInternalRom(path), 1);
    EXPECT_TRUE(rig.Bridge().InternalRomSelected());
    rig.platform.PowerCycle(0);
    EXPECT_FALSE(rig.Bridge().InternalRomSelected());
}

}  // namespace
}  // namespace qks::emu::test
