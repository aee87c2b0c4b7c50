// The copy of the flash taken before a recovery writes, and the device
// identity it gives back after an interrupted attempt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "firmware/flash_backup.h"
#include "operations/journal.h"
#include "model_fixture.h"

namespace qks::test {
namespace {

namespace fs = std::filesystem;

class Backups : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("qks-backups-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    std::vector<fs::path> Files() const {
        std::vector<fs::path> files;
        if (fs::exists(folder))
            for (const auto& e : fs::directory_iterator(folder))
                if (e.path().extension() == ".bin") files.push_back(e.path());
        return files;
    }
    static std::vector<uint8_t> Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    fs::path folder;
};

TEST_F(Backups, ARecoverySavesTheFlashAsItWasBeforeWriting) {
    ModelFixture fx({"q970"});
    fx.backupFolder = folder.string();
    const auto before = fx.Flash();
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    ASSERT_EQ(w.CurrentScreen(), Screen::Success);
    const auto files = Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(w.LastBackupPath(), files[0].string());
    EXPECT_EQ(w.Control(ControlId::CopyNoticeLine).text, "Backup of the flash saved to " + files[0].string());
    const auto saved = Read(files[0]);
    ASSERT_EQ(saved.size(), 65536u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), before.begin()));
}

// The other writer names the enclosure by its USB device, as the command line does.
TEST_F(Backups, AWindowWaitingForAnotherWriterSaysForWhomAndStaysAlive) {
    ModelFixture fx({"q970:serial=ONE"});
    fx.backupFolder = folder.string();
    auto& w = fx.Open();
    const DeviceServices services = fx.Services(folder.string());
    const Journal journal(JournalFolder(services));
    auto other = std::make_unique<Journal::WriterLock>(journal, EnclosureKey(fx.RefOf(0, services)),
                                                       0, nullptr);
    ASSERT_TRUE(other->Held());
    std::string shown;
    std::function<void()> watch = [&] {
        const std::string& text = w.Control(ControlId::StatusEdit).text;
        if (text.find("waiting for the other write to ONE") == std::string::npos) {
            fx.face.onEvents = watch;
            return;
        }
        shown = text;
        other.reset();   // the other writer ends while this window waits
    };
    fx.face.onEvents = watch;
    w.Click(ControlId::EraseButton);
    EXPECT_FALSE(shown.empty());
    EXPECT_EQ(w.CurrentScreen(), Screen::Success);
}

TEST_F(Backups, ASecondRecoveryNeverReplacesTheFirstBackup) {
    ModelFixture fx({"q970"});
    fx.backupFolder = folder.string();
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    fx.platform->Bridge(0).WriteFlashDirect(200, std::vector<uint8_t>(16, 0x00));
    fx.platform->PowerCycle(0);
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(Files().size(), 2u);
}

TEST_F(Backups, ABackupThatCannotBeWrittenStopsBeforeAnythingIsErased) {
    fs::create_directories(folder.parent_path());
    std::ofstream(folder.string()) << "a file where the folder should be";
    ModelFixture fx({"q970"});
    fx.backupFolder = (folder / "inside").string();
    const auto before = fx.Flash();
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(w.CurrentScreen(), Screen::Failure);
    EXPECT_EQ(fx.Flash(), before);
    EXPECT_NE(w.Control(ControlId::StatusEdit).text.find("Backup of the flash failed"),
              std::string::npos);
    fs::remove(folder);
}

TEST_F(Backups, ARecordOfTheWriteThatCannotBeMadeStopsBeforeAnythingIsErased) {
    fs::create_directories(folder);
    const fs::path victim = folder / "victim";
    std::ofstream(victim) << "a stranger's file";
    // Something not the journal under the journal's name: a link to a
    // stranger's file (a Windows test may not make links, so there a file).
#ifdef _WIN32
    std::ofstream(folder / "journal") << "not a folder";
#else
    fs::create_symlink(victim, folder / "journal");
#endif
    ModelFixture fx({"q970"});
    fx.backupFolder = folder.string();
    const auto before = fx.Flash();
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    EXPECT_EQ(w.CurrentScreen(), Screen::Failure);
    EXPECT_EQ(fx.Flash(), before);
    EXPECT_NE(w.Control(ControlId::StatusEdit).text.find("could not be saved"), std::string::npos)
        << w.Control(ControlId::StatusEdit).text;
    EXPECT_EQ(Read(victim), std::vector<uint8_t>(std::string_view("a stranger's file").begin(),
                                                 std::string_view("a stranger's file").end()));
}

