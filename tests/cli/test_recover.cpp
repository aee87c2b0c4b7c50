// `recover` and `restore`: the question, the operation's outcome and its
// cause, over flash files so that one run's result is the next run's device.
#include <set>

#include "cli/cli_harness.h"
#include "firmware/image_store.h"

namespace qks::cli::test {
namespace {

using nlohmann::json;

class RecoverTest : public CliTest {
protected:
    // A q970 whose flash lives in a file.
    std::string Q970(const std::string& file, const std::string& keys = "") const {
        return Bridge("q970", file, keys);
    }
    std::vector<uint8_t> CreateFlash(const std::string& file) {
        return CliTest::CreateFlash(Q970(file), file);
    }
};

// The copy kept before writing, as the text output names it.
std::string FlashBackupNamed(const std::string& out) {
    const std::string marker = "Flash backup: ";
    const size_t at = out.find(marker);
    if (at == std::string::npos) return {};
    return out.substr(at + marker.size(), out.find('\n', at) - at - marker.size());
}

TEST_F(RecoverTest, YesRecoversThenTheChipCountsAsUpdated) {
    const auto before = CreateFlash("f.bin");
    const auto recovered = Run({"recover", "--yes", "--emulate", Q970("f.bin")});
    EXPECT_EQ(recovered.status, kExitSuccess) << recovered.err;
    EXPECT_EQ(recovered.out.rfind("Please un-plug AC adapter\nand plug it again\n", 0), 0u)
        << recovered.out;
    // The device and the question answered go to stderr, not among the results.
    EXPECT_NE(recovered.err.find("Device 0: QKS970/958 Series at "
                                 "emu:usbstor#disk&ven_tavrel&prod_q970#0 (serial EMU0-Q970)\n"),
              std::string::npos)
        << recovered.err;
    EXPECT_NE(recovered.err.find("Please ensure to update the firmware [y/N] y (--yes)\n"),
              std::string::npos)
        << recovered.err;
    const auto after = ReadBytes(File("f.bin"));
    const auto image = EmbeddedImages().Find(kTargetImageName);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(std::equal(image.begin() + 128, image.end(), after.begin() + 128));

    const auto listed = json::parse(Run({"list", "--json", "--emulate", Q970("f.bin")}).out);
    EXPECT_EQ(listed.at("devices").at(0).at("updated"), true);
    EXPECT_EQ(listed.at("screen_text"), "The chip already updated!!");

    const auto again = Run({"recover", "--yes", "--emulate", Q970("f.bin")});
    EXPECT_EQ(again.status, kExitNothingToDo);
    EXPECT_NE(again.out.find("The chip already updated!!"), std::string::npos) << again.out;
    EXPECT_EQ(ReadBytes(File("f.bin")), after);
}

TEST_F(RecoverTest, TheFlashBackupTakenBeforeWritingIsNamed) {
    const auto before = CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--emulate", Q970("f.bin")});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const std::string path = FlashBackupNamed(result.out);
    EXPECT_EQ(path.rfind(File("backups"), 0), 0u) << result.out;
    const auto saved = ReadBytes(path);
    ASSERT_GE(saved.size(), 65536u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 65536, before.begin()));
}

TEST_F(RecoverTest, JsonIsOneDocumentWithTheDeviceAndTheBackup) {
    const auto before = CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--json", "--emulate", Q970("f.bin")});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const json document = json::parse(result.out);
    std::set<std::string> keys;
    for (const auto& item : document.items()) keys.insert(item.key());
    EXPECT_EQ(keys, (std::set<std::string>{"schema_version", "command", "device", "result",
                                           "image", "copy", "device_changed", "cause",
                                           "status_text", "messages", "notes"}));
    EXPECT_EQ(document.at("schema_version"), 2);
    EXPECT_EQ(document.at("image").at("name"), kTargetImageName);
    EXPECT_EQ(document.at("image").at("sha256"), Sha256Hex(EmbeddedImages().Find(kTargetImageName)));
    EXPECT_EQ(document.at("device_changed"), true);
    EXPECT_TRUE(document.at("cause").is_null());
    EXPECT_EQ(document.at("command"), "recover");
    EXPECT_EQ(document.at("result"), "success");
    EXPECT_EQ(document.at("device").at("id"), 0);
    EXPECT_EQ(document.at("device").at("serial"), "EMU0-Q970");
    const std::string backup = document.at("copy");
    EXPECT_EQ(backup.rfind(File("backups"), 0), 0u) << backup;
    const auto saved = ReadBytes(backup);
    ASSERT_GE(saved.size(), 65536u);
    EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 65536, before.begin()));
}

