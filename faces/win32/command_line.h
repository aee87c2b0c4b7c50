// The program's options on Windows. They are read before the window
// exists, so --help, --version and a mistake need no window.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qks::win32 {

inline constexpr const char* kProgramName = "qks970-recovery";

struct CommandLine {
    std::vector<std::string> emulate;   // one emulated bridge each
    std::string traceFile;
    bool engineering = false;
    bool verbose = false;
    bool selfTest = false;
    bool virtualTime = false;
    bool help = false;
    bool version = false;
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
