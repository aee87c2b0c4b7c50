// The window checked against its model, through the window's own messages:
// what the program's --self-test runs on an emulated bridge, and what the
// tests of the face assert with.
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "faces/win32/win32_face.h"

namespace qks::emu {
class EmulatorPlatform;
}

namespace qks::win32 {

class CheckList {
public:
    // Records one check; `what` says what was expected and, failing, what was found.
    bool Expect(bool passed, const std::string& what);
    int Passed() const { return passed_; }
    int Failed() const { return static_cast<int>(failures_.size()); }
    const std::vector<std::string>& Failures() const { return failures_; }
    // Every check as it was made, for a report.
    const std::vector<std::string>& Lines() const { return lines_; }

private:
    int passed_ = 0;
    std::vector<std::string> failures_;
    std::vector<std::string> lines_;
};

// Where one native control differs from the model's state of it: text,
// check mark, items and selection, bar position, visibility, enabled state,
// place and size (a drop-down list's height is its font's, so not compared),
// and a labelled edit's label to its left. Empty when they agree.
std::vector<std::string> DifferencesFromModel(const Win32Face& face, const TQ71xFwTool& model,
                                              ControlId id);

// One check per control of the form, and one for the designed area's height.
void CompareWithModel(const Win32Face& face, const TQ71xFwTool& model, CheckList& checks,
                      const std::string& when);

// The text colour the window paints a label or edit with: its own answer to
// WM_CTLCOLORSTATIC, asked with a memory device context.
COLORREF DrawnTextColor(const Win32Face& face, ControlId id);

// Clicks a button or check box as a user would: BM_CLICK, which the button
// turns into a press, a release and BN_CLICKED to its parent.
void ClickNative(HWND control);

// Lets the window handle its pending messages until `done` holds; false
// when it still does not after `rounds` rounds.
bool PumpUntil(Win32Face& face, const std::function<bool()>& done, int rounds = 200);

// Recovers the first emulated bridge through the window: YES, Success, the
// enclosure's power off (NoDevice) and on (AlreadyUpdated), EXIT. Prints
// each check and "N passed, N failed" on `out`; 0 when all passed.
int RunSelfTest(Win32Face& face, TQ71xFwTool& model, emu::EmulatorPlatform& emulator,
                const std::vector<std::pair<std::string, std::string>>& messageBoxes,
                std::FILE* out);

}  // namespace qks::win32
