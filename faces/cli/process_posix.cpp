// The process's terminal and its program folder on POSIX systems.
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "faces/cli/cli.h"

namespace qks::cli {

CliEnvironment ProcessEnvironment(const char* argv0) {
    CliEnvironment environment;
    environment.input = &std::cin;
    environment.inputIsTerminal = ::isatty(STDIN_FILENO) == 1;
    environment.errIsTerminal = ::isatty(STDERR_FILENO) == 1;
    std::error_code error;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error && argv0) program = std::filesystem::absolute(argv0, error);
    if (!program.empty()) environment.programFolder = program.parent_path().string() + "/";
    return environment;
}

}  // namespace qks::cli
