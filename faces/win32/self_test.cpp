#include "faces/win32/self_test.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdio>

#include "emulator/platform.h"
#include "faces/win32/power_switches.h"

namespace qks::win32 {

namespace {

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string WindowText(HWND window) {
    const int length = GetWindowTextLengthA(window);
    std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    const int got = GetWindowTextA(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(std::max(got, 0)));
    return text;
}

// The control's rectangle in its parent's client coordinates.
RECT PlaceOf(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool Visible(HWND control) { return (GetWindowLongPtrA(control, GWL_STYLE) & WS_VISIBLE) != 0; }

std::string Box(int left, int top, int width, int height) {
    char text[64];
    std::snprintf(text, sizeof text, "(%d,%d) %dx%d", left, top, width, height);
    return text;
}

std::vector<std::string> ComboItems(HWND combo) {
    std::vector<std::string> items;
    const LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::string text(static_cast<size_t>(std::max<LRESULT>(length, 0)) + 1, '\0');
        SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(std::max<LRESULT>(length, 0)));
        items.push_back(text);
    }
    return items;
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + Quote(item);
    return "[" + text + "]";
}

}  // namespace

bool CheckList::Expect(bool passed, const std::string& what) {
    lines_.push_back(std::string(passed ? "ok     " : "FAILED ") + what);
    if (passed)
        ++passed_;
    else
        failures_.push_back(what);
    return passed;
}

namespace {
// The width of `text` in the font the control itself holds.
LONG DrawnTextWidth(HWND control, const std::string& text) {
    const auto font = reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0));
    HDC dc = GetDC(control);
    const HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    SIZE size{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    if (previous) SelectObject(dc, previous);
    ReleaseDC(control, dc);
    return size.cx;
}
}  // namespace

std::vector<std::string> DifferencesFromModel(const Win32Face& face, const TQ71xFwTool& model,
                                              ControlId id) {
    std::vector<std::string> differences;
    const ControlDescription& d = Describe(id);
    const ControlState& state = model.Control(id);
    const HWND native = face.Native(id);
    if (d.kind == ControlKind::FileDialog) return differences;
    if (!native) {
        differences.push_back("no native control");
        return differences;
    }
    auto differ = [&](const std::string& what, const std::string& found, const std::string& wanted) {
        if (found != wanted) differences.push_back(what + " " + found + ", model " + wanted);
    };

    switch (d.kind) {
        case ControlKind::Label:
        case ControlKind::PushButton:
        case ControlKind::LabeledEdit:
            differ("text", Quote(WindowText(native)), Quote(state.text));
            break;
        case ControlKind::CheckBox:
            differ("text", Quote(WindowText(native)), Quote(state.text));
            differ("checked",
                   SendMessageA(native, BM_GETCHECK, 0, 0) == BST_CHECKED ? "yes" : "no",
                   state.checked ? "yes" : "no");
            break;
        case ControlKind::DropDownList: {
            differ("items", Join(ComboItems(native)), Join(state.items));
            const int selected = static_cast<int>(SendMessageA(native, CB_GETCURSEL, 0, 0));
            const bool inRange =
                state.selected >= 0 && state.selected < static_cast<int>(state.items.size());
            differ("selected", std::to_string(selected), std::to_string(inRange ? state.selected : -1));
            break;
        }
        case ControlKind::ProgressBar:
            differ("position", std::to_string(SendMessageA(native, PBM_GETPOS, 0, 0)),
                   std::to_string(state.position));
            break;
        default:
            break;
    }
    differ("visible", Visible(native) ? "yes" : "no", state.visible ? "yes" : "no");
    differ("enabled", IsWindowEnabled(native) ? "yes" : "no", state.enabled ? "yes" : "no");

    const RECT r = PlaceOf(native);
    const int height = d.kind == ControlKind::DropDownList ? state.height : r.bottom - r.top;
    // A label is as wide as the model says, or as its text in the font it
    // is drawn with where that is wider: never cut.
    const int width = d.kind == ControlKind::Label
                          ? std::max(state.width, static_cast<int>(DrawnTextWidth(native, state.text)))
                          : state.width;
    differ("place", Box(r.left, r.top, r.right - r.left, height),
           Box(state.left, state.top, width, state.height));

    if (const HWND label = face.EditLabel(id)) {
        const RECT l = PlaceOf(label);
        differ("label text", Quote(WindowText(label)), Quote(d.caption ? d.caption : ""));
        differ("label right edge", std::to_string(l.right), std::to_string(state.left - d.labelSpacing));
        const int middle = (l.top + l.bottom) / 2;
        const int wanted = state.top + state.height / 2;
        if (std::abs(middle - wanted) > 1)
            differences.push_back("label middle " + std::to_string(middle) + ", field's " +
                                  std::to_string(wanted));
        differ("label visible", Visible(label) ? "yes" : "no", state.visible ? "yes" : "no");
    }
    return differences;
}

