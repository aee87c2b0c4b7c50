// The engineering panel: its handlers' states, its layout, and Run handing
// the selected bridge to the engine of its family.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "model_fixture.h"

namespace qks::test {
namespace {

namespace fs = std::filesystem;

class Engineering : public ::testing::Test {
protected:
    TQ71xFwTool& OpenPanel(const std::string& bridge, const std::string& backupFolder = "") {
        fx = std::make_unique<ModelFixture>(std::vector<std::string>{bridge});
        fx->backupFolder = backupFolder;
        auto& w = fx->Open();
        w.EnableEngineeringMode();
        w.UserSetChecked(ControlId::RdCheckBox, true);
        return w;
    }
    std::string TempFile(const std::string& name) {
        dir = fs::temp_directory_path() / ("qks-eng-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        return (dir / name).string();
    }
    // A firmware file the selection check accepts for the chip, which is
    // what enables Run.
    void LoadFirmware(TQ71xFwTool& w, const std::string& name, std::span<const uint8_t> bytes) {
        const std::string file = TempFile(name);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        w.UserSetText(ControlId::FwFilenameEdit, file);
        w.UserEndEdit(ControlId::FwFilenameEdit);
        ASSERT_TRUE(w.Control(ControlId::UpdateBtn).enabled) << "the file must fit the chip";
    }
    void TearDown() override {
        if (!dir.empty()) fs::remove_all(dir);
    }
    std::unique_ptr<ModelFixture> fx;
    fs::path dir;
};

// Run writes a built-in image too: on a real bridge a development image
// needs the same yes as the recovery, and without it nothing is written.
TEST_F(Engineering, RunAsksBeforeWritingADevelopmentImageToARealBridge) {
    fx = std::make_unique<ModelFixture>(std::vector<std::string>{"q742"});
    RealLookingEnumerator real(*fx->platform);
    auto& w = fx->Open(&real);
    w.EnableEngineeringMode();
    const auto before = fx->Flash();
    w.UserSetChecked(ControlId::RdCheckBox, true);
    LoadFirmware(w, "fw742.bin", EmbeddedImages().Find(kRevisionAImageName));
    w.Click(ControlId::UpdateBtn);
    ASSERT_EQ(fx->face.risks.size(), 1u);
    EXPECT_EQ(fx->Flash(), before);
    EXPECT_EQ(w.LastRunResult(), 0);
    fx->face.acceptRisk = true;
    w.Click(ControlId::UpdateBtn);
    EXPECT_EQ(w.LastRunResult(), 1) << w.LastOutcome().CauseText();
}

TEST_F(Engineering, TheTwoOnlyBoxesExcludeEachOther) {
    auto& w = OpenPanel("q719");
    w.UserSetChecked(ControlId::EraseOnlyCheck, true);
    EXPECT_EQ(w.EraseOnly(), 1);
    w.UserSetChecked(ControlId::BackupFWCheckBox, true);
    EXPECT_FALSE(w.Control(ControlId::EraseOnlyCheck).checked);
    EXPECT_EQ(w.EraseOnly(), 0);
    w.UserSetChecked(ControlId::EraseOnlyCheck, true);
    EXPECT_FALSE(w.Control(ControlId::BackupFWCheckBox).checked);
    EXPECT_EQ(w.EraseOnly(), 1);
}

TEST_F(Engineering, BackupOnlyEnablesRunWithoutAFirmwareFile) {
    auto& w = OpenPanel("q719");
    ASSERT_FALSE(w.Control(ControlId::UpdateBtn).enabled);
    w.UserSetChecked(ControlId::BackupFWCheckBox, true);
    EXPECT_TRUE(w.Control(ControlId::UpdateBtn).enabled);
}

struct SizeListCase {
    const char* bridge;
    bool erase;
    bool backup;
    bool shown;
};

class SizeList : public Engineering, public ::testing::WithParamInterface<SizeListCase> {};

TEST_P(SizeList, IsShownOnlyForTheQk60719WhileAnOnlyBoxIsTicked) {
    const auto& c = GetParam();
    auto& w = OpenPanel(c.bridge);
    if (c.erase) w.UserSetChecked(ControlId::EraseOnlyCheck, true);
    if (c.backup) w.UserSetChecked(ControlId::BackupFWCheckBox, true);
    if (!c.erase && !c.backup) {
        w.UserSetChecked(ControlId::EraseOnlyCheck, true);
        w.UserSetChecked(ControlId::EraseOnlyCheck, false);
    }
    EXPECT_EQ(w.Control(ControlId::FwSizeCheck).visible, c.shown);
    EXPECT_EQ(w.Control(ControlId::FwSizeLable).visible, c.shown);
}

INSTANTIATE_TEST_SUITE_P(Model, SizeList,
                         ::testing::Values(SizeListCase{"q719", true, false, true},
                                           SizeListCase{"q719", false, true, true},
                                           SizeListCase{"q719", false, false, false},
                                           SizeListCase{"q715", true, false, false},
                                           SizeListCase{"q742", false, true, false}));

TEST_F(Engineering, FirmwareSizeFollowsTheListOnlyOnceItIsPicked) {
    auto& w = OpenPanel("q719");
    EXPECT_EQ(w.Control(ControlId::FwSizeCheck).items.at(0), "32KB");
    EXPECT_EQ(w.FirmwareSize(), 65536u);
    w.UserSetChecked(ControlId::EraseOnlyCheck, true);
    const std::vector<uint32_t> expected = {32768, 65536, 131072, 262144, 524288, 1048576};
    for (int item = 5; item >= 0; --item) {
        w.UserSelect(ControlId::FwSizeCheck, item);
        EXPECT_EQ(w.FirmwareSize(), expected[static_cast<size_t>(item)]);
    }
    w.UserSelect(ControlId::FwPgSizeCheck, 4);
    EXPECT_EQ(w.TransferPageSize(), 2048u);
}

TEST_F(Engineering, AMismatchingFileIsReportedAndRunStillEnabled) {
    auto& w = OpenPanel("q719");
    const std::string file = TempFile("wrong.bin");
    std::ofstream(file, std::ios::binary) << std::string("\x55\xAA\xAA\x55" "9701", 8);
    fx->face.chosenFile = file;
    w.Click(ControlId::LoadBtn);
    EXPECT_EQ(w.Control(ControlId::FwFilenameEdit).text, file);
    ASSERT_FALSE(fx->face.boxes.empty());
    EXPECT_EQ(fx->face.boxes.back(), std::string("Message: ") + kMismatchText);
    EXPECT_TRUE(w.Control(ControlId::UpdateBtn).enabled);
}

TEST_F(Engineering, ACancelledDialogChangesNothing) {
    auto& w = OpenPanel("q719");
    fx->face.chosenFile.reset();
    const bool before = w.Control(ControlId::UpdateBtn).enabled;
    w.Click(ControlId::LoadBtn);
    w.Click(ControlId::BackupBtn);
    EXPECT_EQ(w.Control(ControlId::UpdateBtn).enabled, before);
    EXPECT_TRUE(w.Control(ControlId::FwFilenameEdit).text.empty());
}

TEST_F(Engineering, RunOnTheTargetChipOnlyClearsTheStatus) {
    auto& w = OpenPanel("q970");
    const uint8_t tagged[10] = {0x55, 0xAA, 0xAA, 0x55, '9', '7', '0', '1', 0, 0};
    LoadFirmware(w, "q970.bin", tagged);
    const uint64_t sent = fx->platform->CommandsSent();
    const auto before = fx->Flash();
    w.Click(ControlId::UpdateBtn);
    EXPECT_EQ(fx->platform->CommandsSent(), sent);
    EXPECT_EQ(w.Control(ControlId::StatusEdit).text, "");
    EXPECT_EQ(fx->Flash(), before);
    EXPECT_TRUE(w.Control(ControlId::UpdateBtn).enabled);
}

TEST_F(Engineering, EraseOnlyRunErasesTheFlashAndAsksForAPowerCycle) {
    auto& w = OpenPanel("q719");
    w.UserSetChecked(ControlId::EraseOnlyCheck, true);
    w.UserSelect(ControlId::FwSizeCheck, 1);   // 64KB
    w.Click(ControlId::UpdateBtn);
    EXPECT_EQ(w.Control(ControlId::StatusEdit).text, "Erase flash all success!");
    const auto flash = fx->Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 65536, [](uint8_t b) { return b == 0xFF; }));
    ASSERT_FALSE(fx->face.boxes.empty());
    EXPECT_EQ(fx->face.boxes.back(), "Message: Please Turn-Off the Power and Turn-On Again!");
}

TEST_F(Engineering, BackupOnlyRunWritesTheFlashToTheNamedFile) {
    auto& w = OpenPanel("q719");
    const std::string file = TempFile("backup.bin");
    w.UserSetText(ControlId::BackupFileEdit, file);
    w.UserSetChecked(ControlId::BackupFWCheckBox, true);
    w.Click(ControlId::UpdateBtn);
    EXPECT_EQ(w.Control(ControlId::StatusEdit).text, "Read flash and backup success!");
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> saved((std::istreambuf_iterator<char>(in)), {});
    const auto flash = fx->Flash();
    ASSERT_EQ(saved.size(), 65536u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), flash.begin()));
}

