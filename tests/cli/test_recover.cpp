// `recover`: the question, YES through the window, and the screens it ends
// in, over flash files so that one run's result is the next run's device.
#include "cli/cli_harness.h"
#include "firmware/image_store.h"

namespace qks::cli::test {
namespace {

using nlohmann::json;

class RecoverTest : public CliTest {
protected:
    // A q970 whose flash lives in a file, created by a first look at it.
    std::string Bridge(const std::string& file, const std::string& keys = "") {
        const std::string description =
            "q970:flash=" + File(file) + (keys.empty() ? "" : "," + keys);
        return description;
    }
    std::vector<uint8_t> CreateFlash(const std::string& file) {
        const auto listed = Run({"list", "--emulate", Bridge(file)});
        EXPECT_EQ(listed.status, kExitSuccess) << listed.err;
        return ReadBytes(File(file));
    }
};

TEST_F(RecoverTest, YesRecoversThenTheChipCountsAsUpdated) {
    const auto before = CreateFlash("f.bin");
    const auto recovered = Run({"recover", "--yes", "--emulate", Bridge("f.bin")});
    EXPECT_EQ(recovered.status, kExitSuccess) << recovered.err;
    EXPECT_NE(recovered.out.find("Please ensure to update the firmware"), std::string::npos);
    EXPECT_NE(recovered.out.find("\nPlease un-plug AC adapter\nand plug it again\n"),
              std::string::npos)
        << recovered.out;
    const auto after = ReadBytes(File("f.bin"));
    const auto image = EmbeddedImages().Find(kTargetImageName);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(image.begin() + 128, image.end(), after.begin() + 128));

    const auto listed = json::parse(Run({"list", "--json", "--emulate", Bridge("f.bin")}).out);
    EXPECT_EQ(listed.at("devices").at(0).at("already_updated"), true);
    EXPECT_EQ(listed.at("screen"), "AlreadyUpdated");

    const auto again = Run({"recover", "--yes", "--emulate", Bridge("f.bin")});
    EXPECT_EQ(again.status, kExitNothingToDo);
    EXPECT_NE(again.out.find("The chip already updated!!"), std::string::npos);
    EXPECT_EQ(ReadBytes(File("f.bin")), after);
}

TEST_F(RecoverTest, TheFlashBackupTakenBeforeWritingIsNamed) {
    const auto before = CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--emulate", Bridge("f.bin")});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const std::string marker = "Flash backup: ";
    const size_t at = result.out.find(marker);
    ASSERT_NE(at, std::string::npos) << result.out;
    const std::string path =
        result.out.substr(at + marker.size(), result.out.find('\n', at) - at - marker.size());
    EXPECT_EQ(path.rfind(File("backups"), 0), 0u) << path;
    const auto saved = ReadBytes(path);
    ASSERT_GE(saved.size(), 65536u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 65536, before.begin()));
}

// The way back: the backup written before the recovery restores the flash
// as it was, byte for byte; a file of the wrong size writes nothing.
TEST_F(RecoverTest, RestoreWritesTheBackupBack) {
    const auto before = CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--emulate", Bridge("f.bin")});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const std::string marker = "Flash backup: ";
    const size_t at = result.out.find(marker);
    ASSERT_NE(at, std::string::npos);
    const std::string saved =
        result.out.substr(at + marker.size(), result.out.find('\n', at) - at - marker.size());
    const auto updated = ReadBytes(File("f.bin"));

    WriteBytes(File("short.bin"), std::vector<uint8_t>(4096, 0));
    const auto refused = Run({"restore", File("short.bin"), "--emulate", Bridge("f.bin")});
    EXPECT_EQ(refused.status, kExitFailed);
    EXPECT_EQ(ReadBytes(File("f.bin")), updated);

    const auto restored = Run({"restore", saved, "--emulate", Bridge("f.bin")});
    EXPECT_EQ(restored.status, kExitSuccess) << restored.out << restored.err;
    const auto after = ReadBytes(File("f.bin"));
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 65536, after.begin()));

    EXPECT_EQ(Run({"restore", File("missing.bin"), "--emulate", Bridge("f.bin")}).status, kExitUsage);
}

struct Fault {
    std::string key;        // the emulator's fault
    const char* cdbPrefix;  // the command it strikes
};

class RecoverFaultTest : public RecoverTest, public ::testing::WithParamInterface<Fault> {};

