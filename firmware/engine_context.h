// What a programming engine may see of the window: its options and check
// boxes, its status line and progress bar, its message boxes, and the way
// to the device. The window model implements it; tests record it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/flash_progress.h"
#include "device/user_messages.h"
#include "device/vendor_commands.h"
#include "firmware/image_store.h"

namespace qks {

// Where an engine's flow stopped when no command failed: the stage and the
// address, so the outcome's cause never has to be read from a status text.
enum class EngineStage : uint8_t { Erase, Write, Verify, Read, Save, Prepare };
struct EngineFault {
    EngineStage stage = EngineStage::Prepare;
    std::optional<uint32_t> address;
    std::string what;   // "the flash read back differs from what was written"
};

class EngineContext : public UserMessages, public FlashProgress {
public:
    // Said by the engine where it gives up without a refused command.
    virtual void Fault(EngineStage /*stage*/, std::optional<uint32_t> /*address*/,
                       const std::string& /*what*/) {}

    virtual VendorCommandSet& Commands() = 0;
    virtual Clock& GetClock() = 0;
    virtual const ImageStore& Images() const = 0;

    // The status line: set replaces the text; append adds to what is shown
    // (the rows of dots), so no engine ever reads the line back.
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void AppendStatusText(const std::string& more) = 0;
    virtual void RepaintStatusNow() = 0;
    // Let the face handle what is pending (paint, clicks, device notices).
    virtual void ProcessPendingEvents() = 0;
    virtual void StepProgress(int32_t amount) = 0;

    virtual uint32_t FirmwareSize() const = 0;
    virtual uint32_t TransferPageSize() const = 0;
    virtual std::string BackupFileName() const = 0;   // the text of the backup name field
    virtual bool RdChecked() const = 0;
    virtual bool BackupOnlyChecked() const = 0;
    virtual bool A1ChipChecked() const = 0;
    virtual int32_t EraseOnly() const = 0;
    virtual int32_t AmicFlashCode() const = 0;

    // Largest data transfer the host moves in one command (0 = no limit).
    virtual uint32_t MaxTransferBytes() const { return 0; }

    // What this device held at the start of its flash before an earlier write
    // that did not finish (the journal's before-image), when the flash now is
    // what that write, cut off, leaves behind; nothing otherwise.
    virtual std::optional<std::vector<uint8_t>> SavedFlashStart(
        const DevicePath& /*path*/, std::span<const uint8_t> /*current*/) {
        return std::nullopt;
    }

    // Said once before the first erase: the flash will hold `written` from
    // address 0, and be erased from there up to `erasedUpTo` (the rest of the
    // part as it was, unless `erasedUpTo` is kWholePart). False: the
    // journal could not keep the write, and nothing may be erased.
    static constexpr uint32_t kWholePart = 0xFFFFFFFFu;
    virtual bool AnnounceWrite(const DevicePath& /*path*/, std::span<const uint8_t> /*written*/,
                               uint32_t /*erasedUpTo*/) {
        return true;
    }

    // Said just before a chip erase, which takes the whole part however
    // large: the context keeps what lies past the image first. False: it
    // could not, and the erase must not be sent.
    virtual bool KeepPartBeforeChipErase(const DevicePath& /*path*/) { return true; }
    // What the flash must hold from `from` on once the image is written and
    // verified: the bytes past the image a chip erase took (now, or in a
    // write cut off before). Empty when nothing past `from` was kept.
    virtual std::vector<uint8_t> PartToRestore(const DevicePath& /*path*/, uint32_t /*from*/) {
        return {};
    }

    // Copies of a memory taken before a flow erases or writes it. A context
    // that keeps them says so; the flow then reads the memory and hands the
    // bytes over, and stops when the copy could not be kept. `memory` names
    // what the bytes are ("internal ROM"), since a serial-flash copy of the
    // same device means something else.
    virtual bool KeepsCopiesBeforeWriting() const { return false; }
    virtual bool KeepCopyBeforeWriting(const DevicePath& /*path*/, const std::string& /*memory*/,
                                       std::span<const uint8_t> /*bytes*/) {
        return true;
    }

    // Status text followed by the processing of pending events, as the
    // paged operations show each text and dot.
    void ShowStatus(const std::string& text) {
        SetStatusText(text);
        ProcessPendingEvents();
    }
    void ShowStatusAppended(const std::string& more) {
        AppendStatusText(more);
        ProcessPendingEvents();
    }
    void ShowStatusAtOnce(const std::string& text) {
        SetStatusText(text);
        RepaintStatusNow();
    }
};

}  // namespace qks
