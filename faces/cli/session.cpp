#include "faces/cli/session.h"

namespace qks::cli {

std::unique_ptr<Session> Session::Open(const SessionOptions& options, Console& console,
                                       const CliEnvironment& environment, std::string& error) {
    RuntimeOptions runtimeOptions;
    runtimeOptions.emulate = options.emulate;
    runtimeOptions.traceFile = options.traceFile;
    runtimeOptions.backupFolder = options.backupFolder;
    runtimeOptions.imagesFolder = options.imagesFolder;
    runtimeOptions.virtualTime = options.virtualTime;
    runtimeOptions.programFolder = environment.programFolder;

    std::unique_ptr<Session> session(new Session());
    session->runtime_ = Runtime::Create(runtimeOptions, error);
    if (!session->runtime_) return nullptr;
    session->inspect_ = environment.inspectRuntime;
    if (options.face.verbosity >= 2) {
        session->echo_ = std::make_unique<CommandEcho>(console);
        session->runtime_->AddTraceSink(session->echo_.get());
    }
    DeviceServices base = session->runtime_->Services();
    base.forceInUse = options.forceInUse;
    session->services_ = std::make_unique<DeviceServices>(
        environment.adaptServices ? environment.adaptServices(base) : base);
    session->console_ = &console;
    session->faceOptions_ = options.face;
    return session;
}

// Only the commands that show the window's screens build it: its
// construction refreshes, and the others identify the devices themselves.
TQ71xFwTool& Session::Window() {
    if (!window_) {
        face_ = std::make_unique<CliFace>(*console_, faceOptions_);
        window_ = std::make_unique<TQ71xFwTool>(*services_, *face_);
        face_->Attach(*window_);
        window_->FormCreate(runtime_->Notifier());
    }
    return *window_;
}

Session::~Session() {
    window_.reset();
    if (inspect_ && runtime_) inspect_(*runtime_);
}

}  // namespace qks::cli
