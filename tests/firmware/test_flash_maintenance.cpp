// The paged flash operations and the panel's erase-only and backup-only
// actions, against a small NOR flash behind the first command family.

// Replies are written with designated initializers; omitted members keep
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "firmware/flash_maintenance.h"
#include "support/recording_context.h"
#include "support/test_support.h"

namespace qks {
namespace {

namespace fs = std::filesystem;
using test::RecordingContext;
using test::Reply;
using test::ScriptedPassThrough;
using test::SentCommand;

const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel#0004";

uint32_t Address(const SentCommand& s) { return test::FlashAddress(s); }
bool Is(const SentCommand& s, uint8_t sub) { return test::IsFlashCommand(s, sub); }

// NOR flash: programming clears bits, a sector erase sets its sector to 0xFF.
class Flash {
public:
    explicit Flash(uint32_t sectorSize = 4096) : bytes(0x100000), sector(sectorSize) {
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 10));
        device.SetHandler([this](const SentCommand& s) { return Answer(s); });
    }

    Reply Answer(const SentCommand& s) {
        if (refuse && refuse(s)) return test::CheckCondition();
        if (Is(s, 0x12)) return Reply{.data = {static_cast<uint8_t>(busy > 0 ? (--busy, 0x01) : 0x00)}};
        if (Is(s, 0x10)) {
            const uint32_t at = Address(s);
            return Reply{.data = {bytes.begin() + at, bytes.begin() + at + s.length}};
        }
        if (Is(s, 0x11)) {
            for (size_t i = 0; i < s.dataOut.size(); ++i) bytes[Address(s) + i] &= s.dataOut[i];
            return Reply{};
        }
        if (Is(s, 0x14)) {
            const uint32_t start = Address(s) / sector * sector;
            std::fill(bytes.begin() + start, bytes.begin() + start + sector, 0xFF);
            return Reply{};
        }
        if (Is(s, 0x13)) {
            std::fill(bytes.begin(), bytes.end(), 0xFF);
            return Reply{};
        }
        return Reply{.delivered = false};
    }

    std::vector<std::string> Ops() const { return test::FlashOps(device.sent); }

    ScriptedPassThrough device;
    std::vector<uint8_t> bytes;
    uint32_t sector;
    int busy = 0;   // status reads that still answer busy
    std::function<bool(const SentCommand&)> refuse;
};

class Maintenance : public ::testing::Test {
protected:
    Flash flash{16384};
    MemoryImageStore images;
    RecordingContext window{flash.device, images};
};

std::vector<std::string> Dotted(const std::string& head, int dots) {
    std::vector<std::string> texts;
    for (int i = 0; i <= dots; ++i) texts.push_back(head + std::string(static_cast<size_t>(i), '.'));
    return texts;
}

// ---- ReadFlashPaged / EraseFlashPaged ----

TEST_F(Maintenance, PagedReadInPagesWithADotEach) {
    window.pageSize = 16384;
    std::vector<uint8_t> dest(65536);
    EXPECT_EQ(ReadFlashPaged(window, kPath, 0x10000, dest.data(), 65536), 1);
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"R 10000 16384", "R 14000 16384",
                                                      "R 18000 16384", "R 1C000 16384"}));
    EXPECT_TRUE(std::equal(dest.begin(), dest.end(), flash.bytes.begin() + 0x10000));
    EXPECT_EQ(window.statusHistory, Dotted("ReadFlash...", 4));
    EXPECT_GE(window.eventsProcessed, 5) << "each text and dot shows at once";
}

TEST_F(Maintenance, PagedReadReadsWholePages) {
    window.pageSize = 8192;
    std::vector<uint8_t> dest(16384);
    EXPECT_EQ(ReadFlashPaged(window, kPath, 0, dest.data(), 10000), 1);
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"R 00000 8192", "R 02000 8192"}));
}

TEST_F(Maintenance, PagedReadStopsAtARefusedPage) {
    window.pageSize = 4096;
    flash.refuse = [](const SentCommand& s) { return Is(s, 0x10) && Address(s) == 0x2000; };
    std::vector<uint8_t> dest(16384);
    EXPECT_EQ(ReadFlashPaged(window, kPath, 0, dest.data(), 16384), 0);
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"R 00000 4096", "R 01000 4096", "R 02000 4096"}));
    EXPECT_EQ(window.status, "ReadFlash.....");
}

TEST_F(Maintenance, LengthZeroSendsNoReadOrErase) {
    uint8_t dest[16] = {};
    EXPECT_EQ(ReadFlashPaged(window, kPath, 0, dest, 0), 0);
    EXPECT_EQ(window.status, "ReadFlash...");
    EXPECT_EQ(EraseFlashPaged(window, kPath, 0), 0);
    EXPECT_EQ(window.status, "Erase...");
    EXPECT_TRUE(flash.Ops().empty());
}

