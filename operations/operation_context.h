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
#include "operations/journal.h"
#include "operations/operations.h"
#include "operations/sleep_hold.h"

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
    void Phase(PhaseKind phase, uint32_t done, uint32_t total) override {
        sink_.Phase(phase, done, total);
    }
    void WaitingForFlash(uint64_t waitedMs) override { sink_.WaitingForFlash(waitedMs); }
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
    void Fault(EngineStage stage, std::optional<uint32_t> address, const std::string& what) override {
        fault_ = EngineFault{stage, address, what};
    }
    // Something was erased or written, or may have been.
    bool DeviceWasChanged() const;
    std::optional<std::vector<uint8_t>> SavedFlashStart(const DevicePath& path,
                                                        std::span<const uint8_t> current) override;
    bool AnnounceWrite(const DevicePath& path, std::span<const uint8_t> written,
                       uint32_t erasedUpTo) override;
    bool KeepPartBeforeChipErase(const DevicePath& path) override;
    std::vector<uint8_t> PartToRestore(const DevicePath& path, uint32_t from) override;
    bool KeepsCopiesBeforeWriting() const override { return !services_.backupFolder.empty(); }
    bool KeepCopyBeforeWriting(const DevicePath& path, const std::string& memory,
                               std::span<const uint8_t> bytes) override;

    // Whose copies and journal entries these are: the USB serial, or the path.
    std::string Identity() const;
    // The device the operation was given still answers at its path; false
    // (with the cause set) otherwise.
    bool ConfirmSameDevice();
    // Takes the enclosure's writer lock, waiting for another write to it;
    // false (with the cause set, nothing sent) when that write did not end
    // in time. Held until the operation ends.
    bool HoldEnclosure();
    // Reads `length` bytes of the flash as the copy and the journal see it;
    // false (with the outcome's cause set) when it cannot be read.
    bool ReadFlashAsItIs(uint32_t length, bool blockReads);
    const std::vector<uint8_t>& FlashAsRead() const { return flash_; }
    // The journal's pending entry of this flow whose cut-off write left this flash:
    // one is taken (and said), several are asked about or named with
    // --journal. False (with the cause set) when none of several was chosen.
    bool FindUnfinishedWrite(const std::string& flow);
    const JournalEntry* UnfinishedWrite() const { return resumed_ ? &*entry_ : nullptr; }
    // Keeps the copy of the flash as read and the journal's entry: the
    // before-image and `after`, the whole flash as the write leaves it.
    // False (with the cause set) when either cannot be kept: nothing may be
    // erased then. A resumed entry stays the authority and is kept as it is.
    bool BeginWrite(std::span<const uint8_t> after, const std::string& flow);
    // Only the success of the write closes the entry it began or resumed.
    void EndWrite(bool succeeded);
    void Note(const std::string& text);
    // A cause found by the flow itself, before the engine ran.
    void SetCause(Outcome cause) { copyFailure_ = std::move(cause); }

    // The outcome of an engine's result, with the cause of a failure.
    Outcome Conclude(int result, const std::string& operation);
    Outcome Fail(Outcome outcome, const std::string& operation);
    const std::string& BackupPath() const { return backupPath_; }
    Transport& GetTransport() { return transport_; }
    const DeviceRef& Device() const { return device_; }

private:
    // Why another device, or none, answers at the path now; empty: the same.
    std::string CheckSameDevice(FailureKind* kind = nullptr);
    bool BeginJournalEntry(std::span<const uint8_t> after, const std::string& flow,
                           const std::string& copy);
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
    Journal journal_;
    std::vector<uint8_t> flash_;
    // What the write puts from address 0, as announced.
    std::vector<uint8_t> announced_;
    // The whole part as the write leaves it, where no journal entry keeps it.
    std::vector<uint8_t> partAfter_;
    bool partKept_ = false;
    std::optional<JournalEntry> entry_;
    // Entries of writes cut off before they changed anything on this device.
    std::vector<JournalEntry> untouched_;
    bool resumed_ = false;
    Transport::Hold changed_;
    std::optional<EngineFault> fault_;
    // A command that changes memory was sent; its answer decides whether it did.
    bool modifySent_ = false;
    bool modified_ = false;
    // From the first erase or write until the operation ends with it.
    std::unique_ptr<SleepInhibitor::Hold> sleepHold_;
    std::unique_ptr<Journal::WriterLock> writer_;
};

}  // namespace qks
