#include "faces/cli/verify_command.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "faces/cli/device_commands.h"
#include "operations/saved_writes.h"
#include "operations/verify.h"

namespace qks::cli {

namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// Nothing is ever written here: a cause is the user's to fix (2) or the
// device's (1).
int StatusOfFailure(const Failure& failure) {
    const FailureKind kind = failure.kind;
    return kind == FailureKind::NotOffered || kind == FailureKind::Ambiguous ||
                   kind == FailureKind::File
               ? kExitUsage
               : kExitFailed;
}

}  // namespace

namespace {
// The session both read-only commands work in; the exit status when there
// is none (a bad emulator description, a platform that cannot be opened).
std::unique_ptr<Session> OpenReadOnlySession(const GlobalOptions& global, bool json,
                                             Console& console, const CliEnvironment& environment,
                                             int& status) {
    std::string error = CheckEmulatorDescriptions(global.emulate);
    std::unique_ptr<Session> session;
    if (error.empty())
        session = Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!session) status = Fail(console, json, kExitUsage, error);
    return session;
}
}  // namespace

int VerifyCommand(const GlobalOptions& global, const std::optional<std::string>& against,
                  bool json, Console& console, const CliEnvironment& environment) {
    // A file that cannot be a saved flash is refused before any device is asked.
    if (against) {
        if (const auto error = CheckReadableFile("saved copy", *against); !error.empty())
            return Fail(console, json, kExitUsage, error);
        if (const auto problem = SavedFlashProblem(*against); !problem.empty())
            return Fail(console, json, kExitUsage, "verify: " + problem + "; nothing was sent");
    }
    int status = 0;
    auto session = OpenReadOnlySession(global, json, console, environment, status);
    if (!session) return status;
    const DeviceServices& services = session->Services();
    CliSink sink(console, global.verbosity, json);
    DiscoveryOptions options;
    options.engineering = true;
    const Discovery list = Discover(services, options, sink);
    VendorModeRelease release(services);
    release.Take(list);
    for (const auto& problem : list.problems) console.Err("qks970: " + problem);

    std::string error;
    const IdentifyReport* device =
        PickDevice(list, global.device, [](const IdentifyReport& r) { return r.target; }, error);
    if (!device) {
        if (global.device) return Fail(console, json, kExitUsage, error);
        return Fail(console, json, list.problems.empty() ? kExitNoDevice : kExitNoAccess,
                    "no QKS970/958 bridge was found");
    }
    if (!device->target)
        return Fail(console, json, kExitUsage,
                    "verify: the " + std::string(FamilyOf(device->id.chip).series) + " at " +
                        device->info.path + " has no flash a recovery writes; nothing was sent");
    console.Err(DeviceLine(*device));
    const VerifyReport report = VerifyFlash(services, device->Ref(), against);
    const RegionCounts& d = report.differing;
    if (json) {
        Json document = {
            {"schema_version", kJsonSchemaVersion},
            {"command", "verify"},
            {"device", DeviceJson(*device)},
            {"against", against ? Json{{"kind", "copy"}, {"path", *against}}
                                : Json{{"kind", "recovery"},
                                       {"journal_entry", report.journalEntry.empty()
                                                             ? Json(nullptr)
                                                             : Json(report.journalEntry)}}},
            {"result", !report.outcome.Ok() ? "failure" : report.Equal() ? "equal" : "different"},
            {"image_end", report.imageEnd},
            {"differing",
             {{"header", d.header}, {"image", d.image}, {"beyond", d.beyond}, {"total", d.Total()}}},
            {"first_difference",
             report.firstDifference ? Json(*report.firstDifference) : Json(nullptr)},
            {"cause", report.outcome.Ok() ? Json(nullptr) : CauseJson(report.outcome)},
            {"notes", report.outcome.notes}};
        console.Out(DumpJson(document));
    } else {
        for (const auto& note : report.outcome.notes) console.Err("qks970: note: " + note);
        if (report.outcome.Ok()) {
            console.Out(against ? "Compared with the saved copy " + *against + ":"
                                : std::string("Compared with what a recovery would leave:"));
            const auto row = [&console](std::string label, uint32_t count) {
                label.resize(std::max<size_t>(label.size(), 28), ' ');
                console.Out("  " + label + std::to_string(count) + " differ");
            };
            row("header's own bytes:", d.header);
            row("image (to " + Hex(report.imageEnd) + "):", d.image);
            row("beyond the image:", d.beyond);
            console.Out(report.Equal()
                            ? std::string("Equal.")
                            : "Different: " + std::to_string(d.Total()) + " bytes, the first at " +
                                  Hex(*report.firstDifference) + ".");
        }
    }
    if (!report.outcome.Ok()) {
        console.Err("qks970: " + report.outcome.CauseText());
        return StatusOfFailure(*report.outcome.failure);
    }
    return report.Equal() ? kExitSuccess : kExitFailed;
}

int CopiesCommand(const GlobalOptions& global, bool json, Console& console,
                  const CliEnvironment& environment) {
    int status = 0;
    auto session = OpenReadOnlySession(global, json, console, environment, status);
    if (!session) return status;
    const DeviceServices& services = session->Services();
    const auto saved = SavedWrites(services);
    if (json) {
        Json document = JsonDocument("copies");
        document["folder"] = services.backupFolder;
        document["enclosures"] = Json::array();
        auto& enclosures = document["enclosures"];
        for (size_t i = 0; i < saved.size(); ++i) {
            const SavedWrite& s = saved[i];
            if (i == 0 || saved[i - 1].enclosure != s.enclosure)
                enclosures.push_back({{"serial", s.enclosure}, {"entries", Json::array()}});
            enclosures.back()["entries"].push_back(
                {{"time", s.time},
                 {"size", s.size},
                 {"state", s.state == SavedWrite::State::Copy ? "copy" : "unfinished_write"},
                 {"flow", s.flow.empty() ? Json(nullptr) : Json(s.flow)},
                 {"path", s.path}});
        }
        console.Out(DumpJson(document));
        return kExitSuccess;
    }
    if (saved.empty()) {
        console.Out("No saved copies and no unfinished writes in " + services.backupFolder + ".");
        return kExitSuccess;
    }
    for (size_t i = 0; i < saved.size(); ++i) {
        const SavedWrite& s = saved[i];
        if (i == 0 || saved[i - 1].enclosure != s.enclosure) {
            if (i != 0) console.Out("");
            console.Out("Enclosure " + s.enclosure + ":");
        }
        std::string state = SavedWriteStateName(s.state);
        if (!s.flow.empty()) state += " (" + s.flow + ")";
        state.resize(std::max<size_t>(state.size(), 26), ' ');
        std::string size = std::to_string(s.size);
        size.insert(0, size.size() < 7 ? 7 - size.size() : 0, ' ');
        console.Out("  " + s.time + "  " + size + "  " + state + "  " + s.path);
    }
    return kExitSuccess;
}

}  // namespace qks::cli
