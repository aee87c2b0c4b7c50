#include "faces/qt/command_line.h"

#include <algorithm>
#include <array>
#include <string_view>

#ifdef QKS_WITH_EMULATOR
#include "emulator/description.h"
#endif

namespace qks::qt {

namespace {
// The toolkit options worth passing on; the rest of Qt's are rarely typed
// and QT_* environment variables cover them.
constexpr std::array<std::string_view, 5> kToolkitWithValue = {"-platform", "-style", "-display",
                                                                "-stylesheet", "-qwindowgeometry"};
constexpr std::array<std::string_view, 1> kToolkitFlags = {"-reverse"};

bool Contains(auto const& table, std::string_view word) {
    return std::find(table.begin(), table.end(), word) != table.end();
}

// "--name=value" or "--name value"; false when the value is missing.
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
        return true;
    }
    return true;
}

std::string CheckDescription(const std::string& description) {
    if (description.empty()) return "--emulate needs a device description";
#ifdef QKS_WITH_EMULATOR
    const emu::DescriptionParse parsed = emu::ParseDescription(description);
    if (!parsed.description) return "emulated device '" + description + "': " + parsed.error;
#endif
    return {};
}
}  // namespace

CommandLineParse ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    line.toolkitArguments.push_back(arguments.empty() ? kProgramName : arguments[0]);
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        bool matched = false;

        if (!TakeValue(arguments, i, "--emulate", value, matched))
            return {std::nullopt, "--emulate needs a device description, e.g. --emulate q970"};
        if (matched) {
            if (std::string error = CheckDescription(value); !error.empty())
                return {std::nullopt, error};
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
        } else if (argument == "-v" || argument == "--verbose") {
            line.verbose = true;
        } else if (argument == "-h" || argument == "--help") {
            line.help = true;
        } else if (argument == "--version") {
            line.version = true;
        } else if (Contains(kToolkitWithValue, argument)) {
            if (i + 1 >= arguments.size()) return {std::nullopt, argument + " needs a value"};
            line.toolkitArguments.push_back(argument);
            line.toolkitArguments.push_back(arguments[++i]);
        } else if (Contains(kToolkitFlags, argument)) {
            line.toolkitArguments.push_back(argument);
        } else if (!argument.empty() && argument[0] == '-') {
            return {std::nullopt, "unknown option '" + argument + "' (see --help)"};
        } else {
            return {std::nullopt, "unexpected argument '" + argument + "' (see --help)"};
        }
    }
    return {std::move(line), {}};
}

std::optional<int> AnswerWithoutWindow(const CommandLineParse& parsed, std::FILE* out,
                                       std::FILE* err) {
    if (!parsed.line) {
        std::fprintf(err, "%s: %s\n", kProgramName, parsed.error.c_str());
        return 2;
    }
    if (parsed.line->help) {
        std::fputs(UsageText().c_str(), out);
        return 0;
    }
    if (parsed.line->version) {
        std::fputs(VersionText().c_str(), out);
        return 0;
    }
    return std::nullopt;
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
        "  -v, --verbose          print diagnostics on standard error\n"
        "  -h, --help             show this text\n"
        "  --version              show the version\n"
        "\n"
        "Toolkit options passed on: -platform NAME, -style NAME, -display NAME,\n"
        "-stylesheet FILE, -qwindowgeometry GEOMETRY, -reverse.\n"
        "\n"
        "Exit status: 0 when the window was closed, 1 when the program could not\n"
        "start or stopped on an error, 2 for a bad option or device description.\n";
}

std::string VersionText() {
    return std::string(kProgramName) + " " + QKS_VERSION + "\n";
}

}  // namespace qks::qt
