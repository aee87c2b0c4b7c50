// What an engine sees while an operation runs: the operation's own way to
// the device, its options by value, its sink, and the copies it keeps. The
// engines never see a window.
#pragma once

#include <optional>
#include <string>

#include "device/transport.h"
#include "device/vendor_commands.h"
#include "firmware/engine_context.h"
#include "firmware/header_block.h"
#include "operations/operations.h"

namespace qks {

class OperationContext final : public EngineContext {
public:
    // What the panel's run-time choices ask of the serial-flash and ROM engines.
    enum class Choice : uint8_t { Update, EraseOnly, BackupOnly };

    OperationContext(const DeviceServices& services, const DeviceRef& device,
                     const EngineOptions& options, ProgressSink& sink, Choice choice);

    VendorCommandSet& Commands() override { return commands_; }
    Clock& GetClock() override { return services_.clock; }
    const ImageStore& Images() const override { return services_.images; }
    void SetStatusText(const std::string& text) override;
    void AppendStatusText(const std::string& more) override;
    void RepaintStatusNow() override { sink_.RepaintStatus(); }
    void ProcessPendingEvents() override { sink_.LetEventsThrough(); }
    void StepProgress(int32_t amount) override { sink_.Step(amount); }
    uint32_t FirmwareSize() const override { return options_.firmwareSize; }
    uint32_t TransferPageSize() const override { return options_.transferPageSize; }
    std::string BackupFileName() const override { return options_.backupFile; }
    bool RdChecked() const override { return choice_ != Choice::Update; }
    bool BackupOnlyChecked() const override { return choice_ == Choice::BackupOnly; }
    bool A1ChipChecked() const override { return options_.a1Chip; }
    int32_t EraseOnly() const override { return choice_ == Choice::EraseOnly ? 1 : 0; }
    int32_t AmicFlashCode() const override { return device_.id.amicFlashCode; }
    uint32_t MaxTransferBytes() const override { return services_.TransferLimit(device_.path); }
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override {
        sink_.ShowMessageBox(text, caption, icon);
    }
    void DebugOutput(const std::string& text) override { sink_.DebugOutput(text); }
    std::optional<std::vector<uint8_t>> SavedFlashStart(const DevicePath& path,
                                                        std::span<const uint8_t> current) override;
    bool KeepsCopiesBeforeWriting() const override { return !services_.backupFolder.empty(); }
    bool KeepCopyBeforeWriting(const DevicePath& path, const std::string& memory,
                               std::span<const uint8_t> bytes) override;

    // Copies of the serial flash and the record of an unfinished write.
    std::string Identity() const;
    // Reads `length` bytes of the flash and keeps them before anything is
    // erased; false (with the outcome's cause set) when that cannot be done.
    bool KeepFlashCopy(uint32_t length, bool blockReads);
    bool KeepFlashCopy(std::span<const uint8_t> flash);
    // A record is cleared by the outcome that ends it: a write this operation
    // announced, or one whose copy stood in here, or whose copy holds the
    // header just written. A serial several enclosures share keeps the
    // record of another one's cut-off write.
    void FinishWrite(bool succeeded, const HeaderBlock* written = nullptr);
    // An unsigned or unreadable header: a saved copy stands in only when a
    // record of an unfinished write names this device by its serial and all
    // its copies agree on the device's own bytes; otherwise the user picks
    // one (or --header-from does), or the image's header is taken. Returns
    // the whole copy that stood in, whose bytes beyond the image are the
    // device's own as well.
    std::optional<std::vector<uint8_t>> ResolveUnsignedHeader(HeaderBlock& header);
    void Note(const std::string& text);

    // The outcome of an engine's result, with the cause of a failure.
    Outcome Conclude(int result, const std::string& operation);
    Outcome Fail(Outcome outcome, const std::string& operation);
    const std::string& BackupPath() const { return backupPath_; }
    Transport& GetTransport() { return transport_; }
    const DeviceRef& Device() const { return device_; }

private:
    std::string CheckSameDevice();
    bool HeaderCopiesAgree() const;
    std::optional<std::string> SaveCopy(const std::string& identity, const std::string& memory,
                                        std::span<const uint8_t> bytes);

    const DeviceServices& services_;
    DeviceRef device_;
    EngineOptions options_;
    ProgressSink& sink_;
    Choice choice_;
    Transport transport_;
    VendorCommandSet commands_;
    std::string status_;
    std::string backupPath_;
    std::vector<std::string> notes_;
    std::optional<Outcome> copyFailure_;
    CommandSummary lastCommand_;
    bool checked_ = false;
    bool usedRecord_ = false;
    Transport::Hold changed_;
};

}  // namespace qks
