// Bad usage and input: one clear line, status 2, and nothing sent to a
// device (no runtime built, no trace written). Also --help, --version and
// `images`, which need no device at all.
#include <filesystem>

#include "cli/cli_harness.h"
#include "firmware/image_store.h"

namespace qks::cli::test {
namespace {

using nlohmann::json;

struct BadInput {
    std::string name;
    std::vector<std::string> args;  // FILE / DIR stand for a readable file and a folder
    std::string mentions;           // the line names what was wrong
};

class BadInputTest : public CliTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(BadInputTest, OneLineStatusTwoAndNothingSent) {
    WriteBytes(File("fw.bin"), {0x55, 0xAA, 0xAA, 0x55, '7', '1', '9', '0'});
    std::vector<std::string> args = {"--trace", File("trace.jsonl")};
    for (const auto& arg : GetParam().args)
        args.push_back(arg == "FILE" ? File("fw.bin") : arg == "DIR" ? dir_.string() : arg);
    const auto result = Run(args);
    EXPECT_EQ(result.status, kExitUsage) << result.out << result.err;
    EXPECT_EQ(CountLines(result.err), 1u) << result.err;
    EXPECT_EQ(result.err.rfind("qks970: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(GetParam().mentions), std::string::npos) << result.err;
    EXPECT_TRUE(result.out.empty()) << result.out;
    EXPECT_FALSE(result.runtimeBuilt);
    EXPECT_FALSE(std::filesystem::exists(File("trace.jsonl")));
}

std::vector<BadInput> BadInputs() {
    return {
        {"NoCommand", {"--emulate", "q970"}, "no command given"},
        {"UnknownCommand", {"frobnicate", "--emulate", "q970"}, "the commands are list, recover"},
        // A slip of the keyboard gets the command it was meant to be.
        {"SwappedLetters", {"--emulate", "q970", "lsit"}, "'lsit' is not a command; did you mean 'list'?"},
        {"MissingLetter", {"recovr", "--yes"}, "did you mean 'recover'?"},
        {"AmbiguousStart", {"--device", "1", "re"}, "did you mean 'recover', 'run' or 'restore'?"},
        {"EraseTakesNoDevelopmentImageOption",
         {"erase", "--yes", "--allow-development-image", "--emulate", "q719"},
         "--allow-development-image"},
        {"RestoreTakesNoDevelopmentImageOption",
         {"restore", "FILE", "--yes", "--allow-development-image", "--emulate", "q970"},
         "--allow-development-image"},
        {"UnknownOption", {"list", "--emulate", "q970", "--bogus"}, "--bogus"},
        {"UnknownProfile", {"list", "--emulate", "q999"}, "unknown profile 'q999'"},
        {"UnknownKey", {"recover", "--yes", "--emulate", "q970:frob=1"}, "unknown key 'frob'"},
        {"BadKeyValue", {"erase", "--yes", "--emulate", "q719:vendor=99"}, "vendor"},
        {"KeyWithoutValue", {"list", "--emulate", "q970:fail"}, "has no '='"},
        {"EmulateWithoutDescription", {"list", "--emulate"}, "--emulate"},
        {"FirmwareSizeNotListed",
         {"erase", "--emulate", "q719", "--firmware-size", "48KB"},
         "--firmware-size"},
        {"PageSizeNotListed", {"erase", "--emulate", "q719", "--page-size", "64KB"}, "--page-size"},
        {"RomTypeOutOfRange", {"run", "--emulate", "q716", "--rom-type", "3"}, "--rom-type"},
        {"FirmwareMissing",
         {"run", "--yes", "--emulate", "q719", "--firmware", "/nonexistent/fw.bin"},
         "/nonexistent/fw.bin"},
        {"FirmwareIsAFolder", {"run", "--yes", "--emulate", "q719", "--firmware", "DIR"}, "folder"},
        {"BackupFolderMissing",
         {"backup", "/nonexistent/out.bin", "--emulate", "q719"},
         "/nonexistent"},
        {"BackupIsAFolder", {"backup", "DIR", "--emulate", "q719"}, "folder"},
        {"BackupWithoutFile", {"backup", "--emulate", "q719"}, "FILE"},
        // run is the update alone now: erase and backup FILE are commands of their own.
        {"RunEraseOnlyIsGone",
         {"run", "--yes", "--emulate", "q719", "--erase-only"},
         "--erase-only"},
        {"RunBackupOnlyIsGone",
         {"run", "--yes", "--emulate", "q719", "--backup-only"},
         "--backup-only"},
        {"RunBackupFileIsGone",
         {"run", "--yes", "--emulate", "q719", "--backup-file", "x.bin"},
         "--backup-file"},
        // Commands that write ask first; with no terminal to answer on, only --yes does.
        {"RecoverWithoutTerminalOrYes", {"recover", "--emulate", "q970"}, "--yes"},
        {"EraseWithoutTerminalOrYes", {"erase", "--emulate", "q719"}, "--yes"},
        {"RunWithoutTerminalOrYes", {"run", "--firmware", "FILE", "--emulate", "q719"}, "--yes"},
        {"RestoreWithoutTerminalOrYes", {"restore", "FILE", "--emulate", "q970"}, "--yes"},
        {"WatchForNegative", {"watch", "--for", "-1", "--emulate", "q970"}, "--for"},
        {"WatchForNotANumber", {"watch", "--for", "soon", "--emulate", "q970"}, "--for"},
    };
}

INSTANTIATE_TEST_SUITE_P(Cli, BadInputTest, ::testing::ValuesIn(BadInputs()),
                         [](const auto& info) { return info.param.name; });

TEST_F(CliTest, WithJsonEvenAnErrorIsAJsonDocument) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"list", "--json", "--emulate", "q999"},
          std::vector<std::string>{"list", "--json", "--bogus"},
          std::vector<std::string>{"images", "--json", "x"}}) {
        const auto result = Run(args);
        EXPECT_EQ(result.status, kExitUsage);
        const json document = json::parse(result.out);
        EXPECT_FALSE(document.at("error").get<std::string>().empty());
        EXPECT_EQ(document.at("exit_status"), kExitUsage);
    }
}

