#include "faces/common/window_command_line.h"

#include <string_view>

#include "emulator/description.h"

#ifndef QKS_VERSION
#define QKS_VERSION "0.0.0"
#endif

namespace qks {

namespace {
std::string CheckDescription(const std::string& description) {
    if (description.empty()) return "--emulate needs a device description";
    const emu::DescriptionParse parsed = emu::ParseDescription(description);
    if (!parsed.description) return "emulated device '" + description + "': " + parsed.error;
    return {};
}
}  // namespace

bool TakeOptionValue(const std::vector<std::string>& arguments, size_t& index,
                     const std::string& name, std::string& value, bool& matched) {
    const std::string_view argument = arguments[index];
    matched = false;
    if (argument == name) {
        matched = true;
        if (index + 1 >= arguments.size()) return false;
        value = arguments[++index];
        return true;
    }
    if (argument.size() > name.size() && argument.substr(0, name.size()) == name &&
        argument[name.size()] == '=') {
        matched = true;
        value = std::string(argument.substr(name.size() + 1));
    }
    return true;
}

std::string ParseWindowCommandLine(const std::vector<std::string>& arguments,
                                   WindowCommandLine& line, const FaceArguments& faceArguments) {
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        bool matched = false;

        if (!TakeOptionValue(arguments, i, "--emulate", value, matched))
            return "--emulate needs a device description, e.g. --emulate q970";
        if (matched) {
            if (std::string error = CheckDescription(value); !error.empty()) return error;
            line.emulate.push_back(value);
            continue;
        }
        if (!TakeOptionValue(arguments, i, "--trace", value, matched) ||
            (matched && value.empty()))
            return "--trace needs a file name";
        if (matched) {
            line.traceFile = value;
            continue;
        }
        if (!TakeOptionValue(arguments, i, "--images", value, matched) ||
            (matched && value.empty()))
            return "--images needs a folder";
        if (matched) {
            line.imagesFolder = value;
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
        } else {
            const FaceArgument face = faceArguments ? faceArguments(arguments, i) : FaceArgument{};
            if (!face.error.empty()) return face.error;
            if (face.taken) continue;
            if (!argument.empty() && argument[0] == '-')
                return "unknown option '" + argument + "' (see --help)";
            return "unexpected argument '" + argument + "' (see --help)";
        }
    }
    return {};
}

std::string WindowUsageText(const std::string& program, const std::string& faceOptions,
                            const std::string& note) {
    std::string text = "Usage: " + program + " [options]\n"
        "Recovers the firmware of a Tavrel QKS970/958 USB storage bridge.\n"
        "\n"
        "Options:\n"
        "  --emulate DESCRIPTION  add an emulated bridge instead of the real devices;\n"
        "                         repeat for more, e.g. --emulate q970\n"
        "                         --emulate q970:content=updated. The window then\n"
        "                         gets switches for each enclosure's power.\n"
        "  --trace FILE           write every device command to FILE (JSON lines)\n"
        "  --images DIR           look for firmware image files (NAME.bin) in DIR first\n"
        "  --engineering          open the engineering controls (also Ctrl+Shift+R)\n";
    text += faceOptions;
    text +=
        "  -v, --verbose          print diagnostics on standard error\n"
        "  -h, --help             show this text\n"
        "  --version              show the version\n"
        "\n";
    if (!note.empty()) text += note + "\n";
    text +=
        "Exit status: 0 when the window was closed, 1 when the program could not\n"
        "start or stopped on an error, 2 for a bad option or device description.\n";
    return text;
}

std::string WindowVersionText(const std::string& program) {
    return program + " " + QKS_VERSION + "\n";
}

std::optional<EarlyAnswer> AnswerBeforeWindow(const std::string& program, const std::string& error,
                                              const WindowCommandLine* line,
                                              const std::string& usage) {
    if (!line) return EarlyAnswer{2, true, program + ": " + error + "\n"};
    if (line->help) return EarlyAnswer{0, false, usage};
    if (line->version) return EarlyAnswer{0, false, WindowVersionText(program)};
    return std::nullopt;
}

}  // namespace qks
