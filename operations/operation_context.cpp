#include "operations/operation_context.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "device/block_transfers.h"
#include "device/chip_id.h"
#include "firmware/flash_backup.h"
#include "firmware/flash_maintenance.h"
#include "firmware/serial_flash_engine.h"
#include "firmware/whole_part.h"
#include "operations/in_use.h"

namespace qks {

namespace {
std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

const char* SeriesName(ChipIdValue chip) { return FamilyOf(chip).series; }

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
      commands_(transport_),
      journal_(JournalFolder(services)) {
    // The device the operation was given must be the one its first erase or
    // write reaches: in between, a plug or unplug may have put another one
    // at the same path.
    transport_.SetGate([this](const DevicePath&, const uint8_t* cdb,
                              uint8_t length) -> Transport::Hold {
        modified_ = DeviceWasChanged();
        modifySent_ = false;
        lastCommand_ = SummarizeCommand(cdb, length);
        if (!lastCommand_.modifiesMemory) return {};
        if (!checked_) {
            checked_ = true;
            changed_ = CheckSameDevice();
            if (changed_.empty()) {
                // Looked at again here: a desktop may have mounted the disk
                // while the flash was read for its copy.
                changed_ = {CheckNotInUse(services_, device_.path,
                                          [this](const std::string& text) { Note(text); }),
                            true};
            }
            if (changed_.empty())
                sleepHold_ = HoldOffSleep(services_, device_, [this](const std::string& t) { Note(t); });
        }
        modifySent_ = changed_.empty();
        return changed_;
    });
}

std::string OperationContext::CheckSameDevice(FailureKind* kind) {
    if (kind) *kind = FailureKind::DeviceChanged;
    bool listed = false;
    for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::Cdrom}) {
        for (const auto& info : services_.enumerator.ListUsbStorage(cls)) {
            if (Lower(info.path) != Lower(device_.path)) continue;
            listed = true;
            if (!device_.serial.empty() && info.serial != device_.serial)
                return "another device (serial " + info.serial + ") now answers at " + device_.path;
        }
    }
    if (!listed) {
        if (kind) *kind = FailureKind::DeviceGone;
        return "the device is no longer listed at " + device_.path;
    }
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

std::string OperationContext::Identity() const { return JournalIdentity(device_); }

bool OperationContext::HoldEnclosure() {
    if (writer_) return writer_->Held();
    const std::string key = EnclosureKey(device_);
    const std::string name =
        device_.serial.empty() ? device_.path : device_.serial + " at " + device_.path;
    writer_ = std::make_unique<Journal::WriterLock>(
        journal_, key, services_.writerWaitMs, [&](const std::string& pid) {
            sink_.Waiting("waiting for the other write to " + name + " (pid " + pid +
                          ") to finish");
        },
        // A window stays alive while it waits.
        [this] { sink_.LetEventsThrough(); });
    if (writer_->Held()) return true;
    copyFailure_ = Outcome::Fail(FailureKind::Busy,
                                 "another write to " + name + " (pid " + writer_->Holder() +
                                     ") did not finish in time; nothing was sent to the enclosure");
    return false;
}

bool OperationContext::ConfirmSameDevice() {
    // Before the flash is read for the copy: a write running now would
    // change it under the read.
    if (!HoldEnclosure()) return false;
    FailureKind kind = FailureKind::DeviceChanged;
    const std::string changed = CheckSameDevice(&kind);
    if (!changed.empty()) {
        copyFailure_ = Outcome::Fail(kind, changed);
        return false;
    }
    // Before the copy and the journal entry, so that a disk in use costs
    // neither: nothing of this write is recorded when it cannot begin.
    const std::string inUse =
        CheckNotInUse(services_, device_.path, [this](const std::string& text) { Note(text); });
    if (inUse.empty()) return true;
    copyFailure_ = Outcome::Fail(FailureKind::InUse, inUse);
    return false;
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
    sink_.CopySaved(memory, *saved);
    return saved;
}

bool OperationContext::ReadFlashAsItIs(uint32_t length, bool blockReads) {
    if (!journal_.Kept()) return true;
    Phase(PhaseKind::Copy, 0, length);
    flash_.assign(length, 0);
    bool read = false;
    if (blockReads) {
        BlockTransfers blocks(commands_, services_.clock, this);
        read = blocks.ReadFlashBlocks(device_.path, 0, flash_.data(), length) != 0;
    } else {
        WaitFlashReady(*this, device_.path);
        // A whole part is read a block at a time, never in one transfer.
        read = true;
        for (uint32_t at = 0; read && at < length; at += kPartBlock)
            read = ReadFlashWhole(*this, device_.path, at, flash_.data() + at,
                                  std::min(kPartBlock, length - at)) != 0;
    }
    if (read) return true;
    flash_.clear();
    DebugOutput("cannot read the flash for its backup: " + transport_.LastFailure().Describe());
    SetStatusText("Backup of the flash failed, nothing written: the flash cannot be read");
    Outcome cause;
    cause.failure = FailureFromTransport(transport_.LastFailure());
    copyFailure_ = cause.Within("reading the flash for its copy");
    return false;
}

bool OperationContext::FindUnfinishedWrite(const std::string& flow) {
    if (!journal_.Kept() || flash_.empty()) return true;
    std::vector<JournalEntry> found;
    if (!options_.journalEntry.empty()) {
        auto named = Journal::Load(options_.journalEntry);
        if (!named || !SameSerial(named->identity, Identity()) || named->chip != device_.id.chip ||
            !ExplainsFlash(named->before, named->after, flash_)) {
            copyFailure_ = Outcome::Fail(FailureKind::File,
                                         "the journal entry " + options_.journalEntry +
                                             " is not one of this enclosure's unfinished writes");
            return false;
        }
        found.push_back(std::move(*named));
    } else {
        const Journal::Lock lock(journal_);
        found = journal_.Matching(Identity(), device_.id.chip, flash_, flow, EnclosureKey(device_));
        // A write cut off before it changed a byte left nothing to finish:
        // this write begins from the same bytes, and its success closes it.
        const auto untouched = [this](const JournalEntry& entry) {
            return entry.before.size() >= flash_.size() &&
                   std::equal(flash_.begin(), flash_.end(), entry.before.begin());
        };
        for (auto it = found.begin(); it != found.end();) {
            if (!untouched(*it)) {
                ++it;
                continue;
            }
            untouched_.push_back(std::move(*it));
            it = found.erase(it);
        }
    }
    if (found.empty()) return true;
    size_t pick = 0;
    if (found.size() > 1) {
        std::vector<std::string> choices;
        std::string names;
        for (const auto& entry : found) {
            choices.push_back(entry.Describe());
            names += (names.empty() ? "" : "; ") + entry.file;
        }
        const std::string question =
            "Several unfinished writes to enclosures with this serial number match this "
            "enclosure's flash.\nWhich one was cut off on this enclosure?";
        const auto chosen = sink_.ChooseSavedCopy(question, choices);
        if (!chosen || *chosen >= found.size()) {
            copyFailure_ = Outcome::Fail(FailureKind::Ambiguous,
                                         std::to_string(found.size()) +
                                             " unfinished writes match this enclosure; name the "
                                             "one to finish with --journal ENTRY: " +
                                             names);
            return false;
        }
        pick = *chosen;
    }
    entry_ = std::move(found[pick]);
    resumed_ = true;
    backupPath_ = entry_->copy;
    Note("finishing the write begun at " + entry_->created + " from the journal entry " +
         entry_->file + " (the flash as it was is in " + entry_->copy + ")");
    return true;
}

bool OperationContext::BeginWrite(std::span<const uint8_t> after, const std::string& flow) {
    if (announced_.empty()) announced_.assign(after.begin(), after.end());
    if (!journal_.Kept() || resumed_) return true;
    if (entry_) return true;   // announced once
    if (flash_.size() < after.size()) {
        // The copy read covers less than the write changes: read it again.
        const auto length = static_cast<uint32_t>(after.size());
        if (!ReadFlashAsItIs(length, false)) return false;
    }
    const auto saved = SaveCopy(Identity(), "flash", flash_);
    if (!saved) return false;
    return BeginJournalEntry(after, flow, *saved);
}

bool OperationContext::BeginJournalEntry(std::span<const uint8_t> after, const std::string& flow,
                                         const std::string& copy) {
    JournalEntry entry;
    entry.identity = Identity();
    entry.enclosure = EnclosureKey(device_);
    entry.chip = device_.id.chip;
    entry.flow = flow;
    entry.copy = copy;
    entry.before = flash_;
    entry.after = flash_;
    std::copy_n(after.begin(), std::min(after.size(), entry.after.size()), entry.after.begin());
    std::string error;
    bool created = false;
    {
        const Journal::Lock lock(journal_);
        created = journal_.Create(entry, error);
    }
    if (!created) {
        DebugOutput(error);
        SetStatusText("Record of the write could not be saved, nothing written: " + error);
        copyFailure_ = Outcome::Fail(FailureKind::Copy,
                                     "the journal entry of the write could not be kept, nothing "
                                     "written: " + error);
        return false;
    }
    entry_ = std::move(entry);
    return true;
}

bool OperationContext::AnnounceWrite(const DevicePath&, std::span<const uint8_t> written,
                                     uint32_t erasedUpTo) {
    announced_.assign(written.begin(), written.end());
    if (!journal_.Kept() || resumed_ || entry_) return true;
    std::vector<uint8_t> after = flash_;
    const size_t erased = std::min<size_t>(erasedUpTo, after.size());
    std::fill(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(erased), 0xFF);
    const size_t n = std::min(after.size(), written.size());
    std::copy(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(n), after.begin());
    return BeginWrite(after, EraseOnly() ? "erase" : "run");
}

// The part past its first block is read as it is just before the chip
// erase: the sector erases before it never reach that far. The first block
// stays as the write began, not as those erases left it.
bool OperationContext::KeepPartBeforeChipErase(const DevicePath& path) {
    if (partKept_) return true;
    // An entry already longer than a block was extended before a chip
    // erase of an earlier run: past the image the flash may now be erased.
    if (entry_ && entry_->before.size() > kPartBlock) {
        partKept_ = true;
        return true;
    }
    const auto part = ReadWholePart(*this, path);
    if (!part) {
        Outcome cause = Outcome::Fail(FailureKind::Refused, "a read came back short");
        if (transport_.LastCommandFailed()) cause.failure = FailureFromTransport(transport_.LastFailure());
        copyFailure_ = cause.Within("reading the flash past the image before its chip erase");
        return false;
    }
    partKept_ = true;
    const size_t length =
        std::max(part->size(), (announced_.size() + kPartBlock - 1) / kPartBlock * kPartBlock);
    if (length <= kPartBlock) return true;   // nothing past the first block holds data
    std::vector<uint8_t> before = *part;
    before.resize(length, 0xFF);
    std::vector<uint8_t> after = before;
    std::copy(announced_.begin(), announced_.end(), after.begin());
    Note("the flash holds data up to " + std::to_string(length / 1024) +
         " KB; what lies past the image is kept and written back after it");
    if (!entry_) {
        partAfter_ = std::move(after);
        return true;
    }
    JournalEntry extended = *entry_;
    const auto keep = static_cast<std::ptrdiff_t>(std::min(extended.before.size(), length));
    std::copy(extended.before.begin(), extended.before.begin() + keep, before.begin());
    std::copy(extended.after.begin(), extended.after.begin() + keep, after.begin());
    extended.before = std::move(before);
    extended.after = std::move(after);
    // The copy on disk names every byte the chip erase takes, so a restore
    // from it brings the whole part back too.
    std::string error, why;
    if (WriteFileDurably(extended.copy, extended.before, ExistingTarget::Replace, &why) !=
        DurableWrite::Written)
        error = "cannot write the copy " + extended.copy + ": " + why;
    if (error.empty()) {
        const Journal::Lock lock(journal_);
        journal_.Rewrite(extended, error);
    }
    if (!error.empty()) {
        DebugOutput(error);
        copyFailure_ = Outcome::Fail(FailureKind::Copy,
                                     "what lies past the image could not be kept, so the chip "
                                     "erase was not sent: " + error);
        return false;
    }
    entry_ = std::move(extended);
    return true;
}

std::vector<uint8_t> OperationContext::PartToRestore(const DevicePath&, uint32_t from) {
    const std::vector<uint8_t>& after = entry_ ? entry_->after : partAfter_;
    if (after.size() <= from) return {};
    return {after.begin() + from, after.end()};
}

void OperationContext::EndWrite(bool succeeded) {
    if (!succeeded || (!entry_ && untouched_.empty())) return;
    const Journal::Lock lock(journal_);
    if (entry_) journal_.Close(*entry_);
    for (const auto& entry : untouched_) journal_.Close(entry);
}

// Kept apart from the serial-flash copies: a ROM image carries no header.
// The ROM's write is journaled like the flash's: before it, the ROM as read;
// after it, the image (or nothing but erased bytes for erase-only).
bool OperationContext::KeepCopyBeforeWriting(const DevicePath&, const std::string& memory,
                                             std::span<const uint8_t> bytes) {
    if (services_.backupFolder.empty()) return true;
    const std::string flow = EraseOnly() ? "rom-erase" : "rom-run";
    flash_.assign(bytes.begin(), bytes.end());
    if (!FindUnfinishedWrite(flow)) return false;
    std::vector<uint8_t> after(bytes.size(), 0xFF);
    if (!EraseOnly()) {
        const auto image = services_.images.Find(kSerialFlashImageName);
        std::copy_n(image.begin(), std::min(image.size(), after.size()), after.begin());
    }
    if (resumed_) return true;
    if (!SaveCopy(Identity() + "-" + BackupIdentity(memory), memory, bytes)) return false;
    const std::string copy = backupPath_;
    // The journal's entry names the ROM's own copy, not a flash copy.
    return BeginJournalEntry(after, flow, copy);
}

// The configuration area of a write that did not finish is the journal's
// before-image, never what the cut left.
std::optional<std::vector<uint8_t>> OperationContext::SavedFlashStart(
    const DevicePath&, std::span<const uint8_t> current) {
    if (!resumed_ || entry_->before.size() < current.size()) return std::nullopt;
    return std::vector<uint8_t>(entry_->before.begin(),
                                entry_->before.begin() + static_cast<std::ptrdiff_t>(current.size()));
}

void OperationContext::Note(const std::string& text) {
    // A check made twice (before the copy, again at the first erase) says it once.
    if (std::find(notes_.begin(), notes_.end(), text) != notes_.end()) return;
    notes_.push_back(text);
    DebugOutput(text);
}

bool OperationContext::DeviceWasChanged() const {
    if (modified_) return true;
    if (!modifySent_) return false;
    // Only a device that answered "no" to the command certainly did nothing;
    // one that went away in the middle may have begun.
    if (!transport_.LastCommandFailed()) return true;
    const TransferFailure& f = transport_.LastFailure();
    return f.openFailed ? false : f.scsiStatus == 0;
}

Outcome OperationContext::Fail(Outcome outcome, const std::string& operation) {
    outcome.backupPath = backupPath_;
    outcome.notes = notes_;
    outcome.statusText = status_;
    if (outcome.failure) {
        outcome.failure->deviceChanged = DeviceWasChanged();
        outcome.failure->restorePath = backupPath_;
    }
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
    } else if (fault_) {
        static constexpr const char* kStages[] = {"erase", "write", "verify", "read", "save", ""};
        const char* stage = kStages[static_cast<int>(fault_->stage)];
        std::string where = stage;
        if (fault_->address) {
            char at[16];
            std::snprintf(at, sizeof at, " at 0x%X", *fault_->address);
            where += at;
        }
        failed = Outcome::Fail(fault_->stage == EngineStage::Verify ? FailureKind::Verify
                                                                    : FailureKind::Failed,
                               fault_->what);
        if (!where.empty()) failed.Within(where);
        failed.failure->command = stage;
        failed.failure->address = fault_->address;
    } else {
        failed = Outcome::Fail(FailureKind::Failed, "the flow did not succeed");
    }
    return Fail(failed, operation);
}

}  // namespace qks
