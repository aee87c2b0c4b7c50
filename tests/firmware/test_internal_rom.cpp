// The internal-ROM engine against a small model of the QK60716's parallel
// ROM: exact command sequences, the ROM and backup files left behind, and
// every outcome of programming, erase-only and backup.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "emulator/platform.h"
#include "firmware/image_store.h"
#include "firmware/internal_rom_engine.h"
#include "support/recording_context.h"
#include "support/test_support.h"

namespace qks::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRom = 65536;
const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel&prod_qk60716#1";

std::string Render(const SentCommand& c) {
    return Hex(c.cdb) + (c.direction == DataDirection::In ? " <" : " >") +
           std::to_string(c.length);
}

const std::string kSwitch = "FF 04 05 00 00 00 00 00 00 00 00 00 >0";
const std::string kPoll = "FF 04 00 00 00 00 00 00 00 00 00 00 <2";
const std::string kPreErase = "FF 04 04 00 00 00 00 00 00 00 00 00 >18";
const std::string kErase = "FF 04 01 00 00 00 00 00 00 00 00 00 >0";
const std::string kProgramAtmel = "FF 04 02 55 55 AA 2A 55 55 AA 55 A0 >";
const std::string kProgramPmc = "FF 04 02 55 05 AA 02 55 05 AA 55 A0 >";
const std::string kProgramNoCycles = "FF 04 02 00 00 00 00 00 00 00 00 00 >";
const std::vector<uint8_t> kCyclesAtmel =
    FromHex("55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10");
const std::vector<uint8_t> kCyclesPmc =
    FromHex("55 05 AA 02 55 05 55 05 AA 02 55 05 AA 55 80 AA 55 10");

std::string ReadRomAt(uint32_t address, uint32_t length) {
    char text[64];
    std::snprintf(text, sizeof text, "FF 04 03 %02X %02X %02X %02X 00 00 00 00 00 <%u",
                  address & 0xFF, (address >> 8) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 24) & 0xFF, length);
    return text;
}

const char* kEraseOk = "Erase command ok!!";
const char* kEraseBusy = "Erase command ok,status fail!!";
const char* kNotErased = "Not Erase correctly!";
const char* kProgramOk = "Programming Success!!";
const char* kProgramFail = "Programming Fail!!";
const char* kDone = "Programming & Compare Success!!";
const char* kEraseStart = "Start Erase only!";
const char* kEraseDone = "Erase All success!!";
const char* kPreEraseFail = "Error pre-erase command!!";
const char* kSwitchFail = "Can't switch to internal ROM";
const char* kBackupStart = "Backup ...";
const char* kBackupDone = "Read flash and backup success!";

using Texts = std::vector<std::string>;

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

bool Filled(const std::vector<uint8_t>& a, size_t from, size_t to, uint8_t value) {
    return std::all_of(a.begin() + from, a.begin() + to, [&](uint8_t b) { return b == value; });
}

// A QK60716 and its 64 KB parallel ROM. The ROM answers only after the
// switch, erases only after the unlock cycles of the fitted part, programs
// by clearing bits, and refuses work while it is busy.
struct Qk60716 {
    std::vector<uint8_t> rom = Pattern(kRom, 11);
    int part = 0;   // 0: unlock at 0x5555/0x2AAA; 1: at 0x0555/0x02AA
    bool switchRequired = true;
    int busyAfterErase = 3;
    int busyAfterProgram = 2;
    std::optional<uint32_t> eraseLeaves;   // a byte the erase leaves at 0x7F
    std::optional<uint32_t> weakByte;      // a byte that takes a program with bit 0 flipped
    std::string refusePrefix;              // refuse the n-th command starting so
    int refuseOccurrence = 1;

    bool switched = false;
    bool armed = false;
    int busyLeft = 0;
    std::map<std::string, int> seen;

