// `verify` and `copies`: they only look. verify compares by region and sends
// no command that changes a flash; copies needs no device at all.
#include <filesystem>

#include "cli/cli_harness.h"
#include "firmware/header_block.h"

namespace qks::cli::test {
namespace {

using json = nlohmann::json;

class VerifyTest : public CliTest {
protected:
    // verify --json on the bridge, traced; every trace is checked for writes.
    json Verify(const std::string& bridge, std::vector<std::string> extra, int status) {
        const std::string trace = File("verify" + std::to_string(++runs_) + ".jsonl");
        std::vector<std::string> args = {"--trace", trace, "--emulate", bridge, "verify", "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto result = Run(args);
        EXPECT_EQ(result.status, status) << result.out << result.err;
        EXPECT_FALSE(Traced(trace).empty());
        EXPECT_TRUE(ModifyingCommands(trace).empty()) << trace;
        return json::parse(result.out);
    }
    int runs_ = 0;
};

TEST_F(VerifyTest, ComparesWithARecoveryAndWithACopyByRegionWritingNothing) {
    const std::string bridge = Bridge("q970", "f.bin");
    const auto fresh = CreateFlash(bridge, "f.bin");
    WriteBytes(File("fresh.bin"), fresh);

    // A fresh bridge holds an older firmware: its own header stays, the rest differs.
    json doc = Verify(bridge, {}, kExitFailed);
    EXPECT_EQ(doc.at("result"), "different");
    const json& d = doc.at("differing");
    EXPECT_EQ(d.at("header"), 0);
    EXPECT_GT(d.at("image"), 0);
    EXPECT_GT(d.at("beyond"), 0);
    EXPECT_EQ(d.at("total"), d.at("header").get<int>() + d.at("image").get<int>() +
                                 d.at("beyond").get<int>());
    EXPECT_EQ(Verify(bridge, {"--against", File("fresh.bin")}, kExitSuccess).at("result"), "equal");
    EXPECT_EQ(ReadBytes(File("f.bin")), fresh);

    ASSERT_EQ(Run({"--emulate", bridge, "recover", "--yes"}).status, kExitSuccess);
    doc = Verify(bridge, {}, kExitSuccess);
    EXPECT_EQ(doc.at("differing").at("total"), 0);
    EXPECT_TRUE(doc.at("first_difference").is_null());

    // Each region counted where it lies: one byte changed in each of a copy.
    size_t own = 0;
    while (HeaderMergeMask[own] < 256) ++own;
    const uint32_t imageEnd = doc.at("image_end");
    auto copy = ReadBytes(File("f.bin"));
    for (const size_t at : {own, size_t{0x200}, size_t{imageEnd} + 1}) copy[at] ^= 0x5A;
    WriteBytes(File("copy.bin"), copy);
    doc = Verify(bridge, {"--against", File("copy.bin")}, kExitFailed);
    EXPECT_EQ(doc.at("differing"), (json{{"header", 1}, {"image", 1}, {"beyond", 1}, {"total", 3}}));
    EXPECT_EQ(doc.at("first_difference"), own);

    // A file that cannot be a saved flash stops before any device is asked.
    copy.resize(65535);
    WriteBytes(File("short.bin"), copy);
    const auto shortFile =
        Run({"--emulate", bridge, "verify", "--against", File("short.bin")});
    EXPECT_EQ(shortFile.status, kExitUsage);
    EXPECT_NE(shortFile.err.find("65535 bytes"), std::string::npos) << shortFile.err;
    EXPECT_EQ(shortFile.commandsSent, 0u);

    // A chip erase took a 256 KB part whole, and the power failed while what
    // lay past 64 KB was written back: verify counts those bytes until the
    // next recovery has brought them back.
    const std::string amic = Bridge("q970", "amic.bin", "amic=1,size=256K");
    const auto whole = CreateFlash(amic, "amic.bin");
    WriteBytes(File("clean.bin"), whole);
    const std::string trace = File("clean.jsonl");
    ASSERT_EQ(Run({"--trace", trace, "--emulate", Bridge("q970", "clean.bin", "amic=1,size=256K"),
                   "recover", "--yes"}).status, kExitSuccess);
    uint64_t lastWrite = 0;
    for (const auto& record : Traced(trace))
        if (record.at("cdb").get<std::string>().rfind("ff0411", 0) == 0) lastWrite = record.at("seq");
    ASSERT_NE(Run({"--emulate", amic + ",powerloss=" + std::to_string(lastWrite), "recover", "--yes"}).status,
              kExitSuccess);
    EXPECT_GT(Verify(amic, {}, kExitFailed).at("differing").at("beyond"), 0);
    ASSERT_EQ(Run({"--emulate", amic, "recover", "--yes"}).status, kExitSuccess);
    EXPECT_EQ(Verify(amic, {}, kExitSuccess).at("differing").at("total"), 0);
    EXPECT_EQ(ReadBytes(File("amic.bin")), ReadBytes(File("clean.bin")));
}

// A recover cut off by a power loss in its first write leaves a copy and an
// unfinished write; with an older copy of the same enclosure and one of
// another, copies lists them per enclosure, newest first, and verify
// compares with the entry the next recovery finishes.
TEST_F(VerifyTest, CopiesListsCopiesAndUnfinishedWritesNewestFirst) {
    const std::string healthy = Bridge("q970", "h.bin");
    CreateFlash(healthy, "h.bin");
    ASSERT_EQ(Run({"--trace", File("h.jsonl"), "--emulate", healthy, "recover", "--yes"}).status,
              kExitSuccess);
    const auto strike = NthCommand(File("h.jsonl"), kWriteFlashCdb);
    ASSERT_TRUE(strike.has_value());
    const std::string bridge = Bridge("q970", "f.bin");
    const auto fresh = CreateFlash(bridge, "f.bin");
    std::filesystem::remove_all(File("backups"));
    std::filesystem::create_directories(File("backups"));
    WriteBytes(File("backups/EMU0-Q970-20200101T000000Z.bin"), fresh);
    WriteBytes(File("backups/OTHER-20210101T000000Z.bin"), fresh);
    const std::string cut = Bridge("q970", "f.bin", "powerloss=" + std::to_string(*strike));
    ASSERT_EQ(Run({"--emulate", cut, "recover", "--yes"}).status, kExitFailed);

    // No bridge is needed to list them.
    RunSettings noBridge;
    noBridge.adaptServices = NothingPlugged();
    const auto listed = Run({"copies", "--json"}, noBridge);
    ASSERT_EQ(listed.status, kExitSuccess) << listed.err;
    const json enclosures = json::parse(listed.out).at("enclosures");
    ASSERT_EQ(enclosures.size(), 2u) << listed.out;
    const json& mine = enclosures.at(0).at("serial") == "EMU0-Q970" ? enclosures.at(0) : enclosures.at(1);
    const json& entries = mine.at("entries");
    ASSERT_EQ(entries.size(), 3u) << listed.out;
    std::string entryPath;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(entries[i - 1].at("time"), entries[i].at("time"));
        }
        EXPECT_TRUE(std::filesystem::exists(entries[i].at("path").get<std::string>()));
        if (entries[i].at("state") == "unfinished_write") entryPath = entries[i].at("path");
    }
    EXPECT_TRUE(std::filesystem::equivalent(entries.at(2).at("path").get<std::string>(),
                                            File("backups/EMU0-Q970-20200101T000000Z.bin")));
    EXPECT_EQ(entries.at(2).at("size"), 65536);
    ASSERT_FALSE(entryPath.empty()) << listed.out;
    const auto text = Run({"copies"}, noBridge);
    EXPECT_NE(text.out.find("unfinished write (recover)"), std::string::npos) << text.out;

    const json doc = Verify(Bridge("q970", "f.bin"), {}, kExitFailed);
    EXPECT_EQ(doc.at("against").at("journal_entry"), entryPath);
}

}  // namespace
}  // namespace qks::cli::test
