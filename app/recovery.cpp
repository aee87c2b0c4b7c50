// What YES does, and the panel's Restore: the window's side of the
// recovery and restore operations, from the click to the screen.
#include "app/tq71x_fw_tool.h"

namespace qks {

DeviceRef TQ71xFwTool::RefOf(const DeviceEntry& row) const {
    DeviceRef ref;
    ref.path = row.Path;
    ref.serial = row.Serial;
    ref.emulated = row.Emulated;
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
        const Flow flow = YesBacksUpOnly(*device, options) ? Flow::Backup : Flow::Recover;
        if (!AcceptImageRisk(*device, flow, options)) return;
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
        file = *chosen;
        SetText(ControlId::BackupFileEdit, file);
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
    lastOutcome_ = RestoreFlash(services_, RefOf(*row), file, sink_);
    return lastOutcome_.Ok() ? 1 : 0;
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
