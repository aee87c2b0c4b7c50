#include "faces/qt/command_line.h"

#include <algorithm>
#include <array>
#include <string_view>

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

constexpr const char* kNote =
    "Toolkit options passed on: -platform NAME, -style NAME, -display NAME,\n"
    "-stylesheet FILE, -qwindowgeometry GEOMETRY, -reverse.\n";
}  // namespace

CommandLineParse ParseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    line.toolkitArguments.push_back(arguments.empty() ? kProgramName : arguments[0]);
    const std::string error = ParseWindowCommandLine(
        arguments, line, [&line](const std::vector<std::string>& all, size_t& i) {
            const std::string& argument = all[i];
            if (Contains(kToolkitWithValue, argument)) {
                if (i + 1 >= all.size()) return FaceArgument{false, argument + " needs a value"};
                line.toolkitArguments.push_back(argument);
                line.toolkitArguments.push_back(all[++i]);
                return FaceArgument{true, {}};
            }
            if (Contains(kToolkitFlags, argument)) {
                line.toolkitArguments.push_back(argument);
                return FaceArgument{true, {}};
            }
            return FaceArgument{};
        });
    if (!error.empty()) return {std::nullopt, error};
    return {std::move(line), {}};
}

std::optional<int> AnswerWithoutWindow(const CommandLineParse& parsed, std::FILE* out,
                                       std::FILE* err) {
    const auto answer = AnswerBeforeWindow(kProgramName, parsed.error,
                                           parsed.line ? &*parsed.line : nullptr, UsageText());
    if (!answer) return std::nullopt;
    std::fputs(answer->text.c_str(), answer->onErrorStream ? err : out);
    return answer->status;
}

std::string UsageText() {
    return WindowUsageText(kProgramName, "", kNote);
}

std::string VersionText() {
    return WindowVersionText(kProgramName);
}

}  // namespace qks::qt
