// What YES does: reprogram the selected bridge with the embedded firmware,
// keeping the device's own header block.
#include <algorithm>
#include <ctime>
#include <fstream>

#include "app/tq71x_fw_tool.h"
#include "firmware/flash_backup.h"
#include "firmware/flash_maintenance.h"
#include "firmware/serial_flash_engine.h"

namespace qks {

namespace {
constexpr const char* kDevelopmentImageRisk =
    "The firmware built into this program is a development image, not vendor firmware.\n"
    "Writing it to a real bridge leaves the enclosure unusable until real firmware is "
    "written back.\n\nWrite the development image to this device anyway?";
}  // namespace

bool TQ71xFwTool::ConfirmDevelopmentImage(const DeviceEntry& row) {
    if (row.Emulated) return true;
    if (!IsDevelopmentImage(services_.images.Find(kTargetImageName))) return true;
    return face_.ConfirmRisk(kDevelopmentImageRisk);
}

void TQ71xFwTool::EraseButtonClick() {
    const DeviceEntry* row = SelectedRow();
    if (row != nullptr && !ConfirmDevelopmentImage(*row)) {
        face_.DebugOutput("development image not confirmed; nothing written");
        return;
    }
    Operation operation(*this);
    const uint8_t chipType = ChipTypeOf(chipId_);
    const uint8_t revision = ChipRevisionOf(chipId_);
    // A copy: a refresh may rebuild the table while the engine runs.
    const DeviceEntry entry = row ? *row : DeviceEntry{};

    ShowWorking();
    int result = 0;
    if (row == nullptr) {
        result = 0;
    } else if (chipType == kTargetChipType) {
        result = RecoverTargetChip(entry, revision);
    } else if (chipType == 13 || chipType == 6 || chipType == 7 || chipType == 1) {
        result = BackupSerialFlash(entry) ? UpdateSerialFlash(*this, entry.Path) : 0;
        FinishWrite(entry, result);
    }
    ShowOutcome(result);
}

std::string TQ71xFwTool::IdentityOf(const DeviceEntry& row) {
    if (!row.Serial.empty()) return row.Serial;
    return "path-" + row.Path;
}

// Nothing is erased without a way back: a copy that cannot be written
// stops the flow, and says why.
std::optional<std::string> TQ71xFwTool::SaveCopy(const std::string& identity,
                                                 const std::string& memory,
                                                 std::span<const uint8_t> bytes) {
    lastBackup_.clear();
    std::string error;
    const auto saved = SaveFlashBackup(services_.backupFolder, identity, bytes, std::time(nullptr), error);
    if (!saved) {
        DebugOutput(error);
        SetStatusText("Backup of the " + memory + " failed, nothing written: " + error);
        return std::nullopt;
    }
    lastBackup_ = *saved;
    DebugOutput(memory + " backup saved to " + *saved);
    SetStatusText("Backup of the " + memory + " saved to " + *saved);
    return saved;
}

bool TQ71xFwTool::SaveBackupBeforeWriting(const DeviceEntry& row, std::span<const uint8_t> flash) {
    lastBackup_.clear();
    if (services_.backupFolder.empty()) return true;
    const auto saved = SaveCopy(IdentityOf(row), "flash", flash);
    if (!saved) return false;
    // Without the record a cut-off write would leave the next attempt to
    // trust the damaged flash: no record, no write.
    std::string error;
    if (!MarkWritePending(services_.backupFolder, IdentityOf(row), *saved, &error)) {
        DebugOutput(error);
        SetStatusText("Record of the write could not be saved, nothing written: " + error);
        return false;
    }
    return true;
}

// Kept apart from the serial-flash copies: those are what a later recovery
// takes the device's header from, and a ROM image carries none.
bool TQ71xFwTool::KeepCopyBeforeWriting(const DevicePath& path, const std::string& memory,
                                        std::span<const uint8_t> bytes) {
    lastBackup_.clear();
    if (services_.backupFolder.empty()) return true;
    DeviceEntry row;
    row.Path = path;
    for (const auto& entry : deviceTable_)
        if (entry.Path == path) row = entry;
    return SaveCopy(IdentityOf(row) + "-" + BackupIdentity(memory), memory, bytes).has_value();
}

bool TQ71xFwTool::BackupSerialFlash(const DeviceEntry& row) {
    if (services_.backupFolder.empty()) return true;
    const uint32_t length = std::max<uint32_t>(kImageBytes, firmwareSize_);
    std::vector<uint8_t> flash(length, 0);
    WaitFlashReady(*this, row.Path);
    if (!ReadFlashWhole(*this, row.Path, 0, flash.data(), length)) {
        DebugOutput("cannot read the flash for its backup: " + transport_.LastFailure().Describe());
        SetStatusText("Backup of the flash failed, nothing written: the flash cannot be read");
        return false;
    }
    return SaveBackupBeforeWriting(row, flash);
}

void TQ71xFwTool::FinishWrite(const DeviceEntry& row, int result) {
    if (result && !services_.backupFolder.empty())
        ClearWritePending(services_.backupFolder, IdentityOf(row));
}

std::optional<std::vector<uint8_t>> TQ71xFwTool::SavedFlashStart(const DevicePath& path,
                                                                uint32_t length,
                                                                bool currentIsBlank) const {
    if (services_.backupFolder.empty()) return std::nullopt;
    for (const auto& row : deviceTable_) {
        if (row.Path != path) continue;
        const std::string identity = IdentityOf(row);
        if (auto pending = PendingBackup(services_.backupFolder, identity))
            return ReadBackupStart(*pending, length);
        if (currentIsBlank) return FindSavedStart(services_.backupFolder, identity, length);
        return std::nullopt;
    }
    return std::nullopt;
}

// The flash an interrupted attempt left behind cannot be trusted for the
// device's own header: the copy taken before that attempt can.
void TQ71xFwTool::RecoverSavedHeader(const DeviceEntry& row, HeaderBlock& header) {
    if (services_.backupFolder.empty()) return;
    const std::string identity = IdentityOf(row);
    if (auto pending = PendingBackup(services_.backupFolder, identity)) {
        const auto start = ReadBackupStart(*pending, kHeaderBlockBytes);
        if (start && HasHeaderSignature(start->data(), start->size())) {
            std::copy(start->begin(), start->end(), header.begin());
            DebugOutput("an earlier attempt did not finish; using the header saved before it");
            return;
        }
    }
    if (HasHeaderSignature(header.data(), header.size())) return;
    if (const auto saved = FindSavedHeader(services_.backupFolder, identity)) {
        header = *saved;
        DebugOutput("the device header is not signed; using the header saved in an earlier backup");
    }
}

void TQ71xFwTool::RestoreBtnClick() {
    Operation operation(*this);
    std::string file = Control(ControlId::BackupFileEdit).text;
    if (file.empty()) {
        const auto chosen = face_.ChooseFile(Describe(ControlId::OpenDialog1).filter,
                                             services_.programFolder);
        if (!chosen) return;
        file = *chosen;
        SetText(ControlId::BackupFileEdit, file);
    }
    lastRunResult_ = RestoreFlashFromFile(file);
}

int TQ71xFwTool::RestoreFlashFromFile(const std::string& file) {
    const DeviceEntry* row = SelectedRow();
    if (row == nullptr) {
        ShowStatus("Restore: no device selected!!");
        return 0;
    }
    if (ChipTypeOf(chipId_) != kTargetChipType) {
        ShowStatus("Restore is for QKS970/958 bridges only!!");
        return 0;
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> saved(kImageBytes + 1, 0);
    in.read(reinterpret_cast<char*>(saved.data()), static_cast<std::streamsize>(saved.size()));
    if (!in.bad() && in.gcount() == static_cast<std::streamsize>(kImageBytes)) {
        saved.resize(kImageBytes);
    } else {
        ShowStatus(in.gcount() > 0 || in ? "Restore file must hold 65536 bytes!!"
                                         : "Open Restore File Error!!");
        DebugOutput("cannot restore from " + file);
        return 0;
    }
    const DeviceEntry entry = *row;
    if (!services_.backupFolder.empty()) {
        std::vector<uint8_t> current(kImageBytes, 0);
        if (!blocks_.ReadFlashBlocks(entry.Path, 0, current.data(), kImageBytes) ||
            !SaveBackupBeforeWriting(entry, current)) {
            ShowStatus("Backup of the flash failed, nothing written");
            return 0;
        }
    }
    ShowStatus("Restore ...");
    const int result = blocks_.WriteVerifyFlashImage(entry.Path, saved.data(), kImageBytes);
    FinishWrite(entry, result);
    ShowStatus(result ? "Restore success!!" : "Restore fail!!");
    return result;
}

void TQ71xFwTool::ShowWorking() {
    SetEnabled(ControlId::EraseButton, false);
    SetVisible(ControlId::devLable, false);
    SetVisible(ControlId::FwUpdatBar, true);
    Mutable(ControlId::FwUpdatBar).position = 0;
    face_.ControlChanged(ControlId::FwUpdatBar);
    StepProgress(20);
    SetText(ControlId::StatusEdit, "");
    eraseOnly_ = 0;
    screen_ = Screen::Working;
}

int TQ71xFwTool::RecoverTargetChip(const DeviceEntry& row, uint8_t revision) {
    const DevicePath& path = row.Path;
    const int blockMode = commands_.IsBlockUpdateMode(path);
    commands_.VendorCommand25(path);
    HeaderBlock imageHeader{};
    LoadEmbeddedImage(services_.images, imageHeader.data(), 0, kHeaderBlockBytes);
    HeaderBlock header = DefaultHeaderBlock;
    // Without the device's header the write would replace its identity with
    // zeros: stop before anything is written.
    if (!blocks_.ReadFlashBlocks(path, 0, header.data(), kHeaderBlockBytes)) {
        DebugOutput("cannot read the device header: " + transport_.LastFailure().Describe());
        return 0;
    }
    // An interrupted earlier attempt may have left the flash without the
    // device's header: take it from the copy saved before that attempt.
    RecoverSavedHeader(row, header);
    if (!services_.backupFolder.empty()) {
        std::vector<uint8_t> flash(kImageBytes, 0);
        if (!blocks_.ReadFlashBlocks(path, 0, flash.data(), kImageBytes)) {
            DebugOutput("cannot read the flash for its backup: " +
                        transport_.LastFailure().Describe());
            return 0;
        }
        if (!SaveBackupBeforeWriting(row, flash)) return 0;
    }
    MergeHeaderBlock(header, imageHeader);
    int result = 0;
    if (blockMode || revision == kLateRevision)
        result = blocks_.UpdateFlashImage(path, true, true, header.data(),
                                          services_.images.Find(kTargetImageName));
    else
        result = ProgramEmbeddedImage(*this, path, header);
    FinishWrite(row, result);
    return result;
}

void TQ71xFwTool::ShowOutcome(int result) {
    SetVisible(ControlId::FwUpdatBar, false);
    if (result) {
        SetVisible(ControlId::replugLable1, true);
        SetVisible(ControlId::replugLable2, true);
        SetVisible(ControlId::ExtBtn, true);
        SetVisible(ControlId::devLable, false);
        SetVisible(ControlId::EraseButton, false);
        SetVisible(ControlId::ExitBtn, false);
        screen_ = Screen::Success;
    } else {
        SetVisible(ControlId::replugLable1, false);
        SetVisible(ControlId::replugLable2, false);
        SetVisible(ControlId::ExtBtn, true);
        SetVisible(ControlId::devLable, true);
        SetVisible(ControlId::EraseButton, false);
        SetVisible(ControlId::ExitBtn, false);
        SetColor(ControlId::devLable, kRed);
        SetText(ControlId::devLable, kFailureText);
        screen_ = Screen::Failure;
    }
    SetEnabled(ControlId::EraseButton, true);
}

}  // namespace qks