TEST_F(CliTest, ImagesJsonDescribesEveryEmbeddedImage) {
    const auto result = Run({"images", "--json"});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    EXPECT_FALSE(result.runtimeBuilt);
    const json document = json::parse(result.out);
    const auto names = EmbeddedImages().Names();
    ASSERT_EQ(document.at("images").size(), names.size());
    bool target = false;
    for (const auto& image : document.at("images")) {
        const std::string name = image.at("name");
        SCOPED_TRACE(name);
        const auto bytes = EmbeddedImages().Find(name);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(image.at("size"), bytes.size());
        EXPECT_EQ(image.at("sha256"), Sha256Hex(bytes));
        EXPECT_EQ(image.at("sha256").get<std::string>().size(), 64u);
        EXPECT_EQ(image.at("development"), IsDevelopmentImage(bytes));
        target = target || name == kTargetImageName;
    }
    EXPECT_TRUE(target);

    const auto text = Run({"images"});
    for (const auto& name : names) EXPECT_NE(text.out.find(name + " "), std::string::npos) << name;
}

// A file where the search path has one stands in for the built-in image,
// and says so.
TEST_F(CliTest, ImageFilesAreListedWithTheirPath) {
    std::filesystem::create_directories(File("good"));
    const auto fw719 = EmbeddedImages().Find(kSerialFlashImageName);
    const std::string path = (dir_ / "good" / "FW719.bin").string();
    WriteBytes(path, {fw719.begin(), fw719.end()});

    const auto result = Run({"images", "--json", "--images", File("good")});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const json document = json::parse(result.out);
    for (const auto& image : document.at("images"))
        EXPECT_EQ(image.at("path"), image.at("name") == kSerialFlashImageName ? json(path) : json(nullptr));
    EXPECT_TRUE(document.at("refused").empty());
    const auto text = Run({"--images", File("good"), "images"});
    EXPECT_NE(text.out.find("development  " + path + "\n"), std::string::npos) << text.out;
}

struct BadImageCase {
    std::string name;
    std::string badImage;           // the image whose file is refused
    std::vector<std::string> args;  // BRIDGE: the emulated bridge; FW: a file with the q719 tag
    int status;
};

class BadImageTest : public CliTest, public ::testing::WithParamInterface<BadImageCase> {};

