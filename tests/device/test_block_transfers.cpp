// Block reads and writes of the target chip's flash, the erase-mode marks,
// the three write attempts and the 64 KB image update.

// Replies are written with designated initializers; omitted members keep
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "device/block_transfers.h"
#include "support/test_support.h"

namespace qks {
namespace {

using test::Reply;
using test::ScriptedPassThrough;
using test::SentCommand;

const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel#0003";

uint32_t Address24(const SentCommand& s, size_t at) {
    return uint32_t{s.cdb[at]} << 16 | uint32_t{s.cdb[at + 1]} << 8 | s.cdb[at + 2];
}
uint32_t Length16(const SentCommand& s) { return uint32_t{s.cdb[3]} << 8 | s.cdb[4]; }

bool IsStatusRead(const SentCommand& s) { return s.cdb[0] == 0xFF && s.cdb[2] == 0x12; }
bool IsVendorRead(const SentCommand& s) { return s.cdb[0] == 0xFF && s.cdb[2] == 0x23; }
bool IsBlockRead(const SentCommand& s) { return s.cdb[0] == 0xDF && s.cdb[11] == 0xFA; }
bool IsBlockWrite(const SentCommand& s) { return s.cdb[0] == 0xDF && s.cdb[11] == 0xFB; }

// The bridge side: a flash that stores what is written, a vendor code, and
// refusals chosen by the test (by the position of the command in `sent`).
class Bridge {
public:
    Bridge() : flash(0x40000) {
        for (size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
        device.SetHandler([this](const SentCommand& s) { return Answer(s); });
    }

    Reply Answer(const SentCommand& s) {
        const size_t index = device.sent.size() - 1;
        if (refuse && refuse(s, index)) return Reply{.scsiStatus = 0x02, .transferred = 0};
        if (IsStatusRead(s)) return Reply{.data = {0x00, 0x00}};
        if (IsVendorRead(s)) {
            if (!vendor) return Reply{.osError = 1117};
            return Reply{.data = {*vendor, 0x20, 0x16, 0x00}};
        }
        const bool extended = s.cdb[0] == 0xDF;
        if (extended && IsBlockRead(s)) {
            const uint32_t at = Address24(s, 8);
            Reply reply{.data = {flash.begin() + at, flash.begin() + at + s.length}};
            if (corruptReads.count(reads++)) reply.data[100] ^= 0x01;
            return reply;
        }
        if (extended && IsBlockWrite(s)) {
            std::copy(s.dataOut.begin(), s.dataOut.end(), flash.begin() + Address24(s, 8));
            return Reply{};
        }
        return Reply{.delivered = false};
    }

    // The non-status commands, one text each: "R addr len", "W addr len mode", "V".
    std::vector<std::string> Ops() const {
        std::vector<std::string> ops;
        char text[48];
        for (const auto& s : device.sent) {
            if (IsStatusRead(s)) continue;
            if (IsVendorRead(s)) {
                ops.emplace_back("V");
            } else if (IsBlockRead(s)) {
                std::snprintf(text, sizeof text, "R %05X %u", Address24(s, 8), Length16(s));
                ops.emplace_back(text);
            } else if (IsBlockWrite(s)) {
                std::snprintf(text, sizeof text, "W %05X %u %02X", Address24(s, 8), Length16(s),
                              s.cdb[1]);
                ops.emplace_back(text);
            } else {
                ops.emplace_back("?");
            }
        }
        return ops;
    }
    std::vector<std::string> Writes() const {
        std::vector<std::string> writes;
        for (const auto& op : Ops())
            if (op[0] == 'W') writes.push_back(op);
        return writes;
    }
    // Every block command comes right after a ready-wait.
    bool EachBlockFollowsAStatusRead() const {
        for (size_t i = 0; i < device.sent.size(); ++i) {
            const auto& s = device.sent[i];
            if ((IsBlockRead(s) || IsBlockWrite(s)) && (i == 0 || !IsStatusRead(device.sent[i - 1])))
                return false;
        }
        return true;
    }

    ScriptedPassThrough device;
    VirtualClock clock;
    Transport transport{device, clock};
    VendorCommandSet commands{transport};
    BlockTransfers blocks{commands, clock};
    std::vector<uint8_t> flash;
    std::optional<uint8_t> vendor = 6;
    std::function<bool(const SentCommand&, size_t)> refuse;
    int reads = 0;
    std::set<int> corruptReads;   // which block reads come back with a flipped bit
};

std::vector<std::string> Layout(std::initializer_list<std::tuple<uint32_t, uint32_t, uint8_t>> rows) {
    std::vector<std::string> ops;
    char text[48];
    for (const auto& [at, length, mode] : rows) {
        std::snprintf(text, sizeof text, "W %05X %u %02X", at, length, mode);
        ops.emplace_back(text);
    }
    return ops;
}

// 4 KB at 0, seven 8 KB blocks, 4 KB at the top: the shape of an unmarked 64 KB write.
std::vector<std::string> PlainLayout(uint8_t firstMode) {
    std::vector<std::string> ops = Layout({{0, 4096, firstMode}});
    for (uint32_t at = 4096; at < 61440; at += 8192) ops.push_back(Layout({{at, 8192, 0}})[0]);
    ops.push_back(Layout({{61440, 4096, 0}})[0]);
    return ops;
}

std::vector<std::string> EveryUnit(uint32_t unit, uint8_t mode, uint8_t firstMode) {
    std::vector<std::string> ops;
    for (uint32_t at = 0; at < 65536; at += unit)
        ops.push_back(Layout({{at, unit, at == 0 ? firstMode : mode}})[0]);
    return ops;
}

// ---- ReadFlashBlocks ----

TEST(ReadFlashBlocks, HeaderReadAsksForOneRoundedBlock) {
    Bridge bridge;
    std::vector<uint8_t> dest(200, 0xEE);
    EXPECT_EQ(bridge.blocks.ReadFlashBlocks(kPath, 0, dest.data(), 128), 1);
    EXPECT_EQ(bridge.Ops(), std::vector<std::string>{"R 00000 512"});
    EXPECT_EQ(test::Hex(bridge.device.sent.back().cdb), "DF 10 00 02 00 00 00 00 00 00 00 FA");
    EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 128, bridge.flash.begin()));
    EXPECT_EQ(dest[128], 0xEE) << "only the asked length reaches the caller";
    EXPECT_TRUE(bridge.EachBlockFollowsAStatusRead());
}

TEST(ReadFlashBlocks, WholeImageInEightBlocks) {
    Bridge bridge;
    std::vector<uint8_t> dest(65536);
    EXPECT_EQ(bridge.blocks.ReadFlashBlocks(kPath, 0, dest.data(), 65536), 1);
    std::vector<std::string> expected;
    for (uint32_t at = 0; at < 65536; at += 8192) {
        char text[32];
        std::snprintf(text, sizeof text, "R %05X 8192", at);
        expected.emplace_back(text);
    }
    EXPECT_EQ(bridge.Ops(), expected);
    EXPECT_TRUE(std::equal(dest.begin(), dest.end(), bridge.flash.begin()));
    EXPECT_TRUE(bridge.EachBlockFollowsAStatusRead());
}

TEST(ReadFlashBlocks, OddLengthAtAnAddress) {
    Bridge bridge;
    std::vector<uint8_t> dest(9000);
    EXPECT_EQ(bridge.blocks.ReadFlashBlocks(kPath, 0x11000, dest.data(), 9000), 1);
    EXPECT_EQ(bridge.Ops(), (std::vector<std::string>{"R 11000 8192", "R 13000 1024"}));
    EXPECT_TRUE(std::equal(dest.begin(), dest.end(), bridge.flash.begin() + 0x11000));
}

TEST(ReadFlashBlocks, LengthZeroSendsNothing) {
    Bridge bridge;
    uint8_t dest[4] = {1, 2, 3, 4};
    EXPECT_EQ(bridge.blocks.ReadFlashBlocks(kPath, 0, dest, 0), 0);
    EXPECT_TRUE(bridge.device.sent.empty());
    EXPECT_EQ(dest[0], 1);
}

TEST(ReadFlashBlocks, RefusedBlockStopsAndDeliversZerosBehindIt) {
    Bridge bridge;
    bridge.refuse = [](const SentCommand& s, size_t) { return IsBlockRead(s) && Address24(s, 8) == 0x4000; };
    std::vector<uint8_t> dest(65536, 0xEE);
    EXPECT_EQ(bridge.blocks.ReadFlashBlocks(kPath, 0, dest.data(), 65536), 0);
    EXPECT_EQ(bridge.Ops(), (std::vector<std::string>{"R 00000 8192", "R 02000 8192", "R 04000 8192"}));
    EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 0x4000, bridge.flash.begin()));
    EXPECT_TRUE(std::all_of(dest.begin() + 0x4000, dest.end(), [](uint8_t b) { return b == 0; }));
}

