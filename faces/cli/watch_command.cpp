// `qks970 watch`: follows device notices and prints the screen after every
// refresh, until interrupted; how a bench operator sees an enclosure come
// back after its power cycle.
#include <poll.h>

#include <atomic>
#include <csignal>

#include "faces/cli/commands.h"
#include "faces/cli/status_text.h"

namespace qks::cli {

namespace {
std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted = true; }

std::string ScreenLine(TQ71xFwTool& window) {
    std::string line = std::string("[") + ScreenName(window.CurrentScreen()) + "] ";
    if (window.CurrentScreen() == Screen::Success)
        return line + Trimmed(window.Control(ControlId::replugLable1).text) + " " +
               window.Control(ControlId::replugLable2).text;
    line += Trimmed(window.Control(ControlId::devLable).text);
    for (const auto& item : window.Control(ControlId::DeviceList).items)
        if (window.DeviceCount() > 0) line += "\n  " + item;
    return line;
}
}  // namespace

int WatchCommand(const GlobalOptions& global, double seconds, Console& console,
                 const CliEnvironment& environment) {
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, false, kExitUsage, error);
    std::string error;
    auto session =
        Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!session) return Fail(console, false, kExitUsage, error);
    TQ71xFwTool& window = session->Window();
    DeviceNotifier* notifier = session->GetRuntime().Notifier();
    const int fd = notifier ? notifier->EventFd() : -1;
    if (!session->GetRuntime().Warning().empty())
        console.Err("qks970: " + session->GetRuntime().Warning());
    if (fd < 0) console.Err("qks970: no device notices here; showing the first refresh only");

    interrupted = false;
    auto* previousInt = std::signal(SIGINT, OnInterrupt);
    auto* previousTerm = std::signal(SIGTERM, OnInterrupt);
    std::string shown = ScreenLine(window);
    console.Out(shown);
    const int limitMs = seconds > 0 ? static_cast<int>(seconds * 1000) : -1;
    int waitedMs = 0;
    while (fd >= 0 && !interrupted && (limitMs < 0 || waitedMs < limitMs)) {
        pollfd readable{fd, POLLIN, 0};
        const int slice = 200;
        if (::poll(&readable, 1, slice) > 0) notifier->DispatchEvents();
        waitedMs += slice;
        const std::string now = ScreenLine(window);
        if (now != shown) console.Out(shown = now);
    }
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    return kExitSuccess;
}

}  // namespace qks::cli