// Power fails right after the first erase of the programming path: the
// flash has lost the device's header. The next attempt takes it from the
// backup instead of writing the image's identity over the device's.
TEST_F(Backups, AnInterruptedRecoveryGetsTheDeviceHeaderBack) {
    uint64_t firstErase = 0;
    {
        ModelFixture counting({"q970"});
        counting.backupFolder = (folder / "counting").string();
        counting.Open().Click(ControlId::EraseButton);
        for (const auto& r : counting.trace.records)
            if (r.cdb.size() > 2 && r.cdb[0] == 0xFF && r.cdb[2] == 0x14) {
                firstErase = r.seq;
                break;
            }
        ASSERT_GT(firstErase, 0u);
    }
    ModelFixture fx({"q970:powerloss=" + std::to_string(firstErase + 1)});
    fx.backupFolder = folder.string();
    const auto original = fx.Flash();
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    ASSERT_EQ(w.CurrentScreen(), Screen::Failure);
    ASSERT_NE(fx.Flash()[126], 'Q') << "the fault must have cost the header";

    fx.platform->Plug(0);
    ASSERT_EQ(w.CurrentScreen(), Screen::Confirm);
    w.Click(ControlId::EraseButton);
    ASSERT_EQ(w.CurrentScreen(), Screen::Success);
    const auto after = fx.Flash();
    for (size_t i = 0; i < 128; ++i)
        if (HeaderMergeMask[i] >= 256) {
            EXPECT_EQ(after[i], original[i]) << "byte " << i;
        }
}

// The copies a recovery takes a header from are this device's own, the
// newest first, even when another identity begins with this one's or two
// copies were taken within the same second.
TEST_F(Backups, LookupsTakeOnlyThisDevicesCopiesNewestFirst) {
    auto header = [](uint8_t mark) {
        std::vector<uint8_t> bytes(256, mark);
        bytes[126] = 'Q';
        bytes[127] = 'K';
        return bytes;
    };
    const std::time_t t0 = 1'800'000'000;
    std::string error;
    const std::string dir = folder.string();
    ASSERT_TRUE(SaveFlashBackup(dir, "ABC", header(1), t0, error)) << error;
    ASSERT_TRUE(SaveFlashBackup(dir, "ABC-2", header(2), t0 + 60, error)) << error;
    ASSERT_TRUE(SaveFlashBackup(dir, "ABC-internal_ROM", header(3), t0 + 120, error)) << error;
    ASSERT_TRUE(SaveFlashBackup(dir, "ABC", header(4), t0, error)) << error;   // same second

    // A file that only looks like a copy, with a number no save would write.
    std::ofstream(folder / "ABC-20270115T080000Z-99999999999999999999.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(header(5).data()), 256);

    const auto saved = FindSavedHeader(dir, "ABC");
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ((*saved)[0], 4) << "the second copy of the same second is the newer";
    const auto start = FindSavedStart(dir, "ABC", 16);
    ASSERT_TRUE(start.has_value());
    EXPECT_EQ((*start)[0], 4);
    const auto other = FindSavedHeader(dir, "ABC-2");
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ((*other)[0], 2);
    EXPECT_FALSE(FindSavedHeader(dir, "AB").has_value()) << "a shorter identity owns none of these";

    // The serial as another system spells it: the same copies.
    const auto lower = FindSavedHeader(dir, "abc");
    ASSERT_TRUE(lower.has_value());
    EXPECT_EQ((*lower)[0], 4);
    EXPECT_EQ(SavedCopiesOf(dir, "abc"), SavedCopiesOf(dir, "ABC"));
}

TEST(BackupNames, KeepOnlyFileNameSafeCharacters) {
    EXPECT_EQ(BackupIdentity("EMU0-Q970"), "EMU0-Q970");
    EXPECT_EQ(BackupIdentity("a/b\\c:d e"), "a_b_c_d_e");
    EXPECT_EQ(BackupIdentity(""), "unknown");
}

}  // namespace
}  // namespace qks::test

