// `recover --all` and `watch --recover`: every QKS970/958 bridge on the
// bench recovered at once, each by its own operation on its own thread.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/bench.h"
#include "faces/cli/commands.h"
#include "faces/cli/device_commands.h"
#include "operations/discovery.h"
#include "faces/cli/interrupts.h"
#include "faces/cli/json_documents.h"

namespace qks::cli {

namespace {

std::string Name(const IdentifyReport& r) {
    // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) on a chain
    // of + that begins with a short literal.
    std::string name = "[";
    name += std::to_string(r.number);
    name += "] ";
    name += r.info.serial.empty() ? r.info.path : r.info.serial;
    return name;
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

// Where a row ends: the reminder that finishes a recovery, or its cause.
std::string RowEnd(const Outcome& outcome) {
    return outcome.Ok() ? "done: power-cycle it" : "failed: " + outcome.CauseText();
}

// While it works: the phase, or the wait on the flash's busy bit.
std::string RowNow(const BenchProgress& progress) {
    if (progress.state == BenchState::Waiting) return "waiting";
    std::string text = progress.phase ? PhaseName(*progress.phase) : "starting";
    if (progress.waitedMs)
        text += ", waiting for the flash (" + std::to_string(*progress.waitedMs / 1000) + " s)";
    return text;
}

struct Skipped {
    IdentifyReport device;
    std::string why;
};

// The enclosures --all leaves alone, one row each, with the reason.
std::vector<Skipped> SkippedEnclosures(const Discovery& list) {
    std::set<size_t> recovered;
    for (const size_t index : list.ListedEnclosures()) recovered.insert(list.devices[index].enclosure);
    std::vector<Skipped> skipped;
    std::set<size_t> seen;
    for (const auto& r : list.devices) {
        if (recovered.count(r.enclosure) || !seen.insert(r.enclosure).second) continue;
        skipped.push_back({r, r.target && r.updated ? "already updated"
                              : r.target            ? "not offered a recovery"
                                                    : "not a QKS970/958 bridge"});
    }
    return skipped;
}

std::string CountsLine(size_t done, size_t failed, size_t skipped) {
    std::string line = std::to_string(done) + " done, " + std::to_string(failed) + " failed, " +
                       std::to_string(skipped) + " skipped";
    if (done > 0)
        line += "; power-cycle each one done to finish it";
    return line;
}

// Every device found, in list order, with what --all made of it: done or
// failed (each enclosure written once), declined, or skipped and why.
Json AllDocument(const Discovery& list, const std::vector<BenchResult>& results,
                 const std::vector<IdentifyReport>& waiting, const char* result,
                 const Json& image) {
    std::map<size_t, const BenchResult*> byNumber;
    for (const auto& r : results) byNumber[r.device.number] = &r;
    std::map<size_t, size_t> writtenOfEnclosure;  // enclosure: the device number written
    for (const auto& r : waiting) writtenOfEnclosure.emplace(r.enclosure, r.number);
    std::map<size_t, size_t> firstOfEnclosure;
    std::map<std::string, size_t> counts = {
        {"done", 0}, {"failed", 0}, {"declined", 0}, {"skipped", 0}};
    Json document = JsonDocument("recover --all");
    document["result"] = result;
    document["image"] = image;
    document["devices"] = Json::array();
    for (const auto& d : list.devices) {
        Json row = {{"device", DeviceJson(d)}, {"result", "skipped"}, {"why", nullptr},
                    {"cause", nullptr},        {"copy", nullptr},     {"device_changed", false},
                    {"seconds", nullptr}};
        const auto written = writtenOfEnclosure.find(d.enclosure);
        const auto first = firstOfEnclosure.emplace(d.enclosure, d.number).first;
        if (written != writtenOfEnclosure.end() && written->second == d.number) {
            if (const auto found = byNumber.find(d.number); found != byNumber.end()) {
                const Outcome& outcome = found->second->outcome;
                row["result"] = outcome.Ok() ? "done" : "failed";
                row["cause"] = outcome.Ok() ? Json(nullptr) : CauseJson(outcome);
                row["copy"] = PathOrNull(outcome.backupPath);
                row["device_changed"] = outcome.Ok() || outcome.failure->deviceChanged;
                row["seconds"] = found->second->seconds;
            } else {
                row["result"] = "declined";
            }
        } else if (written != writtenOfEnclosure.end() || first->second != d.number) {
            const size_t other =
                written != writtenOfEnclosure.end() ? written->second : first->second;
            row["why"] = "same enclosure as device " + std::to_string(other);
        } else {
            row["why"] = d.target && d.updated ? "already updated"
                         : d.target            ? "not offered a recovery"
                                               : "not a QKS970/958 bridge";
        }
        ++counts[row["result"].get<std::string>()];
        document["devices"].push_back(std::move(row));
    }
    document["counts"] = {{"done", counts["done"]},
                          {"failed", counts["failed"]},
                          {"declined", counts["declined"]},
                          {"skipped", counts["skipped"]}};
    return document;
}

void PrintSummary(Console& console, const std::vector<BenchResult>& results,
                  const std::vector<Skipped>& skipped) {
    size_t done = 0;
    for (const auto& r : results) done += r.outcome.Ok() ? 1 : 0;
    const std::string counts = CountsLine(done, results.size() - done, skipped.size());
    if (console.Quiet()) {
        for (const auto& r : results)
            if (!r.outcome.Ok()) console.Err("qks970: " + Name(r.device) + ": " + r.outcome.CauseText());
        console.Out(counts);
        return;
    }
    console.Out(Cell("DEVICE", 8) + Cell("SERIAL", 18) + Cell("RESULT", 9) + Cell("SECONDS", 9) +
                "CAUSE / BACKUP");
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& r = results[i];
        std::string detail = r.outcome.Ok() ? r.outcome.backupPath : r.outcome.CauseText();
        if (!r.outcome.Ok() && !r.outcome.backupPath.empty())
            detail += " (backup " + r.outcome.backupPath + ")";
        console.Out(Cell(std::to_string(r.device.number), 8) +
                    Cell(r.device.info.serial.empty() ? "-" : r.device.info.serial, 18) +
                    Cell(r.outcome.Ok() ? "done" : "failed", 9) + Cell(Seconds(r.seconds), 9) +
                    (detail.empty() ? "-" : detail));
    }
    for (const auto& s : skipped)
        console.Out(Cell(std::to_string(s.device.number), 8) +
                    Cell(s.device.info.serial.empty() ? "-" : s.device.info.serial, 18) +
                    Cell("skipped", 9) + Cell("-", 9) + s.why);
    console.Out(counts);
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
    VendorModeRelease release(services);
    const Discovery list = Discover(services, DiscoveryOptions{}, identifySink);
    release.Take(list);
    for (const auto& problem : list.problems) console.Err("qks970: " + problem);

    // Each enclosure once, however many of its interfaces are listed.
    std::vector<IdentifyReport> waiting;
    for (const size_t index : list.ListedEnclosures()) waiting.push_back(list.devices[index]);
    const Json image = ImageJson(services.images, kTargetImageName);
    if (waiting.empty()) {
        // What was found is still listed, each device with why it is left alone.
        const bool updated = list.recoveryScreen == DiscoveredScreen::AlreadyUpdated;
        if (options.json && !list.devices.empty()) {
            console.Out(DumpJson(AllDocument(list, {}, waiting, "nothing_to_do", image)));
            console.Err(updated
                            ? "qks970: every QKS970/958 bridge already holds the embedded firmware"
                            : "qks970: no QKS970/958 bridge to recover was found");
            return updated                 ? kExitNothingToDo
                   : list.problems.empty() ? kExitNoDevice
                                           : kExitNoAccess;
        }
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
            console.Err("qks970: " + Name(r) + ": the built-in image is a development image");
            return Fail(console, options.json, kExitFailed,
                        "nothing was written; give --allow-development-image to write it anyway");
        }
        if (risk) engine.developmentImageAccepted = true;
    }
    for (const auto& r : waiting) console.Err(DeviceLine(r));
    console.Err(ImageConfirmationText(services.images, kTargetImageName));
    if (!AskYesNo(console, "Recover these " + std::to_string(waiting.size()) + " bridges?", options.yes,
                  environment)) {
        console.Err("Not updated.");
        if (options.json) console.Out(DumpJson(AllDocument(list, {}, waiting, "declined", image)));
        return kExitDeclined;
    }

