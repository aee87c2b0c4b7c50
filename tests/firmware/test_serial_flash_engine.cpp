// The serial-flash programming sequences, end to end against a NOR flash
// with a chosen sector layout behind the first command family.

// Replies are written with designated initializers; omitted members keep
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "firmware/serial_flash_engine.h"
#include "support/recording_context.h"
#include "support/test_support.h"

namespace qks {
namespace {

using test::RecordingContext;
using test::Reply;
using test::ScriptedPassThrough;
using test::SentCommand;

const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel#0005";

uint32_t Address(const SentCommand& s) { return test::FlashAddress(s); }
bool Is(const SentCommand& s, uint8_t sub) { return test::IsFlashCommand(s, sub); }

// Sector starts of the flash below 64 KB; above it, 64 KB sectors.
const std::vector<uint32_t> kUniform32K = {0x0000, 0x8000};
const std::vector<uint32_t> kUniform4K = [] {
    std::vector<uint32_t> starts;
    for (uint32_t at = 0; at < 0x10000; at += 0x1000) starts.push_back(at);
    return starts;
}();
const std::vector<uint32_t> kAmicBootSectors = {0x0000, 0x1000, 0x3000, 0x7000, 0xF000};

class Flash {
public:
    Flash() : bytes(0x40000) {
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 29 + (i >> 12) + 1);
        device.SetHandler([this](const SentCommand& s) { return Answer(s); });
    }

    void EraseSectorAt(uint32_t address) {
        uint32_t start = address / 0x10000 * 0x10000, end = start + 0x10000;
        if (address < 0x10000) {
            for (size_t i = 0; i < sectors.size(); ++i)
                if (sectors[i] <= address) {
                    start = sectors[i];
                    end = i + 1 < sectors.size() ? sectors[i + 1] : 0x10000;
                }
        }
        std::fill(bytes.begin() + start, bytes.begin() + end, 0xFF);
    }

    Reply Answer(const SentCommand& s) {
        const int nth = ++counts[s.cdb[2]];
        if (refuse && refuse(s, nth)) return test::CheckCondition();
        if (Is(s, 0x12)) return Reply{.data = {0x00}};
        if (Is(s, 0x10)) {
            const uint32_t at = Address(s);
            return Reply{.data = {bytes.begin() + at, bytes.begin() + at + s.length}};
        }
        if (Is(s, 0x11)) {
            for (size_t i = 0; i < s.dataOut.size(); ++i) bytes[Address(s) + i] &= s.dataOut[i];
            if (flipAfterWrite >= 0 && Address(s) <= uint32_t(flipAfterWrite) &&
                uint32_t(flipAfterWrite) < Address(s) + s.length)
                bytes[flipAfterWrite] ^= 0x01;
            return Reply{};
        }
        if (Is(s, 0x14)) {
            if (sectorEraseWorks) EraseSectorAt(Address(s));
            return Reply{};
        }
        if (Is(s, 0x13)) {
            if (!chipEraseWorks) return Reply{};
            std::fill(bytes.begin(), bytes.end(), 0xFF);
            return Reply{};
        }
        return Reply{.delivered = false};
    }

    std::vector<std::string> Ops() const { return test::FlashOps(device.sent); }
    std::vector<std::string> Erases() const {
        std::vector<std::string> erases;
        for (const auto& op : Ops())
            if (op[0] == 'E' || op[0] == 'C') erases.push_back(op);
        return erases;
    }

    ScriptedPassThrough device;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> sectors = kUniform32K;
    bool sectorEraseWorks = true;   // false: accepted, but nothing changes
    bool chipEraseWorks = true;
    int flipAfterWrite = -1;
    // Refuse a command; `nth` counts the commands of its kind, from 1.
    std::function<bool(const SentCommand&, int nth)> refuse;
    std::map<uint8_t, int> counts;
};

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return image;
}

