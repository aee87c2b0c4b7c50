// What YES does, and the panel's Restore: the window's side of the
// recovery and restore operations, from the click to the screen.
#include "app/tq71x_fw_tool.h"

namespace qks {

DeviceRef TQ71xFwTool::RefOf(const DeviceEntry& row) const {
    DeviceRef ref;
    ref.path = row.Path;
    ref.serial = row.Serial;
    ref.emulated = row.Emulated;
    ref.enclosure = row.EnclosureKey;
    ref.iface = row.ReleaseOnExit ? InterfaceClass::Cdrom : InterfaceClass::Disk;
    ref.id.chip = chipId_;
    ref.id.amicFlashCode = amicFlashCode_;
    return ref;
}

EngineOptions TQ71xFwTool::PanelOptions() const {
    EngineOptions options;
    options.firmwareSize = firmwareSize_;
    options.transferPageSize = transferPageSize_;
    options.backupFile = Control(ControlId::BackupFileEdit).text;
    options.a1Chip = Control(ControlId::A1ChipCheck).checked;
    options.romType = Control(ControlId::FlashTypeList).selected;
    return options;
}

bool TQ71xFwTool::AcceptImageRisk(const DeviceRef& device, Flow flow, EngineOptions& options) {
    const auto risk = DevelopmentImageRisk(services_, device, flow);
    if (!risk) return true;
    if (!face_.ConfirmRisk(*risk)) {
        face_.DebugOutput("development image not confirmed; nothing written");
        return false;
    }
    options.developmentImageAccepted = true;
    return true;
}

bool TQ71xFwTool::AcceptBackupTarget(EngineOptions& options) {
    const BackupTarget target = BackupTargetOf(services_.backupFolder, options.backupFile);
    if (target.inCopiesFolder) {
        ShowMessageBox(BackupTargetProblem(target, false) + ".", "Error", MessageIcon::Error);
        lastOutcome_ = Outcome::Fail(FailureKind::Declined, BackupTargetProblem(target, false))
                           .Within("backup");
        return false;
    }
    if (!target.exists) return true;
    if (!face_.ConfirmRisk(target.path + " already exists.\n\nReplace it with the backup?")) {
        lastOutcome_ = Outcome::Fail(FailureKind::Declined, target.path + " kept; nothing was read")
                           .Within("backup");
        return false;
    }
    options.replaceBackupFile = true;
    return true;
}

void TQ71xFwTool::EraseButtonClick() {
    // From here on, until the outcome is on screen, a plug, an unplug or a
    // click waits: the question below must not outlive the device it is about.
    Operation operation(*this);
    const DeviceEntry* row = SelectedRow();
    EngineOptions options = PanelOptions();
    options.backupOnly = Control(ControlId::RdCheckBox).checked &&
                         Control(ControlId::BackupFWCheckBox).checked;
    std::optional<DeviceRef> device;
    if (row != nullptr) {
        device = RefOf(*row);
        const bool backupOnly = YesBacksUpOnly(*device, options);
        if (backupOnly && !AcceptBackupTarget(options)) return;
        if (!AcceptImageRisk(*device, backupOnly ? Flow::Backup : Flow::Recover, options)) return;
    }
    ShowWorking();
    lastOutcome_ = device ? RecoverDevice(services_, *device, options, sink_)
                          : Outcome::Fail(FailureKind::Failed, "no device selected").Within("recover");
    ShowOutcome(lastOutcome_.Ok() ? 1 : 0);
    if (!lastOutcome_.Ok()) {
        ExplainFailure(lastOutcome_);
    } else if (!lastOutcome_.notes.empty()) {
        // Whose header the enclosure now carries is the user's to know.
        std::string text;
        for (const auto& note : lastOutcome_.notes) text += (text.empty() ? "" : "\n") + note;
        ShowMessageBox(text, "Message", MessageIcon::Information);
    }
}

// The Failure screen keeps its one designed line; the cause and the copy
// that was kept follow in a box of their own.
void TQ71xFwTool::ExplainFailure(const Outcome& outcome) {
    if (!outcome.failure || outcome.failure->kind == FailureKind::Declined) return;
    std::string text = "The update did not complete.\n";
    for (const auto& context : outcome.failure->chain) text += "\n" + context;
    // What became of the enclosure, in the words the command line uses.
    text += "\n\n" + (outcome.failure->deviceChanged ? FlashChangedText(outcome.failure->restorePath)
                                                     : std::string(kNothingWritten));
    for (const auto& note : outcome.notes) text += "\n\n" + note;
    if (!outcome.backupPath.empty())
        text += "\n\nThe flash as it was before is saved in\n" + outcome.backupPath;
    face_.DebugOutput(outcome.CauseText());
    ShowMessageBox(text, "Error", MessageIcon::Error);
}

void TQ71xFwTool::RestoreBtnClick() {
    Operation operation(*this);
    std::string file = Control(ControlId::BackupFileEdit).text;
    if (file.empty()) {
        const auto chosen = face_.ChooseFile(Describe(ControlId::OpenDialog1).filter,
                                             services_.programFolder);
        if (!chosen) return;
        // The chosen file stays out of the backup box: it is often a copy
        // kept before a write, which a later backup must not replace.
        file = *chosen;
    }
    lastRunResult_ = RestoreFlashFromFile(file);
}

int TQ71xFwTool::RestoreFlashFromFile(const std::string& file) {
    const DeviceEntry* row = SelectedRow();
    SetText(ControlId::CopyNoticeLine, "");
    if (row == nullptr) {
        sink_.Status("Restore: no device selected!!");
        sink_.LetEventsThrough();
        lastOutcome_ = Outcome::Fail(FailureKind::Failed, "no device selected").Within("restore");
        return 0;
    }
    const DeviceRef device = RefOf(*row);
    // A file or a chip restore refuses needs no question; any other write
    // of a whole flash does.
    if (IsTarget(chipId_) && RestoreFileProblem(file).empty()) {
        std::string question = "Write " + file + " to the flash of " + EnclosureText() + "?";
        if (const auto other = RestoreIdentityQuestion(services_, device, file))
            question = *other + "\n\n" + question;
        if (!face_.ConfirmRisk(question)) {
            lastOutcome_ = Outcome::Fail(FailureKind::Declined, "not confirmed; nothing written")
                               .Within("restore");
            return 0;
        }
    }
    lastOutcome_ = RestoreFlash(services_, device, file, sink_);
    return lastOutcome_.Ok() ? 1 : 0;
}

// The row's listed name (as the inquiry gave it), its serial and the chip
// identified for it: what tells two enclosures apart on a desk.
std::string TQ71xFwTool::EnclosureText() const {
    const DeviceEntry* row = SelectedRow();
    if (row == nullptr) return {};
    const auto& list = Control(ControlId::DeviceList);
    std::string name = list.items[static_cast<size_t>(list.selected)];
    if (const auto mark = name.find("> "); mark != std::string::npos) name.erase(0, mark + 2);
    // The inquiry's fields are padded with blanks: one between words reads.
    std::string text;
    for (char c : name)
        if (c != ' ' || (!text.empty() && text.back() != ' ')) text += c;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (text.empty()) text = "USB device";
    if (!row->Serial.empty()) text += ", serial " + row->Serial;
    if (IsIdentified(chipId_)) text += ", " + std::string(FamilyOf(chipId_).series);
    return text;
}

void TQ71xFwTool::ShowEnclosure() {
    const bool shown = screen_ == Screen::Confirm && SelectedRow() != nullptr;
    const std::string text = shown ? EnclosureText() : std::string();
    if (Control(ControlId::EnclosureLine).text != text) SetText(ControlId::EnclosureLine, text);
    SetVisible(ControlId::EnclosureLine, shown);
}

void TQ71xFwTool::ShowWorking() {
    SetEnabled(ControlId::EraseButton, false);
    SetVisible(ControlId::devLable, false);
    SetVisible(ControlId::FwUpdatBar, true);
    Mutable(ControlId::FwUpdatBar).position = 0;
    face_.ControlChanged(ControlId::FwUpdatBar);
    StepProgress(20);
    SetText(ControlId::StatusEdit, "");
    SetText(ControlId::CopyNoticeLine, "");
    eraseOnly_ = 0;
    screen_ = Screen::Working;
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
