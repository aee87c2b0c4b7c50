// The program's options on Windows. They are read before the window
// exists, so --help, --version and a mistake need no window.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "faces/common/window_command_line.h"

namespace qks::win32 {

inline constexpr const char* kProgramName = "qks970-recovery";

// The shared options, and what only this program has: the self-test, and
// virtual time for it to run without waiting.
struct CommandLine : WindowCommandLine {
    bool selfTest = false;
    bool virtualTime = false;
};

struct CommandLineParse {
    std::optional<CommandLine> line;
    std::string error;   // one line, without the program name; empty on success
};

// `arguments` as main receives them, the program name first.
CommandLineParse ParseCommandLine(const std::vector<std::string>& arguments);

std::string UsageText();
std::string VersionText();

}  // namespace qks::win32
