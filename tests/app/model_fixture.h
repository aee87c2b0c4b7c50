// A window model over emulated bridges, with a face that records what it is
// asked to show and can act as a user while an engine lets events through.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "support/enumerators.h"
#include "device/clock.h"
#include "emulator/platform.h"
#include "firmware/image_store.h"

namespace qks::test {

class RecordingFace : public WindowFace {
public:
    void ControlChanged(ControlId) override { ++changes; }
    void ClientHeightChanged(int height) override { heights.push_back(height); }
    void RepaintNow(ControlId id) override { repaints.push_back(id); }
    void ProcessPendingEvents() override {
        ++eventRounds;
        if (onEvents) {
            auto action = std::move(onEvents);   // once, as a user would act once
            onEvents = nullptr;
            action();
        }
    }
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon) override {
        boxes.push_back(caption + ": " + text);
    }
    void DebugOutput(const std::string& text) override { debug.push_back(text); }
    std::optional<std::string> ChooseFile(const std::string&, const std::string&) override {
        return chosenFile;
    }
    bool ConfirmRisk(const std::string& text) override {
        risks.push_back(text);
        if (onRisk) onRisk();
        return acceptRisk;
    }
    void CloseWindow() override { ++closes; }

    int changes = 0;
    std::vector<int> heights;
    std::vector<ControlId> repaints;
    int eventRounds = 0;
    std::function<void()> onEvents;
    std::vector<std::string> boxes;
    std::vector<std::string> debug;
    std::optional<std::string> chosenFile;
    std::vector<std::string> risks;
    std::function<void()> onRisk;   // what happens while the question is open
    bool acceptRisk = false;
    int closes = 0;
};

// Operations on several threads may record at once.
class RecordingTrace : public TraceSink {
public:
    void Record(const TraceRecord& record) override {
        const std::lock_guard<std::mutex> hold(lock_);
        records.push_back(record);
    }
    std::vector<TraceRecord> records;

private:
    std::mutex lock_;
};

class ModelFixture {
public:
    explicit ModelFixture(std::vector<std::string> bridges = {}) {
        platform = std::make_unique<emu::EmulatorPlatform>(clock, Image());
        for (const auto& text : bridges) Add(text);
    }
    void Add(const std::string& text) {
        const auto added = platform->AddBridge(text);
        if (!added.ok()) throw std::runtime_error(added.error);
    }
    static std::span<const uint8_t> Image() { return EmbeddedImages().Find(kTargetImageName); }

    TQ71xFwTool& Open(DeviceEnumerator* enumerator = nullptr) {
        DeviceServices services(*platform, enumerator ? *enumerator : *platform, clock,
                                EmbeddedImages());
        services.trace = &trace;
        services.programFolder = "/opt/qks/";
        services.backupFolder = backupFolder;
        services.diskUsers = [p = platform.get()](const DevicePath& path) {
            return p->DiskUsersOf(path);
        };
        window = std::make_unique<TQ71xFwTool>(services, face);
        window->FormCreate(platform.get());
        return *window;
    }
    // The operations' way to these bridges, traced, with copies kept in
    // `folder` (none when empty).
    DeviceServices Services(const std::string& folder = "") {
        DeviceServices services(*platform, *platform, clock, EmbeddedImages());
        services.trace = &trace;
        services.backupFolder = folder;
        return services;
    }
    // A plugged-in bridge as identification hands it to an operation.
    DeviceRef RefOf(size_t bridge, const DeviceServices& services) {
        const DevicePath path = platform->PathsOf(bridge).at(0);
        SilentSink silent;
        for (const auto& info : platform->ListUsbStorage(InterfaceClass::Disk))
            if (info.path == path) return Identify(services, info, InterfaceClass::Disk, silent).Ref();
        return {};
    }
    std::vector<uint8_t> Flash(size_t bridge = 0) const {
        auto bytes = platform->Bridge(bridge).Flash();
        return {bytes.begin(), bytes.end()};
    }

    // Sequence number of the last command so far whose opcode is `opcode`.
    uint64_t LastSeqOf(uint8_t opcode) const {
        uint64_t seq = 0;
        for (const auto& r : trace.records)
            if (!r.cdb.empty() && r.cdb[0] == opcode) seq = r.seq;
        return seq;
    }

    VirtualClock clock;
    RecordingTrace trace;
    std::string backupFolder;
    std::unique_ptr<emu::EmulatorPlatform> platform;
    RecordingFace face;
    std::unique_ptr<TQ71xFwTool> window;
};

}  // namespace qks::test
