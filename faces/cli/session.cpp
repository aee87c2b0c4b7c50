#include "faces/cli/session.h"

#include "firmware/image_files.h"

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
    // Said at once, as it stops only the commands that write that image.
    for (const char* name : kImageNames)
        if (const auto refusal = session->services_->images.RefusalOf(name); !refusal.empty())
            console.Err("qks970: warning: " + refusal + "; what would write " + name + " stops");
    return session;
}

Session::~Session() {
    if (inspect_ && runtime_) inspect_(*runtime_);
}

}  // namespace qks::cli