    Reply operator()(const SentCommand& c) {
        const std::string text = Render(c);
        if (!refusePrefix.empty() && text.rfind(refusePrefix, 0) == 0 &&
            ++seen[refusePrefix] == refuseOccurrence)
            return Refused();
        if (c.cdb[0] != 0xFF || c.cdb[1] != 0x04) return Refused();
        if (c.cdb[2] == 0x05) {
            switched = true;
            return {};
        }
        if (switchRequired && !switched) return Refused();
        if (c.cdb[2] == 0x00) {
            Reply r;
            r.data = {static_cast<uint8_t>(busyLeft > 0 ? 0x01 : 0x00), 0};
            if (busyLeft > 0) --busyLeft;
            return r;
        }
        if (busyLeft > 0) return Refused();
        switch (c.cdb[2]) {
            case 0x04:
                armed = c.dataOut == (part == 0 ? kCyclesAtmel : kCyclesPmc);
                return {};
            case 0x01:
                if (armed) {
                    std::fill(rom.begin(), rom.end(), 0xFF);
                    if (eraseLeaves) rom[*eraseLeaves] = 0x7F;
                    busyLeft = busyAfterErase;
                }
                armed = false;
                return {};
            case 0x03: {
                const uint32_t address =
                    c.cdb[3] | (c.cdb[4] << 8) | (c.cdb[5] << 16) | (c.cdb[6] << 24);
                if (address + c.length > rom.size()) return Refused();
                Reply r;
                r.data.assign(rom.begin() + address, rom.begin() + address + c.length);
                return r;
            }
            case 0x02: {
                // Cycles for another part leave the ROM as it was.
                if (text.rfind(part == 0 ? kProgramAtmel : kProgramPmc, 0) != 0) return {};
                if (c.length > rom.size()) return Refused();
                for (uint32_t i = 0; i < c.length; ++i)
                    rom[i] = weakByte && i == *weakByte ? c.dataOut[i] ^ 0x01
                                                        : rom[i] & c.dataOut[i];
                busyLeft = busyAfterProgram;
                return {};
            }
            default:
                return Refused();
        }
    }

    static Reply Refused() { return test::CheckCondition(); }
};

// Logs status texts and message boxes in one stream, so their order
// against each other and against the ROM reads can be checked.
class LoggingContext : public RecordingContext {
public:
    using RecordingContext::RecordingContext;
    void SetStatusText(const std::string& text) override {
        events.push_back("status " + text);
        RecordingContext::SetStatusText(text);
    }
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override {
        events.push_back("box " + text);
        RecordingContext::ShowMessageBox(text, caption, icon);
    }
    std::vector<std::string> events;
};

struct Bench {
    Qk60716 device;
    ScriptedPassThrough passThrough;
    MemoryImageStore images;
    LoggingContext window{passThrough, images};

    Bench() {
        passThrough.SetHandler([this](const SentCommand& c) {
            if (c.cdb.size() > 2 && c.cdb[2] == 0x03) window.events.push_back("read ROM");
            return device(c);
        });
    }
    int Run(int32_t romType = 0) { return ProgramInternalRom(window, kPath, romType); }

    Texts Sent(bool withPolls = true) const {
        Texts out;
        for (const auto& c : passThrough.sent)
            if (withPolls || Render(c) != kPoll) out.push_back(Render(c));
        return out;
    }
    int Count(uint8_t sub) const {
        int n = 0;
        for (const auto& c : passThrough.sent)
            if (c.cdb[2] == sub) ++n;
        return n;
    }
    const SentCommand* First(uint8_t sub) const {
        for (const auto& c : passThrough.sent)
            if (c.cdb[2] == sub) return &c;
        return nullptr;
    }
};

// Each case runs in its own empty current directory.
class InternalRomFiles : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        // mkdtemp is POSIX only; a name that create_directory made is ours.
        std::random_device random;
        do {
            dir_ = fs::temp_directory_path() / ("qks-rom-" + std::to_string(random()));
        } while (!fs::create_directory(dir_));
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    void Fresh() {
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove_all(entry.path());
    }
    static std::vector<fs::path> Files() {
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator("."))
            if (entry.is_regular_file()) files.push_back(entry.path().lexically_normal());
        return files;
    }
    static std::vector<uint8_t> Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path previous_;
    fs::path dir_;
};

