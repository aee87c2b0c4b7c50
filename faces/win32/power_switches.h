// The emulated enclosures' power switches, shown below the designed window
// when the program runs against the emulator. Switching one off and on is
// what the Success screen asks the user to do with the AC adapter; the
// emulator's removal and arrival notices then reach the window as
// WM_DEVICECHANGE, as a real enclosure's would.
#pragma once

#include <windows.h>

#include <vector>

namespace qks::emu {
class EmulatorPlatform;
}

namespace qks::win32 {

class PowerSwitches {
public:
    // Children of `parent`, from `top` down, `width` wide.
    PowerSwitches(HWND parent, HFONT font, int top, int width, emu::EmulatorPlatform& platform);

    int Height() const { return height_; }
    void MoveTo(int top);
    HWND Switch(size_t bridge) const { return switches_.at(bridge); }
    size_t Count() const { return switches_.size(); }
    // A click on one of the switches: true when the command was one of them.
    bool Command(int id);
    // Brings every switch to its bridge's presence.
    void Update();

private:
    HWND parent_;
    emu::EmulatorPlatform& platform_;
    std::vector<HWND> parts_;   // everything, for moving
    std::vector<int> tops_;     // each part's offset from the strip's top
    std::vector<HWND> switches_;
    int top_ = 0;
    int height_ = 0;
};

}  // namespace qks::win32
