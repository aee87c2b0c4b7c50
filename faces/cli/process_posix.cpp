// The process's terminal and its program folder on POSIX systems.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "faces/cli/cli.h"
#include "faces/cli/interrupts.h"

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

namespace qks::cli {

struct InterruptHandlers::Previous {
    struct sigaction interrupt {};
    struct sigaction terminate {};
};

InterruptHandlers::InterruptHandlers(Handler handler) : previous_(std::make_unique<Previous>()) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no SA_RESTART
    sigaction(SIGINT, &action, &previous_->interrupt);
    sigaction(SIGTERM, &action, &previous_->terminate);
}

InterruptHandlers::~InterruptHandlers() {
    sigaction(SIGINT, &previous_->interrupt, nullptr);
    sigaction(SIGTERM, &previous_->terminate, nullptr);
}

}  // namespace qks::cli