// The way back: the backup written before the recovery restores the flash
// as it was, byte for byte; a file of the wrong size writes nothing.
TEST_F(RecoverTest, RestoreWritesTheBackupBack) {
    const auto before = CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--emulate", Q970("f.bin")});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const std::string saved = FlashBackupNamed(result.out);
    ASSERT_FALSE(saved.empty()) << result.out;
    const auto updated = ReadBytes(File("f.bin"));

    // A file that is no saved flash is refused before a question or a command.
    auto another = ReadBytes(saved);
    another[16] ^= 0xFF;   // a byte only the enclosure itself writes
    const std::pair<const char*, std::vector<uint8_t>> refusals[] = {
        {"short.bin", std::vector<uint8_t>(4096, 0)},
        {"zeros.bin", std::vector<uint8_t>(65536, 0)},
    };
    for (const auto& [name, bytes] : refusals) {
        WriteBytes(File(name), bytes);
        const auto refused = Run({"restore", File(name), "--emulate", Q970("f.bin")});
        EXPECT_EQ(refused.status, kExitUsage) << name;
        EXPECT_FALSE(refused.runtimeBuilt) << name;
        EXPECT_EQ(refused.err.find("[y/N]"), std::string::npos) << refused.err;
        EXPECT_EQ(ReadBytes(File("f.bin")), updated);
    }
    // Another enclosure's flash: said before the question, and NO keeps this one's.
    WriteBytes(File("another.bin"), another);
    RunSettings answerNo;
    answerNo.input = "n\n";
    answerNo.inputIsTerminal = true;
    const auto declined = Run({"restore", File("another.bin"), "--emulate", Q970("f.bin")}, answerNo);
    EXPECT_EQ(declined.status, kExitDeclined);
    EXPECT_NE(declined.err.find("saved from another enclosure"), std::string::npos) << declined.err;
    EXPECT_LT(declined.err.find("another enclosure"), declined.err.find("[y/N]"));
    EXPECT_EQ(ReadBytes(File("f.bin")), updated);

    const auto restored = Run({"restore", saved, "--yes", "--emulate", Q970("f.bin")});
    EXPECT_EQ(restored.status, kExitSuccess) << restored.out << restored.err;
    const auto after = ReadBytes(File("f.bin"));
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 65536, after.begin()));

    EXPECT_EQ(Run({"restore", File("missing.bin"), "--yes", "--emulate", Q970("f.bin")}).status,
              kExitUsage);
}

struct Fault {
    std::string name;
    std::string profile;
    std::vector<std::string> args;
    std::string key;        // the emulator's fault
    const char* cdbPrefix;  // the command it strikes
    int occurrence;         // which one of them, from 1
    std::string failureLine;  // on stdout
    std::string cause;        // how the line on stderr begins
    std::string command;
    uint32_t address;
};

class FaultTest : public CliTest, public ::testing::WithParamInterface<Fault> {};