TEST_F(Maintenance, BusyDeviceIsReportedAndTheReadGoesOn) {
    window.pageSize = 16384;
    flash.busy = 1 << 20;
    std::vector<uint8_t> dest(16384);
    EXPECT_EQ(ReadFlashPaged(window, kPath, 0, dest.data(), 16384), 1);
    EXPECT_EQ(window.debug, std::vector<std::string>{"0.1 Device initial not ready!!"});
    EXPECT_EQ(flash.Ops(), std::vector<std::string>{"R 00000 16384"});
    // Two bounded waits: the initial one and the silent one before the page.
    const auto statusReads = flash.device.sent.size() - 1;
    EXPECT_GE(statusReads, 2u * 501u);
    EXPECT_LE(statusReads, 2u * 503u);
}

TEST_F(Maintenance, PagedEraseOneCommandPerPage) {
    window.pageSize = 8192;
    EXPECT_EQ(EraseFlashPaged(window, kPath, 20000), 1);
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"E 00000", "E 02000", "E 04000"}));
    EXPECT_EQ(window.statusHistory, Dotted("Erase...", 3));
    // Each erase is followed by its ready-wait.
    const auto& sent = flash.device.sent;
    for (size_t i = 0; i < sent.size(); ++i)
        if (Is(sent[i], 0x14)) {
            ASSERT_LT(i + 1, sent.size());
            EXPECT_TRUE(Is(sent[i + 1], 0x12));
        }
}

TEST_F(Maintenance, PagedEraseStopsAtARefusal) {
    window.pageSize = 16384;
    flash.refuse = [](const SentCommand& s) { return Is(s, 0x14) && Address(s) == 0x4000; };
    EXPECT_EQ(EraseFlashPaged(window, kPath, 65536), 0);
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"E 00000", "E 04000"}));
    EXPECT_EQ(window.status, "Erase....");
}

// ---- EraseAllFlash ----

struct EraseAllCase {
    uint32_t firmwareSize;
    uint32_t pageSize;
    std::vector<std::string> erases;
};
class EraseAll : public Maintenance, public ::testing::WithParamInterface<EraseAllCase> {};

TEST_P(EraseAll, ErasesInPagesThenChecksInOneRead) {
    const auto& c = GetParam();
    window.firmwareSize = c.firmwareSize;
    window.pageSize = c.pageSize;
    flash.sector = c.pageSize;
    EXPECT_EQ(EraseAllFlash(window, kPath), 1);
    auto expected = c.erases;
    expected.push_back("R 00000 " + std::to_string(c.firmwareSize));
    EXPECT_EQ(flash.Ops(), expected);
    std::vector<std::string> texts = {"Start Erase only!"};
    for (const auto& text : Dotted("Erase...", static_cast<int>(c.erases.size()))) texts.push_back(text);
    texts.push_back("Erase flash all success!");
    EXPECT_EQ(window.statusHistory, texts);
    EXPECT_EQ(window.clock.NowMicros(), 500000u) << "the settle time after the erase";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, EraseAll,
    ::testing::Values(
        EraseAllCase{65536, 16384, {"E 00000", "E 04000", "E 08000", "E 0C000"}},
        EraseAllCase{32768, 32768, {"E 00000"}},
        EraseAllCase{131072, 32768, {"E 00000", "E 08000", "E 10000", "E 18000"}}));

TEST_F(Maintenance, EraseAllFindsWhatSmallSectorsLeft) {
    flash.sector = 4096;   // each 16 KB step erases only 4 KB
    EXPECT_EQ(EraseAllFlash(window, kPath), 0);
    EXPECT_EQ(window.status, "Data not 0xff !!");
}

TEST_F(Maintenance, EraseAllRefusedErase) {
    flash.refuse = [](const SentCommand& s) { return Is(s, 0x14) && Address(s) == 0x8000; };
    EXPECT_EQ(EraseAllFlash(window, kPath), 0);
    EXPECT_EQ(window.status, "Erase command fail!!");
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"E 00000", "E 04000", "E 08000"}));
}

TEST_F(Maintenance, EraseAllWithRefusedCheckReadStillSucceeds) {
    flash.sector = 4096;
    flash.refuse = [](const SentCommand& s) { return Is(s, 0x10); };
    EXPECT_EQ(EraseAllFlash(window, kPath), 1);
    EXPECT_EQ(window.status, "Erase flash all success!");
}

TEST_F(Maintenance, EraseAllReportsANotReadyFlashAndGoesOn) {
    window.firmwareSize = 32768;
    window.pageSize = 32768;
    flash.sector = 32768;
    // Ready at first, then busy for good once the erase has been sent.
    flash.refuse = [this](const SentCommand& s) {
        if (Is(s, 0x14)) flash.busy = 1 << 20;
        return false;
    };
    EXPECT_EQ(EraseAllFlash(window, kPath), 1);
    EXPECT_EQ(window.debug, std::vector<std::string>{"Not ready after Erase flash success"});
    const std::vector<std::string> tail(window.statusHistory.end() - 2, window.statusHistory.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"Not ready after Erase flash cmd success",
                                              "Erase flash all success!"}));
}

// ---- BackupFlashToFile ----

class Backup : public Maintenance {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir = fs::temp_directory_path() / ("qks_backup_" + name + "_" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        previous = fs::current_path();
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    static std::vector<uint8_t> Contents(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), dir).string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<uint8_t> FlashHead(uint32_t length) const {
        return {flash.bytes.begin(), flash.bytes.begin() + length};
    }

