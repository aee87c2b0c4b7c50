#include "faces/win32/command_line.h"

#include <string_view>

#include "emulator/description.h"

namespace qks::win32 {

namespace {
// "--name=value" or "--name value". `matched` says whether the argument was
// this option; false is returned when its value is missing.
bool TakeValue(const std::vector<std::string>& arguments, size_t& i, std::string_view name,
               std::string& value, bool& matched) {
    const std::string_view argument = arguments[i];
    matched = false;
    if (argument == name) {
        matched = true;
        if (i + 1 >= arguments.size()) return false;
        value = arguments[++i];
        return true;
    }
    if (argument.size() > name.size() && argument.substr(0, name.size()) == name &&
        argument[name.size()] == '=') {
        matched = true;
        value = std::string(argument.substr(name.size() + 1));
    }
    return true;
}
}  // namespace

CommandLineParse ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        bool matched = false;

        if (!TakeValue(arguments, i, "--emulate", value, matched))
            return {std::nullopt, "--emulate needs a device description, e.g. --emulate q970"};
        if (matched) {
            if (value.empty()) return {std::nullopt, "--emulate needs a device description"};
            const emu::DescriptionParse parsed = emu::ParseDescription(value);
            if (!parsed.description)
                return {std::nullopt, "emulated device '" + value + "': " + parsed.error};
            line.emulate.push_back(value);
            continue;
        }
        if (!TakeValue(arguments, i, "--trace", value, matched) || (matched && value.empty()))
            return {std::nullopt, "--trace needs a file name"};
        if (matched) {
            line.traceFile = value;
            continue;
        }
        if (argument == "--engineering") {
            line.engineering = true;
        } else if (argument == "--self-test") {
            line.selfTest = true;
        } else if (argument == "--virtual-time") {
            line.virtualTime = true;
        } else if (argument == "-v" || argument == "--verbose") {
            line.verbose = true;
        } else if (argument == "-h" || argument == "--help" || argument == "/?") {
            line.help = true;
        } else if (argument == "--version") {
            line.version = true;
        } else if (!argument.empty() && argument[0] == '-') {
            return {std::nullopt, "unknown option '" + argument + "' (see --help)"};
        } else {
            return {std::nullopt, "unexpected argument '" + argument + "' (see --help)"};
        }
    }
    if (line.selfTest && line.emulate.empty())
        return {std::nullopt, "--self-test recovers an emulated bridge: add --emulate q970"};
    // The engineering panel lists updated bridges too, so the power cycle
    // would not end where the ordinary window's does.
    if (line.selfTest && line.engineering)
        return {std::nullopt, "--self-test checks the ordinary window: leave out --engineering"};
    if (line.virtualTime && line.emulate.empty())
        return {std::nullopt, "--virtual-time applies to emulated bridges only"};
    return {std::move(line), {}};
}

std::string UsageText() {
    return std::string("Usage: ") + kProgramName + " [options]\n"
        "Recovers the firmware of a Tavrel QKS970/958 USB storage bridge.\n"
        "\n"
        "Options:\n"
        "  --emulate DESCRIPTION  add an emulated bridge instead of the real devices;\n"
        "                         repeat for more, e.g. --emulate q970\n"
        "                         --emulate q970:content=updated. The window then\n"
        "                         gets switches for each enclosure's power.\n"
        "  --trace FILE           write every device command to FILE (JSON lines)\n"
        "  --engineering          open the engineering controls (also Ctrl+Shift+R)\n"
        "  --virtual-time         emulated bridges take no real time\n"
        "  --self-test            with --emulate q970, without --engineering:\n"
        "                         recover the emulated bridge through the window's\n"
        "                         own controls, check every control against the\n"
        "                         window model, print the results and exit\n"
        "                         (0: all passed)\n"
        "  -v, --verbose          print diagnostics on standard error\n"
        "  -h, --help             show this text\n"
        "  --version              show the version\n"
        "\n"
        "Real devices need administrator rights (\"Run as administrator\").\n"
        "\n"
        "Exit status: 0 when the window was closed, 1 when the program could not\n"
        "start or stopped on an error, 2 for a bad option or device description.\n";
}

std::string VersionText() {
    return std::string(kProgramName) + " " + QKS_VERSION + "\n";
}

}  // namespace qks::win32
