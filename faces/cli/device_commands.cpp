// `list`, `recover`, `backup`, `erase`, `run` and `restore`: each identifies
// the devices once and hands the one it works on to an operation; the
// outcome decides the exit status.
#include "faces/cli/device_commands.h"

#include <algorithm>
#include <istream>

#include <nlohmann/json.hpp>

#include "device/firmware_file_check.h"
#include "faces/cli/commands.h"
#include "faces/common/runtime.h"
#include "firmware/flash_backup.h"
#include "firmware/flash_maintenance.h"

namespace qks::cli {

namespace {

const char* InterfaceName(InterfaceClass cls) {
    return cls == InterfaceClass::Disk ? "disk" : "cdrom";
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Series(const IdentifyReport& r) { return FamilyOf(r.id.chip).series; }

}  // namespace

std::string ScreenText(DiscoveredScreen screen) {
    switch (screen) {
        case DiscoveredScreen::Confirm: return Trimmed(kConfirmText);
        case DiscoveredScreen::AlreadyUpdated: return Trimmed(kAlreadyUpdatedText);
        case DiscoveredScreen::NoDevice: break;
    }
    return Trimmed(kNoDeviceText);
}

namespace {

int NoDevice(Console& console, const Discovery& list, bool json, const std::string& why) {
    return Fail(console, json, list.problems.empty() ? kExitNoDevice : kExitNoAccess, why);
}

}  // namespace

std::optional<int> RefuseUnanswered(Console& console, const std::string& command,
                                    const RecoverOptions& options,
                                    const CliEnvironment& environment) {
    if (options.yes || (environment.inputIsTerminal && environment.input)) return std::nullopt;
    return Fail(console, options.json, kExitUsage,
                command + " asks before it writes, and there is no terminal to answer on; "
                          "give --yes to answer YES");
}

bool AskYesNo(Console& console, const std::string& question, bool yes,
              const CliEnvironment& environment) {
    if (yes) {
        console.Err(question + " [y/N] y (--yes)");
        return true;
    }
    console.Prompt(question + " [y/N] ");
    std::string line;
    if (!environment.input || !std::getline(*environment.input, line)) {
        console.Err("");
        return false;
    }
    const std::string answer = Trimmed(line);
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

namespace {

// Writing a development image to a real bridge needs its own yes.
bool AcceptRisk(Console& console, const DeviceServices& services, const DeviceRef& device,
                Flow flow, bool allowed, bool json, EngineOptions& options) {
    const auto risk = DevelopmentImageRisk(services, device, flow);
    if (!risk) return true;
    if (allowed) {
        console.Err("warning: " + Trimmed(*risk));
        console.Err("warning: accepted by --allow-development-image");
        options.developmentImageAccepted = true;
        return true;
    }
    for (size_t start = 0; start <= risk->size();) {
        const size_t end = risk->find('\n', start);
        const std::string line =
            Trimmed(risk->substr(start, end == std::string::npos ? end : end - start));
        if (!line.empty()) console.Err("qks970: " + line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    Fail(console, json, kExitFailed,
         "nothing was written; give --allow-development-image to write it anyway");
    return false;
}

int StatusOf(const Outcome& outcome) {
    if (outcome.Ok()) return kExitSuccess;
    // Which unfinished write to finish is the user's to name, and a refused
    // image file is the user's to fix: usage matters, nothing sent.
    const FailureKind kind = outcome.failure->kind;
    return kind == FailureKind::NotOffered || kind == FailureKind::Ambiguous ||
                   kind == FailureKind::ImageRefused || kind == FailureKind::InUse
               ? kExitUsage
               : kExitFailed;
}

// What a writing command's document holds, whatever became of it: the
// device, the image written (null where none is), the copy kept before
// writing, whether the device was changed, and the cause of a failure.
Json WritingDocument(const std::string& command, const IdentifyReport& device, const Json& image,
                     const Outcome* outcome, const CliSink& sink) {
    const bool writes = command != "backup";
    Json document = JsonDocument(command);
    document["result"] = !outcome ? "declined" : outcome->Ok() ? "success" : "failure";
    document["device"] = DeviceJson(device);
    document["image"] = image;
    document["copy"] = PathOrNull(outcome ? outcome->backupPath : "");
    document["device_changed"] =
        outcome && (outcome->Ok() ? writes : outcome->failure->deviceChanged);
    document["cause"] = outcome && !outcome->Ok() ? CauseJson(*outcome) : Json(nullptr);
    document["status_text"] = outcome ? Trimmed(outcome->statusText) : "";
    document["messages"] = MessagesJson(sink.Messages());
    document["notes"] = outcome ? outcome->notes : std::vector<std::string>();
    return document;
}

// The question was answered no: nothing was sent that writes.
int Declined(Console& console, const std::string& command, const IdentifyReport& device,
             const Json& image, bool json, const CliSink& sink, const char* line) {
    console.Err(line);
    if (json) console.Out(DumpJson(WritingDocument(command, device, image, nullptr, sink)));
    return kExitDeclined;
}

int Report(Console& console, const std::string& command, const IdentifyReport& device,
           const Json& image, const Outcome& outcome, bool json, const CliSink& sink) {
    if (json) {
        console.Out(DumpJson(WritingDocument(command, device, image, &outcome, sink)));
    } else if (console.Quiet()) {
        // The outcome line alone; a failure is its cause on the error stream.
        if (outcome.Ok() && command == "backup")
            console.Out("Backup: " + outcome.backupPath);
        else if (outcome.Ok() && command != "recover" && !Trimmed(outcome.statusText).empty())
            console.Out("Status: " + Trimmed(outcome.statusText));
    } else {
        if (!outcome.backupPath.empty())
            console.Out((command == "backup" ? "Backup: " : "Flash backup: ") + outcome.backupPath);
        if (!Trimmed(outcome.statusText).empty() && command != "recover")
            console.Out("Status: " + Trimmed(outcome.statusText));
    }
    if (!json)
        for (const auto& note : outcome.notes) console.Err("qks970: note: " + note);
    if (!outcome.Ok()) console.Err("qks970: " + outcome.CauseText());
    if (!outcome.Ok() && outcome.failure->kind == FailureKind::InUse)
        console.Err("qks970: give --force-in-use to write anyway");
    return StatusOf(outcome);
}

}  // namespace

std::string DeviceLine(const IdentifyReport& r) {
    return "Device " + std::to_string(r.number) + ": " + Series(r) + " at " + r.info.path +
           (r.info.serial.empty() ? "" : " (serial " + r.info.serial + ")");
}

namespace {

struct Opened {
    std::unique_ptr<Session> session;
    std::unique_ptr<CliSink> sink;
    Discovery list;
    // Before the session ends, the interfaces the discovery marked leave
    // vendor mode.
    std::unique_ptr<VendorModeRelease> release;
};

// The recovery window's discovery for `recover`; the engineering panel's,
// which puts every identified bridge in vendor mode, for the others.
std::optional<Opened> OpenAndIdentify(const GlobalOptions& global, bool json, Console& console,
                                      const CliEnvironment& environment, int& status,
                                      bool engineering = true) {
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty()) {
        status = Fail(console, json, kExitUsage, error);
        return std::nullopt;
    }
    std::string error;
    Opened opened;
    opened.session = Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!opened.session) {
        status = Fail(console, json, kExitUsage, error);
        return std::nullopt;
    }
    opened.sink = std::make_unique<CliSink>(console, global.verbosity, json);
    opened.sink->UseClock(opened.session->Services().clock);
    DiscoveryOptions options;
    options.engineering = engineering;
    opened.list = Discover(opened.session->Services(), options, *opened.sink);
    opened.release = std::make_unique<VendorModeRelease>(opened.session->Services());
    opened.release->Take(opened.list);
    for (const auto& problem : opened.list.problems) console.Err("qks970: " + problem);
    return opened;
}

bool IsTargetDevice(const IdentifyReport& r) { return r.target; }
bool RunsSomething(const IdentifyReport& r) { return FamilyOf(r.id.chip).run != RunAction::None; }
bool ErasesOrBacksUp(const IdentifyReport& r) { return OffersEraseAndBackup(r.id.chip); }

// Panel choices the chip's family does not offer are refused before
// anything is sent.
std::string CheckChoices(const IdentifyReport& r, const PanelChoices& c) {
    const ChipFamily& family = FamilyOf(r.id.chip);
    const std::string series = std::string(family.series) + " (chip type " +
                               std::to_string(ChipTypeOf(r.id.chip)) + ")";
    if (c.firmwareSizeItem && !family.sizeList)
        return "--firmware-size: the engineering panel does not offer this for the " + series;
    if (c.a1Chip && !family.a1Box)
        return "--a1-chip: the engineering panel does not offer this for the " + series;
    if (c.romTypeItem && !family.romTypeList)
        return "--rom-type: the engineering panel does not offer this for the " + series;
    return {};
}

EngineOptions OptionsFrom(const PanelChoices& c) {
    EngineOptions options;
    if (c.firmwareSizeItem)
        options.firmwareSize = kFirmwareSizeValues[static_cast<size_t>(*c.firmwareSizeItem)];
    if (c.pageSizeItem)
        options.transferPageSize = kTransferPageSizeValues[static_cast<size_t>(*c.pageSizeItem)];
    options.backupFile = c.backupFile;
    options.a1Chip = c.a1Chip;
    options.romType = c.romTypeItem.value_or(0);
    return options;
}

}  // namespace

void CliSink::Status(const std::string& text) {
    status_ = text;
    if (verbosity_ >= 1 && !Trimmed(text).empty()) console_.Err("status: " + Trimmed(text));
}

void CliSink::StartProgress(int percent) {
    bar_ = true;
    percent_ = percent;
    console_.ShowProgress(percent_);
}

void CliSink::EndProgress() {
    bar_ = false;
    console_.HideProgress();
}

void CliSink::Step(int32_t amount) {
    if (!bar_) return;
    percent_ = std::min(percent_ + amount, 100);
    console_.ShowProgress(percent_);
}

void CliSink::ShowMessageBox(const std::string& text, const std::string& caption, MessageIcon) {
    messages_.push_back({caption, text});
    // A modal box on a terminal has nobody to wait for: it is answered OK.
    if (!collect_) console_.Err("[" + caption + "] " + Trimmed(text));
}

void CliSink::CopySaved(const std::string& memory, const std::string& path) {
    if (!hold_) hold_ = std::make_unique<InterruptHold>(path);
    console_.Err(CopySavedNotice(memory, path));
}

std::string PhaseLabel(PhaseKind phase, uint32_t done, uint32_t total, uint64_t bytesBefore,
                       uint64_t elapsedMicros) {
    std::string label = std::string(PhaseName(phase)) + " " + std::to_string(done / 1024) + "/" +
                        std::to_string((total + 1023) / 1024) + " KB";
    uint64_t left = total > done ? total - done : 0;
    for (PhaseKind later : {PhaseKind::Write, PhaseKind::Verify})
        if (later > phase) left += total;
    const uint64_t seen = bytesBefore + done;
    if (seen > 0 && elapsedMicros > 0) {
        const uint64_t seconds = (left * elapsedMicros / seen + 999999) / 1000000;
        label += ", about " + std::to_string(seconds) + " s left";
    }
    return label;
}

void CliSink::Phase(PhaseKind phase, uint32_t done, uint32_t total) {
    // A write tried again after its verify stays under the verify: the
    // line never goes back.
    if (phase_ && phase < *phase_) return;
    if (!phase_) startedMicros_ = clock_ ? clock_->NowMicros() : 0;
    if (phase_ && phase != *phase_) bytesBefore_ += phaseTotal_;
    phase_ = phase;
    phaseDone_ = done;
    phaseTotal_ = total;
    waitedMs_.reset();
    DrawLabel();
}

void CliSink::WaitingForFlash(uint64_t waitedMs) {
    waitedMs_ = waitedMs;
    DrawLabel();
}

void CliSink::DrawLabel() {
    if (collect_ || !console_.DrawsProgress()) return;
    std::string label;
    if (phase_) {
        const uint64_t now = clock_ ? clock_->NowMicros() : 0;
        label = PhaseLabel(*phase_, phaseDone_, phaseTotal_, bytesBefore_,
                           now > startedMicros_ ? now - startedMicros_ : 0);
    }
    if (waitedMs_)
        label += (label.empty() ? "" : ", ") + std::string("waiting for the flash (") +
                 std::to_string(*waitedMs_ / 1000) + " s)";
    console_.ShowProgressLabel(label);
}

void CliSink::Waiting(const std::string& text) { console_.Err("qks970: " + text); }

void CliSink::DebugOutput(const std::string& text) {
    if (verbosity_ >= 1) console_.Err("debug: " + Trimmed(text));
}

const IdentifyReport* PickDevice(const Discovery& list, const std::optional<std::string>& device,
                                 bool (*wanted)(const IdentifyReport&), std::string& error) {
    if (!device) {
        for (const auto& r : list.devices)
            if (wanted(r)) return &r;
        error = "no listed device fits";
        return nullptr;
    }
    const std::string& key = *device;
    const bool number = !key.empty() && key.size() < 6 &&
                        key.find_first_not_of("0123456789") == std::string::npos;
    std::vector<const IdentifyReport*> fits;
    if (number) {
        const size_t index = std::stoul(key);
        // A number names a device by its place; one beyond the list names none.
        if (index >= list.devices.size()) {
            error = "--device " + key + ": no such device number" +
                    (list.devices.empty() ? std::string("; none is present")
                                          : "; 0 to " + std::to_string(list.devices.size() - 1) +
                                                " are listed");
            return nullptr;
        }
        fits.push_back(&list.devices[index]);
    }
    for (const auto& r : list.devices)
        if ((Lower(r.info.path) == Lower(key) || (!r.info.serial.empty() && r.info.serial == key)) &&
            std::find(fits.begin(), fits.end(), &r) == fits.end())
            fits.push_back(&r);
    if (fits.empty()) {
        error = "--device " + key + ": no such device (give the number, path or serial that list shows";
        error += list.devices.empty() ? "; none is present)"
                                      : "; 0 to " + std::to_string(list.devices.size() - 1) + " are listed)";
        return nullptr;
    }
    // Interfaces of one enclosure are one device; two enclosures are a guess.
    const auto named = [](const IdentifyReport& r) {
        std::string text = "[";   // piece by piece: see Name() in bench_commands.cpp
        text += std::to_string(r.number);
        text += "] ";
        text += r.info.path;
        if (!r.info.serial.empty()) text += " (serial " + r.info.serial + ")";
        return text;
    };
    for (const IdentifyReport* other : fits)
        if (other->enclosure != fits.front()->enclosure) {
            error = "--device " + key + " fits two devices, " + named(*fits.front()) + " and " +
                    named(*other) + "; nothing was sent (give the path)";
            return nullptr;
        }
    for (const IdentifyReport* r : fits)
        if (wanted(*r)) return r;
    return fits.front();
}

int ListCommand(const GlobalOptions& global, bool json, Console& console,
                const CliEnvironment& environment) {
    int status = kExitSuccess;
    auto opened = OpenAndIdentify(global, json, console, environment, status);
    if (!opened) return status;
    const Discovery& list = opened->list;
    if (json) {
        Json document = JsonDocument("list");
        document["device_count"] = list.devices.size();
        document["enclosure_count"] = list.EnclosureCount();
        document["screen_text"] = ScreenText(list.recoveryScreen);
        document["devices"] = Json::array();
        for (const auto& r : list.devices) document["devices"].push_back(DeviceJson(r));
        document["messages"] = MessagesJson(opened->sink->Messages());
        document["problems"] = list.problems;
        console.Out(DumpJson(document));
    } else {
        const size_t count = list.devices.size();
        console.Out(count == 0 ? "No USB storage device found."
                               : std::to_string(count) + " USB storage path" +
                                     (count == 1 ? "" : "s") + " found.");
        for (size_t i = 0; i < count; ++i) {
            const IdentifyReport& r = list.devices[i];
            const uint8_t type = ChipTypeOf(r.id.chip);
            console.Out("");
            console.Out("[" + std::to_string(i) + "] " + r.info.path + " (" + InterfaceName(r.iface) + ")");
            console.Out("  enclosure: " + std::to_string(r.enclosure));
            if (!r.info.serial.empty()) console.Out("  serial:    " + r.info.serial);
            console.Out("  chip:      " + Series(r) + " (type " + std::to_string(type) +
                        ", revision " + std::to_string(ChipRevisionOf(r.id.chip)) + ")");
            if (r.flashVendor)
                console.Out("  flash:     " + std::string(FlashVendorName(*r.flashVendor)) +
                            " (vendor code " + std::to_string(*r.flashVendor) + ")");
            if (type != 0)
                console.Out("  firmware:  " + r.versionText.value_or("(not a Tavrel chip record)"));
            console.Out(std::string("  target:    ") + (r.target ? "yes" : "no"));
            console.Out(std::string("  updated:   ") +
                        (r.updated ? "yes, it holds the embedded firmware" : "no"));
        }
        console.Out("");
        console.Out(ScreenText(list.recoveryScreen));
    }
    if (!list.problems.empty()) return kExitNoAccess;
    return list.devices.empty() ? kExitNoDevice : kExitSuccess;
}

int RecoverCommand(const GlobalOptions& global, const RecoverOptions& options, Console& console,
                   const CliEnvironment& environment) {
    if (const auto refused = RefuseUnanswered(console, "recover", options, environment))
        return *refused;
    if (!options.headerFrom.empty()) {
        if (const auto error = CheckReadableFile("saved copy", options.headerFrom); !error.empty())
            return Fail(console, options.json, kExitUsage, error);
        const auto start = ReadBackupStart(options.headerFrom, kHeaderBlockBytes);
        if (!start || start->size() != kHeaderBlockBytes ||
            !HasHeaderSignature(start->data(), kHeaderBlockBytes))
            return Fail(console, options.json, kExitUsage,
                        "--header-from " + options.headerFrom + ": no signed 128-byte header at its start");
    }
    int status = kExitSuccess;
    auto opened = OpenAndIdentify(global, options.json, console, environment, status, false);
    if (!opened) return status;
    const Discovery& list = opened->list;
    std::string error;
    const IdentifyReport* device = PickDevice(list, global.device, IsWaitingTarget, error);
    if (!device) {
        if (global.device) return Fail(console, options.json, kExitUsage, error);
        const std::string screen = ScreenText(list.recoveryScreen);
        if (!options.json) console.Out(screen);
        if (list.recoveryScreen == DiscoveredScreen::AlreadyUpdated)
            return Fail(console, options.json, kExitNothingToDo,
                        "every QKS970/958 bridge already holds the embedded firmware");
        return NoDevice(console, list, options.json, "no QKS970/958 bridge to recover was found");
    }
    if (FamilyOf(device->id.chip).yes == YesAction::None)
        return Fail(console, options.json, kExitUsage,
                    "the " + Series(*device) + " at " + device->info.path + " offers no recovery");
    if (device->updated)
        return Fail(console, options.json, kExitNothingToDo,
                    Trimmed(kAlreadyUpdatedText) + " (" + device->info.path + ")");
    console.Err(DeviceLine(*device));
    const DeviceServices& services = opened->session->Services();
    EngineOptions engine;
    engine.headerFrom = options.headerFrom;
    engine.journalEntry = options.journalEntry;
    const DeviceRef ref = device->Ref();
    if (!AcceptRisk(console, services, ref, Flow::Recover, options.allowDevelopmentImage,
                    options.json, engine))
        return kExitFailed;
    console.Err(ImageConfirmationText(services.images, YesImageFor(device->id.chip)));
    CliSink& sink = *opened->sink;
    const Json image = ImageJson(services.images, YesImageFor(device->id.chip));
    if (!AskYesNo(console, Trimmed(kConfirmText), options.yes, environment))
        return Declined(console, "recover", *device, image, options.json, sink, "Not updated.");
    sink.StartProgress(20);
    const Outcome outcome = RecoverDevice(services, ref, engine, sink);
    sink.EndProgress();
    if (!options.json && console.Quiet()) {
        // The one line: the cause says a failure on its own.
        if (outcome.Ok())
            console.Out(Trimmed(Describe(ControlId::replugLable1).caption) + " " +
                        Trimmed(Describe(ControlId::replugLable2).caption));
    } else if (!options.json) {
        if (outcome.Ok()) {
            console.Out(Trimmed(Describe(ControlId::replugLable1).caption));
            console.Out(Trimmed(Describe(ControlId::replugLable2).caption));
        } else {
            console.Out(Trimmed(kFailureText));
        }
    }
    return Report(console, "recover", *device, image, outcome, options.json, sink);
}

int PanelCommand(const GlobalOptions& global, PanelAction action, const PanelChoices& choices,
                 const RecoverOptions& options, Console& console, const CliEnvironment& environment) {
    const bool writes = action != PanelAction::Backup;
    static constexpr const char* kNames[] = {"run", "erase", "backup"};
    const std::string command = kNames[static_cast<int>(action)];
    if (writes)
        if (const auto refused = RefuseUnanswered(console, command, options, environment))
            return *refused;
    if (!choices.firmwareFile.empty()) {
        const auto error = CheckReadableFile("firmware file", choices.firmwareFile);
        if (!error.empty()) return Fail(console, options.json, kExitUsage, error);
    }
    if (!choices.backupFile.empty()) {
        if (choices.backupFile.size() > kBackupNameLimit)
            return Fail(console, options.json, kExitUsage,
                        "the backup file name is longer than " + std::to_string(kBackupNameLimit) +
                            " characters");
        if (const auto error = CheckWritableFile("backup file", choices.backupFile); !error.empty())
            return Fail(console, options.json, kExitUsage, error);
    }
    if (action == PanelAction::Backup) {
        const std::string copies =
            global.backupFolder.empty() ? DefaultBackupFolder() : global.backupFolder;
        const BackupTarget target = BackupTargetOf(copies, choices.backupFile);
        if (const auto problem = BackupTargetProblem(target, choices.force); !problem.empty())
            return Fail(console, options.json, kExitUsage,
                        problem + (target.inCopiesFolder ? "" : " (give --force to replace it)") +
                            "; nothing was sent");
    }
    int status = kExitSuccess;
    auto opened = OpenAndIdentify(global, options.json, console, environment, status);
    if (!opened) return status;
    const Discovery& list = opened->list;
    std::string error;
    const IdentifyReport* device =
        PickDevice(list, global.device, action == PanelAction::Run ? RunsSomething : ErasesOrBacksUp,
                   error);
    if (!device) {
        if (global.device) return Fail(console, options.json, kExitUsage, error);
        // Bridges are there, but their families do not offer the action.
        for (const auto& r : list.devices)
            if (IsIdentified(r.id.chip))
                return Fail(console, options.json, kExitUsage,
                            command + ": the " + Series(r) + " (chip type " +
                                std::to_string(ChipTypeOf(r.id.chip)) +
                                ") offers no such action; nothing was sent");
        return NoDevice(console, list, options.json,
                        "no bridge whose engineering panel offers " + command + " was found");
    }
    const bool offered = action == PanelAction::Run ? RunsSomething(*device) : ErasesOrBacksUp(*device);
    if (!offered)
        return Fail(console, options.json, kExitUsage,
                    command + ": the " + Series(*device) + " (chip type " +
                        std::to_string(ChipTypeOf(device->id.chip)) +
                        ") offers no such action; nothing was sent");
    if (const auto choiceError = CheckChoices(*device, choices); !choiceError.empty())
        return Fail(console, options.json, kExitUsage, choiceError);
    const DeviceServices& services = opened->session->Services();
    CliSink& sink = *opened->sink;
    if (action == PanelAction::Run) {
        if (choices.firmwareFile.empty())
            return Fail(console, options.json, kExitUsage,
                        "run needs --firmware FILE matching the chip (the panel's Run is disabled "
                        "without one)");
        SilentSink silent;
        if (!CheckFirmwareFile(silent, choices.firmwareFile, device->id.chip))
            return Fail(console, options.json, kExitUsage,
                        "the firmware file '" + choices.firmwareFile + "' does not match the " +
                            Series(*device));
    }
    console.Err(DeviceLine(*device));
    EngineOptions engine = OptionsFrom(choices);
    engine.replaceBackupFile = choices.force;
    engine.journalEntry = options.journalEntry;
    const DeviceRef ref = device->Ref();
    if (action == PanelAction::Run &&
        !AcceptRisk(console, services, ref, Flow::Run, options.allowDevelopmentImage, options.json,
                    engine))
        return kExitFailed;
    const Json image = action == PanelAction::Run
                           ? ImageJson(services.images, RunImageFor(device->id.chip))
                           : Json(nullptr);
    if (writes) {
        if (action == PanelAction::Run)
            console.Err(ImageConfirmationText(services.images, RunImageFor(device->id.chip)));
        const std::string question = action == PanelAction::Run
                                         ? "Write the " + std::string(RunImageFor(device->id.chip)) +
                                               " image to this device?"
                                         : "Erase the flash of this device?";
        if (!AskYesNo(console, question, options.yes, environment))
            return Declined(console, command, *device, image, options.json, sink,
                            "Nothing written.");
    }
    Outcome outcome;
    switch (action) {
        case PanelAction::Run: outcome = RunUpdate(services, ref, engine, sink); break;
        case PanelAction::Erase: outcome = EraseFlash(services, ref, engine, sink); break;
        case PanelAction::Backup: outcome = BackupFlash(services, ref, engine, sink); break;
    }
    return Report(console, command, *device, image, outcome, options.json, sink);
}

int RestoreCommand(const GlobalOptions& global, const std::string& file,
                   const RecoverOptions& options, Console& console,
                   const CliEnvironment& environment) {
    if (const auto refused = RefuseUnanswered(console, "restore", options, environment))
        return *refused;
    if (const auto error = CheckReadableFile("restore file", file); !error.empty())
        return Fail(console, options.json, kExitUsage, error);
    if (const auto problem = RestoreFileProblem(file); !problem.empty())
        return Fail(console, options.json, kExitUsage, problem + "; nothing was sent");
    int status = kExitSuccess;
    auto opened = OpenAndIdentify(global, options.json, console, environment, status);
    if (!opened) return status;
    const Discovery& list = opened->list;
    std::string error;
    const IdentifyReport* device = PickDevice(list, global.device, IsTargetDevice, error);
    if (!device) {
        if (global.device) return Fail(console, options.json, kExitUsage, error);
        return NoDevice(console, list, options.json, "no QKS970/958 bridge was found");
    }
    if (!device->target)
        return Fail(console, options.json, kExitUsage,
                    "restore: the " + Series(*device) + " offers no restore; nothing was sent");
    console.Err(DeviceLine(*device));
    const DeviceServices& services = opened->session->Services();
    if (const auto other = RestoreIdentityQuestion(services, device->Ref(), file))
        console.Err("qks970: warning: " + *other);
    const Json image = FileImageJson(file);
    if (!AskYesNo(console, "Write " + file + " to this device?", options.yes, environment))
        return Declined(console, "restore", *device, image, options.json, *opened->sink,
                        "Nothing written.");
    const Outcome outcome = RestoreFlash(services, device->Ref(), file, *opened->sink);
    return Report(console, "restore", *device, image, outcome, options.json, *opened->sink);
}

}  // namespace qks::cli
