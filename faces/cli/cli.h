// The command-line face `qks970`: one entry that parses the arguments, builds
// the window model over the chosen platform and drives it like a user would.
// main() only wires this to the process's streams and terminal.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "app/tq71x_fw_tool.h"

namespace qks {
class Runtime;
}

namespace qks::cli {

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailed = 1,       // the operation ran and failed
    kExitUsage = 2,        // bad usage or input; nothing was sent to a device
    kExitNothingToDo = 3,  // the chip already holds the embedded firmware
    kExitNoDevice = 4,
    kExitNoAccess = 5,     // a device is present but may not be opened
    kExitDeclined = 6,     // the question before writing was answered no; nothing written
};

// What the process offers besides its two output streams. The defaults are a
// run without a terminal: no prompt can be answered and no bar is drawn.
struct CliEnvironment {
    std::istream* input = nullptr;  // answers to prompts
    bool inputIsTerminal = false;
    bool errIsTerminal = false;  // the progress bar is drawn on the error stream
    std::string programFolder;   // with its trailing separator

    // Seams for tests: change the services before the model is built, and
    // look at the runtime once the model is gone (all commands sent).
    std::function<DeviceServices(DeviceServices)> adaptServices;
    std::function<void(Runtime&)> inspectRuntime;
    // Handed the runtime as soon as it is built (a test plugs and unplugs
    // emulated bridges through it while a command runs).
    std::function<void(Runtime&)> startedRuntime;
};

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const CliEnvironment& environment = {});

// The process's own terminal, for main().
CliEnvironment ProcessEnvironment(const char* argv0);

}  // namespace qks::cli
