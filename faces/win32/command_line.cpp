#include "faces/win32/command_line.h"

namespace qks::win32 {

namespace {
constexpr const char* kOwnOptions =
    "  --virtual-time         emulated bridges take no real time\n"
    "  --self-test            with --emulate q970, without --engineering:\n"
    "                         recover the emulated bridge through the window's\n"
    "                         own controls, check every control against the\n"
    "                         window model, print the results and exit\n"
    "                         (0: all passed)\n";

constexpr const char* kNote = "Real devices need administrator rights (\"Run as administrator\").\n";
}  // namespace

CommandLineParse ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    const std::string error = ParseWindowCommandLine(
        arguments, line, [&line](const std::vector<std::string>& all, size_t& i) {
            const std::string& argument = all[i];
            if (argument == "--self-test")
                line.selfTest = true;
            else if (argument == "--virtual-time")
                line.virtualTime = true;
            else if (argument == "/?")   // what Windows programs answer with their help
                line.help = true;
            else
                return FaceArgument{};
            return FaceArgument{true, {}};
        });
    if (!error.empty()) return {std::nullopt, error};
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
    return WindowUsageText(kProgramName, kOwnOptions, kNote);
}

std::string VersionText() {
    return WindowVersionText(kProgramName);
}

}  // namespace qks::win32
