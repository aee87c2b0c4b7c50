// `qks970 restore FILE`: a saved 64 KB flash written back to a QKS970/958
// through the verified block writer, as the panel's Restore does.
#include "faces/cli/commands.h"
#include "faces/cli/status_text.h"

namespace qks::cli {

int RestoreCommand(const GlobalOptions& global, const std::string& file, Console& console,
                   const CliEnvironment& environment) {
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, false, kExitUsage, error);
    if (const auto error = CheckReadableFile("restore file", file); !error.empty())
        return Fail(console, false, kExitUsage, error);

    std::string error;
    auto session =
        Session::Open(MakeSessionOptions(global, FaceOptions{}), console, environment, error);
    if (!session) return Fail(console, false, kExitUsage, error);
    TQ71xFwTool& window = session->Window();
    // The panel lists updated bridges too: restoring one is a roll-back.
    window.EnableEngineeringMode();
    if (window.SelectedRow() == nullptr) {
        console.Out(Trimmed(window.Control(ControlId::devLable).text));
        return NoDeviceStatus(window);
    }
    if (const auto rowError = SelectRow(window, global.device); !rowError.empty())
        return Fail(console, false, kExitUsage, rowError);
    window.UserSetText(ControlId::BackupFileEdit, file);
    window.Click(ControlId::RestoreBtn);
    if (!window.LastBackupPath().empty()) console.Out("Flash backup: " + window.LastBackupPath());
    console.Out("Status: " + Trimmed(window.Control(ControlId::StatusEdit).text));
    return window.LastRunResult() ? kExitSuccess : kExitFailed;
}

}  // namespace qks::cli
