// The QKB742 update against a small model of the bridge and its NOR serial
// flash: exact command sequences, the flash left behind, and the failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/platform.h"
#include "firmware/image_store.h"
#include "firmware/nvram_update.h"
#include "support/recording_context.h"
#include "support/test_support.h"

namespace qks::test {
namespace {

constexpr uint32_t kFlashBytes = 131072;
constexpr uint32_t kBlock = 32768;
const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel&prod_qkb742#1";

// How a command appears in the expectations: CDB, direction, length asked.
std::string Render(const SentCommand& c) {
    return Hex(c.cdb) + (c.direction == DataDirection::In ? " <" : " >") +
           std::to_string(c.length);
}

std::string FlashCdb(uint8_t sub, uint32_t address, const char* dir, uint32_t length) {
    char text[80];
    std::snprintf(text, sizeof text, "FF 04 %02X %02X %02X %02X 00 00 00 00 00 00 %s%u", sub,
                  (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF, dir, length);
    return text;
}
std::string ReadAt(uint32_t address, uint32_t length) {
    return FlashCdb(0x10, address, "<", length);
}
std::string WriteAt(uint32_t address) { return FlashCdb(0x11, address, ">", 16384); }
std::string EraseAt(uint32_t address) { return FlashCdb(0x14, address, ">", 0); }

const std::string kStatus = "FF 04 12 00 00 00 00 00 00 00 00 00 <2";
const std::string kInquiry = "12 00 00 00 28 00 00 00 00 00 00 00 <40";
const std::string kIdString = "FF 04 30 08 00 00 00 00 00 00 00 00 <40";

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

// A QKB742 bridge: identification answers, and a NOR flash that erases
// 32 KB blocks, programs by clearing bits, and refuses work while busy.
struct Qkb742 {
    std::vector<uint8_t> flash = Pattern(kFlashBytes, 7);
    std::string inquiryCode = "q742";
    std::string idStem = "q742B";                   // id text bytes 0-4
    std::optional<uint8_t> idRevisionByte = '0';   // id text byte 5; none: refused
    int busyPollsAfterWork = 0;
    std::optional<uint32_t> surviveErase;   // a byte the erase leaves at 0x00
    std::optional<uint32_t> weakByte;       // a byte that takes a write with bit 0 flipped
    std::string refusePrefix;               // refuse the n-th command starting so
    int refuseOccurrence = 1;

    int busyLeft = 0;
    std::map<std::string, int> seen;

    Reply operator()(const SentCommand& c) {
        const std::string text = Render(c);
        if (!refusePrefix.empty() && text.rfind(refusePrefix, 0) == 0 &&
            ++seen[refusePrefix] == refuseOccurrence)
            return Refused();
        if (c.cdb[0] == 0x12) {
            Reply r;
            r.data.assign(40, ' ');
            inquiryCode.copy(reinterpret_cast<char*>(r.data.data()) + 36, 4);
            return r;
        }
        if (c.cdb[0] != 0xFF || c.cdb[1] != 0x04) return Refused();
        const uint32_t address = (c.cdb[3] << 16) | (c.cdb[4] << 8) | c.cdb[5];
        switch (c.cdb[2]) {
            case 0x30: {
                if (!idRevisionByte) return Refused();
                Reply r;
                r.data.assign(idStem.begin(), idStem.end());
                r.data.insert(r.data.end(), {*idRevisionByte, ' ', ' '});
                return r;
            }
            case 0x12: {
                Reply r;
                r.data = {static_cast<uint8_t>(busyLeft > 0 ? 0x03 : 0x00), 0};
                if (busyLeft > 0) --busyLeft;
                return r;
            }
            case 0x10: {
                if (busyLeft > 0 || address + c.length > flash.size()) return Refused();
                Reply r;
                r.data.assign(flash.begin() + address, flash.begin() + address + c.length);
                return r;
            }
            case 0x11:
                if (busyLeft > 0 || address + c.length > flash.size()) return Refused();
                for (uint32_t i = 0; i < c.length; ++i) {
                    uint8_t& cell = flash[address + i];
                    const bool weak = weakByte && address + i == *weakByte;
                    cell = weak ? c.dataOut[i] ^ 0x01 : cell & c.dataOut[i];
                }
                busyLeft = busyPollsAfterWork;
                return {};
            case 0x14: {
                if (busyLeft > 0 || address >= flash.size()) return Refused();
                const uint32_t start = address / kBlock * kBlock;
                for (uint32_t i = start; i < start + kBlock; ++i)
                    flash[i] = surviveErase && i == *surviveErase ? 0x00 : 0xFF;
                busyLeft = busyPollsAfterWork;
                return {};
            }
            default:
                return Refused();
        }
    }

    static Reply Refused() { return test::CheckCondition(); }
};

struct Bench {
    Qkb742 device;
    ScriptedPassThrough passThrough;
    MemoryImageStore images;
    RecordingContext window{passThrough, images};

    Bench() {
        passThrough.SetHandler([this](const SentCommand& c) { return device(c); });
    }
    int Run() { return UpdateFlashPreservingNvram(window, kPath); }

    std::vector<std::string> Sent(bool withPolls = false) const {
        std::vector<std::string> out;
        for (const auto& c : passThrough.sent) {
            std::string text = Render(c);
            if (withPolls || text != kStatus) out.push_back(text);
        }
        return out;
    }
    int Count(uint8_t sub) const {
        int n = 0;
        for (const auto& c : passThrough.sent)
            if (c.cdb[0] == 0xFF && c.cdb[2] == sub) ++n;
        return n;
    }
};

bool Same(const std::vector<uint8_t>& a, uint32_t from, const std::vector<uint8_t>& b,
          uint32_t bFrom, uint32_t count) {
    return std::equal(a.begin() + from, a.begin() + from + count, b.begin() + bFrom);
}
bool Filled(const std::vector<uint8_t>& a, uint32_t from, uint32_t to, uint8_t value) {
    return std::all_of(a.begin() + from, a.begin() + to, [&](uint8_t b) { return b == value; });
}

TEST(NvramUpdate, TenThousandByteImageFullSequence) {
    Bench bench;
    bench.images.Put(kRevisionAImageName, Pattern(10000, 1));

    ASSERT_EQ(bench.Run(), 1);
    const std::vector<std::string> expected = {
        "FF 04 12 00 00 00 00 00 00 00 00 00 <2",
        "FF 04 10 00 00 00 00 00 00 00 00 00 <4096",
        "12 00 00 00 28 00 00 00 00 00 00 00 <40",
        "FF 04 30 08 00 00 00 00 00 00 00 00 <40",
        "FF 04 12 00 00 00 00 00 00 00 00 00 <2",
        "FF 04 14 00 00 00 00 00 00 00 00 00 >0",
        "FF 04 12 00 00 00 00 00 00 00 00 00 <2",
        "FF 04 10 00 00 00 00 00 00 00 00 00 <16384",
        "FF 04 12 00 00 00 00 00 00 00 00 00 <2",
        "FF 04 10 00 40 00 00 00 00 00 00 00 <16384",
        "FF 04 12 00 00 00 00 00 00 00 00 00 <2",
        "FF 04 11 00 00 00 00 00 00 00 00 00 >16384",
        "FF 04 12 00 00 00 00 00 00 00 00 00 <2",
        "FF 04 10 00 00 00 00 00 00 00 00 00 <16384",
    };
    EXPECT_EQ(bench.Sent(true), expected);
    EXPECT_EQ(bench.window.steps, (std::vector<int32_t>{10, 10, 10, 10, 20}));
    EXPECT_TRUE(bench.window.statusHistory.empty());
}

struct SizeCase {
    const char* name;
    uint32_t imageSize;
    uint32_t written;   // T
    std::vector<std::string> sent;
    std::vector<int32_t> steps;
};

TEST(NvramUpdate, ImageSizesDecideErasesChecksAndPieces) {
    const std::vector<SizeCase> cases = {
        {"10000 bytes count as 16384, zero-padded", 10000, 16384,
         {ReadAt(0, 4096), kInquiry, kIdString,
          EraseAt(0x0000), ReadAt(0x0000, 16384), ReadAt(0x4000, 16384),
          WriteAt(0x0000), ReadAt(0x0000, 16384)},
         {10, 10, 10, 10, 20}},
        {"40000 bytes: two units, three pieces", 40000, 49152,
         {ReadAt(0, 4096), kInquiry, kIdString,
          EraseAt(0x0000), ReadAt(0x0000, 16384), ReadAt(0x4000, 16384),
          EraseAt(0x8000), ReadAt(0x8000, 16384), ReadAt(0xC000, 16384),
          WriteAt(0x0000), ReadAt(0x0000, 16384), WriteAt(0x4000), ReadAt(0x4000, 16384),
          WriteAt(0x8000), ReadAt(0x8000, 16384)},
         {10, 10, 10, 10, 10, 10, 10, 10, 10, 20}},
        {"exactly 16384 bytes", 16384, 16384,
         {ReadAt(0, 4096), kInquiry, kIdString,
          EraseAt(0x0000), ReadAt(0x0000, 16384), ReadAt(0x4000, 16384),
          WriteAt(0x0000), ReadAt(0x0000, 16384)},
         {10, 10, 10, 10, 20}},
        {"16385 bytes take a second piece in the same unit", 16385, 32768,
         {ReadAt(0, 4096), kInquiry, kIdString,
          EraseAt(0x0000), ReadAt(0x0000, 16384), ReadAt(0x4000, 16384),
          WriteAt(0x0000), ReadAt(0x0000, 16384), WriteAt(0x4000), ReadAt(0x4000, 16384)},
         {10, 10, 10, 10, 10, 10, 20}},
        {"65536 bytes", 65536, 65536,
         {ReadAt(0, 4096), kInquiry, kIdString,
          EraseAt(0x0000), ReadAt(0x0000, 16384), ReadAt(0x4000, 16384),
          EraseAt(0x8000), ReadAt(0x8000, 16384), ReadAt(0xC000, 16384),
          WriteAt(0x0000), ReadAt(0x0000, 16384), WriteAt(0x4000), ReadAt(0x4000, 16384),
          WriteAt(0x8000), ReadAt(0x8000, 16384), WriteAt(0xC000), ReadAt(0xC000, 16384)},
         {10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10, 20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        const auto before = bench.device.flash;
        const auto image = Pattern(c.imageSize, 3);
        bench.images.Put(kRevisionAImageName, image);

        ASSERT_EQ(bench.Run(), 1);
        EXPECT_EQ(bench.Sent(), c.sent);
        EXPECT_EQ(bench.window.steps, c.steps);

        const auto& flash = bench.device.flash;
        const uint32_t erasedEnd = (c.written + kBlock - 1) / kBlock * kBlock;
        EXPECT_TRUE(Same(flash, 0, before, 0, 4096));
        EXPECT_TRUE(Same(flash, 4096, image, 4096, c.imageSize - 4096));
        EXPECT_TRUE(Filled(flash, c.imageSize, c.written, 0x00));
        EXPECT_TRUE(Filled(flash, c.written, erasedEnd, 0xFF));
        EXPECT_TRUE(Same(flash, erasedEnd, before, erasedEnd, kFlashBytes - erasedEnd));
    }
}

TEST(NvramUpdate, ConfigurationAreaSurvivesWhateverTheImageHoldsThere) {
    for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x5A}}) {
        SCOPED_TRACE(static_cast<int>(fill));
        Bench bench;
        const auto before = bench.device.flash;
        auto image = Pattern(65536, 9);
        std::fill(image.begin(), image.begin() + 4096, fill);
        bench.images.Put(kRevisionAImageName, image);

        ASSERT_EQ(bench.Run(), 1);
        EXPECT_TRUE(Same(bench.device.flash, 0, before, 0, 4096));
        EXPECT_TRUE(Same(bench.device.flash, 4096, image, 4096, 65536 - 4096));
    }
}

TEST(NvramUpdate, RevisionChoosesTheImage) {
    struct Case {
        const char* name;
        std::string inquiry;
        std::string idStem;
        std::optional<uint8_t> idByte;
        const char* image;   // null: nothing may be erased or written
    };
    const std::vector<Case> cases = {
        {"revision 1 takes FW742A", "q742", "q742B", uint8_t{'0'}, kRevisionAImageName},
        {"revision 2 takes FW742B", "q742", "q742B", uint8_t{'1'}, kRevisionBImageName},
        {"revision 0", "q742", "q742B", uint8_t{0x2F}, nullptr},
        {"revision 3", "q742", "q742B", uint8_t{'2'}, nullptr},
        {"identification text refused leaves revision 0", "q742", "q742B", std::nullopt,
         nullptr},
        {"another chip type at revision 2", "q715", "q715C", uint8_t{'1'}, nullptr},
    };
    const auto imageA = Pattern(32768, 21);
    const auto imageB = Pattern(32768, 22);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        bench.device.inquiryCode = c.inquiry;
        bench.device.idStem = c.idStem;
        bench.device.idRevisionByte = c.idByte;
        bench.images.Put(kRevisionAImageName, imageA);
        bench.images.Put(kRevisionBImageName, imageB);
        const auto before = bench.device.flash;

        const int result = bench.Run();
        EXPECT_TRUE(bench.window.statusHistory.empty());
        if (c.image == nullptr) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(bench.Count(0x14), 0);
            EXPECT_EQ(bench.Count(0x11), 0);
            EXPECT_EQ(bench.device.flash, before);
            EXPECT_TRUE(bench.window.steps.empty());
            continue;
        }
        ASSERT_EQ(result, 1);
        const auto& expected = std::string(c.image) == kRevisionAImageName ? imageA : imageB;
        EXPECT_TRUE(Same(bench.device.flash, 4096, expected, 4096, 32768 - 4096));
    }
}

