// `run`, `backup` and `erase` on the older families, what each family does
// not offer, and the one numbering --device takes, checked by what the
// emulated flash and the files hold afterwards.
#include <algorithm>

#include "cli/cli_harness.h"
#include "firmware/image_store.h"

namespace qks::cli::test {
namespace {

class PanelTest : public CliTest {};

struct BackupCase {
    std::vector<std::string> options;
    size_t bytes;
};

class BackupTest : public PanelTest, public ::testing::WithParamInterface<BackupCase> {};

// backup writes nothing to the device, so it does not ask.
TEST_P(BackupTest, SavesTheFlashFromAddressZero) {
    const std::string bridge = Bridge("q719", "f.bin", "size=256K");
    const auto flash = CreateFlash(bridge, "f.bin");
    std::vector<std::string> args = {"backup", File("out.bin"), "--emulate", bridge};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    const auto result = Run(args);
    ASSERT_EQ(result.status, kExitSuccess) << result.out << result.err;
    EXPECT_NE(result.out.find("Backup: " + File("out.bin") + "\n"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("Status: Read flash and backup success!"), std::string::npos)
        << result.out;
    const auto saved = ReadBytes(File("out.bin"));
    ASSERT_EQ(saved.size(), GetParam().bytes);
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), flash.begin()));
    EXPECT_EQ(ReadBytes(File("f.bin")), flash);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BackupTest,
    ::testing::Values(BackupCase{{}, 65536}, BackupCase{{"--firmware-size", "32KB"}, 32768},
                      BackupCase{{"--firmware-size", "128kb"}, 131072},
                      BackupCase{{"--firmware-size", "256KB", "--page-size", "4KB"}, 262144}));

// A file the user names is replaced only on --force, and a copy kept
// before a write never: those are the way back.
TEST_F(PanelTest, BackupReplacesAFileOnlyWhenToldAndNeverACopy) {
    struct Case {
        const char* what;
        std::string file;
        bool force;
        int status;
    };
    const std::string bridge = Bridge("q719", "f.bin");
    const auto flash = CreateFlash(bridge, "f.bin");
    std::filesystem::create_directories(File("backups"));
    const std::vector<uint8_t> old(100, 0x11);
    const Case cases[] = {
        {"existing", File("old.bin"), false, kExitUsage},
        {"existing, --force", File("old.bin"), true, kExitSuccess},
        {"a copy, --force", File("backups") + "/copy.bin", true, kExitUsage},
        {"a copy by a winding path", File("backups") + "/../backups/./copy.bin", true, kExitUsage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(c.file, old);
        std::vector<std::string> args = {"backup", c.file, "--emulate", bridge};
        if (c.force) args.push_back("--force");
        const auto result = Run(args);
        EXPECT_EQ(result.status, c.status) << result.err;
        if (c.status == kExitSuccess) {
            EXPECT_EQ(ReadBytes(c.file), std::vector<uint8_t>(flash.begin(), flash.begin() + 65536));
        } else {
            EXPECT_EQ(ReadBytes(c.file), old);
            EXPECT_FALSE(result.runtimeBuilt) << "refused before any device was opened";
        }
    }
}

TEST_F(PanelTest, EraseLeavesTheFlashErased) {
    const std::string bridge = Bridge("q719", "f.bin");
    const auto before = CreateFlash(bridge, "f.bin");
    ASSERT_FALSE(
        std::all_of(before.begin(), before.begin() + 65536, [](uint8_t b) { return b == 0xFF; }));
    const auto result = Run({"erase", "--yes", "--emulate", bridge});
    ASSERT_EQ(result.status, kExitSuccess) << result.out << result.err;
    EXPECT_NE(result.out.find("Status: Erase flash all success!"), std::string::npos) << result.out;
    // The engine's own message box, on stderr with its caption.
    EXPECT_NE(result.err.find("[Message] "), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("[Message] "), std::string::npos) << result.out;
    const auto after = ReadBytes(File("f.bin"));
    EXPECT_TRUE(
        std::all_of(after.begin(), after.begin() + 65536, [](uint8_t b) { return b == 0xFF; }));
}

struct RunCase {
    std::string name;
    std::string bridge;
    std::string tag;       // the firmware file's tag; empty: the built-in image itself
    const char* image;     // what the flash holds afterwards, from `kept` on
    std::ptrdiff_t kept;   // bytes at the start the update leaves as they were
    std::string statusLine;  // empty: the update has no success text
};

class RunTest : public PanelTest, public ::testing::WithParamInterface<RunCase> {};

// The exit status comes from the outcome, also where the engine says
// nothing on success.
TEST_P(RunTest, TheFamilysUpdateWritesItsImage) {
    const RunCase& c = GetParam();
    const std::string bridge = Bridge(c.bridge, "f.bin");
    const auto before = CreateFlash(bridge, "f.bin");
    const auto image = EmbeddedImages().Find(c.image);
    std::string firmware;
    if (c.tag.empty()) {
        firmware = File("fw.bin");
        WriteBytes(firmware, {image.begin(), image.end()});
    } else {
        firmware = TaggedFile("fw.bin", c.tag);
    }
    const auto result = Run({"run", "--yes", "--firmware", firmware, "--emulate", bridge});
    ASSERT_EQ(result.status, kExitSuccess) << result.out << result.err;
    EXPECT_EQ(result.err.find("qks970:"), std::string::npos) << result.err;
    if (!c.statusLine.empty()) {
        EXPECT_NE(result.out.find("Status: " + c.statusLine + "\n"), std::string::npos)
            << result.out;
    }
    const auto after = ReadBytes(File("f.bin"));
    ASSERT_GE(after.size(), image.size());
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + c.kept, after.begin()));
    EXPECT_TRUE(std::equal(image.begin() + c.kept, image.end(), after.begin() + c.kept));
}

