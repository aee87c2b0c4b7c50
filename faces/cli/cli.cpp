#include "faces/cli/cli.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "faces/cli/commands.h"
#include "faces/cli/verify_command.h"

#ifndef QKS_VERSION
#define QKS_VERSION "0.0.0"
#endif

namespace qks::cli {

namespace {

constexpr const char* kExitStatusText =
    "Exit status:\n"
    "  0  success\n"
    "  1  the operation failed (the message says whether the device was changed)\n"
    "  2  bad usage or input, or the device's disk is in use (mounted); nothing was written\n"
    "  3  nothing to do: the chip already holds the embedded firmware\n"
    "  4  no device found\n"
    "  5  a USB storage device is present but may not be opened (see the message for the fix)\n"
    "  6  declined: the question before writing was answered no; nothing was written\n";

constexpr const char* kCommandFooter =
    "The options of qks970 itself (--emulate, --trace, --backup-dir, --images, --device,\n"
    "-v, --virtual-time) go before or after the command.\n";

constexpr const char* kEmulateHelp =
    "An emulated bridge instead of the system's devices, repeatable; DESCRIPTION is "
    "PROFILE[:key=value,...], e.g. q970:flash=q970.bin (see qks970(1))";

struct Parsed {
    GlobalOptions global;
    bool json = false;
    RecoverOptions recover;
    PanelChoices panel;
    std::string firmwareSize;
    std::string pageSize;
    std::optional<int> romType;
};

void AddGlobalOptions(CLI::App& app, Parsed& p) {
    app.add_option("--emulate", p.global.emulate, kEmulateHelp)
        ->type_name("DESCRIPTION")
        ->allow_extra_args(false);
    app.add_option("--trace", p.global.traceFile,
                   "Write every command sent to a device to FILE, one JSON object a line")
        ->type_name("FILE");
    app.add_option("--backup-dir", p.global.backupFolder,
                   "Where the copy of a flash taken before writing is kept")
        ->type_name("DIR");
    app.add_option("--images", p.global.imagesFolder,
                   "Look for firmware image files NAME.bin in DIR before the usual folders")
        ->type_name("DIR");
    app.add_option("--device", p.global.device,
                   "The device to work on: the number list shows, its path or its USB serial; "
                   "the first that fits by default")
        ->type_name("ID");
    app.add_flag("-v,--verbose", p.global.verbosity,
                 "Show status texts and debugger output; twice: every command too");
    app.add_flag("-q,--quiet", p.global.quiet,
                 "Print only the outcome line: no progress, no notes; a failure's cause stays");
    app.add_flag("--virtual-time", p.global.virtualTime,
                 "With --emulate: let the emulated bridge's waits pass without waiting");
}

void AddPanelOptions(CLI::App& command, Parsed& p) {
    command.add_flag("--a1-chip", p.panel.a1Chip, "Tick \"A1 Chip\" (internal-ROM chips)");
    std::string romHelp = "The parallel ROM part of internal-ROM chips:";
    const auto& romItems = Describe(ControlId::FlashTypeList).items;
    for (size_t i = 0; i < romItems.size(); ++i)
        romHelp += std::string(i ? "," : "") + " " + std::to_string(i) + " " + romItems[i];
    command.add_option("--rom-type", p.romType, romHelp)->type_name("N");
    command
        .add_option("--firmware-size", p.firmwareSize,
                    "Flash size for erase and backup: " + ListChoices(ControlId::FwSizeCheck))
        ->type_name("SIZE");
    command
        .add_option("--page-size", p.pageSize,
                    "Transfer page size: " + ListChoices(ControlId::FwPgSizeCheck))
        ->type_name("SIZE");
}

// Only the commands that write one of the program's images take
// --allow-development-image; erase and restore write none.
enum class WritesImage : bool { No, Yes };

void AddWriteOptions(CLI::App& command, Parsed& p, WritesImage image) {
    command.add_flag("-y,--yes", p.recover.yes, "Answer yes to the question before writing");
    if (image == WritesImage::Yes)
        command.add_flag("--allow-development-image", p.recover.allowDevelopmentImage,
                         "Write a built-in image to a real device even when it is a development "
                         "image");
    command.add_flag("--json", p.recover.json, "Print one JSON document with the outcome");
    command.add_option("--journal", p.recover.journalEntry,
                       "When several unfinished writes match the device: finish this journal entry")
        ->type_name("ENTRY");
    command.add_flag("--force-in-use", p.global.forceInUse,
                     "Write even while a file system on the device's disk is mounted (what it has "
                     "not written is lost)");
}

// CLI11's own range check prints the largest double in full.
CLI::Validator SecondsCheck() {
    return CLI::Validator(
        [](std::string& text) {
            try {
                size_t used = 0;
                const double seconds = std::stod(text, &used);
                if (used == text.size() && seconds >= 0 && std::isfinite(seconds)) return std::string();
            } catch (const std::exception&) {
            }
            return "'" + text + "' is not a number of seconds, 0 or more";
        },
        "");
}

// Optimal string alignment distance: a swapped pair of letters counts once,
// the commonest slip on a keyboard.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::vector<std::string> CommandNames(CLI::App& app) {
    std::vector<std::string> names;
    for (const auto* command : app.get_subcommands({})) names.push_back(command->get_name());
    return names;
}

std::string OneOf(const std::vector<std::string>& names, const char* conjunction) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? std::string(" ") + conjunction + " " : ", ") +
                names[i];
    return text;
}

