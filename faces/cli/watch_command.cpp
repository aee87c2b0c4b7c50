// `qks970 watch`: follows device notices and prints the screen the window
// would show after every refresh, until interrupted; how a bench operator
// sees an enclosure come back after its power cycle. Each refresh is one
// discovery; with --json it is one JSON document on one line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include <nlohmann/json.hpp>

#include "device/device_notifier.h"
#include "faces/cli/commands.h"
#include "faces/cli/device_commands.h"
#include "faces/cli/interrupts.h"
#include "faces/cli/notice_wait.h"
#include "operations/discovery.h"

namespace qks::cli {

namespace {
std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted = true; }

const char* ScreenNameOf(DiscoveredScreen screen) {
    switch (screen) {
        case DiscoveredScreen::Confirm: return "Confirm";
        case DiscoveredScreen::AlreadyUpdated: return "AlreadyUpdated";
        case DiscoveredScreen::NoDevice: break;
    }
    return "NoDevice";
}

std::string ScreenLine(const Discovery& d) {
    std::string line = std::string("[") + ScreenNameOf(d.screen) + "] " + ScreenText(d.screen);
    for (const size_t index : d.listed) line += "\n  <<USB>> " + d.devices[index].name;
    return line;
}

std::string ScreenDocument(const Discovery& d, const CliSink& sink) {
    Json document = JsonDocument("watch");
    document["screen"] = ScreenNameOf(d.screen);
    document["screen_text"] = ScreenText(d.screen);
    document["listed"] = d.listed;
    document["devices"] = Json::array();
    for (const auto& r : d.devices) document["devices"].push_back(DeviceJson(r));
    document["messages"] = MessagesJson(sink.Messages());
    document["problems"] = d.problems;
    return DumpJson(document, -1);
}
}  // namespace

int WatchCommand(const GlobalOptions& global, double seconds, bool json, Console& console,
                 const CliEnvironment& environment) {
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, json, kExitUsage, error);
    // Set by the notifier's thread of delivery, read here; it outlives the session.
    auto noticed = std::make_shared<std::atomic<bool>>(false);
    std::string error;
    auto session =
        Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!session) return Fail(console, json, kExitUsage, error);
    if (!session->GetRuntime().Warning().empty())
        console.Err("qks970: " + session->GetRuntime().Warning());
    const DeviceServices& services = session->Services();
    VendorModeRelease release(services);
    std::string why;
    const std::unique_ptr<NoticeWait> notices =
        OpenNoticeWait(session->GetRuntime(),
                       [noticed](uint32_t code) {
                           if (code == kDeviceArrival || code == kDeviceRemoveComplete) *noticed = true;
                       },
                       why);
    if (!notices) console.Err("qks970: " + why);

    std::string shown;
    std::vector<std::string> problemsShown;
    // The window shows the recovery screen; what it lists is what YES would write.
    const auto refresh = [&] {
        CliSink sink(console, global.verbosity, json);
        DiscoveryOptions options;
        options.details = json;
        const Discovery d = Discover(services, options, sink);
        release.Take(d);
        for (const auto& problem : d.problems) {
            if (std::find(problemsShown.begin(), problemsShown.end(), problem) != problemsShown.end())
                continue;
            problemsShown.push_back(problem);
            console.Err("qks970: " + problem);
        }
        const std::string now = json ? ScreenDocument(d, sink) : ScreenLine(d);
        if (json || now != shown) console.Out(shown = now);
    };

    interrupted = false;
    const InterruptHandlers handlers(OnInterrupt);
    refresh();
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    // Short slices, so that an interrupt is seen soon on every system.
    constexpr int kSliceMs = 200;
    while (notices && !interrupted) {
        int slice = kSliceMs;
        if (seconds > 0) {
            const auto left = limit - (Clock::now() - started);
            if (left <= Clock::duration::zero()) break;
            const auto leftMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            if (leftMs < slice) slice = static_cast<int>(leftMs);
        }
        notices->WaitUpTo(slice);
        if (noticed->exchange(false)) refresh();
    }
    return kExitSuccess;
}

}  // namespace qks::cli