// The command number comes from a healthy run's trace, so the fault strikes
// while the flash is being changed, not during identification. The cause
// names the command and its address, on one line of stderr and in the
// document.
TEST_P(FaultTest, EndsInFailureWithTheCause) {
    const Fault& f = GetParam();
    std::vector<std::string> args = f.args;
    args.insert(args.end(), {"--trace", File("healthy.jsonl"), "--emulate",
                             Bridge(f.profile, "healthy.bin")});
    CreateFlash(Bridge(f.profile, "healthy.bin"), "healthy.bin");
    const auto healthy = Run(args);
    ASSERT_EQ(healthy.status, kExitSuccess) << healthy.err;
    ASSERT_FALSE(ModifyingCommands(File("healthy.jsonl")).empty());
    const auto strike = NthCommand(File("healthy.jsonl"), f.cdbPrefix, f.occurrence);
    ASSERT_TRUE(strike.has_value());
    const std::string fault = f.key + "=" + std::to_string(*strike);

    for (const bool asJson : {false, true}) {
        SCOPED_TRACE(asJson ? "json" : "text");
        const std::string file = asJson ? "j.bin" : "t.bin";
        CreateFlash(Bridge(f.profile, file), file);
        args = f.args;
        if (asJson) args.push_back("--json");
        args.insert(args.end(), {"--emulate", Bridge(f.profile, file, fault)});
        const auto result = Run(args);
        EXPECT_EQ(result.status, kExitFailed) << result.out << result.err;
        size_t causes = 0;
        std::istringstream lines(result.err);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("qks970: ", 0) == 0) {
                ++causes;
                EXPECT_EQ(line.rfind(f.cause, 0), 0u) << line;
            }
        EXPECT_EQ(causes, 1u) << result.err;
        if (!asJson) {
            EXPECT_NE(result.out.find(f.failureLine + "\n"), std::string::npos) << result.out;
            EXPECT_EQ(result.out.find("Please un-plug AC adapter"), std::string::npos);
            continue;
        }
        const json document = json::parse(result.out);
        EXPECT_EQ(document.at("result"), "failure");
        const json& cause = document.at("cause");
        EXPECT_EQ(cause.at("command"), f.command);
        EXPECT_EQ(cause.at("address"), f.address);
        EXPECT_EQ(cause.at("chain").at(0), f.args.at(0));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        Fault{"RecoverFailAtErase", "q970", {"recover", "--yes"}, "fail", kEraseSectorCdb, 2,
              "Update    fail!!",
              "qks970: recover: erase at 0x8000 refused: CHECK CONDITION, sense ", "erase", 0x8000},
        Fault{"RecoverFailAtWrite", "q970", {"recover", "--yes"}, "fail", kWriteFlashCdb, 3,
              "Update    fail!!",
              "qks970: recover: write at 0x4000 refused: CHECK CONDITION, sense ", "write", 0x4000},
        Fault{"RecoverUnplugAtErase", "q970", {"recover", "--yes"}, "unplug", kEraseSectorCdb, 2,
              "Update    fail!!", "qks970: recover: erase at 0x8000: device went away", "erase",
              0x8000},
        Fault{"RecoverPowerLossAtWrite", "q970", {"recover", "--yes"}, "powerloss", kWriteFlashCdb,
              2, "Update    fail!!", "qks970: recover: write at 0x2000", "write", 0x2000},
        Fault{"EraseFailAtErase", "q719", {"erase", "--yes"}, "fail", kEraseSectorCdb, 2,
              "Status: Erase command fail!!",
              "qks970: erase: erase at 0x4000 refused: CHECK CONDITION, sense ", "erase", 0x4000}),
    [](const auto& info) { return info.param.name; });

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
    const auto result = Run({"recover", "--emulate", Q970("f.bin")}, terminal);
    EXPECT_EQ(result.status, GetParam().status) << result.out << result.err;
    // The question is for the user, not for whatever reads the results.
    EXPECT_NE(result.err.find("Please ensure to update the firmware [y/N] "), std::string::npos)
        << result.err;
    EXPECT_EQ(result.out.find("[y/N]"), std::string::npos) << result.out;
    EXPECT_EQ(ReadBytes(File("f.bin")) != before, GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RecoverPromptTest,
    ::testing::Values(Typed{"y\n", kExitSuccess, true}, Typed{"yes\n", kExitSuccess, true},
                      Typed{"n\n", kExitDeclined, false}, Typed{"\n", kExitDeclined, false},
                      Typed{"", kExitDeclined, false}, Typed{"yep\n", kExitDeclined, false}));

struct Declined {
    std::string name;
    std::string profile;
    std::vector<std::string> args;  // FW: a firmware file with the q719 tag; SAVED: a 64 KB copy
};

class DeclinedTest : public RecoverTest, public ::testing::WithParamInterface<Declined> {};