// The word where the command belongs, when it names none: the first
// argument that is neither one of qks970's own options nor an option's value.
std::optional<std::string> MistypedCommand(CLI::App& app, const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") return std::nullopt;
        if (arg.size() > 1 && arg[0] == '-') {
            if (arg.find('=') != std::string::npos) continue;
            const CLI::Option* option = app.get_option_no_throw(arg);
            if (option != nullptr && option->get_expected_min() > 0) ++i;
            continue;
        }
        const auto names = CommandNames(app);
        if (std::find(names.begin(), names.end(), arg) != names.end()) return std::nullopt;
        return arg;
    }
    return std::nullopt;
}

std::string MistypedCommandText(CLI::App& app, const std::string& word) {
    const auto names = CommandNames(app);
    std::vector<std::string> close;
    for (const auto& name : names)
        if (EditDistance(word, name) <= 2 || (word.size() >= 2 && name.rfind(word, 0) == 0))
            close.push_back("'" + name + "'");
    if (!close.empty())
        return "'" + word + "' is not a command; did you mean " + OneOf(close, "or") +
               "? (see qks970 --help)";
    return "'" + word + "' is not a command: the commands are " + OneOf(names, "and") +
           " (see qks970 --help)";
}

// Checked here rather than by validators so that each message names the
// choices the way the panel's lists show them.
std::string ResolveChoices(Parsed& p) {
    const auto romItems = static_cast<int>(Describe(ControlId::FlashTypeList).items.size());
    if (p.romType && (*p.romType < 0 || *p.romType >= romItems))
        return "--rom-type: " + std::to_string(*p.romType) + " is not one of 0 to " +
               std::to_string(romItems - 1);
    if (!p.firmwareSize.empty()) {
        p.panel.firmwareSizeItem = FindListItem(ControlId::FwSizeCheck, p.firmwareSize);
        if (!p.panel.firmwareSizeItem)
            return "--firmware-size: '" + p.firmwareSize + "' is not one of " +
                   ListChoices(ControlId::FwSizeCheck);
    }
    if (!p.pageSize.empty()) {
        p.panel.pageSizeItem = FindListItem(ControlId::FwPgSizeCheck, p.pageSize);
        if (!p.panel.pageSizeItem)
            return "--page-size: '" + p.pageSize + "' is not one of " +
                   ListChoices(ControlId::FwPgSizeCheck);
    }
    p.panel.romTypeItem = p.romType;
    return {};
}

// Decided before parsing, so that even a parse error comes out as JSON.
bool WantsJson(const std::vector<std::string>& args) {
    return std::find(args.begin(), args.end(), "--json") != args.end();
}