TEST_F(Engineering, AfterARecoveryTheTickedEraseBoxNoLongerErases) {
    auto& w = OpenPanel("q719");
    w.UserSetChecked(ControlId::EraseOnlyCheck, true);
    // The recovery action resets the flag whatever chip it meets.
    w.Click(ControlId::EraseButton);
    EXPECT_TRUE(w.Control(ControlId::EraseOnlyCheck).checked);
    EXPECT_EQ(w.EraseOnly(), 0);
}

// YES on the families whose recovery is the serial-flash update takes the
// panel's backup-only choice while the panel is open, and only then.
struct YesBackupCase {
    const char* bridge;
    bool panelOpen;
};

class YesWithBackupOnly : public Engineering, public ::testing::WithParamInterface<YesBackupCase> {};

TEST_P(YesWithBackupOnly, BacksUpOnlyWhileThePanelIsOpen) {
    const auto& c = GetParam();
    auto& w = OpenPanel(c.bridge);
    const std::string file = TempFile(std::string("yes-") + c.bridge + ".bin");
    fs::remove(file);
    w.UserSetText(ControlId::BackupFileEdit, file);
    w.UserSetChecked(ControlId::BackupFWCheckBox, true);
    if (!c.panelOpen) w.UserSetChecked(ControlId::RdCheckBox, false);
    const auto before = fx->Flash();
    w.Click(ControlId::EraseButton);
    if (c.panelOpen) {
        EXPECT_EQ(w.CurrentScreen(), Screen::Success);
        EXPECT_EQ(fx->Flash(), before);
        EXPECT_EQ(w.Control(ControlId::StatusEdit).text, "Read flash and backup success!");
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> saved((std::istreambuf_iterator<char>(in)), {});
        ASSERT_EQ(saved.size(), 65536u);
        EXPECT_TRUE(std::equal(saved.begin(), saved.end(), before.begin()));
    } else {
        EXPECT_NE(fx->Flash(), before);
        EXPECT_FALSE(fs::exists(file));
    }
}

