#include "faces/win32/power_switches.h"

#include <string>

#include "emulator/platform.h"
#include "faces/win32/win32_face.h"

namespace qks::win32 {

namespace {
constexpr int kMargin = 6;
constexpr int kRowHeight = 20;
constexpr int kLabelWidth = 96;
constexpr int kSwitchesPerRow = 3;
}  // namespace

PowerSwitches::PowerSwitches(HWND parent, HFONT font, int top, int width,
                             emu::EmulatorPlatform& platform)
    : parent_(parent), platform_(platform), top_(top) {
    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(parent, GWLP_HINSTANCE));
    auto add = [&](const char* cls, const std::string& text, DWORD style, int x, int y, int w,
                   int h, int id) {
        HWND part = CreateWindowExA(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, top_ + y,
                                    w, h, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                    instance, nullptr);
        SendMessageA(part, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        parts_.push_back(part);
        tops_.push_back(y);
        return part;
    };
    // Set apart from the designed window: this is the emulator's, not the form's.
    add("STATIC", "", SS_ETCHEDHORZ, kMargin, 0, width - 2 * kMargin, 2, -1);
    add("STATIC", "Enclosure power:", SS_LEFT | SS_NOPREFIX, kMargin, 6, kLabelWidth, 16, -1);
    const int columnWidth = (width - 2 * kMargin - kLabelWidth) / kSwitchesPerRow;
    for (size_t i = 0; i < platform_.BridgeCount(); ++i) {
        const int at = static_cast<int>(i);
        const auto name = platform_.Bridge(i).GetProfile().name;
        // Numbered from 0, as `qks970 list` numbers them.
        const std::string text = std::to_string(i) + " " + std::string(name);
        switches_.push_back(add("BUTTON", text, BS_AUTOCHECKBOX | WS_TABSTOP,
                                kMargin + kLabelWidth + (at % kSwitchesPerRow) * columnWidth,
                                4 + (at / kSwitchesPerRow) * kRowHeight, columnWidth, 18,
                                kPowerSwitchIdBase + at));
    }
    if (switches_.empty())
        add("STATIC", "(no emulated enclosure)", SS_LEFT, kMargin + kLabelWidth, 6, 160, 16, -1);
    const int rows = switches_.empty() ? 1 : (static_cast<int>(switches_.size()) + kSwitchesPerRow - 1) / kSwitchesPerRow;
    height_ = 4 + rows * kRowHeight + 4;
    Update();
}

void PowerSwitches::MoveTo(int top) {
    top_ = top;
    for (size_t i = 0; i < parts_.size(); ++i) {
        RECT r;
        GetWindowRect(parts_[i], &r);
        MapWindowPoints(nullptr, parent_, reinterpret_cast<POINT*>(&r), 2);
        SetWindowPos(parts_[i], nullptr, r.left, top_ + tops_[i], 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

bool PowerSwitches::Command(int id) {
    const int index = id - kPowerSwitchIdBase;
    if (index < 0 || index >= static_cast<int>(switches_.size())) return false;
    const bool on = SendMessageA(switches_[static_cast<size_t>(index)], BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (on)
        platform_.Plug(static_cast<size_t>(index));
    else
        platform_.Unplug(static_cast<size_t>(index));
    Update();
    return true;
}

void PowerSwitches::Update() {
    for (size_t i = 0; i < switches_.size(); ++i)
        SendMessageA(switches_[i], BM_SETCHECK, platform_.Bridge(i).Present() ? BST_CHECKED : BST_UNCHECKED, 0);
}

}  // namespace qks::win32