std::vector<std::string> Pages(uint32_t length, uint32_t page, char op) {
    std::vector<std::string> ops;
    char text[40];
    for (uint32_t at = 0; at < length; at += page) {
        std::snprintf(text, sizeof text, "%c %05X %u", op, at, page);
        ops.emplace_back(text);
    }
    return ops;
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class Engine : public ::testing::Test {
protected:
    void UseImage(size_t size) {
        image = Pattern(size, 0x3B);
        images.Put("FW719", image);
    }
    bool FlashHoldsImage() const {
        return std::equal(image.begin(), image.end(), flash.bytes.begin());
    }

    Flash flash;
    MemoryImageStore images;
    RecordingContext window{flash.device, images};
    std::vector<uint8_t> image;
};

// ---- UpdateSerialFlash: how it erases ----

struct EraseCase {
    const char* name;
    int32_t amic;
    size_t imageSize;
    std::vector<uint32_t> sectors;
    std::vector<std::string> erases;
};
class UpdateErase : public Engine, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(UpdateErase, ErasesThenProgramsAndVerifies) {
    const auto& c = GetParam();
    window.amicCode = c.amic;
    flash.sectors = c.sectors;
    UseImage(c.imageSize);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 1);
    EXPECT_EQ(flash.Erases(), c.erases);
    EXPECT_EQ(window.status, "Programming Success!!");
    EXPECT_TRUE(FlashHoldsImage());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, UpdateErase,
    ::testing::Values(
        EraseCase{"Code4Exactly32K", 4, 32768, kUniform32K, {"E 00000"}},
        EraseCase{"Code4Over32K", 4, 32769, kUniform32K, {"E 00000", "E 08000"}},
        EraseCase{"NoAmic64K", -1, 65536, kUniform32K, {"E 00000", "E 08000"}},
        EraseCase{"Over64KChipErase", -1, 65537, kUniform32K, {"C"}},
        EraseCase{"Over64KChipEraseWhateverTheCode", 0, 65537, kUniform32K, {"C"}},
        EraseCase{"Code1BootSectors", 1, 40000, kAmicBootSectors,
                  {"E 00000", "E 01000", "E 03000", "E 07000", "E 0F000"}},
        EraseCase{"Code3BootSectors", 3, 65536, kAmicBootSectors,
                  {"E 00000", "E 01000", "E 03000", "E 07000", "E 0F000"}},
        EraseCase{"Code5HalfFlash", 5, 32768, kAmicBootSectors,
                  {"E 00000", "E 01000", "E 03000", "E 07000"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Engine, UnsupportedAmicCodesStopBeforeAnyErase) {
    UseImage(32768);
    for (int32_t code : {0, 2, 6, -2}) {
        window.amicCode = code;
        flash.device.sent.clear();
        EXPECT_EQ(UpdateSerialFlash(window, kPath), 0) << "code " << code;
        EXPECT_EQ(window.status, "Not Support this AMIC Flash Type!!");
        EXPECT_TRUE(flash.Ops().empty()) << "code " << code;
    }
}

TEST_F(Engine, SuccessPathTextsAndSteps) {
    window.amicCode = 4;
    window.status = "Updating";
    UseImage(32768);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 1);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "R 00000 32768"}, Pages(32768, 16384, 'W'),
                                   {"R 00000 32768"}}));
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{"Updating.", "Updating..", "Programming Success!!"}));
    EXPECT_EQ(window.steps, (std::vector<int32_t>{10, 5, 10, 10, 10, 20, 10, 10}));
    // 500 ms after the erase, 1000 ms before the read-back; the flash is never busy.
    EXPECT_EQ(window.clock.NowMicros(), 1500000u);
}

TEST_F(Engine, NotReadyAfterTheFirstEraseIsShownAndTheDotsFollowIt) {
    window.amicCode = 4;
    UseImage(65536);
    // Each erase leaves the flash busy for longer than a ready-wait waits.
    int busyReads = 0;
    flash.device.SetHandler([this, &busyReads](const SentCommand& s) {
        if (Is(s, 0x14)) busyReads = 600;
        if (Is(s, 0x12) && busyReads > 0) {
            --busyReads;
            return Reply{.data = {0x01}};
        }
        return flash.Answer(s);
    });
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 1);
    EXPECT_EQ(flash.Erases(), (std::vector<std::string>{"E 00000", "E 08000"}));
    const std::string notReady = "Not ready after Erase flash success";
    // The wait after the second erase is silent.
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{notReady, notReady + ".", notReady + "..",
                                        notReady + "...", notReady + "....",
                                        "Programming Success!!"}));
}

TEST_F(Engine, SmallPagesAppendADotPerPage) {
    window.amicCode = -1;
    window.pageSize = 2048;
    window.status = "x";
    UseImage(32768);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 1);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "R 00000 32768"}, Pages(32768, 2048, 'W'),
                                   {"R 00000 32768"}}));
    ASSERT_EQ(window.statusHistory.size(), 17u);
    EXPECT_EQ(window.statusHistory[15], "x" + std::string(16, '.'));
    EXPECT_EQ(window.statusHistory[16], "Programming Success!!");
    std::vector<int32_t> steps = {10, 5, 10};
    steps.insert(steps.end(), 16, 10);
    steps.insert(steps.end(), {20, 10, 10});
    EXPECT_EQ(window.steps, steps);
}

