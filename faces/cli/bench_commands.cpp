// `recover --all` and `watch --recover`: every QKS970/958 bridge on the
// bench recovered at once, each by its own operation on its own thread.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/bench.h"
#include "faces/cli/commands.h"
#include "faces/cli/device_commands.h"
#include "faces/cli/interrupt.h"

namespace qks::cli {

namespace {

std::string Name(const IdentifyReport& r, size_t number) {
    return "[" + std::to_string(number) + "] " + (r.info.serial.empty() ? r.info.path : r.info.serial);
}

std::string Cell(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

void PrintSummary(Console& console, const std::vector<BenchResult>& results,
                  const std::vector<size_t>& numbers, bool json) {
    if (json) {
        nlohmann::json document = {{"schema_version", 1},
                                   {"command", "recover --all"},
                                   {"devices", nlohmann::json::array()}};
        for (size_t i = 0; i < results.size(); ++i) {
            const auto& r = results[i];
            nlohmann::json device = {
                {"id", numbers[i]},
                {"path", r.device.info.path},
                {"serial", r.device.info.serial},
                {"result", r.outcome.Ok() ? "success" : "failure"},
                {"cause", r.outcome.Ok() ? nlohmann::json(nullptr) : nlohmann::json(r.outcome.CauseText())},
                {"backup", r.outcome.backupPath.empty() ? nlohmann::json(nullptr)
                                                        : nlohmann::json(r.outcome.backupPath)},
                {"seconds", r.seconds}};
            document["devices"].push_back(device);
        }
        console.Out(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
        return;
    }
    console.Out(Cell("DEVICE", 8) + Cell("SERIAL", 18) + Cell("RESULT", 9) + Cell("SECONDS", 9) +
                "CAUSE / BACKUP");
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& r = results[i];
        std::string detail = r.outcome.Ok() ? r.outcome.backupPath : r.outcome.CauseText();
        if (!r.outcome.Ok() && !r.outcome.backupPath.empty())
            detail += " (backup " + r.outcome.backupPath + ")";
        console.Out(Cell(std::to_string(numbers[i]), 8) +
                    Cell(r.device.info.serial.empty() ? "-" : r.device.info.serial, 18) +
                    Cell(r.outcome.Ok() ? "success" : "failure", 9) + Cell(Seconds(r.seconds), 9) +
                    (detail.empty() ? "-" : detail));
    }
}

std::atomic<bool> interrupted{false};
void OnInterrupt(int) { interrupted = true; }

}  // namespace

int RecoverAllCommand(const GlobalOptions& global, const RecoverOptions& options,
                      Console& console, const CliEnvironment& environment) {
    if (const auto refused = RefuseUnanswered(console, "recover --all", options, environment))
        return *refused;
    if (global.device)
        return Fail(console, options.json, kExitUsage, "--all works on every bridge; leave out --device");
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, options.json, kExitUsage, error);
    std::string error;
    auto session = Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!session) return Fail(console, options.json, kExitUsage, error);
    CliSink identifySink(console, global.verbosity, options.json);
    const DeviceServices& services = session->Services();
    const DeviceList list = IdentifyAll(services, identifySink);
    for (const auto& problem : list.problems) console.Err("qks970: " + problem);

    std::vector<IdentifyReport> waiting;
    std::vector<size_t> numbers;
    bool updated = false;
    for (size_t i = 0; i < list.devices.size(); ++i) {
        const auto& r = list.devices[i];
        updated = updated || (r.target && r.updated);
        if (!r.target || r.updated) continue;
        waiting.push_back(r);
        numbers.push_back(i);
    }
    if (waiting.empty()) {
        if (updated)
            return Fail(console, options.json, kExitNothingToDo,
                        "every QKS970/958 bridge already holds the embedded firmware");
        return Fail(console, options.json, list.problems.empty() ? kExitNoDevice : kExitNoAccess,
                    "no QKS970/958 bridge to recover was found");
    }
    EngineOptions engine;
    for (const auto& r : waiting) {
        const auto risk = DevelopmentImageRisk(services, r.Ref(), Flow::Recover);
        if (risk && !options.allowDevelopmentImage) {
            console.Err("qks970: " + Name(r, 0) + ": the built-in image is a development image");
            console.Err("qks970: nothing was written; give --allow-development-image to write it anyway");
            return kExitFailed;
        }
        if (risk) engine.developmentImageAccepted = true;
    }
    for (size_t i = 0; i < waiting.size(); ++i) console.Err(DeviceLine(waiting[i], numbers[i]));
    console.Err(ImageConfirmationText(services.images, kTargetImageName));
    if (!AskYesNo(console, "Recover these " + std::to_string(waiting.size()) + " bridges?", options.yes,
                  environment)) {
        console.Err("Not updated.");
        return kExitFailed;
    }