// The command number comes from a healthy run's trace, so the fault strikes
// while the flash is being written, not during identification.
TEST_P(RecoverFaultTest, AFaultWhileWritingEndsInTheFailureScreen) {
    CreateFlash("healthy.bin");
    const auto healthy = Run(
        {"recover", "--yes", "--trace", File("healthy.jsonl"), "--emulate", Bridge("healthy.bin")});
    ASSERT_EQ(healthy.status, kExitSuccess) << healthy.err;
    const auto strike = FirstCommand(File("healthy.jsonl"), GetParam().cdbPrefix);
    ASSERT_TRUE(strike.has_value());

    CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--emulate",
                             Bridge("f.bin", GetParam().key + "=" + std::to_string(*strike))});
    EXPECT_EQ(result.status, kExitFailed);
    EXPECT_NE(result.out.find("\nUpdate    fail!!\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Please un-plug AC adapter"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RecoverFaultTest,
    ::testing::Values(Fault{"fail", kEraseSectorCdb}, Fault{"fail", kWriteFlashCdb},
                      Fault{"unplug", kEraseSectorCdb}, Fault{"powerloss", kWriteFlashCdb}),
    [](const auto& info) {
        return info.param.key + (info.param.cdbPrefix == kEraseSectorCdb ? "AtErase" : "AtWrite");
    });

TEST_F(RecoverTest, NoTargetIsNoDevice) {
    for (const auto& bridge : {"q719", "plain"}) {
        const auto result = Run({"recover", "--yes", "--emulate", bridge});
        EXPECT_EQ(result.status, kExitNoDevice) << bridge;
        EXPECT_NE(result.out.find("No device found!!"), std::string::npos) << bridge;
    }
    RunSettings nothing;
    nothing.adaptServices = NothingPlugged();
    const auto result = Run({"recover", "--yes", "--emulate", "q970"}, nothing);
    EXPECT_EQ(result.status, kExitNoDevice);
    EXPECT_EQ(result.commandsSent, 0u);
}

struct Typed {
    std::string input;
    int status;
    bool written;
};

class RecoverPromptTest : public RecoverTest, public ::testing::WithParamInterface<Typed> {};

TEST_P(RecoverPromptTest, TheAnswerOnTheTerminalDecides) {
    const auto before = CreateFlash("f.bin");
    RunSettings terminal;
    terminal.input = GetParam().input;
    terminal.inputIsTerminal = true;
    const auto result = Run({"recover", "--emulate", Bridge("f.bin")}, terminal);
    EXPECT_EQ(result.status, GetParam().status) << result.out << result.err;
    EXPECT_NE(result.out.find("Please ensure to update the firmware [y/N] "), std::string::npos);
    EXPECT_EQ(ReadBytes(File("f.bin")) != before, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RecoverPromptTest,
    ::testing::Values(Typed{"y\n", kExitSuccess, true}, Typed{"yes\n", kExitSuccess, true},
                      Typed{"n\n", kExitFailed, false}, Typed{"\n", kExitFailed, false},
                      Typed{"", kExitFailed, false}, Typed{"yep\n", kExitFailed, false}));

TEST_F(RecoverTest, DeviceSelectsTheRowThatIsWritten) {
    const auto first = CreateFlash("a.bin");
    const auto second = CreateFlash("b.bin");
    const auto result = Run({"recover", "--yes", "--device", "1", "--emulate", Bridge("a.bin"),
                             "--emulate", Bridge("b.bin")});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    EXPECT_NE(result.out.find("prod_q970#1"), std::string::npos) << result.out;
    EXPECT_EQ(ReadBytes(File("a.bin")), first);
    EXPECT_NE(ReadBytes(File("b.bin")), second);
}

TEST_F(RecoverTest, ARowBeyondTheListIsBadInputAndNothingIsWritten) {
    const auto before = CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--device", "1", "--emulate", Bridge("f.bin")});
    EXPECT_EQ(result.status, kExitUsage);
    EXPECT_EQ(CountLines(result.err), 1u) << result.err;
    EXPECT_NE(result.err.find("--device 1"), std::string::npos);
    EXPECT_EQ(ReadBytes(File("f.bin")), before);
}

class DevelopmentImageTest : public RecoverTest {
protected:
    void SetUp() override {
        RecoverTest::SetUp();
        if (!IsDevelopmentImage(EmbeddedImages().Find(kTargetImageName)))
            GTEST_SKIP() << "this build carries vendor firmware";
    }
};

TEST_F(DevelopmentImageTest, ARealDeviceIsWrittenOnlyWhenAllowed) {
    const auto before = CreateFlash("f.bin");
    RunSettings real;
    real.adaptServices = LooksReal();
    const auto refused = Run({"recover", "--yes", "--emulate", Bridge("f.bin")}, real);
    EXPECT_EQ(refused.status, kExitFailed);
    EXPECT_NE(refused.err.find("development image"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--allow-development-image"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadBytes(File("f.bin")), before);

    const auto allowed =
        Run({"recover", "--yes", "--allow-development-image", "--emulate", Bridge("f.bin")}, real);
    EXPECT_EQ(allowed.status, kExitSuccess) << allowed.err;
    EXPECT_NE(ReadBytes(File("f.bin")), before);
}

TEST_F(DevelopmentImageTest, AnEmulatedDeviceNeedsNoPermission) {
    const auto before = CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--emulate", Bridge("f.bin")});
    EXPECT_EQ(result.status, kExitSuccess) << result.err;
    EXPECT_NE(ReadBytes(File("f.bin")), before);
}

TEST_F(RecoverTest, TheBarIsDrawnOnlyOnATerminal) {
    RunSettings terminal;
    terminal.errIsTerminal = true;
    const auto drawn = Run({"recover", "--yes", "--emulate", "q970"}, terminal);
    ASSERT_EQ(drawn.status, kExitSuccess) << drawn.err;
    EXPECT_NE(drawn.err.find("]  20%"), std::string::npos) << drawn.err;
    // Taken off the line before the final screen is printed.
    EXPECT_EQ(drawn.err.substr(drawn.err.size() - 4), "\r\033[K");

    const auto plain = Run({"recover", "--yes", "--emulate", "q970"});
    ASSERT_EQ(plain.status, kExitSuccess) << plain.err;
    EXPECT_EQ(plain.err.find('%'), std::string::npos) << plain.err;
}

TEST_F(RecoverTest, VerboseShowsStatusTextsAndDebuggerOutput) {
    const auto quiet = Run({"recover", "--yes", "--emulate", "q970"});
    EXPECT_EQ(quiet.err.find("status: "), std::string::npos) << quiet.err;
    const auto verbose = Run({"recover", "--yes", "-v", "--emulate", "q970"});
    ASSERT_EQ(verbose.status, kExitSuccess) << verbose.err;
    EXPECT_NE(verbose.err.find("status: ReadFlash..."), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find("debug: flash backup saved to"), std::string::npos) << verbose.err;
    // The dots added page by page are not lines of their own.
    EXPECT_EQ(verbose.err.find("status: ReadFlash....\n"), std::string::npos) << verbose.err;
}

}  // namespace
}  // namespace qks::cli::test
