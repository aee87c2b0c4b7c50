// The program's options. They are read before the toolkit starts, so --help,
// --version and a mistake work without a display.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "faces/common/window_command_line.h"

namespace qks::qt {

inline constexpr const char* kProgramName = "qks970-recovery";

// The shared options, and the toolkit's own that this program passes on.
struct CommandLine : WindowCommandLine {
    // The program name and the toolkit's own options (-platform offscreen,
    // -style, ...), for the application object.
    std::vector<std::string> toolkitArguments;
};

struct CommandLineParse {
    std::optional<CommandLine> line;
    std::string error;   // one line, without the program name; empty on success
};

// `arguments` as main receives them, the program name first.
CommandLineParse ParseCommandLine(const std::vector<std::string>& arguments);

// What the program answers before any window exists: the exit status after
// a mistake (one line on `err`, status 2), --help or --version (on `out`,
// status 0); nothing when the window is to be opened.
std::optional<int> AnswerWithoutWindow(const CommandLineParse& parsed, std::FILE* out,
                                       std::FILE* err);

std::string UsageText();
std::string VersionText();

}  // namespace qks::qt