TEST_F(Engine, ImageOfPartPagesIsWrittenInWholePages) {
    window.amicCode = 4;
    UseImage(20000);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 1);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "R 00000 32768"}, Pages(32768, 16384, 'W'),
                                   {"R 00000 32768"}}));
    EXPECT_TRUE(FlashHoldsImage());
}

TEST_F(Engine, RefusedBootSectorEraseLeavesTheDecisionToTheCheck) {
    window.amicCode = 3;
    flash.sectors = kAmicBootSectors;
    flash.refuse = [](const SentCommand& s, int) { return Is(s, 0x14) && Address(s) == 0x1000; };
    UseImage(65536);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 0);
    EXPECT_EQ(flash.Erases(), (std::vector<std::string>{"E 00000", "E 01000", "E 03000", "E 07000",
                                                         "E 0F000"}));
    EXPECT_EQ(window.status, "Data not 0xff !!");
    EXPECT_EQ(window.steps, (std::vector<int32_t>{5}));

    // The same refusal over a flash that was blank there anyway.
    Flash blank;
    blank.sectors = kAmicBootSectors;
    std::fill(blank.bytes.begin() + 0x1000, blank.bytes.begin() + 0x3000, 0xFF);
    blank.refuse = flash.refuse;
    RecordingContext other(blank.device, images);
    other.amicCode = 3;
    EXPECT_EQ(UpdateSerialFlash(other, kPath), 1);
    EXPECT_EQ(other.status, "Programming Success!!");
}

struct RefusalCase {
    const char* name;
    int32_t amic;
    size_t imageSize;
    std::function<bool(const SentCommand&, int)> refuse;
    const char* text;
    std::vector<int32_t> steps;
};
class UpdateRefusal : public Engine, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(UpdateRefusal, EndsWithItsText) {
    const auto& c = GetParam();
    window.amicCode = c.amic;
    flash.refuse = c.refuse;
    UseImage(c.imageSize);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 0);
    EXPECT_EQ(window.status, c.text);
    EXPECT_EQ(window.steps, c.steps);
}

bool EraseAt(const SentCommand& s, uint32_t address) { return Is(s, 0x14) && Address(s) == address; }

INSTANTIATE_TEST_SUITE_P(
    Failures, UpdateRefusal,
    ::testing::Values(
        RefusalCase{"FirstHalf", 4, 65536, [](const SentCommand& s, int) { return EraseAt(s, 0); },
                    "Erase command fail!!", {}},
        RefusalCase{"SecondHalf", -1, 65536, [](const SentCommand& s, int) { return EraseAt(s, 0x8000); },
                    "Erase command fail!!", {10}},
        RefusalCase{"TopBootSector", 1, 65536, [](const SentCommand& s, int) { return EraseAt(s, 0xF000); },
                    "Erase command fail!!", {}},
        RefusalCase{"ChipErase", 4, 70000, [](const SentCommand& s, int) { return Is(s, 0x13); },
                    "Erase command fail!!", {}},
        RefusalCase{"EraseCheckRead", 4, 32768, [](const SentCommand& s, int) { return Is(s, 0x10); },
                    "Read Back Erased Flash Error!!", {10}},
        RefusalCase{"SecondPage", 4, 65536,
                    [](const SentCommand& s, int) { return Is(s, 0x11) && Address(s) == 0x4000; },
                    "Programming Fail!!", {10, 5, 10, 10, 10, 20, 10}},
        RefusalCase{"FinalRead", 4, 32768,
                    // the first read checks the erase, the second verifies
                    [](const SentCommand& s, int nth) { return Is(s, 0x10) && nth == 2; },
                    "Read Fail!!\r\n", {10, 5, 10, 10, 10, 20}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Engine, CompareFailure) {
    window.amicCode = 4;
    flash.flipAfterWrite = 0x5432;
    UseImage(32768);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 0);
    EXPECT_EQ(window.status, "Compare Fail!!\r\n\r\n");
    EXPECT_EQ(window.steps, (std::vector<int32_t>{10, 5, 10, 10, 10, 20, 10, 10}));
}

TEST_F(Engine, MissingImage) {
    images.Put("QKS958FW", Pattern(51208, 1));
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 0);
    EXPECT_EQ(window.status, "Load defaut Fw file Error!!");
    EXPECT_TRUE(flash.device.sent.empty());
    images.Put("FW719", {});
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 0);
    EXPECT_EQ(window.status, "Load defaut Fw file Error!!");
}

