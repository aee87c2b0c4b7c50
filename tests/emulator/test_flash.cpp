// Serial flash behaviour as the engines see it through the vendor commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "device/flash_ready.h"
#include "tests/emulator/rig.h"

namespace qks::emu::test {
namespace {

constexpr uint32_t k4K = 4096;
constexpr uint32_t k32K = 32768;
constexpr uint32_t k64K = 65536;

void FillDirect(EmulatedBridge& bridge, uint8_t value) {
    const std::vector<uint8_t> bytes(bridge.Flash().size(), value);
    bridge.WriteFlashDirect(0, bytes);
}

// The region of bytes that read 0xFF, when they are one run; {0, 0} when none.
Region ErasedRun(std::span<const uint8_t> flash) {
    const auto first = std::find(flash.begin(), flash.end(), 0xFF);
    if (first == flash.end()) return {};
    const auto last = std::find_if(first, flash.end(), [](uint8_t b) { return b != 0xFF; });
    EXPECT_TRUE(std::all_of(last, flash.end(), [](uint8_t b) { return b != 0xFF; }))
        << "erased bytes are not one run";
    return {static_cast<uint32_t>(first - flash.begin()), static_cast<uint32_t>(last - first)};
}

// ---- NOR semantics --------------------------------------------------------

enum class Family { First, Second };

class NorProgramming : public ::testing::TestWithParam<Family> {
protected:
    int Write(Rig& rig, const DevicePath& path, uint32_t address, const std::vector<uint8_t>& data) {
        if (GetParam() == Family::First)
            return rig.commands.WriteFlash(path, address, data.data(), static_cast<uint32_t>(data.size()));
        return rig.commands.WriteFlashExt(path, address, data.data(),
                                          static_cast<uint16_t>(data.size()), 0);
    }
    std::vector<uint8_t> Read(Rig& rig, const DevicePath& path, uint32_t address, uint16_t length) {
        std::vector<uint8_t> data(length);
        const int ok = GetParam() == Family::First
                           ? rig.commands.ReadFlash(path, address, data.data(), length)
                           : rig.commands.ReadFlashExt(path, address, data.data(), length);
        EXPECT_EQ(ok, 1);
        return data;
    }
};

TEST_P(NorProgramming, ProgrammingOnlyClearsBitsAndEraseSetsThem) {
    Rig rig;
    const DevicePath path = rig.Add("q970:content=blank");
    ASSERT_EQ(Write(rig, path, 0x1000, std::vector<uint8_t>(512, 0xF0)), 1);
    ASSERT_EQ(Write(rig, path, 0x1000, std::vector<uint8_t>(512, 0x3C)), 1);
    EXPECT_EQ(Read(rig, path, 0x1000, 512), std::vector<uint8_t>(512, 0x30));

    ASSERT_EQ(Write(rig, path, 0x1000, std::vector<uint8_t>(512, 0xFF)), 1);
    EXPECT_EQ(Read(rig, path, 0x1000, 512), std::vector<uint8_t>(512, 0x30))
        << "writing ones must not set bits";

    ASSERT_EQ(rig.commands.EraseFlashSector(path, 0x1000), 1);
    ASSERT_EQ(WaitFlashReady(rig.commands, rig.clock, path), 1);
    EXPECT_EQ(Read(rig, path, 0x1000, 512), std::vector<uint8_t>(512, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, NorProgramming,
                         ::testing::Values(Family::First, Family::Second));

TEST(SerialFlash, AddressesWrapAtTheEndOfThePart) {
    Rig rig;
    const DevicePath path = rig.Add("q970");
    std::vector<uint8_t> data(16);
    ASSERT_EQ(rig.commands.ReadFlash(path, k64K + 0x20, data.data(), 16), 1);
    EXPECT_EQ(data, Bytes(rig.Bridge().Flash(), 0x20, 16));
}

// ---- sector erase units ---------------------------------------------------

struct SectorCase {
    std::string settings;
    uint32_t address;
    uint32_t start;
    uint32_t length;
};
void PrintTo(const SectorCase& c, std::ostream* os) {
    *os << c.settings << " at 0x" << std::hex << c.address;
}

class SectorErase : public ::testing::TestWithParam<SectorCase> {};

TEST_P(SectorErase, ErasesTheWholeUnitHoldingTheAddress) {
    const SectorCase& c = GetParam();
    Rig rig;
    const DevicePath path = rig.Add("q970:size=128K," + c.settings);
    FillDirect(rig.Bridge(), 0x00);
    ASSERT_EQ(rig.commands.EraseFlashSector(path, c.address), 1);
    ASSERT_EQ(WaitFlashReady(rig.commands, rig.clock, path), 1);
    const Region erased = ErasedRun(rig.Bridge().Flash());
    EXPECT_EQ(erased.start, c.start);
    EXPECT_EQ(erased.length, c.length);
}

INSTANTIATE_TEST_SUITE_P(
    ByVendorCode, SectorErase,
    ::testing::Values(SectorCase{"vendor=0", 0x9000, 0x8000, k32K},
                      SectorCase{"vendor=1", 0x7FFF, 0x0000, k32K},
                      SectorCase{"vendor=2", 0x18000, 0x18000, k32K},
                      SectorCase{"vendor=3", 0x9000, 0x0000, k64K},
                      SectorCase{"vendor=4", 0x12345, 0x10000, k64K},
                      SectorCase{"vendor=5", 0x1000, 0x0000, k64K},
                      SectorCase{"vendor=6", 0x10000, 0x10000, k64K},
                      SectorCase{"vendor=7", 0xFFFF, 0x0000, k64K},
                      SectorCase{"vendor=8", 0x1FFFF, 0x10000, k64K},
                      SectorCase{"vendor=9", 0x8000, 0x0000, k64K},
                      // No known part: code 0's units, as the host divides its writes.
                      SectorCase{"vendor=10", 0x8000, 0x8000, k32K},
                      SectorCase{"vendor=15", 0x14000, 0x10000, k32K}));

INSTANTIATE_TEST_SUITE_P(
    AmicBootLayout, SectorErase,
    ::testing::Values(SectorCase{"amic=1", 0x0000, 0x0000, 0x1000},
                      SectorCase{"amic=3", 0x2FFF, 0x1000, 0x2000},
                      SectorCase{"amic=5", 0x3000, 0x3000, 0x4000},
                      SectorCase{"amic=1", 0x8000, 0x7000, 0x8000},
                      SectorCase{"amic=3", 0xF800, 0xF000, 0x1000},
                      SectorCase{"amic=5", 0x10000, 0x10000, k64K},
                      SectorCase{"amic=4", 0x8000, 0x8000, k32K},
                      SectorCase{"amic=4", 0x7FFF, 0x0000, k32K},
                      SectorCase{"amic=4,vendor=6", 0x1000, 0x0000, k32K}));

TEST(SerialFlash, ChipEraseErasesEverything) {
    Rig rig;
    const DevicePath path = rig.Add("q970:size=256K");
    ASSERT_EQ(rig.commands.EraseFlashChip(path), 1);
    ASSERT_EQ(WaitFlashReady(rig.commands, rig.clock, path), 1);
    const auto flash = rig.Bridge().Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

// ---- busy bit in virtual time ---------------------------------------------

struct BusyCase {
    std::string description;
    bool chipErase;
    uint64_t typicalMs;   // datasheet figure for the unit erased
};
void PrintTo(const BusyCase& c, std::ostream* os) {
    *os << c.description << (c.chipErase ? " chip erase" : " sector erase");
}

class EraseBusy : public ::testing::TestWithParam<BusyCase> {};

bool ReadsBusy(Rig& rig, const DevicePath& path) {
    uint8_t status = 0;
    EXPECT_EQ(rig.commands.ReadFlashStatus(path, &status), 1);
    return status & 0x01;
}

TEST_P(EraseBusy, StatusShowsBusyUntilTheEraseTimeHasPassed) {
    const BusyCase& c = GetParam();
    Rig rig;
    const DevicePath path = rig.Add(c.description);
    const int ok = c.chipErase ? rig.commands.EraseFlashChip(path)
                               : rig.commands.EraseFlashSector(path, 0);
    ASSERT_EQ(ok, 1);
    EXPECT_TRUE(ReadsBusy(rig, path));
    rig.clock.SleepMs(static_cast<uint32_t>(c.typicalMs * 9 / 10));
    EXPECT_TRUE(ReadsBusy(rig, path)) << "ready too early";
    rig.clock.SleepMs(static_cast<uint32_t>(c.typicalMs / 10));
    EXPECT_FALSE(ReadsBusy(rig, path)) << "still busy after the erase time";
}

INSTANTIATE_TEST_SUITE_P(
    Units, EraseBusy,
    ::testing::Values(BusyCase{"q970:amic=1", false, 45},          // 4 KB sector
                      BusyCase{"q970:vendor=0", false, 120},       // 32 KB block
                      BusyCase{"q970:vendor=6", false, 150},       // 64 KB block
                      BusyCase{"q970:size=64K", true, 150},
                      BusyCase{"q970:size=1M", true, 2400}));

TEST(SerialFlash, ALenientBridgeHoldsCommandsTouchingTheFlashUntilTheEraseEnds) {
    Rig rig;
    const DevicePath path = rig.Add("q970:vendor=6,lenient=1");
    ASSERT_EQ(rig.commands.EraseFlashSector(path, 0), 1);
    const uint64_t erased = rig.clock.NowMicros();
    const std::vector<uint8_t> data(256, 0x42);
    ASSERT_EQ(rig.commands.WriteFlash(path, 0x100, data.data(), 256), 1);
    EXPECT_GE(rig.clock.NowMicros() - erased, 150'000u);
    EXPECT_EQ(Bytes(rig.Bridge().Flash(), 0x100, 256), data)
        << "the write must land after the erase, not under it";
    EXPECT_FALSE(ReadsBusy(rig, path));
}

TEST(SerialFlash, BridgeTimeIsTheClockTimeWhenTheHostNeverSleeps) {
    Rig rig;
    const DevicePath first = rig.Add("q970:content=blank,lenient=1");
    const DevicePath second = rig.Add("q958");
    const std::vector<uint8_t> data(8192, 0x00);
    ASSERT_EQ(rig.commands.EraseFlashSector(first, 0), 1);
    ASSERT_EQ(rig.commands.WriteFlash(first, 0, data.data(), 8192), 1);
    std::vector<uint8_t> back(8192);
    ASSERT_EQ(rig.commands.ReadFlash(second, 0, back.data(), 8192), 1);
    EXPECT_EQ(rig.platform.EmulatedMicros(0) + rig.platform.EmulatedMicros(1),
              rig.clock.NowMicros());
    EXPECT_GE(rig.platform.EmulatedMicros(0), 150'000u + 32 * 700)
        << "erase and 32 page programs are the least a bridge needs";
}

// ---- erase modes of the second family -------------------------------------

struct ModeCase {
    uint8_t vendor;
    uint8_t mode;
    uint32_t address;
    uint32_t eraseStart;
    uint32_t eraseLength;   // 0: nothing erased
};
void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << "vendor " << int{c.vendor} << " mode 0x" << std::hex << int{c.mode} << " at 0x"
        << c.address;
}

class WriteExtMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(WriteExtMode, ErasesItsUnitThenProgramsTheBlock) {
    const ModeCase& c = GetParam();
    Rig rig;
    const DevicePath path = rig.Add("q970:size=128K,vendor=" + std::to_string(c.vendor));
    FillDirect(rig.Bridge(), 0x00);
    const std::vector<uint8_t> block(4096, 0x5A);
    ASSERT_EQ(rig.commands.WriteFlashExt(path, c.address, block.data(), 4096, c.mode), 1);
    EXPECT_FALSE(rig.Bridge().FlashBusy()) << "a block write is over when it returns";

    const auto flash = rig.Bridge().Flash();
    for (uint32_t i = 0; i < flash.size(); ++i) {
        const bool inErase = i >= c.eraseStart && i < c.eraseStart + c.eraseLength;
        const bool inBlock = i >= c.address && i < c.address + 4096;
        const uint8_t expected = inBlock ? (inErase ? 0x5A : 0x00) : (inErase ? 0xFF : 0x00);
        ASSERT_EQ(flash[i], expected) << "at 0x" << std::hex << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, WriteExtMode,
    ::testing::Values(ModeCase{6, 0, 0x2000, 0, 0},
                      ModeCase{6, 1, 0x3000, 0x3000, k4K},
                      ModeCase{6, 4, 0x5000, 0x5000, k4K},
                      ModeCase{3, 1, 0x9000, 0x8000, k32K},
                      ModeCase{0, 2, 0x9000, 0x8000, k32K},
                      ModeCase{6, 2, 0x2000, 0x0000, k64K},
                      ModeCase{8, 5, 0x11000, 0x10000, k64K},
                      ModeCase{6, 3, 0x0000, 0x0000, k64K},
                      ModeCase{6, 6, 0x0000, 0x0000, k64K},
                      ModeCase{6, 7, 0x0000, 0x0000, k64K},
                      ModeCase{5, 0x82, 0x0000, 0x0000, k64K},
                      ModeCase{5, 0x80, 0x1000, 0, 0}));

TEST(WriteExt, RefusesBlocksTheBridgeCannotTake) {
    struct Case {
        std::string what;
        std::vector<uint8_t> cdb;
        uint32_t dataBytes;
    };
    const std::vector<Case> cases = {
        {"mode bits 3-6", {0xDF, 0x0A, 0, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}, 4096},
        {"over the block buffer", {0xDF, 0x00, 0, 0x20, 0x01, 0, 0, 0, 0, 0, 0, 0xFB}, 8193},
        {"less data than the CDB names", {0xDF, 0x00, 0, 0x10, 0x00, 0, 0, 0, 0, 0, 0, 0xFB}, 2048},
    };
    for (const Case& c : cases) {
        Rig rig;
        const DevicePath path = rig.Add("q970:content=blank");
        const RawReply reply =
            Raw(rig.platform, path, c.cdb, DataDirection::Out, std::vector<uint8_t>(c.dataBytes, 0));
        EXPECT_EQ(reply.outcome.scsiStatus, 0x02) << c.what;
        ASSERT_GE(reply.outcome.sense.size(), 13u) << c.what;
        EXPECT_EQ(reply.outcome.sense[2], 0x05) << c.what;
        EXPECT_EQ(reply.outcome.sense[12], 0x24) << c.what;
        const auto flash = rig.Bridge().Flash();
        EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }))
            << c.what << ": a refused write changed the flash";
    }
}

// ---- what the bridge refuses ---------------------------------------------

std::vector<uint8_t> WriteExtCdb(uint8_t mode, uint32_t address, uint16_t length) {
    return {0xDF, mode, 0, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
            0, 0, 0, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address), 0xFB};
}
const std::vector<uint8_t> kReadFlash512 = {0xFF, 0x04, 0x10, 0, 0x20, 0, 0, 0, 0, 0, 0, 0};

struct RuleCase {
    std::string rule;
    std::string settings;
    bool eraseFirst;   // leaves the part busy with a sector erase
    std::vector<uint8_t> cdb;
    DataDirection direction;
    uint32_t dataBytes;
    SenseCode sense;
    bool lenientTakesIt;
};
void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.rule; }

class HostRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(HostRule, IsRefusedWithItsOwnSenseAndChangesNothing) {
    const RuleCase& c = GetParam();
    for (const bool lenient : {false, true}) {
        Rig rig;
        const DevicePath path = rig.Add("q970:" + c.settings + (lenient ? ",lenient=1" : ""));
        if (c.eraseFirst) {
            ASSERT_EQ(rig.commands.EraseFlashSector(path, 0x10000), 1);
        }
        const std::vector<uint8_t> before(rig.Bridge().Flash().begin(), rig.Bridge().Flash().end());
        const RawReply reply =
            Raw(rig.platform, path, c.cdb, c.direction, std::vector<uint8_t>(c.dataBytes, 0));
        if (lenient) {
            EXPECT_EQ(reply.outcome.Good(), c.lenientTakesIt) << "lenient";
            continue;
        }
        EXPECT_EQ(reply.outcome.scsiStatus, 0x02);
        ASSERT_GE(reply.outcome.sense.size(), 14u);
        EXPECT_EQ(reply.outcome.sense[2], c.sense.key);
        EXPECT_EQ(reply.outcome.sense[12], c.sense.asc);
        EXPECT_EQ(reply.outcome.sense[13], c.sense.ascq);
        const std::vector<uint8_t> after(rig.Bridge().Flash().begin(), rig.Bridge().Flash().end());
        EXPECT_TRUE(before == after) << "a refused command changed the flash";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Strict, HostRule,
    ::testing::Values(
        RuleCase{"first block over 4 KB", "vendor=6", false, WriteExtCdb(0x02, 0, 8192),
                 DataDirection::Out, 8192, kFirstBlockTooLong, true},
        RuleCase{"unerased first block over 4 KB", "vendor=6", false, WriteExtCdb(0x00, 0, 4608),
                 DataDirection::Out, 4608, kFirstBlockTooLong, true},
        RuleCase{"MXIC first block erased without 0x80", "vendor=5", false,
                 WriteExtCdb(0x02, 0, 4096), DataDirection::Out, 4096, kFirstBlockUnflagged, true},
        RuleCase{"erasing block write sent as data-in", "vendor=6", false,
                 WriteExtCdb(0x02, 0x2000, 4096), DataDirection::In, 4096, kWrongDirection, false},
        RuleCase{"flash read sent as data-out", "content=old", false, kReadFlash512, DataDirection::Out, 512,
                 kWrongDirection, false},
        RuleCase{"block write while an erase runs", "vendor=6", true,
                 WriteExtCdb(0x00, 0x2000, 4096), DataDirection::Out, 4096, kFlashBusy, true},
        RuleCase{"flash read while an erase runs", "vendor=6", true, kReadFlash512,
                 DataDirection::In, 512, kFlashBusy, true},
        RuleCase{"sector erase while an erase runs", "vendor=6", true,
                 {0xFF, 0x04, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::Out, 0, kFlashBusy,
                 true}),
    [](const auto& info) {
        std::string name;
        for (char ch : info.param.rule) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST(HostRule, AFlashCommandNeedsNoVendorMode) {
    Rig rig;
    const DevicePath path = rig.Add("q970:content=blank");
    ASSERT_FALSE(rig.Bridge().InVendorMode());
    const std::vector<uint8_t> block(4096, 0x00);
    EXPECT_EQ(rig.commands.WriteFlashExt(path, 0, block.data(), 4096, 0x02), 1);
    EXPECT_EQ(rig.Bridge().Flash()[0], 0x00);
}

}  // namespace
}  // namespace qks::emu::test