int Run(const std::vector<std::string>& args, Console& console, const CliEnvironment& environment) {
    Parsed p;
    CLI::App app{
        "Recovers the firmware of the Tavrel QKS970/958 USB storage bridge, and "
        "works the engineering panel for the older Tavrel bridges.",
        "qks970"};
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.set_version_flag("--version", std::string("qks970 ") + QKS_VERSION);
    // Checked after parsing, so that a misspelt command is named as such.
    app.require_subcommand(0, 1);
    app.fallthrough();
    // CLI11 reads "/name" as an option on Windows; there it is a path, as
    // everywhere else, and the commands take the same words on every system.
    app.allow_windows_style_options(false);
    AddGlobalOptions(app, p);
    app.footer(std::string(kCommandFooter) + "\n" + kExitStatusText);

    auto* list = app.add_subcommand("list", "Every USB storage device, identified");
    list->add_flag("--json", p.json, "Print one JSON document");

    auto* recover = app.add_subcommand(
        "recover", "Write the embedded firmware to the first listed QKS970/958 bridge (YES)");
    AddWriteOptions(*recover, p, WritesImage::Yes);
    recover->add_option("--header-from", p.recover.headerFrom,
                        "When the device's header is not signed: take it from this saved copy "
                        "instead of the image's")
        ->type_name("FILE");
    bool all = false;
    recover->add_flag("--all", all,
                      "Every QKS970/958 bridge that needs it, all at once, each on its own thread");

    auto* backup = app.add_subcommand("backup", "Save the flash of an older bridge to FILE");
    backup->add_option("FILE", p.panel.backupFile, "The backup file")
        ->type_name("")
        ->required();
    AddPanelOptions(*backup, p);
    backup->add_flag("--force", p.panel.force,
                     "Replace FILE when it exists (never a copy kept before a write)");

    backup->add_flag("--json", p.recover.json, "Print one JSON document");

    auto* erase = app.add_subcommand("erase", "Erase the flash of an older bridge");
    AddPanelOptions(*erase, p);
    AddWriteOptions(*erase, p, WritesImage::No);

    auto* run = app.add_subcommand(
        "run",
        "The engineering panel's Run for the older bridges: the update their family takes. It "
        "writes the image named for the chip (FW719, FW742A or FW742B: built in, or its file in "
        "the image folders; see qks970 images), never the --firmware file");
    run->add_option("--firmware", p.panel.firmwareFile,
                    "A firmware file for the chip: only checked for the chip's tag, as the panel "
                    "does; it is not what is written")
        ->type_name("FILE");
    AddPanelOptions(*run, p);
    AddWriteOptions(*run, p, WritesImage::Yes);

    auto* images = app.add_subcommand("images", "The firmware images: built in, or from files");
    images->add_flag("--json", p.json, "Print one JSON document");

    std::string restoreFile;
    auto* restore = app.add_subcommand(
        "restore", "Write a saved 64 KB flash (a backup) back to a QKS970/958 bridge, verified");
    restore->add_option("FILE", restoreFile, "The saved flash: 65536 bytes, or a whole part kept before a chip erase")
        ->type_name("")
        ->required();
    AddWriteOptions(*restore, p, WritesImage::No);
    double watchSeconds = 0;
    auto* watch = app.add_subcommand(
        "watch", "Follow device notices and print the screen after every refresh, until interrupted");
    watch->add_option("--for", watchSeconds, "Stop after SECONDS instead of waiting for Ctrl+C")
        ->type_name("SECONDS")
        ->check(SecondsCheck());
    bool station = false;
    watch->add_flag("--recover", station,
                    "Station mode: recover every QKS970/958 bridge that arrives, once (needs --yes)");
    AddWriteOptions(*watch, p, WritesImage::Yes);
    std::optional<std::string> against;
    auto* verify = app.add_subcommand(
        "verify",
        "Compare a QKS970/958 bridge's flash with what a recovery would leave it holding, or "
        "with a saved copy; writes nothing (exit 0 equal, 1 different)");
    verify->add_option("--against", against, "A saved flash (64 KB, or a whole part) to compare with instead")
        ->type_name("FILE");
    verify->add_flag("--json", p.json, "Print one JSON document");
    auto* copies = app.add_subcommand(
        "copies", "The saved copies of each enclosure's flash and the unfinished writes, newest "
                  "first; no device needed");
    copies->add_flag("--json", p.json, "Print one JSON document");
    for (auto* command : {list, recover, backup, erase, run, images, restore, watch, verify, copies})
        command->group("Commands");

    const bool json = WantsJson(args);
    if (const auto word = MistypedCommand(app, args))
        return Fail(console, json, kExitUsage, MistypedCommandText(app, *word));
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        console.OutStream() << app.help();
        return kExitSuccess;
    } catch (const CLI::CallForAllHelp&) {
        console.OutStream() << app.help("", CLI::AppFormatMode::All);
        return kExitSuccess;
    } catch (const CLI::CallForVersion& e) {
        console.Out(e.what());
        return kExitSuccess;
    } catch (const CLI::ParseError& e) {
        // A subcommand's own --help comes here too, with a success code.
        if (e.get_exit_code() == 0) {
            console.OutStream() << app.help();
            return kExitSuccess;
        }
        return Fail(console, json, kExitUsage, std::string(e.what()) + " (see qks970 --help)");
    }
    if (app.get_subcommands().empty())
        return Fail(console, json, kExitUsage,
                    "no command given: one of " + OneOf(CommandNames(app), "or") +
                        " (see qks970 --help)");
    if (const auto error = ResolveChoices(p); !error.empty())
        return Fail(console, json, kExitUsage, error);

    p.recover.json = p.recover.json || json;
    console.SetQuiet(p.global.quiet);
    if (list->parsed()) return ListCommand(p.global, p.json, console, environment);
    if (recover->parsed() && all) return RecoverAllCommand(p.global, p.recover, console, environment);
    if (recover->parsed()) return RecoverCommand(p.global, p.recover, console, environment);
    if (watch->parsed() && station)
        return StationCommand(p.global, watchSeconds, p.recover, console, environment);
    if (verify->parsed()) return VerifyCommand(p.global, against, p.json, console, environment);
    if (copies->parsed()) return CopiesCommand(p.global, p.json, console, environment);
    if (images->parsed()) return ImagesCommand(p.global, p.json, console, environment);
    if (watch->parsed()) return WatchCommand(p.global, watchSeconds, p.recover.json, console, environment);
    if (restore->parsed())
        return RestoreCommand(p.global, restoreFile, p.recover, console, environment);
    const PanelAction action = backup->parsed() ? PanelAction::Backup
                               : erase->parsed() ? PanelAction::Erase
                                                 : PanelAction::Run;
    return PanelCommand(p.global, action, p.panel, p.recover, console, environment);
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment) {
    Console console(out, err, environment.errIsTerminal);
    try {
        return Run(args, console, environment);
    } catch (const std::exception& e) {
        return Fail(console, WantsJson(args), kExitFailed,
                    std::string("internal error: ") + e.what());
    }
}

}  // namespace qks::cli