TEST(InternalRomWait, PollsBackToBackWithinItsBudget) {
    struct Case {
        const char* name;
        int busyPolls;
        int failedPolls;    // transfers refused before the ROM answers
        bool vanished;      // the path no longer opens
        int result;
        int polls;
    };
    const std::vector<Case> cases = {
        {"ready at once", 0, 0, false, 1, 1},
        {"busy for most of the first round", 499, 0, false, 1, 500},
        {"busy past the first round", 500, 0, false, 1, 501},
        {"ready at the very last poll", 49999, 0, false, 1, 50000},
        {"busy for the whole budget", 50000, 0, false, 0, 50000},
        {"never ready", 1 << 30, 0, false, 0, 50000},
        {"failed polls count as busy", 0, 10, false, 1, 11},
        {"every poll fails", 0, 1 << 30, false, 0, 50000},
        {"device vanished: no polling for a device that is gone", 0, 0, true, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int busy = c.busyPolls;
        int failing = c.failedPolls;
        ScriptedPassThrough passThrough([&](const SentCommand&) {
            Reply r;
            if (failing > 0) {
                --failing;
                r.scsiStatus = 0x02;
                return r;
            }
            r.data = {static_cast<uint8_t>(busy > 0 ? 0x01 : 0x00), 0};
            if (busy > 0) --busy;
            return r;
        });
        passThrough.FailOpens(c.vanished);
        MemoryImageStore images;
        RecordingContext window(passThrough, images);

        EXPECT_EQ(WaitRomReady(window.Commands(), kPath), c.result);
        EXPECT_EQ(passThrough.opens, c.polls);
        for (const auto& sent : passThrough.sent) ASSERT_EQ(Render(sent), kPoll);
        EXPECT_EQ(window.clock.NowMicros(), 0u);   // no pause between polls
    }
}

TEST(InternalRomProgram, FortyThousandByteImageExactSequence) {
    Bench bench;
    const auto image = Pattern(40000, 5);
    bench.images.Put(kSerialFlashImageName, image);

    ASSERT_EQ(bench.Run(0), 1);
    const Texts expected = {
        kSwitch, kPreErase, kErase, kPoll, kPoll, kPoll, kPoll,
        ReadRomAt(0, 65536),
        kPoll,
        kProgramAtmel + "40000",
        kPoll, kPoll, kPoll,
        ReadRomAt(0, 40000),
    };
    EXPECT_EQ(bench.Sent(), expected);
    EXPECT_EQ(bench.First(0x04)->dataOut, kCyclesAtmel);
    EXPECT_EQ(bench.First(0x02)->dataOut, image);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), bench.device.rom.begin()));
    EXPECT_TRUE(Filled(bench.device.rom, 40000, kRom, 0xFF));
    const Texts texts = {kEraseOk, kProgramOk, kDone};
    EXPECT_EQ(bench.window.statusHistory, texts);
    EXPECT_EQ(bench.window.repainted, texts);
    EXPECT_TRUE(bench.window.steps.empty());
}

TEST(InternalRomProgram, RomTypeChoosesTheUnlockCycles) {
    struct Case {
        const char* name;
        int part;
        int32_t romType;
        std::vector<uint8_t> eraseCycles;
        std::string program;   // empty: the ROM stays unerased and nothing is programmed
    };
    const std::vector<Case> cases = {
        {"ATMEL", 0, 0, kCyclesAtmel, kProgramAtmel},
        {"SST shares the ATMEL addresses", 0, 2, kCyclesAtmel, kProgramAtmel},
        {"PMC", 1, 1, kCyclesPmc, kProgramPmc},
        {"ATMEL cycles on a PMC part", 1, 0, kCyclesAtmel, ""},
        {"unknown type sends no cycles", 0, 5, std::vector<uint8_t>(18, 0), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        bench.device.part = c.part;
        const auto image = Pattern(kRom, 8);
        bench.images.Put(kSerialFlashImageName, image);

        const int result = bench.Run(c.romType);
        ASSERT_NE(bench.First(0x04), nullptr);
        EXPECT_EQ(bench.First(0x04)->dataOut, c.eraseCycles);
        if (c.program.empty()) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(bench.window.status, kNotErased);
            EXPECT_EQ(bench.Count(0x02), 0);
            continue;
        }
        ASSERT_EQ(result, 1);
        EXPECT_EQ(Render(*bench.First(0x02)), c.program + "65536");
        EXPECT_EQ(bench.device.rom, image);
    }
}

struct ProgramCase {
    const char* name;
    std::function<void(Bench&)> setup;
    int result;
    Texts status;
    Texts repainted;
    int programs;   // ProgramRom commands sent
    int reads;      // ReadRom commands sent
    std::optional<Texts> sent;
};

