// The composition root the faces share: which platform serves the devices
// (the emulator, chosen by --emulate, or the operating system's), the clock,
// the command trace, and the services the window model is built from.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "device/clock.h"
#include "device/command_trace.h"
#include "device/device_notifier.h"
#include "device/enumeration.h"
#include "device/pass_through.h"
#include "device/sleep_inhibitor.h"
#include "firmware/durable_file.h"

namespace qks::emu {
class EmulatorPlatform;
}

namespace qks {

class LayeredImageStore;

struct RuntimeOptions {
    std::vector<std::string> emulate;   // PROFILE[:key=value,...], one bridge each
    std::string traceFile;
    bool virtualTime = false;           // emulated runs only: no real sleeping
    std::string programFolder;
    std::string backupFolder;           // empty: the user's state folder
    std::string imagesFolder;           // --images: looked in before the search path
};

// Why a runtime could not be built, for the exit status and for whether a
// window shows it: the system's fault, or the user's input.
enum class RuntimeFailure : uint8_t { System, Input, Image };

// Where flash backups are kept: $QKS970_BACKUP_DIR, else the XDG state home
// (~/.local/state) on Linux, the local application data folder on Windows.
std::string DefaultBackupFolder();

class Runtime {
public:
    // Nothing when the options do not hold; `error` then says why in one line.
    static std::unique_ptr<Runtime> Create(const RuntimeOptions& options, std::string& error,
                                           RuntimeFailure* failure = nullptr);
    ~Runtime();

    DeviceServices Services();
    DeviceNotifier* Notifier() { return notifier_; }
    Clock& GetClock() { return *clock_; }
    bool Emulated() const { return emulator_ != nullptr; }
    emu::EmulatorPlatform* Emulator() { return emulator_.get(); }
    // Extra trace sinks (the command line's -v) join the trace file.
    void AddTraceSink(TraceSink* sink) { fanOut_.Add(sink); }
    // Something that works less well than it should (no device notices), or empty.
    const std::string& Warning() const { return warning_; }
    // What the last run would have taken on hardware (emulator only), in µs.
    uint64_t EmulatedMicros() const;

private:
    Runtime() = default;

    std::unique_ptr<LayeredImageStore> images_;
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<emu::EmulatorPlatform> emulator_;
    std::unique_ptr<PassThrough> ownedPassThrough_;
    std::unique_ptr<DeviceEnumerator> ownedEnumerator_;
    std::unique_ptr<DeviceNotifier> ownedNotifier_;
    // Real devices only: an emulated write needs no awake computer.
    std::unique_ptr<SleepInhibitor> ownedSleepInhibitor_;
    PassThrough* passThrough_ = nullptr;
    DeviceEnumerator* enumerator_ = nullptr;
    DeviceNotifier* notifier_ = nullptr;
    std::unique_ptr<LineFile> traceLines_;
    std::unique_ptr<TraceSink> traceFile_;
    TraceFanOut fanOut_;
    std::string programFolder_;
    std::string backupFolder_;
    uint32_t maxTransferBytes_ = 0;
    std::function<uint32_t(const DevicePath&)> transferLimit_;
    DiskUseProbe diskUsers_;
    std::string warning_;
};

}  // namespace qks