INSTANTIATE_TEST_SUITE_P(
    Families, RunTest,
    ::testing::Values(
        RunCase{"Q719SerialFlash", "q719", "7190", kSerialFlashImageName, 0,
                "Programming Success!!"},
        RunCase{"Q742KeepsItsFirstFourKilobytes", "q742", "", kRevisionAImageName, 4096, ""}),
    [](const auto& info) { return info.param.name; });

struct RefusedCase {
    std::string name;
    std::string profile;
    std::vector<std::string> args;  // OUT: a file to save to; TAG:xxxx: a file with that tag;
                                    // SAVED: a 64 KB file
    std::string mentions;
};

class RefusedTest : public PanelTest, public ::testing::WithParamInterface<RefusedCase> {};

// What a family does not offer, or a file that does not fit it, is refused
// with status 2 once the device is identified: nothing erased or written,
// nothing saved.
TEST_P(RefusedTest, StatusTwoAndTheFlashUntouched) {
    const RefusedCase& c = GetParam();
    const std::string bridge = Bridge(c.profile, "f.bin");
    const auto before = CreateFlash(bridge, "f.bin");
    std::vector<std::string> args = {"--trace", File("t.jsonl"), "--emulate", bridge};
    for (const auto& arg : c.args) {
        if (arg == "OUT") {
            args.push_back(File("out.bin"));
        } else if (arg.rfind("TAG:", 0) == 0) {
            args.push_back(TaggedFile("fw.bin", arg.substr(4)));
        } else if (arg == "SAVED") {
            std::vector<uint8_t> saved(65536, 0x5A);
            saved[126] = 'Q';
            saved[127] = 'K';
            WriteBytes(File("saved.bin"), saved);
            args.push_back(File("saved.bin"));
        } else {
            args.push_back(arg);
        }
    }
    const auto result = Run(args);
    EXPECT_EQ(result.status, kExitUsage) << result.out << result.err;
    EXPECT_NE(result.err.find(c.mentions), std::string::npos) << result.err;
    EXPECT_EQ(ReadBytes(File("f.bin")), before);
    EXPECT_FALSE(std::filesystem::exists(File("out.bin")));
    EXPECT_FALSE(std::filesystem::exists(File("backups")));
    EXPECT_FALSE(Traced(File("t.jsonl")).empty());  // identified, so the trace is a witness
    EXPECT_EQ(ModifyingCommands(File("t.jsonl")), std::vector<std::string>{});
}

constexpr const char* kNotOffered = "offers no such action; nothing was sent";

INSTANTIATE_TEST_SUITE_P(
    Families, RefusedTest,
    ::testing::Values(
        // The QKB742's update keeps 4 KB and takes no erase-only or backup-only.
        RefusedCase{"Q742Backup", "q742", {"backup", "OUT"}, kNotOffered},
        RefusedCase{"Q742Erase", "q742", {"erase", "--yes"}, kNotOffered},
        // The target chip has no engineering engine behind the panel.
        RefusedCase{"Q970Backup", "q970", {"backup", "OUT"}, kNotOffered},
        RefusedCase{"Q970Erase", "q970", {"erase", "--yes"}, kNotOffered},
        RefusedCase{"Q970Run", "q970", {"run", "--yes", "--firmware", "TAG:9700"}, kNotOffered},
        RefusedCase{"Q719Recover", "q719", {"--device", "0", "recover", "--yes"},
                    "offers no recovery"},
        RefusedCase{"Q719Restore", "q719", {"--device", "0", "restore", "SAVED", "--yes"},
                    "offers no restore; nothing was sent"},
        RefusedCase{"Q719RunWithoutFirmware", "q719", {"run", "--yes"}, "--firmware"},
        RefusedCase{"Q719RunWithAnotherChipsFile", "q719",
                    {"run", "--yes", "--firmware", "TAG:7180"}, "does not match"},
        RefusedCase{"Q742RunWithTheOtherRevisionsFile", "q742",
                    {"run", "--yes", "--firmware", "TAG:742B1"}, "does not match"},
        RefusedCase{"Q719A1Chip", "q719", {"backup", "OUT", "--a1-chip"}, "--a1-chip"},
        RefusedCase{"Q719RomType", "q719", {"erase", "--yes", "--rom-type", "1"}, "--rom-type"},
        RefusedCase{"Q717FirmwareSize", "q717", {"backup", "OUT", "--firmware-size", "32KB"},
                    "--firmware-size"}),
    [](const auto& info) { return info.param.name; });