// ---- WriteFlashBlocks: where the erase marks go ----

struct LayoutCase {
    const char* name;
    uint8_t mode;
    uint8_t vendor;
    std::vector<std::string> writes;
};

class WriteLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(WriteLayout, SixtyFourKilobytesFromZero) {
    const auto& c = GetParam();
    Bridge bridge;
    std::vector<uint8_t> image(65536);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 8));
    EXPECT_EQ(bridge.blocks.WriteFlashBlocks(kPath, 0, image.data(), 65536, c.mode, c.vendor), 1);
    EXPECT_EQ(bridge.Writes(), c.writes);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), bridge.flash.begin()));
    EXPECT_TRUE(bridge.EachBlockFollowsAStatusRead());
}

const std::vector<std::string> kSmallUnitsOf32K = Layout({
    {0x0000, 4096, 1}, {0x1000, 8192, 0}, {0x3000, 8192, 0}, {0x5000, 8192, 0}, {0x7000, 4096, 0},
    {0x8000, 8192, 1}, {0xA000, 8192, 0}, {0xC000, 8192, 0}, {0xE000, 8192, 0}});

std::vector<std::string> WithMode(std::vector<std::string> ops, const char* from, const char* to) {
    for (auto& op : ops)
        if (op.substr(op.size() - 2) == from) op.replace(op.size() - 2, 2, to);
    return ops;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, WriteLayout,
    ::testing::Values(
        LayoutCase{"Mode2Winbond", 2, 6, PlainLayout(0x02)},
        LayoutCase{"Mode2MxicFlagsTheFirstBlock", 2, 5, PlainLayout(0x82)},
        LayoutCase{"Mode1WinbondEverySmallUnit", 1, 6, EveryUnit(4096, 1, 1)},
        LayoutCase{"Mode4Amic", 4, 7, EveryUnit(4096, 4, 4)},
        LayoutCase{"Mode1MxicFlagsOnlyAddressZero", 1, 5, EveryUnit(4096, 1, 0x81)},
        LayoutCase{"Mode1St32KUnits", 1, 3, kSmallUnitsOf32K},
        LayoutCase{"Mode4Eon32KUnits", 4, 8, WithMode(kSmallUnitsOf32K, "01", "04")},
        LayoutCase{"Mode2Unknown32KUnits", 2, 0, WithMode(kSmallUnitsOf32K, "01", "02")},
        LayoutCase{"Mode5Pmc32KUnits", 5, 1, WithMode(kSmallUnitsOf32K, "01", "05")},
        LayoutCase{"Mode5Atmel", 5, 4, PlainLayout(0x05)},
        LayoutCase{"Mode3OnlyFirstBlock", 3, 6, PlainLayout(0x03)},
        LayoutCase{"Mode6OnlyFirstBlock", 6, 3, PlainLayout(0x06)},
        LayoutCase{"Mode7MxicFirstBlock", 7, 5, PlainLayout(0x87)},
        LayoutCase{"Mode0Plain", 0, 6, PlainLayout(0x00)},
        LayoutCase{"Mode0MxicNoFlag", 0, 5, PlainLayout(0x00)},
        LayoutCase{"ModeAbove7IsPlain", 9, 5, PlainLayout(0x00)},
        LayoutCase{"Mode0x82IsPlain", 0x82, 6, PlainLayout(0x00)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WriteFlashBlocks, ShortLengthIsPaddedWithZerosToWholeSectors) {
    Bridge bridge;
    const std::vector<uint8_t> data(700, 0xA7);
    EXPECT_EQ(bridge.blocks.WriteFlashBlocks(kPath, 0, data.data(), 700, 0, 6), 1);
    ASSERT_EQ(bridge.Writes(), std::vector<std::string>{"W 00000 1024 00"});
    const auto& sent = bridge.device.sent.back().dataOut;
    ASSERT_EQ(sent.size(), 1024u);
    EXPECT_TRUE(std::all_of(sent.begin(), sent.begin() + 700, [](uint8_t b) { return b == 0xA7; }));
    EXPECT_TRUE(std::all_of(sent.begin() + 700, sent.end(), [](uint8_t b) { return b == 0x00; }));
}

TEST(WriteFlashBlocks, RefusedBlockStopsTheWrite) {
    Bridge bridge;
    bridge.refuse = [](const SentCommand& s, size_t) { return IsBlockWrite(s) && Address24(s, 8) == 0x3000; };
    const std::vector<uint8_t> image(65536, 0x11);
    EXPECT_EQ(bridge.blocks.WriteFlashBlocks(kPath, 0, image.data(), 65536, 2, 6), 0);
    EXPECT_EQ(bridge.Writes(), (std::vector<std::string>{"W 00000 4096 02", "W 01000 8192 00",
                                                          "W 03000 8192 00"}));
}

// Codes without erase units, and writes that start past address 0, must
// still cover the range block after block.
struct ProgressCase {
    uint32_t address;
    uint8_t mode;
    uint8_t vendor;
};
class WriteProgress : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(WriteProgress, CoversTheRangeInOrder) {
    const auto c = GetParam();
    Bridge bridge;
    const std::vector<uint8_t> data(40960, 0x3C);
    bridge.refuse = [](const SentCommand&, size_t index) {
        if (index > 200) ADD_FAILURE() << "the write does not progress";
        return index > 200;
    };
    bridge.blocks.WriteFlashBlocks(kPath, c.address, data.data(), 40960, c.mode, c.vendor);
    uint32_t next = c.address;
    for (const auto& s : bridge.device.sent) {
        if (!IsBlockWrite(s)) continue;
        EXPECT_EQ(Address24(s, 8), next);
        EXPECT_GT(Length16(s), 0u);
        EXPECT_LE(Length16(s), 8192u);
        next += Length16(s);
    }
    EXPECT_EQ(next, c.address + 40960);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bridge.flash.begin() + c.address));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteProgress,
    ::testing::Values(ProgressCase{0, 1, 10}, ProgressCase{0, 2, 11}, ProgressCase{0, 5, 200},
                      ProgressCase{0x10000, 2, 6}, ProgressCase{0x18000, 2, 6},
                      ProgressCase{0x9000, 1, 3}, ProgressCase{0x12000, 5, 0}));

