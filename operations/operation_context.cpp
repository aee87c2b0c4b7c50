#include "operations/operation_context.h"

#include <algorithm>
#include <ctime>

#include "device/block_transfers.h"
#include "device/chip_id.h"
#include "firmware/flash_backup.h"
#include "firmware/flash_maintenance.h"
#include "operations/in_use.h"

namespace qks {

namespace {
std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \r\n\t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \r\n\t") - first + 1);
}

const char* SeriesName(ChipIdValue chip) { return FamilyOf(chip).series; }

// The header positions the merge keeps from the device: its own bytes.
template <typename A, typename B>
bool SameOwnHeader(const A& a, const B& b) {
    for (size_t i = 0; i < kHeaderBlockBytes; ++i)
        if (HeaderMergeMask[i] >= 256 && a[i] != b[i]) return false;
    return true;
}

// The engines end a failed flow on a text of their own ("Compare Fail!!"),
// or leave a progress line ("ReadFlash....") that names nothing.
bool SaysWhatFailed(const std::string& text) {
    const std::string t = Trim(text);
    return t.size() >= 2 && t.compare(t.size() - 2, 2, "!!") == 0;
}
}  // namespace

OperationContext::OperationContext(const DeviceServices& services, const DeviceRef& device,
                                   const EngineOptions& options, ProgressSink& sink,
                                   Choice choice)
    : services_(services),
      device_(device),
      options_(options),
      sink_(sink),
      choice_(choice),
      transport_(services.passThrough, services.clock, services.trace),
      commands_(transport_) {
    // The device the operation was given must be the one its first erase or
    // write reaches: in between, a plug or unplug may have put another one
    // at the same path.
    transport_.SetGate([this](const DevicePath&, const uint8_t* cdb,
                              uint8_t length) -> Transport::Hold {
        lastCommand_ = SummarizeCommand(cdb, length);
        if (!lastCommand_.modifiesMemory) return {};
        if (!checked_) {
            checked_ = true;
            changed_ = CheckSameDevice();
            if (changed_.empty())
                changed_ = {CheckNotInUse(services_, device_.path,
                                          [this](const std::string& text) { Note(text); }),
                            true};
        }
        return changed_;
    });
}

std::string OperationContext::CheckSameDevice() {
    bool listed = false;
    for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::Cdrom}) {
        for (const auto& info : services_.enumerator.ListUsbStorage(cls)) {
            if (Lower(info.path) != Lower(device_.path)) continue;
            listed = true;
            if (!device_.serial.empty() && info.serial != device_.serial)
                return "another device (serial " + info.serial + ") now answers at " + device_.path;
        }
    }
    if (!listed) return "the device is no longer listed at " + device_.path;
    Transport check(services_.passThrough, services_.clock, services_.trace);
    VendorCommandSet commands(check);
    SilentSink silent;
    const ChipIdValue chip = GetChipId(commands, silent, device_.path);
    if (chip != device_.id.chip)
        return std::string("the device at ") + device_.path + " now identifies as " +
               SeriesName(chip) + ", not " + SeriesName(device_.id.chip);
    return {};
}

void OperationContext::SetStatusText(const std::string& text) {
    status_ = text;
    sink_.Status(text);
}

void OperationContext::AppendStatusText(const std::string& more) {
    status_ += more;
    sink_.AppendStatus(more);
}

std::string OperationContext::Identity() const {
    if (!device_.serial.empty()) return device_.serial;
    return "path-" + device_.path;
}

// Nothing is erased without a way back: a copy that cannot be written
// stops the flow, and says why.
std::optional<std::string> OperationContext::SaveCopy(const std::string& identity,
                                                      const std::string& memory,
                                                      std::span<const uint8_t> bytes) {
    std::string error;
    const auto saved =
        SaveFlashBackup(services_.backupFolder, identity, bytes, std::time(nullptr), error);
    if (!saved) {
        DebugOutput(error);
        SetStatusText("Backup of the " + memory + " failed, nothing written: " + error);
        copyFailure_ = Outcome::Fail(FailureKind::Copy, "the copy of the " + memory +
                                                            " could not be kept, nothing written: " +
                                                            error);
        return std::nullopt;
    }
    backupPath_ = *saved;
    DebugOutput(memory + " backup saved to " + *saved);
    SetStatusText("Backup of the " + memory + " saved to " + *saved);
    return saved;
}