void CompareWithModel(const Win32Face& face, const TQ71xFwTool& model, CheckList& checks,
                      const std::string& when) {
    for (const ControlDescription& d : kFormDescription) {
        if (d.kind == ControlKind::FileDialog) continue;
        const auto differences = DifferencesFromModel(face, model, d.id);
        std::string what = when + ": " + d.name + " as the model has it";
        for (const auto& difference : differences) what += "; " + difference;
        checks.Expect(differences.empty(), what);
    }
    RECT form;
    GetClientRect(face.Form(), &form);
    checks.Expect(form.bottom == model.ClientHeight(),
                  when + ": designed area " + std::to_string(form.bottom) + " pixels high, model " +
                      std::to_string(model.ClientHeight()));
}

COLORREF DrawnTextColor(const Win32Face& face, ControlId id) {
    const HWND control = face.Native(id);
    HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(1, 2, 3));
    SendMessageA(GetParent(control), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(control));
    const COLORREF color = GetTextColor(dc);
    DeleteDC(dc);
    return color;
}

void ClickNative(HWND control) { SendMessageA(control, BM_CLICK, 0, 0); }

bool PumpUntil(Win32Face& face, const std::function<bool()>& done, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        face.ProcessPendingEvents();
        if (done()) return true;
        // Posted notices arrive at once; this only keeps a late one from
        // being missed without spinning.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    face.ProcessPendingEvents();
    return done();
}

int RunSelfTest(Win32Face& face, TQ71xFwTool& model, emu::EmulatorPlatform& emulator,
                const std::vector<std::pair<std::string, std::string>>& messageBoxes,
                std::FILE* out) {
    CheckList checks;
    const auto screen = [&] { return std::string(ScreenName(model.CurrentScreen())); };
    const auto expectScreen = [&](Screen wanted, const char* text, COLORREF color) {
        checks.Expect(model.CurrentScreen() == wanted,
                      std::string("screen ") + ScreenName(wanted) + " (is " + screen() + ")");
        if (text)
            checks.Expect(model.Control(ControlId::devLable).text == text,
                          std::string("devLable says ") + Quote(text));
        const COLORREF drawn = DrawnTextColor(face, ControlId::devLable);
        char hex[64];
        std::snprintf(hex, sizeof hex, "devLable drawn in 0x%06lx (is 0x%06lx)",
                      static_cast<unsigned long>(color), static_cast<unsigned long>(drawn));
        checks.Expect(drawn == color, hex);
        CompareWithModel(face, model, checks, ScreenName(wanted));
    };

    PumpUntil(face, [] { return false; }, 1);
    expectScreen(Screen::Confirm, kConfirmText, RGB(0, 0, 0));

    ClickNative(face.Native(ControlId::EraseButton));
    PumpUntil(face, [&] {
        return model.CurrentScreen() == Screen::Success || model.CurrentScreen() == Screen::Failure;
    });
    checks.Expect(model.CurrentScreen() == Screen::Success,
                  "YES recovers the emulated bridge: screen Success (is " + screen() + ")");
    const auto& bar = face.BarRepaints();
    checks.Expect(!bar.empty() && bar.front() == 20,
                  "the progress bar is repainted at once, first at 20");
    checks.Expect(std::is_sorted(bar.begin(), bar.end()) && (bar.empty() || bar.back() <= 100),
                  "the progress bar never goes back and stops at 100");
    CompareWithModel(face, model, checks, "Success");
    checks.Expect(model.Control(ControlId::replugLable1).text == "Please un-plug AC adapter " &&
                      model.Control(ControlId::replugLable2).text == "and plug it again",
                  "Success asks for the AC adapter to be un-plugged and plugged again");

    PowerSwitches* switches = face.Switches();
    if (checks.Expect(switches && switches->Count() > 0, "the enclosure has a power switch")) {
        ClickNative(switches->Switch(0));
        PumpUntil(face, [&] { return model.CurrentScreen() == Screen::NoDevice; });
        checks.Expect(!emulator.Bridge(0).Present(), "power off: the enclosure is gone");
        expectScreen(Screen::NoDevice, kNoDeviceText, RGB(255, 0, 0));

        ClickNative(switches->Switch(0));
        PumpUntil(face, [&] { return model.CurrentScreen() == Screen::AlreadyUpdated; });
        expectScreen(Screen::AlreadyUpdated, kAlreadyUpdatedText, RGB(255, 0, 0));
    }

    checks.Expect(messageBoxes.empty(),
                  messageBoxes.empty() ? std::string("no message box")
                                       : "message box " + Quote(messageBoxes.front().first) + ": " +
                                             Quote(messageBoxes.front().second));

    ClickNative(face.Native(ControlId::ExtBtn));
    PumpUntil(face, [&] { return face.Destroyed(); });
    checks.Expect(face.Destroyed(), "EXIT closes the window");

    for (const auto& line : checks.Lines()) std::fprintf(out, "%s\n", line.c_str());
    std::fprintf(out, "%d passed, %d failed\n", checks.Passed(), checks.Failed());
    std::fflush(out);
    return checks.Failed() == 0 ? 0 : 1;
}

}  // namespace qks::win32