// The bridge moves blocks straight from and to host memory on 8 KB boundaries.
class AlignmentProbe : public PassThrough {
public:
    class Handle : public DeviceHandle {
    public:
        explicit Handle(AlignmentProbe& probe) : probe_(probe) {}
        ScsiOutcome Execute(const ScsiCommand& command) override {
            if (command.cdb[0] == 0xDF)
                probe_.offsets.push_back(reinterpret_cast<uintptr_t>(command.data) % 8192);
            return ScsiOutcome{.delivered = true, .transferred = command.length};
        }

    private:
        AlignmentProbe& probe_;
    };
    OpenResult Open(const DevicePath&, OpenMode) override {
        return OpenResult{.handle = std::make_unique<Handle>(*this)};
    }
    std::vector<uintptr_t> offsets;
};

TEST(BlockBuffers, StartOnEightKilobyteBoundaries) {
    AlignmentProbe probe;
    VirtualClock clock;
    Transport transport(probe, clock);
    VendorCommandSet commands(transport);
    BlockTransfers blocks(commands, clock);
    std::vector<uint8_t> data(65536 + 1, 0x5A);
    blocks.ReadFlashBlocks(kPath, 0, data.data() + 1, 20000);
    blocks.WriteFlashBlocks(kPath, 0, data.data() + 1, 65536, 1, 6);
    ASSERT_EQ(probe.offsets.size(), 3u + 16u);
    for (uintptr_t offset : probe.offsets) EXPECT_EQ(offset % 4096, 0u);
    EXPECT_EQ(probe.offsets[0], 0u);
    EXPECT_EQ(probe.offsets[3], 0u);
}