INSTANTIATE_TEST_SUITE_P(Engineering, YesWithBackupOnly,
                         ::testing::Values(YesBackupCase{"q715", true}, YesBackupCase{"q742", true},
                                           YesBackupCase{"q743", true}, YesBackupCase{"q958", true},
                                           YesBackupCase{"q743", false}),
                         [](const auto& info) {
                             return std::string(info.param.bridge) +
                                    (info.param.panelOpen ? "Open" : "Closed");
                         });

TEST_F(Engineering, TheQkb742KeepsItsFirstFourKilobytes) {
    auto& w = OpenPanel("q742:rev=1");
    ASSERT_EQ(ChipTypeOf(w.ChipId()), 6);
    const auto before = fx->Flash();
    w.UserSetChecked(ControlId::BackupFWCheckBox, true);
    w.UserSetChecked(ControlId::BackupFWCheckBox, false);
    w.UserSetChecked(ControlId::EraseOnlyCheck, true);
    w.UserSetChecked(ControlId::EraseOnlyCheck, false);
    LoadFirmware(w, "fw742a.bin", EmbeddedImages().Find(kRevisionAImageName));
    w.Click(ControlId::UpdateBtn);
    const auto after = fx->Flash();
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 4096, after.begin()));
    const auto image = EmbeddedImages().Find(kRevisionAImageName);
    EXPECT_TRUE(std::equal(image.begin() + 4096, image.end(), after.begin() + 4096));
}

TEST_F(Engineering, TheQk60716TakesTheRomImageWithTheChosenPart) {
    auto& w = OpenPanel("q716:rom=1");
    ASSERT_TRUE(w.Control(ControlId::FlashTypeList).visible);
    w.UserSelect(ControlId::FlashTypeList, 1);
    const uint8_t untagged[10] = {0x55, 0xAA, 0xAA, 0x55, 'r', 'o', 'm', '1', 0, 0};
    LoadFirmware(w, "rom.bin", untagged);
    w.Click(ControlId::UpdateBtn);
    EXPECT_EQ(w.Control(ControlId::StatusEdit).text, "Programming & Compare Success!!");
    const auto image = EmbeddedImages().Find(kSerialFlashImageName);
    const auto rom = fx->platform->Bridge(0).Rom();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rom.begin()));
}