    fs::path dir, previous;
};

TEST_F(Backup, WritesTheRawFlashInOneRead) {
    window.firmwareSize = 131072;
    window.backupName = (dir / "saved.bin").string();
    EXPECT_EQ(BackupFlashToFile(window, kPath), 1);
    EXPECT_EQ(flash.Ops(), std::vector<std::string>{"R 00000 131072"});
    EXPECT_EQ(Contents(dir / "saved.bin"), FlashHead(131072));
    EXPECT_EQ(window.statusHistory,
              (std::vector<std::string>{"Backup ...", "Read flash and backup success!"}));
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(Files(), std::vector<std::string>{"saved.bin"});
}

TEST_F(Backup, EmptyNameWritesOldflashBakInTheCurrentDirectory) {
    EXPECT_EQ(BackupFlashToFile(window, kPath), 1);
    ASSERT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(window.boxes[0].text, "Default backup firmware as OldFalsh.bak!");
    EXPECT_EQ(window.boxes[0].caption, "Message");
    EXPECT_EQ(Files(), std::vector<std::string>{"oldflash.bak"});
    EXPECT_EQ(Contents(dir / "oldflash.bak"), FlashHead(65536));
}

TEST_F(Backup, RelativeNameAndExistingFileIsReplaced) {
    std::ofstream("old.bin", std::ios::binary) << std::string(200000, 'x');
    window.backupName = "old.bin";
    window.firmwareSize = 32768;
    EXPECT_EQ(BackupFlashToFile(window, kPath), 1);
    EXPECT_EQ(Contents(dir / "old.bin"), FlashHead(32768));
    EXPECT_EQ(Files(), std::vector<std::string>{"old.bin"});
}

TEST_F(Backup, NameOf259CharactersIsAccepted) {
    // Short folders, so that only the length of the whole name is at stake.
    std::string name;
    while (name.size() + 10 < 259) {
        name += "abcdefgh/";
        fs::create_directories(name);
    }
    name += std::string(259 - name.size(), 'n');
    ASSERT_EQ(name.size(), 259u);
    window.backupName = name;
    EXPECT_EQ(BackupFlashToFile(window, kPath), 1) << ::testing::PrintToString(window.debug);
    EXPECT_EQ(Contents(dir / name), FlashHead(65536));
    // Taken down by name from the deepest entry up: on Windows, walking the
    // tree from the fixture's folder would pass MAX_PATH.
    fs::remove(name);
    for (fs::path p = fs::path(name).parent_path(); !p.empty(); p = p.parent_path()) fs::remove(p);
}

TEST_F(Backup, FileNameNearTheSystemLimitIsWritten) {
    const std::string name(250, 'b');
    window.backupName = name;
    EXPECT_EQ(BackupFlashToFile(window, kPath), 1);
    EXPECT_EQ(window.status, "Read flash and backup success!");
    EXPECT_EQ(Files(), std::vector<std::string>{name});
}

TEST_F(Backup, NameOf260CharactersIsRefusedAndNothingWritten) {
    window.backupName = std::string(260, 'c');
    EXPECT_EQ(BackupFlashToFile(window, kPath), 0);
    EXPECT_EQ(window.status, "Open Backup File Error!!");
    EXPECT_TRUE(Files().empty());
}

TEST_F(Backup, UnwritablePathLeavesNoFile) {
    window.backupName = (dir / "missing" / "flash.bak").string();
    EXPECT_EQ(BackupFlashToFile(window, kPath), 0);
    EXPECT_EQ(window.status, "Open Backup File Error!!");
    EXPECT_TRUE(Files().empty());
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(Backup, FolderNameIsRefusedAndLeavesNoPartialFile) {
    fs::create_directories(dir / "taken");
    window.backupName = (dir / "taken").string();
    EXPECT_EQ(BackupFlashToFile(window, kPath), 0);
    EXPECT_EQ(window.status, "Open Backup File Error!!");
    EXPECT_TRUE(Files().empty());
}

TEST_F(Backup, HostTransferLimitSplitsTheRead) {
    window.firmwareSize = 131072;
    window.maxTransfer = 32768;
    window.backupName = "flash.bak";
    EXPECT_EQ(BackupFlashToFile(window, kPath), 1);
    EXPECT_EQ(flash.Ops(), (std::vector<std::string>{"R 00000 32768", "R 08000 32768",
                                                      "R 10000 32768", "R 18000 32768"}));
    EXPECT_EQ(Contents(dir / "flash.bak"), FlashHead(131072));
}

TEST_F(Backup, RefusedReadWritesNothing) {
    window.backupName = "flash.bak";
    flash.refuse = [](const SentCommand& s) { return Is(s, 0x10); };
    EXPECT_EQ(BackupFlashToFile(window, kPath), 0);
    EXPECT_EQ(window.status, "Read Back to Backup Error!!");
    EXPECT_TRUE(Files().empty());
}

}  // namespace
}  // namespace qks
