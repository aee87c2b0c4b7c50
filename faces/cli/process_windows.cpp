// The process's console and its program folder on Windows.
#include <windows.h>

#include <csignal>
#include <iostream>
#include <string>

#include "faces/cli/cli.h"
#include "faces/cli/interrupts.h"

namespace qks::cli {

namespace {
bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// The bar is redrawn with "\r" and an erase-line sequence, which a console
// understands only once it is asked to (Windows 10 and later); a console
// that refuses gets no bar, as a redirected stream gets none.
bool DrawsTerminalSequences(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
}  // namespace

CliEnvironment ProcessEnvironment(const char*) {
    CliEnvironment environment;
    environment.input = &std::cin;
    environment.inputIsTerminal = IsConsole(STD_INPUT_HANDLE);
    environment.errIsTerminal = DrawsTerminalSequences(STD_ERROR_HANDLE);
    char path[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    const std::string program(path, length < sizeof path ? length : 0);
    const size_t slash = program.find_last_of("\\/");
    if (slash != std::string::npos) environment.programFolder = program.substr(0, slash + 1);
    return environment;
}

}  // namespace qks::cli

namespace qks::cli {

// The C runtime's handlers restart nothing: a console control event runs
// the handler on a thread of its own.
struct InterruptHandlers::Previous {
    void (*interrupt)(int) = SIG_DFL;
    void (*terminate)(int) = SIG_DFL;
};

InterruptHandlers::InterruptHandlers(Handler handler) : previous_(std::make_unique<Previous>()) {
    previous_->interrupt = std::signal(SIGINT, handler);
    previous_->terminate = std::signal(SIGTERM, handler);
}

InterruptHandlers::~InterruptHandlers() {
    std::signal(SIGINT, previous_->interrupt);
    std::signal(SIGTERM, previous_->terminate);
}

}  // namespace qks::cli