// ---- UpdateSerialFlash: the panel's maintenance choices ----

TEST_F(Engine, EraseOnlyWinsOverBackupOnly) {
    window.rd = true;
    window.eraseOnly = 1;
    window.backupOnly = true;
    window.firmwareSize = 65536;
    window.pageSize = 32768;
    UseImage(32768);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 1);
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"E 00000", "E 08000", "R 00000 65536"}));
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Please Turn-Off the Power and Turn-On Again!");
    EXPECT_EQ(window.boxes[0].caption, "Message");
    EXPECT_EQ(window.status, "Erase flash all success!");
}

TEST_F(Engine, FailedEraseOnlyShowsNoBox) {
    window.rd = true;
    window.eraseOnly = 1;
    flash.sectors = kUniform4K;
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 0);
    EXPECT_EQ(window.status, "Data not 0xff !!");
    EXPECT_TRUE(window.boxes.empty());
}

TEST_F(Engine, BackupOnlyReadsWithoutErasing) {
    window.rd = true;
    window.backupOnly = true;
    window.backupName = "/nonexistent-dir/qks/flash.bak";
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 0);
    EXPECT_EQ(flash.Ops(), std::vector<std::string>{"R 00000 65536"});
    EXPECT_EQ(window.status, "Open Backup File Error!!");
}

TEST_F(Engine, ChoicesNeedTheRdBox) {
    window.eraseOnly = 1;
    window.backupOnly = true;
    window.amicCode = 4;
    UseImage(32768);
    EXPECT_EQ(UpdateSerialFlash(window, kPath), 1);
    EXPECT_EQ(window.status, "Programming Success!!");
    EXPECT_TRUE(window.boxes.empty());
}

// ---- ProgramEmbeddedImage / ProgramFlashVerified ----

class Embedded : public Engine {
protected:
    void SetUp() override {
        body = Pattern(51208, 0x77);
        images.Put("QKS958FW", body);
        for (size_t i = 0; i < header.size(); ++i) header[i] = static_cast<uint8_t>(0xE0 ^ i);
    }
    std::vector<uint8_t> Expected() const {
        std::vector<uint8_t> expected(65536, 0x00);
        std::copy(body.begin(), body.end(), expected.begin());
        std::copy(header.begin(), header.end(), expected.begin());
        return expected;
    }
    bool FlashHolds(const std::vector<uint8_t>& expected) const {
        return std::equal(expected.begin(), expected.end(), flash.bytes.begin());
    }

    std::vector<uint8_t> body;
    HeaderBlock header{};
};

TEST_F(Embedded, ProgramsHeaderImageAndZerosTo64K) {
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 1);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "E 08000"}, Pages(65536, 16384, 'R'),
                                   Pages(65536, 8192, 'W'), Pages(65536, 16384, 'R')}));
    EXPECT_TRUE(FlashHolds(Expected()));
    EXPECT_EQ(window.steps, (std::vector<int32_t>{10, 10, 10, 10, 10}));
    EXPECT_TRUE(window.boxes.empty());
    // Only the paged reads write texts.
    for (const auto& text : window.statusHistory) EXPECT_EQ(text.rfind("ReadFlash...", 0), 0u) << text;
}

// The host's transfer limit: pages it cannot move in one command are read
// in pieces; one it cannot even write a unit through is refused before the
// erase, with the flash as it was.
TEST_F(Embedded, HostTransferLimitSplitsReadsOrStopsBeforeTheErase) {
    window.maxTransfer = 8192;
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 1);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "E 08000"}, Pages(65536, 8192, 'R'),
                                   Pages(65536, 8192, 'W'), Pages(65536, 8192, 'R')}));
    EXPECT_TRUE(FlashHolds(Expected()));

    const auto before = flash.bytes;
    const size_t sent = flash.Ops().size();
    window.maxTransfer = 4096;
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 0);
    EXPECT_EQ(flash.Ops().size(), sent);
    EXPECT_EQ(flash.bytes, before);
}

TEST_F(Embedded, SmallSectorsFallBackToOneChipErase) {
    flash.sectors = kUniform4K;
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 1);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "E 08000"}, Pages(65536, 16384, 'R'), {"C"},
                                   Pages(65536, 16384, 'R'), Pages(65536, 8192, 'W'),
                                   Pages(65536, 16384, 'R')}));
    EXPECT_TRUE(FlashHolds(Expected()));
}