TEST(NvramUpdate, WaitsOutTheFlashAfterEveryEraseAndWrite) {
    Bench bench;
    bench.device.busyPollsAfterWork = 4;   // any command but a status read is refused meanwhile
    const auto image = Pattern(40000, 13);
    bench.images.Put(kRevisionAImageName, image);

    ASSERT_EQ(bench.Run(), 1);
    EXPECT_TRUE(Same(bench.device.flash, 4096, image, 4096, 40000 - 4096));
    EXPECT_GT(bench.window.clock.NowMicros(), 0u);   // the waits slept in virtual time
}

struct FailureCase {
    const char* name;
    std::function<void(Bench&)> setup;
    std::vector<std::string> status;
    int erases;
    int writes;
    bool flashUntouched;
};

TEST(NvramUpdate, FailuresStopWithTheirText) {
    const std::vector<FailureCase> cases = {
        {"configuration read refused",
         [](Bench& b) { b.device.refusePrefix = ReadAt(0, 4096); },
         {"Backup NVRAM command fail!"}, 0, 0, true},
        {"image for the revision missing",
         [](Bench& b) { b.device.idRevisionByte = '1'; }, {}, 0, 0, true},
        {"image empty",
         [](Bench& b) { b.images.Put(kRevisionAImageName, {}); }, {}, 0, 0, true},
        {"second erase refused",
         [](Bench& b) { b.device.refusePrefix = EraseAt(0x8000); }, {}, 2, 0, false},
        {"check read refused",
         [](Bench& b) { b.device.refusePrefix = ReadAt(0xC000, 16384); }, {}, 2, 0, false},
        {"erased half still holds data",
         [](Bench& b) { b.device.surviveErase = 0x5000; }, {}, 1, 0, false},
        {"third write refused",
         [](Bench& b) { b.device.refusePrefix = WriteAt(0x8000); },
         {"Write command fail!"}, 2, 3, false},
        {"read-back of the second piece refused",
         [](Bench& b) {
             b.device.refusePrefix = ReadAt(0x4000, 16384);
             b.device.refuseOccurrence = 2;   // the first is the blank check
         },
         {"Write command fail!"}, 2, 2, false},
        {"second piece reads back different",
         [](Bench& b) { b.device.weakByte = 0x4123; }, {}, 2, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        bench.images.Put(kRevisionAImageName, Pattern(40000, 17));
        c.setup(bench);
        const auto before = bench.device.flash;

        EXPECT_EQ(bench.Run(), 0);
        EXPECT_EQ(bench.window.statusHistory, c.status);
        EXPECT_EQ(bench.Count(0x14), c.erases);
        EXPECT_EQ(bench.Count(0x11), c.writes);
        if (c.flashUntouched) {
            EXPECT_EQ(bench.device.flash, before);
        }
    }
}

TEST(NvramUpdate, RefusedConfigurationReadSendsNothingFurther) {
    Bench bench;
    bench.images.Put(kRevisionAImageName, Pattern(40000, 17));
    bench.device.refusePrefix = ReadAt(0, 4096);

    EXPECT_EQ(bench.Run(), 0);
    EXPECT_EQ(bench.Sent(true), (std::vector<std::string>{kStatus, ReadAt(0, 4096)}));
}

TEST(NvramUpdate, EmulatedBridgeKeepsItsConfigurationArea) {
    VirtualClock bridgeClock;
    emu::EmulatorPlatform platform(bridgeClock, {});
    const auto added = platform.AddBridge("q742:rev=2");
    ASSERT_TRUE(added.ok()) << added.error;
    const DevicePath path = platform.PathsOf(0).at(0);
    const auto flashOf = [&] {
        const auto bytes = platform.Bridge(0).Flash();
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    };
    const auto before = flashOf();
    MemoryImageStore images;
    const auto image = Pattern(40000, 31);
    images.Put(kRevisionBImageName, image);
    RecordingContext window(platform, images);

    ASSERT_EQ(UpdateFlashPreservingNvram(window, path), 1);
    const auto after = flashOf();
    EXPECT_TRUE(Same(after, 0, before, 0, 4096));
    EXPECT_TRUE(Same(after, 4096, image, 4096, 40000 - 4096));
    EXPECT_TRUE(Filled(after, 40000, 49152, 0x00));
}

}  // namespace
}  // namespace qks::test
