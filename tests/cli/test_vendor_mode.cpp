// Every command-line flow on bridges that take flash, ROM and block
// commands only in vendor mode: each reaches its device through the one
// discovery, which sends EnterVendorMode first; the CD-ROM interfaces it
// marked leave vendor mode when the command ends.
#include "cli/cli_harness.h"
#include "emulator/platform.h"

namespace qks::cli::test {
namespace {

struct FlowCase {
    std::string name;
    std::string profile;
    // FW: a firmware file tagged for the q719; OUT: a file to save to;
    // SAVED: the bridge's own flash, saved before.
    std::vector<std::string> args;
};

class VendorModeFlow : public CliTest, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(VendorModeFlow, ReachesTheFlashOnlyAfterEnterVendorMode) {
    const FlowCase& c = GetParam();
    const std::string bridge = Bridge(c.profile, "f.bin", "vendormode=1");
    const auto flash = CreateFlash(bridge, "f.bin");
    std::vector<std::string> args = {"--emulate", bridge};
    for (const auto& arg : c.args) {
        if (arg == "FW") args.push_back(TaggedFile("fw.bin", "7190"));
        else if (arg == "OUT") args.push_back(File("out.bin"));
        else if (arg == "SAVED") {
            WriteBytes(File("saved.bin"), {flash.begin(), flash.begin() + 65536});
            args.push_back(File("saved.bin"));
        } else args.push_back(arg);
    }
    const auto result = Run(args);
    EXPECT_EQ(result.status, kExitSuccess) << result.out << result.err;
    EXPECT_EQ(result.err.find("05/24/83"), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("failed:"), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, VendorModeFlow,
    ::testing::Values(FlowCase{"Recover", "q970", {"recover", "--yes"}},
                      FlowCase{"RecoverAll", "q970", {"recover", "--all", "--yes"}},
                      FlowCase{"StationRecover", "q970", {"watch", "--recover", "--yes", "--for", "1"}},
                      FlowCase{"Run", "q719", {"run", "--yes", "--firmware", "FW"}},
                      FlowCase{"Erase", "q719", {"erase", "--yes"}},
                      FlowCase{"Backup", "q719", {"backup", "OUT"}},
                      FlowCase{"Restore", "q970", {"restore", "SAVED", "--yes"}}),
    [](const auto& info) { return info.param.name; });

// A bridge that shows a disk and a CD-ROM: the CD-ROM row is put in vendor
// mode again and leaves it when the command ends; the disk row stays.
TEST_F(CliTest, TheCdromRowLeavesVendorModeWhenTheCommandEnds) {
    bool inVendorMode = true;
    RunSettings settings;
    settings.endingRuntime = [&](Runtime& runtime) {
        inVendorMode = runtime.Emulator()->Bridge(0).InVendorMode();
    };
    const auto result = Run({"--emulate", "q970:iface=both,vendormode=1", "list"}, settings);
    EXPECT_EQ(result.status, kExitSuccess) << result.err;
    EXPECT_FALSE(inVendorMode);
}

}  // namespace
}  // namespace qks::cli::test