TEST(InternalRomProgram, Outcomes) {
    const auto image = Pattern(kRom, 3);
    const std::vector<ProgramCase> cases = {
        {"erased, programmed and verified", [](Bench&) {}, 1,
         {kEraseOk, kProgramOk, kDone}, {kEraseOk, kProgramOk, kDone}, 1, 2, std::nullopt},
        {"pre-erase refused", [](Bench& b) { b.device.refusePrefix = kPreErase; }, 0,
         {kPreEraseFail}, {}, 0, 0, Texts{kSwitch, kPreErase}},
        {"erase refused still programs a blank ROM",
         [](Bench& b) {
             b.device.refusePrefix = kErase;
             std::fill(b.device.rom.begin(), b.device.rom.end(), 0xFF);
         },
         1, {kProgramOk, kDone}, {kProgramOk, kDone}, 1, 1,
         Texts{kSwitch, kPreErase, kErase, kPoll, kProgramAtmel + "65536", kPoll, kPoll, kPoll,
               ReadRomAt(0, 65536)}},
        {"ROM busy for the whole erase wait: no blank check, still programs",
         [](Bench& b) { b.device.busyAfterErase = 50000; }, 1,
         {kEraseBusy, kProgramOk, kDone}, {kEraseBusy, kProgramOk, kDone}, 1, 1, std::nullopt},
        {"blank-check read refused still programs",
         [](Bench& b) { b.device.refusePrefix = ReadRomAt(0, 65536); }, 1,
         {kEraseOk, kProgramOk, kDone}, {kEraseOk, kProgramOk, kDone}, 1, 2, std::nullopt},
        {"one byte 0x7F after the erase",
         [](Bench& b) { b.device.eraseLeaves = 0x1234; }, 0,
         {kEraseOk, kNotErased}, {kEraseOk, kNotErased}, 0, 1, std::nullopt},
        {"program refused", [](Bench& b) { b.device.refusePrefix = "FF 04 02"; }, 0,
         {kEraseOk, kProgramFail}, {kEraseOk}, 1, 1, std::nullopt},
        {"read-back refused",
         [](Bench& b) {
             b.device.refusePrefix = "FF 04 03";
             b.device.refuseOccurrence = 2;
         },
         0, {kEraseOk, kProgramOk, "Read Fail!!"}, {kEraseOk, kProgramOk}, 1, 2, std::nullopt},
        {"read-back differs", [](Bench& b) { b.device.weakByte = 0xBEEF; }, 0,
         {kEraseOk, kProgramOk, "Compare Fail!!"}, {kEraseOk, kProgramOk}, 1, 2, std::nullopt},
        {"image missing: erased, nothing sent to program",
         [](Bench& b) { b.images.Put(kRevisionAImageName, Pattern(kRom, 3)); }, 0,
         {kEraseOk, kProgramFail}, {kEraseOk}, 0, 1, std::nullopt},
        {"image empty", [](Bench& b) { b.images.Put(kSerialFlashImageName, {}); }, 0,
         {kEraseOk, kProgramFail}, {kEraseOk}, 0, 1, std::nullopt},
        {"image larger than the ROM refused before the erase",
         [](Bench& b) { b.images.Put(kSerialFlashImageName, Pattern(kRom + 1, 4)); }, 0,
         {kProgramFail}, {}, 0, 0, Texts{kSwitch}},
        {"image the host cannot send at once refused before the erase",
         [](Bench& b) { b.window.maxTransfer = 32768; }, 0,
         {kProgramFail}, {}, 0, 0, Texts{kSwitch}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        c.setup(bench);
        if (bench.images.Names().empty()) bench.images.Put(kSerialFlashImageName, image);
        const auto before = bench.device.rom;

        EXPECT_EQ(bench.Run(), c.result);
        EXPECT_EQ(bench.window.statusHistory, c.status);
        EXPECT_EQ(bench.window.repainted, c.repainted);
        EXPECT_EQ(bench.Count(0x02), c.programs);
        EXPECT_EQ(bench.Count(0x03), c.reads);
        if (c.sent) {
            EXPECT_EQ(bench.Sent(), *c.sent);
        }
        if (c.result == 1) {
            EXPECT_EQ(bench.device.rom, image);
        }
        if (c.reads == 0) {
            EXPECT_EQ(bench.device.rom, before);   // refused while the ROM was intact
        }
    }
}

struct EraseCase {
    const char* name;
    std::function<void(Bench&)> setup;
    int result;
    Texts status;
    Texts repainted;
    int reads;
};

TEST_F(InternalRomFiles, EraseOnlyOutcomes) {
    const std::vector<EraseCase> cases = {
        {"erased and checked", [](Bench&) {}, 1,
         {kEraseStart, kEraseOk, kEraseDone}, {kEraseStart, kEraseOk, kEraseDone}, 1},
        {"backup also checked: only the erase runs",
         [](Bench& b) { b.window.backupOnly = true; }, 1,
         {kEraseStart, kEraseOk, kEraseDone}, {kEraseStart, kEraseOk, kEraseDone}, 1},
        {"pre-erase refused", [](Bench& b) { b.device.refusePrefix = kPreErase; }, 0,
         {kEraseStart, kPreEraseFail}, {kEraseStart}, 0},
        {"erase refused", [](Bench& b) { b.device.refusePrefix = kErase; }, 1,
         {kEraseStart}, {kEraseStart}, 0},
        {"ROM stays busy", [](Bench& b) { b.device.busyAfterErase = 1 << 30; }, 1,
         {kEraseStart, kEraseBusy}, {kEraseStart, kEraseBusy}, 0},
        {"read-back refused", [](Bench& b) { b.device.refusePrefix = "FF 04 03"; }, 1,
         {kEraseStart, kEraseOk, "Read Back after Erase fail!!"},
         {kEraseStart, kEraseOk, "Read Back after Erase fail!!"}, 1},
        {"one byte 0x7F after the erase", [](Bench& b) { b.device.eraseLeaves = 0xFFFF; }, 0,
         {kEraseStart, kEraseOk, kNotErased}, {kEraseStart, kEraseOk, kNotErased}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Bench bench;
        bench.images.Put(kSerialFlashImageName, Pattern(kRom, 3));
        bench.window.eraseOnly = 1;
        c.setup(bench);

        EXPECT_EQ(bench.Run(), c.result);
        EXPECT_EQ(bench.window.statusHistory, c.status);
        EXPECT_EQ(bench.window.repainted, c.repainted);
        EXPECT_EQ(bench.Count(0x03), c.reads);
        EXPECT_EQ(bench.Count(0x02), 0);
        EXPECT_TRUE(bench.window.boxes.empty());
        EXPECT_TRUE(Files().empty());
    }
}

TEST(InternalRomErase, ExactSequenceLeavesTheRomBlank) {
    Bench bench;
    bench.device.part = 1;
    bench.window.eraseOnly = 1;

    ASSERT_EQ(bench.Run(1), 1);
    EXPECT_EQ(bench.First(0x04)->dataOut, kCyclesPmc);
    EXPECT_EQ(bench.Sent(), (Texts{kSwitch, kPreErase, kErase, kPoll, kPoll, kPoll, kPoll,
                                   ReadRomAt(0, 65536)}));
    EXPECT_TRUE(Filled(bench.device.rom, 0, kRom, 0xFF));
}

TEST_F(InternalRomFiles, SwitchAndA1ChipGuardEveryOperation) {
    enum class Mode { Program, EraseOnly, Backup };
    for (Mode mode : {Mode::Program, Mode::EraseOnly, Mode::Backup}) {
        for (bool a1 : {true, false}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(mode)) + (a1 ? " A1" : " switch refused"));
            Fresh();
            Bench bench;
            bench.images.Put(kSerialFlashImageName, Pattern(kRom, 3));
            bench.window.eraseOnly = mode == Mode::EraseOnly;
            bench.window.backupOnly = mode == Mode::Backup;
            if (a1) {
                bench.window.a1Chip = true;
                bench.device.switchRequired = false;
            } else {
                bench.device.refusePrefix = kSwitch;
            }

            const int result = bench.Run();
            if (a1) {
                EXPECT_EQ(result, 1);
                EXPECT_EQ(bench.Count(0x05), 0);
                EXPECT_FALSE(bench.passThrough.sent.empty());
                continue;
            }
            EXPECT_EQ(result, 0);
            EXPECT_EQ(bench.Sent(), Texts{kSwitch});
            EXPECT_EQ(bench.window.statusHistory, Texts{kSwitchFail});
            EXPECT_TRUE(bench.window.repainted.empty());
            EXPECT_TRUE(bench.window.boxes.empty());
            EXPECT_TRUE(Files().empty());
        }
    }
}