namespace qks::test {
namespace {

class Restore : public Backups {};

TEST_F(Restore, WritesTheSavedFlashBackAndVerifiesIt) {
    ModelFixture fx({"q970"});
    fx.backupFolder = folder.string();
    const auto original = fx.Flash();
    auto& w = fx.Open();
    w.Click(ControlId::EraseButton);
    ASSERT_EQ(w.CurrentScreen(), Screen::Success);
    const std::string saved = w.LastBackupPath();
    ASSERT_FALSE(saved.empty());
    fx.platform->PowerCycle(0);
    w.EnableEngineeringMode();   // an updated bridge is listed for the panel
    const auto updated = fx.Flash();
    // The window asks first; a file from another enclosure is named as such.
    auto another = Read(saved);
    another[16] ^= 0xFF;   // a byte only the enclosure itself writes
    const auto anotherFile = folder / "another.bin";
    std::ofstream(anotherFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(another.data()), static_cast<std::streamsize>(another.size()));
    struct Case {
        std::string file;
        bool accept;
        bool another;
    };
    for (const Case& c : {Case{anotherFile.string(), false, true}, Case{saved, false, false},
                          Case{saved, true, false}}) {
        SCOPED_TRACE(c.file + (c.accept ? " accepted" : " declined"));
        fx.face.risks.clear();
        fx.face.acceptRisk = c.accept;
        w.UserSetText(ControlId::BackupFileEdit, c.file);
        w.Click(ControlId::RestoreBtn);
        ASSERT_EQ(fx.face.risks.size(), 1u);
        EXPECT_EQ(fx.face.risks[0].find("another enclosure") != std::string::npos, c.another);
        EXPECT_EQ(w.LastRunResult(), c.accept ? 1 : 0);
        if (!c.accept) {
            EXPECT_EQ(fx.Flash(), updated);
        }
    }
    EXPECT_EQ(w.Control(ControlId::StatusEdit).text, "Restore success!!");
    const auto after = fx.Flash();
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 65536, after.begin()));
    EXPECT_NE(w.LastBackupPath(), saved) << "the restore keeps a copy of what it replaced";
}

// The window's backup never replaces a copy kept before a write, and
// replaces another file only when the user says so.
TEST_F(Backups, TheWindowsBackupAsksBeforeReplacingAndNeverTakesACopy) {
    struct Case {
        const char* what;
        bool inCopies, exists, accept, written;
        size_t questions;
    };
    const Case cases[] = {
        {"a new file", false, false, false, true, 0},
        {"an existing file, declined", false, true, false, false, 1},
        {"an existing file, accepted", false, true, true, true, 1},
        {"a copy's path", true, true, true, false, 0},
    };
    const fs::path elsewhere = folder.string() + "-out";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ModelFixture fx({"q719"});
        fx.backupFolder = folder.string();
        auto& w = fx.Open();
        w.EnableEngineeringMode();
        w.UserSetChecked(ControlId::RdCheckBox, true);
        const fs::path file = (c.inCopies ? folder : elsewhere) / "target.bin";
        fs::create_directories(file.parent_path());
        fs::remove(file);
        if (c.exists) std::ofstream(file) << "kept";
        fx.face.acceptRisk = c.accept;
        w.UserSetText(ControlId::BackupFileEdit, file.string());
        w.UserSetChecked(ControlId::BackupFWCheckBox, true);
        w.Click(ControlId::UpdateBtn);
        EXPECT_EQ(fx.face.risks.size(), c.questions);
        EXPECT_EQ(fs::exists(file) && fs::file_size(file) == 65536, c.written);
        EXPECT_EQ(w.LastRunResult(), c.written ? 1 : 0);
    }
    fs::remove_all(elsewhere);
}

struct RefusalCase {
    const char* bridge;
    size_t fileBytes;
    char fill;
    const char* status;
};

class RestoreRefusals : public Backups, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RestoreRefusals, WriteNothing) {
    const auto& c = GetParam();
    ModelFixture fx({c.bridge});
    fx.backupFolder = folder.string();
    const auto before = fx.Flash();
    auto& w = fx.Open();
    w.EnableEngineeringMode();
    fs::create_directories(folder);
    const auto file = folder / "saved.bin";
    std::string bytes(c.fileBytes, c.fill);
    if (bytes.size() >= 128 && c.fill != 0) bytes.replace(126, 2, "QK");
    std::ofstream(file, std::ios::binary) << bytes;
    w.UserSetText(ControlId::BackupFileEdit, file.string());
    w.Click(ControlId::RestoreBtn);
    EXPECT_EQ(w.LastRunResult(), 0);
    EXPECT_EQ(w.Control(ControlId::StatusEdit).text, c.status);
    EXPECT_EQ(fx.Flash(), before);
    EXPECT_TRUE(fx.face.risks.empty()) << "nothing to ask about a file that is refused";
}

INSTANTIATE_TEST_SUITE_P(
    Model, RestoreRefusals,
    ::testing::Values(RefusalCase{"q970", 65535, '\x5A', "Restore file must hold 65536 bytes!!"},
                      RefusalCase{"q970", 65537, '\x5A', "Restore file must hold 65536 bytes!!"},
                      RefusalCase{"q970", 65536, '\0', "Restore file holds no saved flash!!"},
                      RefusalCase{"q719", 65536, '\x5A', "Restore is for QKS970/958 bridges only!!"}));

}  // namespace
}  // namespace qks::test