// The internal ROM is the bridge's only firmware: a copy of it is kept
// before its first erase, by programming and by erase-only alike, and a copy
// that cannot be kept leaves the ROM untouched.
struct RomCopyCase {
    const char* name;
    bool eraseOnly;
    bool folderWritable;
};

class RomCopies : public Engineering, public ::testing::WithParamInterface<RomCopyCase> {};

TEST_P(RomCopies, AreTakenBeforeTheFirstErase) {
    const auto& c = GetParam();
    const fs::path folder = fs::temp_directory_path() /
                            ("qks-rom-copies-" + std::to_string(::getpid()) + "-" + c.name);
    fs::remove_all(folder);
    if (!c.folderWritable) std::ofstream(folder.string()) << "a file where the folder should be";
    auto& w = OpenPanel("q716:rom=1", (folder / (c.folderWritable ? "" : "inside")).string());
    const auto before = fx->platform->Bridge(0).Rom();
    const std::vector<uint8_t> original(before.begin(), before.end());
    w.UserSelect(ControlId::FlashTypeList, 1);
    if (c.eraseOnly) {
        w.UserSetChecked(ControlId::EraseOnlyCheck, true);
    } else {
        const uint8_t untagged[10] = {0x55, 0xAA, 0xAA, 0x55, 'r', 'o', 'm', '1', 0, 0};
        LoadFirmware(w, "rom.bin", untagged);
    }
    ASSERT_TRUE(w.Control(ControlId::UpdateBtn).enabled);
    w.Click(ControlId::UpdateBtn);

    const auto after = fx->platform->Bridge(0).Rom();
    if (!c.folderWritable) {
        EXPECT_EQ(w.LastRunResult(), 0);
        EXPECT_TRUE(std::equal(original.begin(), original.end(), after.begin()))
            << "nothing may be erased without its copy";
        EXPECT_NE(w.Control(ControlId::StatusEdit).text.find("Backup of the internal ROM failed"),
                  std::string::npos)
            << w.Control(ControlId::StatusEdit).text;
        fs::remove(folder);
        return;
    }
    EXPECT_EQ(w.LastRunResult(), 1);
    ASSERT_FALSE(w.LastBackupPath().empty());
    EXPECT_NE(fs::path(w.LastBackupPath()).filename().string().find("internal_ROM"), std::string::npos);
    std::vector<uint8_t> saved;
    {   // closed before the folder goes: Windows keeps an open file's folder
        std::ifstream in(w.LastBackupPath(), std::ios::binary);
        saved.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(saved, original);
    EXPECT_FALSE(std::equal(original.begin(), original.end(), after.begin()))
        << "the flow itself must still have run";
    fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(Engineering, RomCopies,
                         ::testing::Values(RomCopyCase{"program", false, true},
                                           RomCopyCase{"eraseOnly", true, true},
                                           RomCopyCase{"programUnwritable", false, false},
                                           RomCopyCase{"eraseOnlyUnwritable", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every control the panel makes reachable lies inside the window, clear of
// the others.
TEST_F(Engineering, LayoutLeavesNoControlOverlappingAnother) {
    auto& w = OpenPanel("q716");
    struct Rect {
        ControlId id;
        int l, t, r, b;
    };
    std::vector<Rect> rects;
    const int panelTop = w.Control(ControlId::RdPanel).top;
    for (size_t i = 0; i < kControlCount; ++i) {
        const auto id = static_cast<ControlId>(i);
        const auto& d = Describe(id);
        const auto& s = w.Control(id);
        if (!s.visible || d.kind == ControlKind::FileDialog || d.kind == ControlKind::Panel) continue;
        const bool inPanel = d.parent == ControlId::RdPanel;
        const int top = s.top + (inPanel ? panelTop : 0);
        const int left = s.left + (inPanel ? w.Control(ControlId::RdPanel).left : 0);
        rects.push_back({id, left, top, left + s.width, top + s.height});
        EXPECT_LE(top + s.height, w.ClientHeight()) << d.name;
        EXPECT_LE(left + s.width, kWindowDescription.clientWidth + 8) << d.name;
    }
    for (size_t a = 0; a < rects.size(); ++a)
        for (size_t b = a + 1; b < rects.size(); ++b) {
            const auto& x = rects[a];
            const auto& y = rects[b];
            const bool overlap = x.l < y.r && y.l < x.r && x.t < y.b && y.t < x.b;
            EXPECT_FALSE(overlap) << Describe(x.id).name << " overlaps " << Describe(y.id).name;
        }
}

}  // namespace
}  // namespace qks::test