// A refused file stops only the commands that would write its image, before
// anything is erased; every command warns of it, and `images` says why.
TEST_P(BadImageTest, ARefusedFileStopsOnlyWhatWritesItsImage) {
    const BadImageCase& c = GetParam();
    std::filesystem::create_directories(File("chosen"));
    const std::string bad = (dir_ / "chosen" / (c.badImage + ".bin")).string();
    WriteBytes(bad, std::vector<uint8_t>(4096, 0));
    std::vector<std::string> args = {"--images", File("chosen"), "--trace", File("t.jsonl")};
    for (const auto& arg : c.args)
        args.push_back(arg == "FW" ? TaggedFile("fw.bin", "7190") : arg);
    const auto result = Run(args);
    EXPECT_EQ(result.status, c.status) << result.out << result.err;
    // A warning from every command; `images` lists it among the images.
    EXPECT_NE((result.err + result.out).find(bad), std::string::npos) << result.err;
    if (c.status == kExitUsage) {
        EXPECT_TRUE(ModifyingCommands(File("t.jsonl")).empty());
        EXPECT_NE(result.err.find("; nothing was written (fix or remove the file)"), std::string::npos)
            << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, BadImageTest,
    ::testing::Values(
        BadImageCase{"ImagesListsTheOthers", "QKS958FW", {"images"}, kExitSuccess},
        BadImageCase{"ListStillIdentifies", "QKS958FW", {"list", "--emulate", "q719"}, kExitSuccess},
        BadImageCase{"RecoverOfItsChipStops", "QKS958FW",
                     {"recover", "--yes", "--emulate", "q970"}, kExitUsage},
        BadImageCase{"EraseGoesOn", "QKS958FW", {"erase", "--yes", "--emulate", "q719"}, kExitSuccess},
        BadImageCase{"RunOfAnotherImageGoesOn", "QKS958FW",
                     {"run", "--yes", "--firmware", "FW", "--emulate", "q719"}, kExitSuccess},
        BadImageCase{"RunOfItsImageStops", "FW719",
                     {"run", "--yes", "--firmware", "FW", "--emulate", "q719"}, kExitUsage},
        BadImageCase{"RecoverOfAnotherChipGoesOn", "FW719",
                     {"recover", "--yes", "--emulate", "q970"}, kExitSuccess}),
    [](const auto& info) { return info.param.name; });

TEST_F(CliTest, ImagesTellsWhyAFileIsRefusedAndThatAFileIsNoFolder) {
    std::filesystem::create_directories(File("chosen"));
    WriteBytes((dir_ / "chosen" / "QKS958FW.bin").string(), std::vector<uint8_t>(4096, 0));
    const auto result = Run({"images", "--json", "--images", File("chosen")});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const json document = json::parse(result.out);
    ASSERT_EQ(document.at("refused").size(), 1u);
    EXPECT_EQ(document.at("refused")[0].at("name"), "QKS958FW");
    EXPECT_EQ(document.at("refused")[0].at("path"), (dir_ / "chosen" / "QKS958FW.bin").string());
    EXPECT_EQ(document.at("refused")[0].at("reason"), "it has no signature \"QK\" at bytes 126-127");
    for (const auto& image : document.at("images")) EXPECT_NE(image.at("name"), "QKS958FW");
    const auto text = Run({"images", "--images", File("chosen")});
    EXPECT_NE(text.out.find("refused      " + (dir_ / "chosen" / "QKS958FW.bin").string() + ": it has no signature"),
              std::string::npos)
        << text.out;

    const auto file = Run({"images", "--images", (dir_ / "chosen" / "QKS958FW.bin").string()});
    EXPECT_EQ(file.status, kExitUsage);
    EXPECT_NE(file.err.find("it is a file, not a folder"), std::string::npos) << file.err;
}

struct HelpCase {
    std::vector<std::string> args;
    std::vector<std::string> shows;
    std::vector<std::string> hides;
};

// Every help names what it takes in words a user reads, and the options of
// qks970 itself (all of them) with the exit statuses.
TEST_F(CliTest, HelpDocumentsTheCommandsTheirOptionsAndEveryExitStatus) {
    const std::vector<std::string> global = {
        "--emulate, --trace, --backup-dir, --images, --device,", "0  success",
        "1  the operation failed", "2  bad usage or input", "3  nothing to do",
        "4  no device found", "6  declined"};
    const HelpCase cases[] = {
        {{"--help"},
         {"list", "recover", "backup", "erase", "run", "images", "restore", "watch",
          "--trace FILE", "--images DIR", "--device ID", "-v,--verbose"},
         {}},
        {{"run", "--help"},
         {"--firmware FILE", "only checked for the chip's tag", "never the --firmware file",
          "--yes", "--allow-development-image", "--a1-chip", "--rom-type N", "1MB", "2KB"},
         {}},
        {{"backup", "--help"}, {"FILE REQUIRED", "--firmware-size SIZE"}, {"FILE FILE"}},
        {{"restore", "--help"}, {"FILE REQUIRED", "--yes"}, {"FILE TEXT", "--allow-development-image"}},
        {{"erase", "--help"}, {"--yes", "--page-size SIZE"}, {"--allow-development-image"}},
        {{"watch", "--help"}, {"--for SECONDS ", "--recover"}, {"FLOAT", "NONNEGATIVE"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const auto result = Run(c.args);
        EXPECT_EQ(result.status, kExitSuccess);
        EXPECT_FALSE(result.runtimeBuilt);
        for (const auto& text : global) EXPECT_NE(result.out.find(text), std::string::npos) << text;
        for (const auto& text : c.shows) EXPECT_NE(result.out.find(text), std::string::npos) << text;
        for (const auto& text : c.hides) EXPECT_EQ(result.out.find(text), std::string::npos) << text;
    }

    const auto version = Run({"--version"});
    EXPECT_EQ(version.status, kExitSuccess);
    EXPECT_EQ(version.out.rfind("qks970 ", 0), 0u) << version.out;
}

}  // namespace
}  // namespace qks::cli::test