// ---- WriteVerifyFlashImage ----

std::vector<uint8_t> TestImage() {
    std::vector<uint8_t> image(65536);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0xA5 ^ i ^ (i >> 11));
    return image;
}

std::vector<std::string> Reads64K() {
    std::vector<std::string> reads;
    char text[32];
    for (uint32_t at = 0; at < 65536; at += 8192) {
        std::snprintf(text, sizeof text, "R %05X 8192", at);
        reads.emplace_back(text);
    }
    return reads;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(WriteVerifyFlashImage, FirstAttemptInMode2) {
    Bridge bridge;
    const auto image = TestImage();
    EXPECT_EQ(bridge.blocks.WriteVerifyFlashImage(kPath, image.data(), 65536), 1);
    EXPECT_EQ(bridge.Ops(), Concat({{"V"}, PlainLayout(0x02), Reads64K()}));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), bridge.flash.begin()));
    EXPECT_TRUE(IsStatusRead(bridge.device.sent.front())) << "a ready-wait comes first";
    EXPECT_EQ(bridge.clock.NowMicros(), 0u) << "no sleep without the MXIC pre-write";
}

TEST(WriteVerifyFlashImage, MxicPreWritesTheFirstSectorAndSettles) {
    Bridge bridge;
    bridge.vendor = 5;
    const auto image = TestImage();
    EXPECT_EQ(bridge.blocks.WriteVerifyFlashImage(kPath, image.data(), 65536), 1);
    EXPECT_EQ(bridge.Ops(), Concat({{"V", "W 00000 4096 02"}, PlainLayout(0x82), Reads64K()}));
    const auto& sent = bridge.device.sent;
    auto preWrite = std::find_if(sent.begin(), sent.end(), IsBlockWrite);
    ASSERT_NE(preWrite, sent.end());
    EXPECT_TRUE(IsStatusRead(*(preWrite - 1)));
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 4096, preWrite->dataOut.begin()));
    EXPECT_EQ(bridge.clock.NowMicros(), 500000u);
}