    // A terminal shows a line per enclosure, redrawn in place; anything
    // else gets a line per change of state.
    std::vector<std::string> lines(waiting.size());
    std::vector<BenchState> states(waiting.size(), BenchState::Waiting);
    const bool live = console.DrawsProgress();
    const auto observer = [&](size_t index, BenchState state, int percent) {
        const std::string name = Name(waiting[index], numbers[index]);
        if (live) {
            lines[index] = Cell(name, 24) + Cell(std::to_string(percent) + "%", 6) + BenchStateName(state);
            for (auto& line : lines)
                if (line.empty()) line = "waiting";
            console.DrawBlock(lines);
        } else if (states[index] != state) {
            console.Err(name + ": " + BenchStateName(state));
        }
        states[index] = state;
    };
    const auto results = RecoverAll(services, waiting, engine, observer);
    PrintSummary(console, results, numbers, options.json);
    for (const auto& r : results)
        if (!r.outcome.Ok()) return kExitFailed;
    return kExitSuccess;
}

int StationCommand(const GlobalOptions& global, double seconds, const RecoverOptions& options,
                   Console& console, const CliEnvironment& environment) {
    if (!options.yes)
        return Fail(console, false, kExitUsage,
                    "watch --recover writes every bridge that arrives without asking; give --yes "
                    "to say so");
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, false, kExitUsage, error);
    std::string error;
    auto session = Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!session) return Fail(console, false, kExitUsage, error);
    if (environment.startedRuntime) environment.startedRuntime(session->GetRuntime());
    const DeviceServices& services = session->Services();
    SilentSink silent;

    struct Worker {
        std::thread thread;
        std::atomic<bool> finished{false};
        Outcome outcome;
        IdentifyReport device;
    };
    std::map<std::string, std::unique_ptr<Worker>> working;
    std::set<std::string> present, failed, awaitingCycle;
    int done = 0, failures = 0;
    EngineOptions engine;
    engine.developmentImageAccepted = options.allowDevelopmentImage;

    interrupted = false;
    std::optional<InterruptHandlers> handlers(std::in_place, OnInterrupt);
    console.Out("Waiting for QKS970/958 bridges; each one that arrives is recovered once.");
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    while (!interrupted) {
        // Workers that have ended report first.
        for (auto it = working.begin(); it != working.end();) {
            Worker& w = *it->second;
            if (!w.finished) {
                ++it;
                continue;
            }
            w.thread.join();
            if (w.outcome.Ok()) {
                awaitingCycle.insert(it->first);
                console.Out(it->first + ": recovered; " +
                            Trimmed(Describe(ControlId::replugLable1).caption) + " " +
                            Trimmed(Describe(ControlId::replugLable2).caption));
            } else {
                failed.insert(it->first);
                ++failures;
                console.Out(it->first + ": failed: " + w.outcome.CauseText() +
                            " (not tried again until it is plugged in again)");
            }
            it = working.erase(it);
        }
        // What is plugged in now, by the USB serial (else the path).
        PathSlots slots;
        const int disks = EnumerateUsbDisks(services.enumerator, slots);
        const int total = disks + EnumerateUsbCdroms(services.enumerator, slots, disks);
        (void)services.enumerator.TakeProblems();
        std::map<std::string, std::pair<InterfaceInfo, InterfaceClass>> now;
        for (int i = 0; i < total; ++i) {
            const InterfaceInfo& info = slots.slot[static_cast<size_t>(i)];
            now.emplace(info.serial.empty() ? info.path : info.serial,
                        std::make_pair(info, i < disks ? InterfaceClass::Disk : InterfaceClass::Cdrom));
        }
        for (auto it = present.begin(); it != present.end();) {
            if (now.count(*it) || working.count(*it)) {
                ++it;
                continue;
            }
            failed.erase(*it);   // unplugged: the next arrival is a new try
            it = present.erase(it);
        }
        for (const auto& [key, found] : now) {
            if (present.count(key)) continue;
            present.insert(key);
            const IdentifyReport report = Identify(services, found.first, found.second, silent);
            if (!report.target) continue;
            if (report.updated) {
                if (awaitingCycle.erase(key)) {
                    ++done;
                    console.Out(key + ": done, it runs the new firmware");
                } else {
                    console.Out(key + ": already updated");
                }
                continue;
            }
            if (failed.count(key)) continue;
            console.Out(key + ": recovering " + report.info.path);
            auto worker = std::make_unique<Worker>();
            worker->device = report;
            Worker* w = worker.get();
            worker->thread = std::thread([&services, &engine, w] {
                SilentSink sink;
                w->outcome = RecoverDevice(services, w->device.Ref(), engine, sink);
                w->finished = true;
            });
            working.emplace(key, std::move(worker));
        }
        if (seconds > 0 && Clock::now() - started >= std::chrono::duration<double>(seconds)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& [key, w] : working) {
        w->thread.join();
        if (w->outcome.Ok()) {
            awaitingCycle.insert(key);
            console.Out(key + ": recovered; power-cycle it to finish");
        } else {
            ++failures;
            console.Out(key + ": failed: " + w->outcome.CauseText());
        }
    }
    handlers.reset();
    console.Out(std::to_string(done) + " done, " + std::to_string(failures) + " failed, " +
                std::to_string(awaitingCycle.size()) + " recovered and waiting for a power cycle");
    return failures == 0 ? kExitSuccess : kExitFailed;
}

}  // namespace qks::cli
