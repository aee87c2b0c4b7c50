// An engine context that records what an engine shows: every status text,
// message box, debugger line and progress step, over any pass-through.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/transport.h"
#include "device/vendor_commands.h"
#include "firmware/engine_context.h"
#include "firmware/image_store.h"

namespace qks::test {

struct ShownBox {
    std::string text;
    std::string caption;
    MessageIcon icon;
};

class RecordingContext : public EngineContext {
public:
    RecordingContext(PassThrough& passThrough, const ImageStore& images)
        : RecordingContext(passThrough, images, clock) {}
    // Over a device that keeps its own time (the emulator's erases): both
    // sides share `time`.
    RecordingContext(PassThrough& passThrough, const ImageStore& images, Clock& time)
        : time_(time), transport_(passThrough, time), commands_(transport_), images_(images) {}

    VendorCommandSet& Commands() override { return commands_; }
    Clock& GetClock() override { return time_; }
    const ImageStore& Images() const override { return images_; }

    void SetStatusText(const std::string& text) override {
        status = text;
        statusHistory.push_back(text);
    }
    void AppendStatusText(const std::string& more) override { SetStatusText(status + more); }
    void RepaintStatusNow() override { repainted.push_back(status); }
    void ProcessPendingEvents() override {
        ++eventsProcessed;
        if (onEvents) onEvents();
    }
    void StepProgress(int32_t amount) override {
        steps.push_back(amount);
        if (barVisible) progress = std::min(progress + amount, 100);
    }
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override {
        boxes.push_back({text, caption, icon});
    }
    void DebugOutput(const std::string& text) override { debug.push_back(text); }

    uint32_t FirmwareSize() const override { return firmwareSize; }
    uint32_t TransferPageSize() const override { return pageSize; }
    std::string BackupFileName() const override { return backupName; }
    bool RdChecked() const override { return rd; }
    bool BackupOnlyChecked() const override { return backupOnly; }
    bool A1ChipChecked() const override { return a1Chip; }
    int32_t EraseOnly() const override { return eraseOnly; }
    int32_t AmicFlashCode() const override { return amicCode; }
    uint32_t MaxTransferBytes() const override { return maxTransfer; }

    Transport& GetTransport() { return transport_; }

    VirtualClock clock;
    uint32_t firmwareSize = 65536;
    uint32_t pageSize = 16384;
    uint32_t maxTransfer = 0;
    std::string backupName;
    bool rd = false;
    bool backupOnly = false;
    bool a1Chip = false;
    int32_t eraseOnly = 0;
    int32_t amicCode = -1;
    bool barVisible = true;
    int progress = 20;

    std::string status;
    std::vector<std::string> statusHistory;
    std::vector<std::string> repainted;
    std::vector<ShownBox> boxes;
    std::vector<std::string> debug;
    std::vector<int32_t> steps;
    int eventsProcessed = 0;
    std::function<void()> onEvents;

private:
    Clock& time_;
    Transport transport_;
    VendorCommandSet commands_;
    const ImageStore& images_;
};

}  // namespace qks::test