// "n" to any writing command's question is its own status: a script can
// tell "nothing written" from a failure that may have changed the device.
TEST_P(DeclinedTest, NoIsStatusSixAndNothingIsErasedOrWritten) {
    const Declined& c = GetParam();
    const std::string bridge = Bridge(c.profile, "f.bin");
    const auto before = CliTest::CreateFlash(bridge, "f.bin");
    std::vector<std::string> args = {"--trace", File("t.jsonl"), "--emulate", bridge};
    for (const auto& arg : c.args) {
        if (arg == "FW") {
            args.push_back(TaggedFile("fw.bin", "7190"));
        } else if (arg == "SAVED") {
            WriteBytes(File("saved.bin"), before);
            args.push_back(File("saved.bin"));
        } else {
            args.push_back(arg);
        }
    }
    RunSettings terminal;
    terminal.input = "n\n";
    terminal.inputIsTerminal = true;
    const auto result = Run(args, terminal);
    EXPECT_EQ(result.status, kExitDeclined) << result.out << result.err;
    EXPECT_NE(result.err.find("[y/N]"), std::string::npos) << result.err;
    EXPECT_TRUE(ModifyingCommands(File("t.jsonl")).empty());
    EXPECT_EQ(ReadBytes(File("f.bin")), before);
}

INSTANTIATE_TEST_SUITE_P(
    EveryWritingCommand, DeclinedTest,
    ::testing::Values(Declined{"Recover", "q970", {"recover"}},
                      Declined{"RecoverAll", "q970", {"recover", "--all"}},
                      Declined{"Restore", "q970", {"restore", "SAVED"}},
                      Declined{"Erase", "q719", {"erase"}},
                      Declined{"Run", "q719", {"run", "--firmware", "FW"}}),
    [](const auto& info) { return info.param.name; });

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
    const auto refused = Run({"recover", "--yes", "--emulate", Q970("f.bin")}, real);
    EXPECT_EQ(refused.status, kExitFailed);
    EXPECT_NE(refused.err.find("development image"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--allow-development-image"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadBytes(File("f.bin")), before);
    // With --json, stdout still holds a document.
    const auto refusedJson = Run({"recover", "--yes", "--json", "--emulate", Q970("f.bin")}, real);
    EXPECT_EQ(json::parse(refusedJson.out).at("exit_status"), kExitFailed) << refusedJson.out;

    const auto allowed =
        Run({"recover", "--yes", "--allow-development-image", "--emulate", Q970("f.bin")}, real);
    EXPECT_EQ(allowed.status, kExitSuccess) << allowed.err;
    EXPECT_NE(ReadBytes(File("f.bin")), before);
}

TEST_F(DevelopmentImageTest, AnEmulatedDeviceNeedsNoPermission) {
    const auto before = CreateFlash("f.bin");
    const auto result = Run({"recover", "--yes", "--emulate", Q970("f.bin")});
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

// A file system the host has mounted from the enclosure stops every writing
// flow before its first erase, says where and how to unmount, and exits 2;
// --force-in-use writes anyway and says so.
TEST_F(RecoverTest, AMountedDiskIsNotWrittenUnlessForced) {
    struct Case {
        std::string profile;
        std::vector<std::string> args;
    };
    for (const Case& c : {Case{"q970", {"recover", "--yes"}}, Case{"q719", {"erase", "--yes"}}}) {
        SCOPED_TRACE(c.args[0]);
        const std::string file = c.profile + ".bin";
        const std::string bridge = Bridge(c.profile, file, "mounted=/media/u/DISK 1");
        const auto before = CliTest::CreateFlash(bridge, file);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--emulate", bridge});
        const auto refused = Run(args);
        EXPECT_EQ(refused.status, kExitUsage) << refused.err;
        EXPECT_EQ(ReadBytes(File(file)), before);
        EXPECT_NE(refused.err.find("is mounted at /media/u/DISK 1 (umount /media/u/DISK 1)"),
                  std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("nothing was erased"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("--force-in-use"), std::string::npos) << refused.err;

        args.push_back("--force-in-use");
        const auto forced = Run(args);
        EXPECT_EQ(forced.status, kExitSuccess) << forced.err;
        EXPECT_NE(ReadBytes(File(file)), before);
        EXPECT_NE(forced.err.find("note: the device's disk is in use"), std::string::npos)
            << forced.err;
    }
}

}  // namespace
}  // namespace qks::cli::test
