// One run's objects in the order they depend on each other: the runtime
// (platform, clock, trace) and the services the operations take from it.
// The command line holds no window model: its commands start from the one
// discovery of the operations.
#pragma once

#include <memory>
#include <string>

#include "device/command_trace.h"
#include "faces/cli/cli.h"
#include "faces/cli/console.h"
#include "faces/common/runtime.h"
#include "operations/services.h"

namespace qks::cli {

struct FaceOptions {
    int verbosity = 0;
};

// A message box as a terminal run shows it, or a JSON document keeps it.
struct ShownMessage {
    std::string caption;
    std::string text;
};

struct SessionOptions {
    std::vector<std::string> emulate;
    std::string traceFile;
    std::string backupFolder;
    std::string imagesFolder;
    bool virtualTime = false;
    bool forceInUse = false;
    FaceOptions face;
};

class Session {
public:
    // Nothing when the runtime cannot be built; `error` then says why.
    static std::unique_ptr<Session> Open(const SessionOptions& options, Console& console,
                                         const CliEnvironment& environment, std::string& error);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Runtime& GetRuntime() { return *runtime_; }
    // What the operations work through, adapted or not.
    DeviceServices& Services() { return *services_; }

private:
    Session() = default;

    class CommandEcho final : public TraceSink {
    public:
        explicit CommandEcho(Console& console) : console_(console) {}
        void Record(const TraceRecord& record) override {
            console_.Err("command: " + TraceLine(record));
        }

    private:
        Console& console_;
    };

    std::function<void(Runtime&)> inspect_;
    std::unique_ptr<Runtime> runtime_;
    std::unique_ptr<CommandEcho> echo_;
    std::unique_ptr<DeviceServices> services_;
};

}  // namespace qks::cli
