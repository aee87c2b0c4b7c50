#include "faces/common/runtime.h"

#include "emulator/platform.h"
#include "faces/common/system_platform.h"
#include "firmware/image_files.h"

#include <cstdlib>

namespace qks {

namespace {
// One trace line per command, in the file before the next command is sent.
class LineFileTrace final : public TraceSink {
public:
    explicit LineFileTrace(LineFile& file) : file_(file) {}
    void Record(const TraceRecord& record) override { file_.WriteLine(TraceLine(record)); }

private:
    LineFile& file_;
};

std::string FromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}
}  // namespace

std::string DefaultBackupFolder() {
    if (auto dir = FromEnvironment("QKS970_BACKUP_DIR"); !dir.empty()) return dir;
#ifdef _WIN32
    if (auto local = FromEnvironment("LOCALAPPDATA"); !local.empty())
        return local + "\\qks970-recovery\\backups";
    return "qks970-backups";
#else
    if (auto state = FromEnvironment("XDG_STATE_HOME"); !state.empty())
        return state + "/qks970-recovery/backups";
    if (auto home = FromEnvironment("HOME"); !home.empty())
        return home + "/.local/state/qks970-recovery/backups";
    return "qks970-backups";
#endif
}

Runtime::~Runtime() = default;

std::unique_ptr<Runtime> Runtime::Create(const RuntimeOptions& options, std::string& error,
                                         RuntimeFailure* failure) {
    const auto fail = [&](RuntimeFailure why) {
        if (failure) *failure = why;
        return nullptr;
    };
    std::unique_ptr<Runtime> runtime(new Runtime());
    // Before any device is opened: --images must name a folder. A refused
    // image file stops only the flows that would write that image.
    runtime->images_ = OpenImages(options.imagesFolder, SystemImagePlaces(options.programFolder),
                                  EmbeddedImages(), error);
    if (!runtime->images_) return fail(RuntimeFailure::Image);
    runtime->programFolder_ = options.programFolder;
    runtime->backupFolder_ =
        options.backupFolder.empty() ? DefaultBackupFolder() : options.backupFolder;
    const bool emulated = !options.emulate.empty();
    if (emulated && options.virtualTime)
        runtime->clock_ = std::make_unique<VirtualClock>();
    else
        runtime->clock_ = std::make_unique<SystemClock>();

    if (emulated) {
        // The emulated bridges' firmware, even when a file for it was refused.
        auto image = runtime->images_->Find(kTargetImageName);
        if (image.empty()) image = EmbeddedImages().Find(kTargetImageName);
        runtime->emulator_ = std::make_unique<emu::EmulatorPlatform>(*runtime->clock_, image);
        for (const auto& description : options.emulate) {
            const auto added = runtime->emulator_->AddBridge(description);
            if (!added.ok()) {
                error = "bad emulator description '" + description + "': " + added.error;
                return fail(RuntimeFailure::Input);
            }
        }
        runtime->passThrough_ = runtime->emulator_.get();
        runtime->enumerator_ = runtime->emulator_.get();
        runtime->notifier_ = runtime->emulator_.get();
        emu::EmulatorPlatform* emulator = runtime->emulator_.get();
        runtime->diskUsers_ = [emulator](const DevicePath& path) { return emulator->DiskUsersOf(path); };
    } else {
        std::string problem;
        SystemPlatform system = MakeSystemPlatform(problem);
        if (!system.passThrough) {
            error = problem;
            return fail(RuntimeFailure::System);
        }
        runtime->warning_ = problem;
        runtime->transferLimit_ = system.transferLimit;
        runtime->diskUsers_ = system.diskUsers;
        runtime->ownedPassThrough_ = std::move(system.passThrough);
        runtime->ownedEnumerator_ = std::move(system.enumerator);
        runtime->ownedNotifier_ = std::move(system.notifier);
        runtime->ownedSleepInhibitor_ = std::move(system.sleepInhibitor);
        runtime->passThrough_ = runtime->ownedPassThrough_.get();
        runtime->enumerator_ = runtime->ownedEnumerator_.get();
        runtime->notifier_ = runtime->ownedNotifier_.get();
        runtime->maxTransferBytes_ = system.maxTransferBytes;
    }

    if (!options.traceFile.empty()) {
        std::string why;
        runtime->traceLines_ = LineFile::Create(options.traceFile, why);
        if (!runtime->traceLines_) {
            error = "cannot write the trace file '" + options.traceFile + "': " + why;
            return fail(RuntimeFailure::System);
        }
        runtime->traceFile_ = std::make_unique<LineFileTrace>(*runtime->traceLines_);
        runtime->fanOut_.Add(runtime->traceFile_.get());
    }
    return runtime;
}

DeviceServices Runtime::Services() {
    DeviceServices services(*passThrough_, *enumerator_, *clock_, *images_);
    services.trace = &fanOut_;
    services.programFolder = programFolder_;
    services.maxTransferBytes = maxTransferBytes_;
    services.backupFolder = backupFolder_;
    services.transferLimit = transferLimit_;
    services.sleepInhibitor = ownedSleepInhibitor_.get();
    services.diskUsers = diskUsers_;
    return services;
}

uint64_t Runtime::EmulatedMicros() const {
    if (!emulator_) return 0;
    if (dynamic_cast<const VirtualClock*>(clock_.get())) return clock_->NowMicros();
    uint64_t total = 0;
    for (size_t i = 0; i < emulator_->BridgeCount(); ++i) total += emulator_->EmulatedMicros(i);
    return total;
}

}  // namespace qks
