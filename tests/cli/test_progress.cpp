// What a terminal shows while a flow runs: its phases in order with bytes
// and time left, the wait on a flash whose busy bit never clears, the one
// line of --quiet, and the rows and counts of recover --all.
#include <regex>

#include "cli/cli_harness.h"

namespace qks::cli::test {
namespace {

// The phases the progress line named, one entry per change, in order.
std::vector<std::string> PhasesShown(const std::string& err) {
    static const std::regex kPhase("(copy|erase|write|verify) [0-9]+/[0-9]+ KB");
    std::vector<std::string> phases;
    for (std::sregex_iterator it(err.begin(), err.end(), kPhase), end; it != end; ++it)
        if (phases.empty() || phases.back() != (*it)[1]) phases.push_back((*it)[1]);
    return phases;
}

int Rank(const std::string& phase) {
    static const std::vector<std::string> kOrder = {"copy", "erase", "write", "verify"};
    return static_cast<int>(std::find(kOrder.begin(), kOrder.end(), phase) - kOrder.begin());
}

struct PhaseCase {
    std::string name;
    std::string keys;   // of a q970
    std::vector<std::string> extra;
    bool terminal;
    std::vector<std::string> phases;   // none: no progress line at all
};

class PhaseTest : public CliTest, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(PhaseTest, PhasesComeInOrderWithTimeLeftOnlyOnATerminal) {
    const auto& c = GetParam();
    std::vector<std::string> args = {"--emulate", Bridge("q970", "flash.bin", c.keys), "recover", "--yes"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunSettings settings;
    settings.errIsTerminal = c.terminal;
    const auto result = Run(args, settings);
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const auto phases = PhasesShown(result.err);
    EXPECT_EQ(phases, c.phases) << result.err;
    for (size_t i = 1; i < phases.size(); ++i) EXPECT_LT(Rank(phases[i - 1]), Rank(phases[i]));
    EXPECT_EQ(result.err.find(" s left") != std::string::npos, !phases.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cli, PhaseTest,
    ::testing::Values(
        PhaseCase{"PagedWrite", "", {}, true, {"copy", "erase", "write", "verify"}},
        // The block path erases as it writes: no erase phase of its own.
        PhaseCase{"BlockWrite", "blockmode=1", {}, true, {"copy", "write", "verify"}},
        PhaseCase{"NotATerminal", "", {}, false, {}},
        PhaseCase{"Json", "", {"--json"}, true, {}},
        PhaseCase{"Quiet", "", {"--quiet"}, true, {}}),
    [](const auto& info) { return info.param.name; });

TEST_F(CliTest, AFlashThatStaysBusyIsSeenWaitedOnEverySecond) {
    RunSettings settings;
    settings.errIsTerminal = true;
    const auto result = Run({"--emulate", Bridge("q970", "flash.bin", "busy=stuck,vendor=0"),
                             "recover", "--yes"},
                            settings);
    for (const char* seconds : {"(1 s)", "(2 s)", "(5 s)"})
        EXPECT_NE(result.err.find(std::string("waiting for the flash ") + seconds), std::string::npos)
            << seconds;
}

TEST_F(CliTest, QuietPrintsTheOutcomeLineAndAFailureItsCauseOnly) {
    struct Case {
        std::string keys;
        int status;
        std::string out;
        std::string errStart;
    };
    for (const Case& c : {Case{"", kExitSuccess, "Please un-plug AC adapter and plug it again\n", ""},
                          Case{"flip=0x2000", kExitFailed, "", "qks970: recover: "}}) {
        SCOPED_TRACE(c.keys);
        RunSettings settings;
        settings.errIsTerminal = true;
        const auto result = Run({"--quiet", "--emulate", Bridge("q970", "flash.bin", c.keys),
                                 "recover", "--yes"},
                                settings);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(CountLines(result.err), c.errStart.empty() ? 0u : 1u) << result.err;
        EXPECT_EQ(result.err.rfind(c.errStart, 0), 0u) << result.err;
        std::filesystem::remove(File("flash.bin"));
    }
}

TEST_F(CliTest, RecoverAllRowsEndInTheReminderOrTheCauseAndTheCountsSumUp) {
    const auto result =
        Run({"--emulate", "q970", "--emulate", "q970:flip=0x2000", "--emulate", "q970:content=updated",
             "--emulate", "plain", "recover", "--all", "--yes"});
    EXPECT_EQ(result.status, kExitFailed);
    EXPECT_NE(result.err.find("[0] EMU0-Q970: done: power-cycle it"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("[1] EMU1-Q970: failed: recover: "), std::string::npos) << result.err;
    // The last row a worker reaches before its end is a phase, in order.
    EXPECT_LT(result.err.find("[0] EMU0-Q970: write"), result.err.find("[0] EMU0-Q970: verify"));
    const std::string last = result.out.substr(result.out.rfind('\n', result.out.size() - 2) + 1);
    EXPECT_EQ(last.rfind("1 done, 1 failed, 2 skipped; power-cycle", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("skipped  -        already updated"), std::string::npos) << result.out;

    const auto quiet = Run({"-q", "--emulate", "q970", "--emulate", "q970", "recover", "--all", "--yes"});
    EXPECT_EQ(quiet.status, kExitSuccess);
    EXPECT_EQ(quiet.out, "2 done, 0 failed, 0 skipped; power-cycle each one done to finish it\n");
    EXPECT_EQ(quiet.err, "");
}

}  // namespace
}  // namespace qks::cli::test