bool OperationContext::KeepFlashCopy(std::span<const uint8_t> flash) {
    if (services_.backupFolder.empty()) return true;
    const auto saved = SaveCopy(Identity(), "flash", flash);
    if (!saved) return false;
    // Without the record a cut-off write would leave the next attempt to
    // trust the damaged flash: no record, no write.
    std::string error;
    if (!MarkWritePending(services_.backupFolder, Identity(), *saved, &error)) {
        DebugOutput(error);
        SetStatusText("Record of the write could not be saved, nothing written: " + error);
        copyFailure_ = Outcome::Fail(FailureKind::Copy,
                                     "the record of the write could not be kept, nothing written: " +
                                         error);
        return false;
    }
    return true;
}

bool OperationContext::KeepFlashCopy(uint32_t length, bool blockReads) {
    if (services_.backupFolder.empty()) return true;
    std::vector<uint8_t> flash(length, 0);
    bool read = false;
    if (blockReads) {
        BlockTransfers blocks(commands_, services_.clock);
        read = blocks.ReadFlashBlocks(device_.path, 0, flash.data(), length) != 0;
    } else {
        WaitFlashReady(*this, device_.path);
        read = ReadFlashWhole(*this, device_.path, 0, flash.data(), length) != 0;
    }
    if (!read) {
        DebugOutput("cannot read the flash for its backup: " + transport_.LastFailure().Describe());
        SetStatusText("Backup of the flash failed, nothing written: the flash cannot be read");
        Outcome cause;
        cause.failure = FailureFromTransport(transport_.LastFailure());
        copyFailure_ = cause.Within("reading the flash for its copy");
        return false;
    }
    return KeepFlashCopy(flash);
}

void OperationContext::FinishWrite(bool succeeded, const HeaderBlock* written) {
    if (!succeeded || services_.backupFolder.empty()) return;
    const auto pending = PendingBackup(services_.backupFolder, Identity());
    if (!pending) return;
    bool ends = *pending == backupPath_ || usedRecord_;
    if (!ends && written) {
        const auto start = ReadBackupStart(*pending, kHeaderBlockBytes);
        ends = start && HasHeaderSignature(start->data(), kHeaderBlockBytes) &&
               SameOwnHeader(*start, *written);
    }
    if (ends) ClearWritePending(services_.backupFolder, Identity());
}

// Kept apart from the serial-flash copies: those are what a later recovery
// takes the device's header from, and a ROM image carries none.
bool OperationContext::KeepCopyBeforeWriting(const DevicePath&, const std::string& memory,
                                             std::span<const uint8_t> bytes) {
    if (services_.backupFolder.empty()) return true;
    return SaveCopy(Identity() + "-" + BackupIdentity(memory), memory, bytes).has_value();
}

// The QKB742's configuration area carries no signature: the copy taken
// before an unfinished write stands in only where the area now is what a
// cut-off leaves (erased, or that copy's bytes up to where the write stopped),
// so another enclosure sharing the serial keeps its own area.
std::optional<std::vector<uint8_t>> OperationContext::SavedFlashStart(
    const DevicePath&, std::span<const uint8_t> current) {
    if (services_.backupFolder.empty() || device_.serial.empty()) return std::nullopt;
    const auto pending = PendingBackup(services_.backupFolder, Identity());
    if (!pending) return std::nullopt;
    auto copy = ReadBackupStart(*pending, static_cast<uint32_t>(current.size()));
    if (!copy) return std::nullopt;
    if (std::equal(copy->begin(), copy->end(), current.begin())) return std::nullopt;   // intact
    for (size_t i = 0; i < current.size(); ++i)
        if (current[i] != 0xFF && current[i] != (*copy)[i]) return std::nullopt;
    usedRecord_ = true;
    Note("the configuration area was taken from the copy saved in " + *pending);
    return copy;
}

void OperationContext::Note(const std::string& text) {
    notes_.push_back(text);
    DebugOutput(text);
}

namespace {
std::optional<std::vector<uint8_t>> ReadCopy(const std::string& path, uint32_t length) {
    auto bytes = ReadBackupStart(path, length);
    if (!bytes || bytes->size() != length) return std::nullopt;
    return bytes;
}


}  // namespace

