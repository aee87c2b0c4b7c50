// `run`, `backup` and `erase`: the engineering panel's Run on the older
// families, checked by what the emulated flash and the files hold afterwards.
#include <algorithm>

#include "cli/cli_harness.h"
#include "firmware/image_store.h"

namespace qks::cli::test {
namespace {

class PanelTest : public CliTest {
protected:
    std::string Bridge(const std::string& profile, const std::string& file,
                       const std::string& keys = "") {
        return profile + ":flash=" + File(file) + (keys.empty() ? "" : "," + keys);
    }
    std::vector<uint8_t> CreateFlash(const std::string& description, const std::string& file) {
        const auto listed = Run({"list", "--emulate", description});
        EXPECT_EQ(listed.status, kExitSuccess) << listed.err;
        return ReadBytes(File(file));
    }
    // A firmware file whose tag record names the chip: signature, then the
    // chip number and the revision digit.
    std::string TaggedFile(const std::string& name, const std::string& tag) {
        std::vector<uint8_t> bytes = {0x55, 0xAA, 0xAA, 0x55};
        bytes.insert(bytes.end(), tag.begin(), tag.end());
        bytes.resize(4096, 0xFF);
        WriteBytes(File(name), bytes);
        return File(name);
    }
};

struct BackupCase {
    std::vector<std::string> options;
    size_t bytes;
};

class BackupTest : public PanelTest, public ::testing::WithParamInterface<BackupCase> {};

TEST_P(BackupTest, SavesTheFlashFromAddressZero) {
    const std::string bridge = Bridge("q719", "f.bin", "size=256K");
    const auto flash = CreateFlash(bridge, "f.bin");
    std::vector<std::string> args = {"backup", File("out.bin"), "--emulate", bridge};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    const auto result = Run(args);
    ASSERT_EQ(result.status, kExitSuccess) << result.out << result.err;
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

TEST_F(PanelTest, EraseLeavesTheFlashErased) {
    const std::string bridge = Bridge("q719", "f.bin");
    const auto before = CreateFlash(bridge, "f.bin");
    ASSERT_FALSE(
        std::all_of(before.begin(), before.begin() + 65536, [](uint8_t b) { return b == 0xFF; }));
    const auto result = Run({"erase", "--emulate", bridge});
    ASSERT_EQ(result.status, kExitSuccess) << result.out << result.err;
    EXPECT_NE(result.out.find("Status: Erase flash all success!"), std::string::npos) << result.out;
    // The engine's own message box, as the window would show it.
    EXPECT_NE(result.out.find("[Message] "), std::string::npos) << result.out;
    const auto after = ReadBytes(File("f.bin"));
    EXPECT_TRUE(
        std::all_of(after.begin(), after.begin() + 65536, [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(PanelTest, RunWithAMatchingFileProgramsTheSerialFlashImage) {
    const std::string bridge = Bridge("q719", "f.bin");
    CreateFlash(bridge, "f.bin");
    const auto result =
        Run({"run", "--firmware", TaggedFile("fw.bin", "7190"), "--emulate", bridge});
    ASSERT_EQ(result.status, kExitSuccess) << result.out << result.err;
    EXPECT_NE(result.out.find("Status: Programming Success!!"), std::string::npos) << result.out;
    const auto image = EmbeddedImages().Find(kSerialFlashImageName);
    const auto after = ReadBytes(File("f.bin"));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin()));
}

TEST_F(PanelTest, RunIsRefusedWithoutAFileThatFitsTheChip) {
    const std::string bridge = Bridge("q719", "f.bin");
    const auto before = CreateFlash(bridge, "f.bin");

    const auto noFile = Run({"run", "--emulate", bridge});
    EXPECT_EQ(noFile.status, kExitUsage);
    EXPECT_NE(noFile.err.find("--firmware"), std::string::npos) << noFile.err;

    const auto mismatch =
        Run({"run", "--firmware", TaggedFile("other.bin", "7180"), "--emulate", bridge});
    EXPECT_EQ(mismatch.status, kExitUsage);
    EXPECT_NE(mismatch.out.find("[Message] The firmware file seems not match this chip!"),
              std::string::npos)
        << mismatch.out;
    EXPECT_NE(mismatch.err.find("does not match"), std::string::npos) << mismatch.err;
    EXPECT_EQ(ReadBytes(File("f.bin")), before);
}

TEST_F(PanelTest, AFaultDuringEraseIsReportedWithTheEnginesText) {
    const std::string healthy = Bridge("q719", "healthy.bin");
    CreateFlash(healthy, "healthy.bin");
    ASSERT_EQ(Run({"erase", "--trace", File("t.jsonl"), "--emulate", healthy}).status,
              kExitSuccess);
    const auto strike = FirstCommand(File("t.jsonl"), kEraseSectorCdb);
    ASSERT_TRUE(strike.has_value());

    const auto result =
        Run({"erase", "--emulate", Bridge("q719", "f.bin", "fail=" + std::to_string(*strike))});
    EXPECT_EQ(result.status, kExitFailed);
    EXPECT_NE(result.out.find("Status: Erase command fail!!"), std::string::npos) << result.out;
}

// The target chip has no engine behind Run: nothing may be claimed done.
TEST_F(PanelTest, TheTargetChipHasNoEngine) {
    const std::string bridge = Bridge("q970", "f.bin");
    const auto before = CreateFlash(bridge, "f.bin");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"backup", File("out.bin")}, std::vector<std::string>{"erase"}}) {
        auto full = args;
        full.insert(full.end(), {"--emulate", bridge});
        const auto result = Run(full);
        EXPECT_EQ(result.status, kExitFailed) << args[0];
        EXPECT_NE(result.err.find("no engineering engine"), std::string::npos) << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(File("out.bin")));
    EXPECT_EQ(ReadBytes(File("f.bin")), before);
}

TEST_F(PanelTest, AnOptionThePanelDoesNotOfferForTheChipIsRefused) {
    const std::string bridge = Bridge("q719", "f.bin");
    const auto before = CreateFlash(bridge, "f.bin");
    const auto result = Run({"backup", File("out.bin"), "--a1-chip", "--emulate", bridge});
    EXPECT_EQ(result.status, kExitUsage);
    EXPECT_NE(result.err.find("--a1-chip"), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(File("out.bin")));
    EXPECT_EQ(ReadBytes(File("f.bin")), before);
}

TEST_F(PanelTest, DeviceSelectsTheRowTheEngineWorksOn) {
    const std::string first = Bridge("q719", "a.bin");
    const std::string second = Bridge("q717", "b.bin");
    const auto a = CreateFlash(first, "a.bin");
    const auto b = CreateFlash(second, "b.bin");
    const auto result = Run({"erase", "--device", "1", "--emulate", first, "--emulate", second});
    ASSERT_EQ(result.status, kExitSuccess) << result.out << result.err;
    EXPECT_NE(result.out.find("QK60717 Series"), std::string::npos) << result.out;
    EXPECT_EQ(ReadBytes(File("a.bin")), a);
    EXPECT_NE(ReadBytes(File("b.bin")), b);
}

}  // namespace
}  // namespace qks::cli::test