struct DeviceCase {
    std::string name;
    std::vector<std::string> profiles;  // bridge i keeps its flash in i.bin
    std::vector<std::string> args;      // OUT: a file to save to
    int status;
    int device;   // the number the device line names; -1: none
    int changed;  // the bridge whose flash changes; -1: none
};

class DeviceTest : public PanelTest, public ::testing::WithParamInterface<DeviceCase> {};

// --device takes the number list prints, the path or the USB serial, the
// same for every command; without it, the first device that fits.
TEST_P(DeviceTest, NamesTheDeviceWorkedOn) {
    const DeviceCase& c = GetParam();
    std::vector<std::string> args;
    std::vector<std::vector<uint8_t>> before;
    for (size_t i = 0; i < c.profiles.size(); ++i) {
        const std::string file = std::to_string(i) + ".bin";
        const std::string& profile = c.profiles[i];
        const size_t keys = profile.find(':');
        const std::string bridge = keys == std::string::npos
                                       ? Bridge(profile, file)
                                       : Bridge(profile.substr(0, keys), file, profile.substr(keys + 1));
        args.insert(args.end(), {"--emulate", bridge});
        before.push_back(CreateFlash(bridge, file));
    }
    for (const auto& arg : c.args) args.push_back(arg == "OUT" ? File("out.bin") : arg);
    const auto result = Run(args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    const auto line = result.err.find("Device ");
    if (c.device < 0) {
        EXPECT_EQ(line, std::string::npos) << result.err;
    } else {
        ASSERT_NE(line, std::string::npos) << result.err;
        EXPECT_EQ(result.err.substr(line, 9 + std::to_string(c.device).size()),
                  "Device " + std::to_string(c.device) + ": ")
            << result.err;
    }
    for (size_t i = 0; i < c.profiles.size(); ++i)
        EXPECT_EQ(ReadBytes(File(std::to_string(i) + ".bin")) != before[i],
                  static_cast<int>(i) == c.changed)
            << "bridge " << i;
    if (std::find(c.args.begin(), c.args.end(), "OUT") != c.args.end() && c.status == 0) {
        const auto saved = ReadBytes(File("out.bin"));
        ASSERT_EQ(saved.size(), 65536u);
        const auto& flash = before[static_cast<size_t>(c.device)];
        EXPECT_TRUE(std::equal(saved.begin(), saved.end(), flash.begin()));
    }
}

// The target, then an older bridge: list numbers them 0 and 1.
const std::vector<std::string> kBoth = {"q970", "q719"};
const std::string kQ719Path = "emu:usbstor#disk&ven_tavrel&prod_q719#1";
using D = DeviceCase;

INSTANTIATE_TEST_SUITE_P(
    Numbering, DeviceTest,
    ::testing::Values(
        D{"NumberBacksUpTheOlder", kBoth, {"--device", "1", "backup", "OUT"}, 0, 1, -1},
        D{"SerialBacksUpTheOlder", kBoth, {"--device", "EMU1-Q719", "backup", "OUT"}, 0, 1, -1},
        D{"PathBacksUpTheOlder", kBoth, {"--device", kQ719Path, "backup", "OUT"}, 0, 1, -1},
        D{"NumberRecoversTheTarget", kBoth, {"--device", "0", "recover", "--yes"}, 0, 0, 0},
        D{"FirstThatErasesByDefault", kBoth, {"erase", "--yes"}, 0, 1, 1},
        D{"FirstTargetByDefault", {"q719", "q970"}, {"recover", "--yes"}, 0, 1, 1},
        D{"SecondOfTwoTargets", {"q970", "q970"}, {"--device", "1", "recover", "--yes"}, 0, 1, 1},
        D{"SerialOfTheSecondOfTwo", {"q719", "q719"}, {"--device", "EMU1-Q719", "erase", "--yes"},
          0, 1, 1},
        D{"NumberBeyondTheList", {"q970"}, {"--device", "1", "recover", "--yes"}, 2, -1, -1},
        D{"NegativeNumber", kBoth, {"--device", "-1", "erase", "--yes"}, 2, -1, -1},
        D{"UnknownSerial", kBoth, {"--device", "EMU9-Q719", "backup", "OUT"}, 2, -1, -1},
        // A key that fits devices of two enclosures picks neither.
        D{"NumberThatIsAnotherSerial", {"q970:serial=1", "q970:serial=0"},
          {"--device", "1", "recover", "--yes"}, 2, -1, -1},
        D{"SerialOfTwoEnclosures", {"q719:serial=S", "q719:serial=S"},
          {"--device", "S", "erase", "--yes"}, 2, -1, -1},
        D{"NumberBeyondTheListIsNoSerial", {"q970", "q970", "q970:serial=7"},
          {"--device", "7", "recover", "--yes"}, 2, -1, -1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace qks::cli::test