TEST_F(Embedded, DataLeftAfterTheChipEraseFails) {
    flash.sectors = kUniform4K;
    flash.chipEraseWorks = false;   // accepted, but nothing changes
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 0);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "E 08000"}, Pages(65536, 16384, 'R'), {"C"},
                                   Pages(65536, 16384, 'R')}));
}

TEST_F(Embedded, RefusedChipEraseStillProgramsAndTheCompareDecides) {
    // Blank but for one byte where the image holds 0x00: programming clears it.
    std::fill(flash.bytes.begin(), flash.bytes.begin() + 0x10000, 0xFF);
    flash.bytes[60000] = 0x5A;
    flash.sectorEraseWorks = false;
    flash.refuse = [](const SentCommand& s, int) { return Is(s, 0x13); };
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 1);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "E 08000"}, Pages(65536, 16384, 'R'), {"C"},
                                   Pages(65536, 8192, 'W'), Pages(65536, 16384, 'R')}));
    EXPECT_TRUE(FlashHolds(Expected()));

    Flash dirty;
    dirty.sectors = kUniform4K;
    dirty.refuse = flash.refuse;
    RecordingContext other(dirty.device, images);
    EXPECT_EQ(ProgramEmbeddedImage(other, kPath, header), 0) << "the compare finds what was left";
    const auto ops = dirty.Ops();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "W 0E000 8192"), 1) << "all of it was written";
}

TEST_F(Embedded, RefusedSecondCheckReadIsPassedOver) {
    flash.sectors = kUniform4K;
    flash.refuse = [](const SentCommand& s, int nth) { return Is(s, 0x10) && nth == 5; };
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 1);
    EXPECT_EQ(flash.Ops(), Concat({{"E 00000", "E 08000"}, Pages(65536, 16384, 'R'), {"C"},
                                   {"R 00000 16384"}, Pages(65536, 8192, 'W'),
                                   Pages(65536, 16384, 'R')}));
}

struct VerifiedFailure {
    const char* name;
    std::function<bool(const SentCommand&, int)> refuse;
    size_t commands;   // non-status commands sent before it stopped
};
class VerifiedFailures : public Embedded, public ::testing::WithParamInterface<VerifiedFailure> {};

TEST_P(VerifiedFailures, StopWithResultZeroAndNoText) {
    flash.refuse = GetParam().refuse;
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 0);
    EXPECT_EQ(flash.Ops().size(), GetParam().commands);
    for (const auto& text : window.statusHistory) EXPECT_EQ(text.rfind("ReadFlash...", 0), 0u) << text;
    EXPECT_TRUE(window.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, VerifiedFailures,
    ::testing::Values(
        VerifiedFailure{"SecondSectorErase", [](const SentCommand& s, int) { return EraseAt(s, 0x8000); }, 2},
        VerifiedFailure{"CheckRead",
                        [](const SentCommand& s, int) { return Is(s, 0x10) && Address(s) == 0x4000; }, 4},
        VerifiedFailure{"ThirdWrite",
                        [](const SentCommand& s, int) { return Is(s, 0x11) && Address(s) == 0x4000; }, 2 + 4 + 3},
        VerifiedFailure{"FinalRead",
                        [](const SentCommand& s, int nth) { return Is(s, 0x10) && nth == 8; },
                        2 + 4 + 8 + 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Embedded, CompareFailure) {
    flash.flipAfterWrite = 0x8123;
    EXPECT_EQ(ProgramEmbeddedImage(window, kPath, header), 0);
    EXPECT_EQ(window.steps, (std::vector<int32_t>{10, 10, 10, 10}));
}

TEST_F(Embedded, MissingImageSendsNothing) {
    MemoryImageStore empty;
    RecordingContext other(flash.device, empty);
    EXPECT_EQ(ProgramEmbeddedImage(other, kPath, header), 0);
    EXPECT_TRUE(flash.device.sent.empty());
}

TEST_F(Embedded, PartImageIsPaddedToWholeWritesAndPages) {
    window.pageSize = 32768;
    const auto part = Pattern(10000, 0x21);
    EXPECT_EQ(ProgramFlashVerified(window, kPath, part.data(), 10000), 1);
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"E 00000", "R 00000 32768", "W 00000 8192",
                                                      "W 02000 8192", "R 00000 32768"}));
    auto expected = part;
    expected.resize(16384, 0x00);
    EXPECT_TRUE(FlashHolds(expected));
}

}  // namespace
}  // namespace qks
