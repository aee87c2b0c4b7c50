// One run's objects in the order they depend on each other: the runtime
// (platform, clock, trace), the face, and the window model over them. The
// model goes first at the end, so its exit commands still reach the devices.
#pragma once

#include <memory>
#include <string>

#include "app/tq71x_fw_tool.h"
#include "device/command_trace.h"
#include "faces/cli/cli.h"
#include "faces/cli/cli_face.h"
#include "faces/common/runtime.h"

namespace qks::cli {

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

    TQ71xFwTool& Window();
    CliFace& Face() { return *face_; }
    Runtime& GetRuntime() { return *runtime_; }
    // What the model was built from, adapted or not.
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
    Console* console_ = nullptr;
    FaceOptions faceOptions_;
    std::unique_ptr<Runtime> runtime_;
    std::unique_ptr<CommandEcho> echo_;
    std::unique_ptr<DeviceServices> services_;
    std::unique_ptr<CliFace> face_;
    std::unique_ptr<TQ71xFwTool> window_;
};

}  // namespace qks::cli