// Copies of one serial that disagree on what only the device writes belong
// to more than one enclosure (bricked bridges often share a default serial).
bool OperationContext::HeaderCopiesAgree() const {
    std::optional<std::vector<uint8_t>> first;
    for (const auto& path : SavedCopiesOf(services_.backupFolder, Identity())) {
        const auto bytes = ReadCopy(path, kHeaderBlockBytes);
        if (!bytes || !HasHeaderSignature(bytes->data(), kHeaderBlockBytes)) continue;
        if (!first) {
            first = bytes;
            continue;
        }
        if (!SameOwnHeader(*first, *bytes)) return false;
    }
    return true;
}

std::optional<std::vector<uint8_t>> OperationContext::ResolveUnsignedHeader(HeaderBlock& header) {
    if (HasHeaderSignature(header.data(), header.size())) return std::nullopt;   // its own
    std::optional<std::string> chosen;
    if (!options_.headerFrom.empty()) {
        chosen = options_.headerFrom;
    } else if (!services_.backupFolder.empty()) {
        const auto pending = PendingBackup(services_.backupFolder, Identity());
        if (pending && !device_.serial.empty() && HeaderCopiesAgree()) {
            chosen = *pending;
        } else if (pending) {
            std::vector<std::string> copies, choices;
            for (const auto& path : SavedCopiesOf(services_.backupFolder, Identity())) {
                const auto bytes = ReadCopy(path, kHeaderBlockBytes);
                if (!bytes || !HasHeaderSignature(bytes->data(), kHeaderBlockBytes)) continue;
                copies.push_back(path);
                choices.push_back(SavedCopyTime(path) + "  " + path);
            }
            const std::string question =
                "The device's header is not signed, and its saved copies cannot tell which "
                "enclosure they belong to" +
                std::string(device_.serial.empty() ? " (it reports no serial number)"
                                                   : " (they disagree: several enclosures share its serial number)") +
                ".\nWhich copy holds this enclosure's own header?";
            if (!copies.empty())
                if (const auto pick = sink_.ChooseSavedCopy(question, choices); pick && *pick < copies.size())
                    chosen = copies[*pick];
        }
    }
    if (!chosen) {
        Note("the device's header is not signed and no saved copy can stand in for it; "
             "taking the image's header");
        return std::nullopt;
    }
    const auto copy = ReadCopy(*chosen, kImageBytes);
    if (!copy || !HasHeaderSignature(copy->data(), kHeaderBlockBytes)) {
        Note("the copy " + *chosen + " holds no signed header; taking the image's header");
        return std::nullopt;
    }
    std::copy(copy->begin(), copy->begin() + kHeaderBlockBytes, header.begin());
    if (const auto pending = PendingBackup(services_.backupFolder, Identity()); pending && *pending == *chosen)
        usedRecord_ = true;
    Note("the device's header was taken from the copy saved in " + *chosen +
         (SavedCopyTime(*chosen).empty() ? "" : " at " + SavedCopyTime(*chosen)));
    return copy;
}

Outcome OperationContext::Fail(Outcome outcome, const std::string& operation) {
    outcome.backupPath = backupPath_;
    outcome.notes = notes_;
    outcome.statusText = status_;
    return outcome.Within(operation);
}

Outcome OperationContext::Conclude(int result, const std::string& operation) {
    if (copyFailure_) return Fail(*copyFailure_, operation);
    if (result) {
        Outcome done = Outcome::Success();
        done.backupPath = backupPath_;
        done.notes = notes_;
        done.statusText = status_;
        return done;
    }
    Outcome failed;
    if (transport_.LastCommandFailed()) {
        failed.failure = FailureFromTransport(transport_.LastFailure());
    } else if (SaysWhatFailed(status_)) {
        failed = Outcome::Fail(FailureKind::Failed, Trim(status_));
    } else if (lastCommand_.name == "read" || lastCommand_.name == "ROM read") {
        // Every command was accepted and the flow ended on a read-back.
        failed = Outcome::Fail(FailureKind::Verify,
                               "the flash read back differs from what was written");
    } else {
        failed = Outcome::Fail(FailureKind::Failed, "the flow did not succeed");
    }
    return Fail(failed, operation);
}

}  // namespace qks