struct BackupCase {
    const char* name;
    std::string backupName;
    std::function<void(Bench&)> setup;
    int result;
    Texts status;
    const char* file;   // null: no file at all
    int reads;
};

TEST_F(InternalRomFiles, BackupOutcomes) {
    const std::string dir259(200, 'd');
    const std::string name259 = dir259 + "/" + std::string(58, 'n');
    const std::string name260 = std::string(260, 'n');
    const char* saveFail = "Read ROM Suceess, but save to file fail!!";
    const std::vector<BackupCase> cases = {
        {"default name", "", [](Bench&) {}, 1, {kBackupStart, kBackupDone}, "oldflash.bak", 1},
        {"own name", "rom.bin", [](Bench&) {}, 1, {kBackupStart, kBackupDone}, "rom.bin", 1},
        {"ROM read refused", "rom.bin", [](Bench& b) { b.device.refusePrefix = "FF 04 03"; }, 0,
         {kBackupStart, "Read ROM fail!!"}, nullptr, 1},
        {"file cannot be created", "no-such-dir/rom.bin", [](Bench&) {}, 0,
         {kBackupStart, saveFail}, nullptr, 1},
        {"name of 260 characters refused before the read", name260, [](Bench&) {}, 0,
         {kBackupStart, "Open Backup File Error!!"}, nullptr, 0},
        {"name of 259 characters", name259, [&](Bench&) { fs::create_directory(dir259); }, 1,
         {kBackupStart, kBackupDone}, name259.c_str(), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Bench bench;
        bench.window.backupOnly = true;
        bench.window.backupName = c.backupName;
        c.setup(bench);

        EXPECT_EQ(bench.Run(), c.result);
        EXPECT_EQ(bench.window.statusHistory, c.status);
        EXPECT_EQ(bench.window.repainted,
                  c.result ? c.status : Texts{kBackupStart});
        EXPECT_EQ(bench.Count(0x03), c.reads);
        EXPECT_EQ(bench.window.boxes.size(), c.backupName.empty() ? 1u : 0u);
        if (c.file == nullptr) {
            EXPECT_TRUE(Files().empty());
            continue;
        }
        ASSERT_EQ(Files(), std::vector<fs::path>{fs::path(c.file)});
        EXPECT_EQ(Read(c.file), bench.device.rom);
    }
}

TEST_F(InternalRomFiles, DefaultNameNoticeComesBeforeTheBackup) {
    Bench bench;
    bench.window.backupOnly = true;

    ASSERT_EQ(bench.Run(), 1);
    EXPECT_EQ(bench.window.events,
              (Texts{"box Default backup firmware as OldFalsh.bak!", "status Backup ...",
                     "read ROM", "status Read flash and backup success!"}));
    EXPECT_EQ(bench.window.boxes.at(0).caption, "Message");
    EXPECT_EQ(bench.window.boxes.at(0).icon, MessageIcon::None);
    EXPECT_EQ(Render(*bench.First(0x03)), ReadRomAt(0, 65536));
    const auto saved = Read("oldflash.bak");
    EXPECT_EQ(saved.size(), 65536u);
    EXPECT_EQ(saved, bench.device.rom);
}

TEST_F(InternalRomFiles, BackupReadsInPiecesWhereTheHostLimitsTransfers) {
    Bench bench;
    bench.device.switchRequired = false;
    bench.window.maxTransfer = 16384;
    bench.window.backupName = "rom.bin";

    ASSERT_EQ(BackupInternalRom(bench.window, kPath), 1);
    EXPECT_EQ(bench.Sent(), (Texts{ReadRomAt(0x0000, 16384), ReadRomAt(0x4000, 16384),
                                   ReadRomAt(0x8000, 16384), ReadRomAt(0xC000, 16384)}));
    EXPECT_EQ(Read("rom.bin"), bench.device.rom);
}

TEST_F(InternalRomFiles, EmulatedRomProgramsVerifiesAndBacksUp) {
    VirtualClock bridgeClock;
    emu::EmulatorPlatform platform(bridgeClock, {});
    const auto added = platform.AddBridge("q716:rom=1");
    ASSERT_TRUE(added.ok()) << added.error;
    const DevicePath path = platform.PathsOf(0).at(0);
    MemoryImageStore images;
    const auto image = Pattern(40000, 41);
    images.Put(kSerialFlashImageName, image);
    RecordingContext window(platform, images);

    ASSERT_EQ(ProgramInternalRom(window, path, 1), 1);
    EXPECT_EQ(window.statusHistory, (Texts{kEraseOk, kProgramOk, kDone}));
    const auto rom = platform.Bridge(0).Rom();
    ASSERT_EQ(rom.size(), kRom);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rom.begin()));
    EXPECT_TRUE(std::all_of(rom.begin() + 40000, rom.end(), [](uint8_t b) { return b == 0xFF; }));

    window.backupOnly = true;
    ASSERT_EQ(ProgramInternalRom(window, path, 1), 1);
    EXPECT_EQ(Read("oldflash.bak"), std::vector<uint8_t>(rom.begin(), rom.end()));
}

}  // namespace
}  // namespace qks::test
