// `recover --all` and station mode on emulated benches: every enclosure at
// once, one failing among them, the exit statuses, and the trace still one
// JSON line per command.
#include <chrono>
#include <sstream>
#include <thread>

#include "cli/cli_harness.h"
#include "emulator/platform.h"

namespace qks::cli::test {
namespace {

using nlohmann::json;

struct AllCase {
    std::string name;
    std::vector<std::string> bridges;
    int status;
    int successes;
    int failures;
};

class RecoverAllTest : public CliTest, public ::testing::WithParamInterface<AllCase> {};

TEST_P(RecoverAllTest, EveryBridgeAtOnceAndTheExitSaysHowItWent) {
    std::vector<std::string> args;
    for (const auto& bridge : GetParam().bridges) args.insert(args.end(), {"--emulate", bridge});
    args.insert(args.end(), {"--trace", File("trace.jsonl"), "recover", "--all", "--yes", "--json"});
    const auto result = Run(args);
    EXPECT_EQ(result.status, GetParam().status) << result.out << result.err;
    if (GetParam().successes + GetParam().failures == 0) return;
    const json document = json::parse(result.out);
    int successes = 0, failures = 0;
    for (const auto& device : document.at("devices")) {
        if (device.at("result") == "done") {
            ++successes;
            EXPECT_TRUE(device.at("copy").is_string()) << device;
        } else if (device.at("result") == "failed") {
            ++failures;
            EXPECT_FALSE(device.at("cause").at("message").get<std::string>().empty()) << device;
        }
    }
    EXPECT_EQ(successes, GetParam().successes);
    EXPECT_EQ(failures, GetParam().failures);
    std::istringstream trace(ReadText(File("trace.jsonl")));
    for (std::string line; std::getline(trace, line);)
        ASSERT_TRUE(json::accept(line)) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, RecoverAllTest,
    ::testing::Values(AllCase{"AllSucceed", {"q970", "q970:blockmode=1", "q970"}, kExitSuccess, 3, 0},
                      AllCase{"OneFailsTheOthersAreRecovered",
                              {"q970", "q970:flip=0x2000", "q970"}, kExitFailed, 2, 1},
                      AllCase{"AllAlreadyUpdated", {"q970:content=updated"}, kExitNothingToDo, 0, 0},
                      AllCase{"NoneFound", {"plain", "q719"}, kExitNoDevice, 0, 0},
                      // No fixed count: every enclosure on the bench is found.
                      AllCase{"TwentyEnclosures", std::vector<std::string>(20, "q970"),
                              kExitSuccess, 20, 0},
                      // One enclosure that shows a disk and a CD-ROM is written once.
                      AllCase{"TwoInterfacesOneEnclosure", {"q970:iface=both"}, kExitSuccess, 1, 0}),
    [](const auto& info) { return info.param.name; });

TEST_F(CliTest, RecoverAllWithoutATerminalOrYesSendsNothing) {
    const auto result = Run({"--emulate", "q970", "recover", "--all"});
    EXPECT_EQ(result.status, kExitUsage);
    EXPECT_FALSE(result.runtimeBuilt);
}

// Station mode: a bridge that arrives is recovered once; after its power
// cycle it is reported done. A failing one is not tried again while it
// stays plugged in.
TEST_F(CliTest, StationRecoversEachArrivalOnceAndSeesItComeBack) {
    struct Case {
        std::string bridge;
        bool replug;
        int status;
        const char* last;
    };
    for (const Case& c : {Case{"q970", true, kExitSuccess, "1 done, 0 failed, 0 recovered"},
                          Case{"q970:flip=0x2000", false, kExitFailed, "0 done, 1 failed, 0 recovered"}}) {
        std::thread plugger;
        RunSettings settings;
        settings.startedRuntime = [&](Runtime& runtime) {
            if (!c.replug) return;
            plugger = std::thread([&runtime] {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                runtime.Emulator()->Unplug(0);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                runtime.Emulator()->Plug(0);
            });
        };
        // The emulator goes with the command's runtime: the plugger ends first.
        settings.endingRuntime = [&](Runtime&) {
            if (plugger.joinable()) plugger.join();
        };
        const auto result = Run(
            {"--emulate", c.bridge, "watch", "--recover", "--yes", "--for", c.replug ? "2.5" : "1"},
            settings);
        EXPECT_EQ(result.status, c.status) << result.out << result.err;
        size_t tries = 0;
        for (size_t at = result.out.find(": recovering"); at != std::string::npos;
             at = result.out.find(": recovering", at + 1))
            ++tries;
        EXPECT_EQ(tries, 1u) << result.out;
        EXPECT_NE(result.out.find(c.last), std::string::npos) << result.out;
    }
}

// Station mode keys by enclosure: two that share a serial are two, and one
// with two interfaces is written once.
TEST_F(CliTest, StationRecoversEveryEnclosureOnceSharedSerialOrNot) {
    struct Case {
        std::vector<std::string> bridges;
        size_t tries;
        const char* last;
    };
    for (const Case& c : {Case{{"q970:serial=S", "q970:serial=S"}, 2, "0 done, 0 failed, 2 recovered"},
                          Case{{"q970:iface=both"}, 1, "0 done, 0 failed, 1 recovered"}}) {
        std::vector<std::string> args;
        for (const auto& bridge : c.bridges) args.insert(args.end(), {"--emulate", bridge});
        args.insert(args.end(), {"watch", "--recover", "--yes", "--for", "1"});
        const auto result = Run(args);
        EXPECT_EQ(result.status, kExitSuccess) << result.out << result.err;
        size_t tries = 0;
        for (size_t at = result.out.find(": recovering"); at != std::string::npos;
             at = result.out.find(": recovering", at + 1))
            ++tries;
        EXPECT_EQ(tries, c.tries) << result.out;
        EXPECT_NE(result.out.find(c.last), std::string::npos) << result.out;
    }
}

}  // namespace
}  // namespace qks::cli::test