TEST(WriteVerifyFlashImage, RefusedMxicPreWriteSkipsTheSettleAndGoesOn) {
    Bridge bridge;
    bridge.vendor = 5;
    bool first = true;
    bridge.refuse = [&first](const SentCommand& s, size_t) {
        if (!IsBlockWrite(s) || !first) return false;
        first = false;
        return true;
    };
    const auto image = TestImage();
    EXPECT_EQ(bridge.blocks.WriteVerifyFlashImage(kPath, image.data(), 65536), 1);
    EXPECT_EQ(bridge.Ops(), Concat({{"V", "W 00000 4096 02"}, PlainLayout(0x82), Reads64K()}));
    EXPECT_EQ(bridge.clock.NowMicros(), 0u);
}

TEST(WriteVerifyFlashImage, RefusedVendorReadMeansUnknownUnits) {
    Bridge bridge;
    bridge.vendor = std::nullopt;
    const auto image = TestImage();
    EXPECT_EQ(bridge.blocks.WriteVerifyFlashImage(kPath, image.data(), 65536), 1);
    EXPECT_EQ(bridge.Writes(), WithMode(kSmallUnitsOf32K, "01", "02"));
}

std::vector<uint8_t> FirstWriteModes(const Bridge& bridge) {
    std::vector<uint8_t> modes;
    for (const auto& s : bridge.device.sent)
        if (IsBlockWrite(s) && Address24(s, 8) == 0) modes.push_back(s.cdb[1]);
    return modes;
}

TEST(WriteVerifyFlashImage, MismatchesLeadToModes3Then1) {
    Bridge bridge;
    bridge.corruptReads = {0};   // attempt 1 reads back a flipped bit
    const auto image = TestImage();
    EXPECT_EQ(bridge.blocks.WriteVerifyFlashImage(kPath, image.data(), 65536), 1);
    EXPECT_EQ(FirstWriteModes(bridge), (std::vector<uint8_t>{0x02, 0x03}));
    EXPECT_EQ(bridge.Ops(), Concat({{"V"}, PlainLayout(0x02), Reads64K(), PlainLayout(0x03),
                                    Reads64K()}));

    Bridge third;
    third.corruptReads = {0, 8};   // attempts 1 and 2
    EXPECT_EQ(third.blocks.WriteVerifyFlashImage(kPath, image.data(), 65536), 1);
    EXPECT_EQ(FirstWriteModes(third), (std::vector<uint8_t>{0x02, 0x03, 0x01}));
    EXPECT_EQ(third.Writes().size(), 9u + 9u + 16u);
}

