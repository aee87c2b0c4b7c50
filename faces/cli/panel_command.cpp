// `qks970 run`, `backup` and `erase`: the engineering panel, set up the way a
// user would set it (tick, pick, type) and then its Run button. Each setting
// is read back from the control, because the panel only offers some of them
// for some chips and silently ignores the rest.
#include "device/chip_id.h"
#include "faces/cli/commands.h"
#include "faces/cli/status_text.h"
#include "firmware/flash_maintenance.h"

namespace qks::cli {

namespace {

std::string SeriesOf(const TQ71xFwTool& window) {
    const uint8_t type = ChipTypeOf(window.ChipId());
    return std::string(type < ChipSeriesNames.size() ? ChipSeriesNames[type] : ChipSeriesNames[0]) +
           " (chip type " + std::to_string(type) + ")";
}

std::string NotOffered(const TQ71xFwTool& window, const std::string& option) {
    return option + ": the engineering panel does not offer this for the " + SeriesOf(window);
}

std::string Tick(TQ71xFwTool& window, ControlId box, const std::string& option) {
    window.UserSetChecked(box, true);
    return window.Control(box).checked ? std::string{} : NotOffered(window, option);
}

std::string Pick(TQ71xFwTool& window, ControlId list, int item, const std::string& option) {
    window.UserSelect(list, item);
    return window.Control(list).selected == item ? std::string{} : NotOffered(window, option);
}

std::string Type(TQ71xFwTool& window, ControlId field, const std::string& text,
                 const std::string& option) {
    window.UserSetText(field, text);
    return window.Control(field).text == text ? std::string{} : NotOffered(window, option);
}

// The order a user works the panel in: open it, choose the action (which
// decides what else is enabled), then the names and the lists.
std::string SetUpPanel(TQ71xFwTool& window, const PanelChoices& c) {
    std::string error = Tick(window, ControlId::RdCheckBox, "the engineering panel");
    if (error.empty() && c.eraseOnly)
        error = Tick(window, ControlId::EraseOnlyCheck, "--erase-only");
    if (error.empty() && c.backupOnly)
        error = Tick(window, ControlId::BackupFWCheckBox, "--backup-only");
    if (error.empty() && !c.backupFile.empty())
        error = Type(window, ControlId::BackupFileEdit, c.backupFile, "the backup file name");
    if (error.empty() && !c.firmwareFile.empty())
        error = Type(window, ControlId::FwFilenameEdit, c.firmwareFile, "--firmware");
    if (error.empty() && c.a1Chip) error = Tick(window, ControlId::A1ChipCheck, "--a1-chip");
    if (error.empty() && c.romTypeItem)
        error = Pick(window, ControlId::FlashTypeList, *c.romTypeItem, "--rom-type");
    if (error.empty() && c.firmwareSizeItem)
        error = Pick(window, ControlId::FwSizeCheck, *c.firmwareSizeItem, "--firmware-size");
    if (error.empty() && c.pageSizeItem)
        error = Pick(window, ControlId::FwPgSizeCheck, *c.pageSizeItem, "--page-size");
    return error;
}

std::string WhyRunIsDisabled(const TQ71xFwTool& window, const PanelChoices& c) {
    if (ChipTypeOf(window.ChipId()) == 0) return "Run is disabled: the chip was not identified";
    if (!c.firmwareFile.empty())
        return "Run is disabled: the firmware file '" + c.firmwareFile + "' does not match the " +
               SeriesOf(window);
    return "Run is disabled: give --firmware FILE matching the chip, or --erase-only or "
           "--backup-only";
}

}  // namespace

int PanelCommand(const GlobalOptions& global, const PanelChoices& choices, Console& console,
                 const CliEnvironment& environment) {
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, false, kExitUsage, error);
    if (!choices.firmwareFile.empty()) {
        const auto error = CheckReadableFile("firmware file", choices.firmwareFile);
        if (!error.empty()) return Fail(console, false, kExitUsage, error);
    }
    if (!choices.backupFile.empty()) {
        if (choices.backupFile.size() > kBackupNameLimit)
            return Fail(console, false, kExitUsage,
                        "the backup file name is longer than " + std::to_string(kBackupNameLimit) +
                            " characters");
        if (const auto error = CheckWritableFile("backup file", choices.backupFile); !error.empty())
            return Fail(console, false, kExitUsage, error);
    }

    std::string error;
    auto session =
        Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!session) return Fail(console, false, kExitUsage, error);
    TQ71xFwTool& window = session->Window();
    // The mode lists every identified bridge, not only targets.
    window.EnableEngineeringMode();

    if (window.DeviceCount() == 0) {
        console.Out(Trimmed(window.Control(ControlId::devLable).text));
        return NoDeviceStatus(window);
    }
    if (window.SelectedRow() == nullptr) {
        console.Out(Trimmed(window.Control(ControlId::devLable).text));
        return Fail(console, false, kExitNoDevice,
                    std::to_string(window.DeviceCount()) +
                        " USB storage path(s) found, but the device list holds none the panel can "
                        "work on");
    }
    if (const auto rowError = SelectRow(window, global.device); !rowError.empty())
        return Fail(console, false, kExitUsage, rowError);
    if (const auto setupError = SetUpPanel(window, choices); !setupError.empty())
        return Fail(console, false, kExitUsage, setupError);

    const ControlState& list = window.Control(ControlId::DeviceList);
    console.Out("Device: " + Trimmed(list.items[static_cast<size_t>(list.selected)]) + ", " +
                SeriesOf(window));
    if (!window.Control(ControlId::UpdateBtn).enabled)
        return Fail(console, false, kExitUsage, WhyRunIsDisabled(window, choices));

    window.Click(ControlId::UpdateBtn);
    if (!window.LastBackupPath().empty()) console.Out("Flash backup: " + window.LastBackupPath());
    const std::string status = Trimmed(window.Control(ControlId::StatusEdit).text);
    switch (ClassifyStatus(status)) {
        case RunOutcome::Success:
            console.Out("Status: " + status);
            return kExitSuccess;
        case RunOutcome::Failure:
            console.Out("Status: " + status);
            return kExitFailed;
        case RunOutcome::Nothing:
            break;
    }
    return Fail(console, false, kExitFailed,
                "nothing was done: the " + SeriesOf(window) +
                    " has no engineering engine; run, backup and erase serve the older Tavrel "
                    "families (see qks970(1))");
}

}  // namespace qks::cli
