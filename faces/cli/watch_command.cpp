// `qks970 watch`: follows device notices and prints the screen after every
// refresh, until interrupted; how a bench operator sees an enclosure come
// back after its power cycle.
#include <atomic>
#include <chrono>

#include "faces/cli/commands.h"
#include "faces/cli/interrupt.h"
#include "faces/cli/notice_wait.h"

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
    if (!session->GetRuntime().Warning().empty())
        console.Err("qks970: " + session->GetRuntime().Warning());
    std::string why;
    const std::unique_ptr<NoticeWait> notices = OpenNoticeWait(session->GetRuntime(), window, why);
    if (!notices) console.Err("qks970: " + why);

    interrupted = false;
    const InterruptHandlers handlers(OnInterrupt);
    std::string shown = ScreenLine(window);
    console.Out(shown);
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
        const std::string now = ScreenLine(window);
        if (now != shown) console.Out(shown = now);
    }
    return kExitSuccess;
}

}  // namespace qks::cli
