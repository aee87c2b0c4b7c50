// `qks970 recover`: the recovery dialog on a terminal. The refresh picks the
// screen, the question is answered here, and YES is the window's own button.
#include <istream>

#include "faces/cli/commands.h"
#include "faces/cli/status_text.h"

namespace qks::cli {

namespace {

enum class Answer { Yes, No };

Answer AskQuestion(Console& console, const std::string& question, const RecoverOptions& options,
                   const CliEnvironment& environment) {
    if (options.yes) {
        console.Out(question + " [y/N] y (--yes)");
        return Answer::Yes;
    }
    console.Prompt(question + " [y/N] ");
    std::string line;
    if (!environment.input || !std::getline(*environment.input, line)) {
        console.Out("");
        return Answer::No;  // end of input: the default, N
    }
    const std::string answer = Trimmed(line);
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" ? Answer::Yes
                                                                                : Answer::No;
}

void ExplainDeclinedRisk(Console& console, const std::string& risk) {
    for (size_t start = 0; start <= risk.size();) {
        const size_t end = risk.find('\n', start);
        const std::string line =
            Trimmed(risk.substr(start, end == std::string::npos ? end : end - start));
        if (!line.empty()) console.Err("qks970: " + line);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    console.Err("qks970: nothing was written; give --allow-development-image to write it anyway");
}

}  // namespace

int RecoverCommand(const GlobalOptions& global, const RecoverOptions& options, Console& console,
                   const CliEnvironment& environment) {
    if (!options.yes && !(environment.inputIsTerminal && environment.input))
        return Fail(console, false, kExitUsage,
                    "recover asks before it writes, and there is no terminal to answer on; "
                    "give --yes to answer YES");
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, false, kExitUsage, error);

    FaceOptions face;
    face.allowDevelopmentImage = options.allowDevelopmentImage;
    std::string error;
    auto session = Session::Open(MakeSessionOptions(global, face), console, environment, error);
    if (!session) return Fail(console, false, kExitUsage, error);
    TQ71xFwTool& window = session->Window();
    const std::string screenText = Trimmed(window.Control(ControlId::devLable).text);

    switch (window.CurrentScreen()) {
        case Screen::NoDevice:
            console.Out(screenText);
            return NoDeviceStatus(window);
        case Screen::AlreadyUpdated:
            console.Out(screenText);
            return kExitNothingToDo;
        case Screen::Confirm:
            break;
        default:
            console.Out(screenText);
            return kExitFailed;
    }

    if (const auto rowError = SelectRow(window, global.device); !rowError.empty())
        return Fail(console, false, kExitUsage, rowError);
    const ControlState& list = window.Control(ControlId::DeviceList);
    console.Out("Device: " + Trimmed(list.items[static_cast<size_t>(list.selected)]) + " (" +
                window.SelectedRow()->Path + ")");

    if (AskQuestion(console, screenText, options, environment) == Answer::No) {
        window.Click(ControlId::ExitBtn);
        console.Out("Not updated.");
        return kExitFailed;
    }

    window.Click(ControlId::EraseButton);
    if (!window.LastBackupPath().empty()) console.Out("Flash backup: " + window.LastBackupPath());
    switch (window.CurrentScreen()) {
        case Screen::Success:
            console.Out(Trimmed(window.Control(ControlId::replugLable1).text));
            console.Out(Trimmed(window.Control(ControlId::replugLable2).text));
            return kExitSuccess;
        case Screen::Failure: {
            console.Out(Trimmed(window.Control(ControlId::devLable).text));
            const std::string status = Trimmed(window.Control(ControlId::StatusEdit).text);
            if (NamesFailure(status)) console.Err("qks970: " + status);
            return kExitFailed;
        }
        default:
            if (!session->Face().DeclinedRisk().empty())
                ExplainDeclinedRisk(console, session->Face().DeclinedRisk());
            else
                console.Err("qks970: the recovery did not start; nothing was written");
            return kExitFailed;
    }
}

}  // namespace qks::cli