TEST(WriteVerifyFlashImage, ThreeFailedAttemptsFail) {
    Bridge bridge;
    bridge.refuse = [](const SentCommand& s, size_t) { return IsBlockRead(s); };
    const auto image = TestImage();
    EXPECT_EQ(bridge.blocks.WriteVerifyFlashImage(kPath, image.data(), 65536), 0);
    EXPECT_EQ(FirstWriteModes(bridge), (std::vector<uint8_t>{0x02, 0x03, 0x01}));
    EXPECT_EQ(bridge.Ops().size(), 1u + 3u * 1u + 9u + 9u + 16u);
}

TEST(WriteVerifyFlashImage, RefusedWriteSkipsThatAttemptsReadBack) {
    Bridge bridge;
    bool refused = false;
    bridge.refuse = [&refused](const SentCommand& s, size_t) {
        if (refused || !IsBlockWrite(s) || Address24(s, 8) != 0x1000) return false;
        refused = true;
        return true;
    };
    const auto image = TestImage();
    EXPECT_EQ(bridge.blocks.WriteVerifyFlashImage(kPath, image.data(), 65536), 1);
    EXPECT_EQ(bridge.Ops(), Concat({{"V", "W 00000 4096 02", "W 01000 8192 00"}, PlainLayout(0x03),
                                    Reads64K()}));
}

// ---- UpdateFlashImage ----

TEST(UpdateFlashImage, KeepsTheFlashBehindTheBodyAndTheHeaderInFront) {
    Bridge bridge;
    const auto before = bridge.flash;
    uint8_t header[128];
    for (int i = 0; i < 128; ++i) header[i] = static_cast<uint8_t>(0xC0 + i);
    std::vector<uint8_t> body(51208);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 13 + 1);

    EXPECT_EQ(bridge.blocks.UpdateFlashImage(kPath, true, true, header, body), 1);

    const auto ops = bridge.Ops();
    const auto reads = Reads64K();
    ASSERT_GE(ops.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + 8), reads);
    EXPECT_EQ(ops[8], "V");
    EXPECT_TRUE(std::equal(header, header + 128, bridge.flash.begin()));
    EXPECT_TRUE(std::equal(body.begin() + 128, body.end(), bridge.flash.begin() + 128));
    EXPECT_TRUE(std::equal(before.begin() + 51208, before.begin() + 65536,
                           bridge.flash.begin() + 51208));
    EXPECT_TRUE(std::equal(before.begin() + 65536, before.end(), bridge.flash.begin() + 65536))
        << "nothing past 64 KB is touched";
}

TEST(UpdateFlashImage, FailedCurrentReadStopsBeforeAnyWrite) {
    Bridge bridge;
    bridge.refuse = [](const SentCommand& s, size_t) { return IsBlockRead(s) && Address24(s, 8) == 0xE000; };
    const auto before = bridge.flash;
    const uint8_t header[128] = {};
    const std::vector<uint8_t> body(51208, 0x42);
    EXPECT_EQ(bridge.blocks.UpdateFlashImage(kPath, true, true, header, body), 0);
    EXPECT_TRUE(bridge.Writes().empty());
    EXPECT_EQ(bridge.Ops(), Reads64K());
    EXPECT_EQ(bridge.flash, before);
}

TEST(UpdateFlashImage, FailedVerificationFails) {
    Bridge bridge;
    bridge.refuse = [](const SentCommand& s, size_t index) { return index > 20 && IsBlockRead(s); };
    const uint8_t header[128] = {};
    const std::vector<uint8_t> body(51208, 0x42);
    EXPECT_EQ(bridge.blocks.UpdateFlashImage(kPath, true, true, header, body), 0);
    EXPECT_EQ(FirstWriteModes(bridge), (std::vector<uint8_t>{0x02, 0x03, 0x01}));
}

}  // namespace
}  // namespace qks