    // A terminal shows a line per enclosure, redrawn in place; anything
    // else gets a line per change of state.
    std::vector<std::string> lines(waiting.size());
    std::vector<std::string> shown(waiting.size());
    std::vector<int> percents(waiting.size(), 0);
    const bool live = console.DrawsProgress() && !options.json;
    const auto row = [&](size_t index, int percent, const std::string& text) {
        return Cell(Name(waiting[index]), 24) + Cell(std::to_string(percent) + "%", 6) + text;
    };
    // From the first copy kept before an erase until every row has ended,
    // an interrupt must not cut any of the writes short.
    std::optional<InterruptHold> hold;
    // Rows end when every operation has: the outcome is known only then.
    const auto observer = [&](size_t index, const BenchProgress& progress) {
        if (!progress.copyPath.empty() && !hold)
            hold.emplace(InterruptHold::Notice{
                "qks970: finishing the writes under way; each copy's path is in the table at the "
                "end"});
        if (progress.state != BenchState::Working) return;
        const std::string now = RowNow(progress);
        percents[index] = progress.percent;
        if (live) {
            lines[index] = row(index, progress.percent, now);
            for (size_t i = 0; i < lines.size(); ++i)
                if (lines[i].empty()) lines[i] = row(i, 0, "waiting");
            console.DrawBlock(lines);
        } else if (shown[index] != now && !progress.waitedMs) {
            console.Err(Name(waiting[index]) + ": " + now);
        }
        shown[index] = now;
    };
    const auto results = RecoverAll(services, waiting, engine, observer);
    hold.reset();
    if (live) {
        for (size_t i = 0; i < results.size(); ++i)
            lines[i] = row(i, results[i].outcome.Ok() ? 100 : percents[i], RowEnd(results[i].outcome));
        console.DrawBlock(lines);
    } else if (!options.json) {
        for (const auto& r : results) console.Err(Name(r.device) + ": " + RowEnd(r.outcome));
    }
    bool failed = false;
    for (const auto& r : results) failed = failed || !r.outcome.Ok();
    if (options.json)
        console.Out(
            DumpJson(AllDocument(list, results, waiting, failed ? "failure" : "success", image)));
    else
        PrintSummary(console, results, SkippedEnclosures(list));
    return failed ? kExitFailed : kExitSuccess;
}

int StationCommand(const GlobalOptions& global, double seconds, const RecoverOptions& options,
                   Console& console, const CliEnvironment& environment) {
    if (!options.yes)
        return Fail(console, options.json, kExitUsage,
                    "watch --recover writes every bridge that arrives without asking; give --yes "
                    "to say so");
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, options.json, kExitUsage, error);
    std::string error;
    auto session = Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!session) return Fail(console, options.json, kExitUsage, error);
    if (environment.startedRuntime) environment.startedRuntime(session->GetRuntime());
    const DeviceServices& services = session->Services();
    VendorModeRelease release(services);

    struct Worker {
        std::thread thread;
        std::atomic<bool> finished{false};
        Outcome outcome;
        IdentifyReport device;
        std::string label;
    };
    // By enclosure: two interfaces of one USB device are written once, and
    // two enclosures that share a serial are two.
    std::map<std::string, std::unique_ptr<Worker>> working;
    std::map<std::string, std::string> enclosureOfPath;   // paths asked, still present
    std::set<std::string> present, failed, awaitingCycle;
    int done = 0, failures = 0;
    EngineOptions engine;
    engine.developmentImageAccepted = options.allowDevelopmentImage;
    const auto labelOf = [](const IdentifyReport& r) {
        return r.info.serial.empty() ? r.info.path : r.info.serial + " at " + r.info.path;
    };
    const auto lower = [](std::string text) {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return text;
    };

    // Each line of the text is, with --json, one document on one line.
    const Json image = ImageJson(services.images, kTargetImageName);
    const auto say = [&](const std::string& line, const char* event, const IdentifyReport& device,
                         const Outcome* outcome) {
        if (!options.json) {
            console.Out(line);
            return;
        }
        Json row = JsonDocument("watch --recover");
        row["event"] = event;
        row["device"] = DeviceJson(device);
        row["image"] = image;
        row["copy"] = PathOrNull(outcome ? outcome->backupPath : "");
        row["device_changed"] = outcome && (outcome->Ok() || outcome->failure->deviceChanged);
        row["cause"] = outcome && !outcome->Ok() ? CauseJson(*outcome) : Json(nullptr);
        console.Out(DumpJson(row, -1));
    };

    interrupted = false;
    std::optional<InterruptHandlers> handlers(std::in_place, OnInterrupt);
    if (!options.json)
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
                say(w.label + ": recovered; " + Trimmed(Describe(ControlId::replugLable1).caption) +
                        " " + Trimmed(Describe(ControlId::replugLable2).caption),
                    "recovered", w.device, &w.outcome);
            } else {
                failed.insert(it->first);
                ++failures;
                say(w.label + ": failed: " + w.outcome.CauseText() +
                        " (not tried again until it is plugged in again)",
                    "failed", w.device, &w.outcome);
            }
            it = working.erase(it);
        }
        // What is plugged in now; an enclosure whose every interface has
        // gone is unplugged, and its next arrival is a new try.
        PathSlots slots;
        const int disks = EnumerateUsbDisks(services.enumerator, slots);
        EnumerateUsbCdroms(services.enumerator, slots, disks);
        (void)services.enumerator.TakeProblems();
        std::set<std::string> now;
        for (const auto& info : slots.slot) now.insert(lower(info.path));
        bool arrived = false;
        for (auto it = enclosureOfPath.begin(); it != enclosureOfPath.end();)
            it = now.count(it->first) ? std::next(it) : enclosureOfPath.erase(it);
        for (const auto& path : now) arrived = arrived || !enclosureOfPath.count(path);
        for (auto it = present.begin(); it != present.end();) {
            bool still = working.count(*it) > 0;
            for (const auto& [path, key] : enclosureOfPath) still = still || key == *it;
            if (still) {
                ++it;
                continue;
            }
            failed.erase(*it);
            it = present.erase(it);
        }
        if (arrived) {
            // Only the paths not asked before: the others are known.
            DiscoveryOptions asked;
            asked.skip = [&](const InterfaceInfo& info) {
                return enclosureOfPath.count(lower(info.path)) > 0;
            };
            SilentSink silent;
            const Discovery d = Discover(services, asked, silent);
            release.Take(d);
            std::set<std::string> arrivedNow;
            for (const auto& r : d.devices) {
                enclosureOfPath[lower(r.info.path)] = r.enclosureKey;
                if (present.count(r.enclosureKey) == 0) arrivedNow.insert(r.enclosureKey);
            }
            for (const std::string& key : arrivedNow) {
                present.insert(key);
                const IdentifyReport* waiting = nullptr;
                const IdentifyReport* updated = nullptr;
                for (const size_t index : d.listed)
                    if (d.devices[index].enclosureKey == key && !waiting) waiting = &d.devices[index];
                for (const auto& r : d.devices)
                    if (r.enclosureKey == key && r.target && r.updated && !updated) updated = &r;
                if (!waiting) {
                    if (!updated) continue;
                    if (awaitingCycle.erase(key)) {
                        ++done;
                        say(labelOf(*updated) + ": done, it runs the new firmware", "done",
                            *updated, nullptr);
                    } else {
                        say(labelOf(*updated) + ": already updated", "already_updated", *updated,
                            nullptr);
                    }
                    continue;
                }
                if (failed.count(key)) continue;
                say(labelOf(*waiting) + ": recovering " + waiting->info.path, "recovering",
                    *waiting, nullptr);
                auto worker = std::make_unique<Worker>();
                worker->device = *waiting;
                worker->label = labelOf(*waiting);
                Worker* w = worker.get();
                worker->thread = std::thread([&services, &engine, w] {
                    SilentSink sink;
                    w->outcome = RecoverDevice(services, w->device.Ref(), engine, sink);
                    w->finished = true;
                });
                working.emplace(key, std::move(worker));
            }
        }
        if (seconds > 0 && Clock::now() - started >= std::chrono::duration<double>(seconds)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& [key, w] : working) {
        w->thread.join();
        if (w->outcome.Ok()) {
            awaitingCycle.insert(key);
            say(w->label + ": recovered; power-cycle it to finish", "recovered", w->device,
                &w->outcome);
        } else {
            ++failures;
            say(w->label + ": failed: " + w->outcome.CauseText(), "failed", w->device, &w->outcome);
        }
    }
    handlers.reset();
    if (options.json) {
        Json summary = JsonDocument("watch --recover");
        summary["event"] = "summary";
        summary["counts"] = {
            {"done", done}, {"failed", failures}, {"awaiting_power_cycle", awaitingCycle.size()}};
        console.Out(DumpJson(summary, -1));
    } else {
        console.Out(std::to_string(done) + " done, " + std::to_string(failures) + " failed, " +
                    std::to_string(awaitingCycle.size()) +
                    " recovered and waiting for a power cycle");
    }
    return failures == 0 ? kExitSuccess : kExitFailed;
}

}  // namespace qks::cli
