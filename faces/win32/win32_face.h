// The window in plain Win32: one native control per control of the form
// description, kept in step with the window model, and the user's events
// forwarded to it. The face decides nothing; what a click does, and what the
// controls show afterwards, is the model's.
#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "app/window_face.h"
#include "platform/windows/device_notices.h"
#include "resources/form_description.h"

namespace qks::emu {
class EmulatorPlatform;
}

namespace qks::win32 {

// The command that Ctrl+Shift+R sends: the way into the engineering panel.
inline constexpr WORD kEngineeringCommand = 0x7F00;
// Native control identifiers: the control's index plus these.
inline constexpr int kControlIdBase = 100;
inline constexpr int kEditLabelIdBase = 300;
inline constexpr int kPowerSwitchIdBase = 900;
// A device notice of a source other than the system, posted to the window.
inline constexpr UINT kPostedDeviceChange = WM_APP + 1;
// The timer that ends a batch of device notices.
inline constexpr UINT_PTR kNoticeTimer = 0x5177;

// "BinaryFile|*.bin|All Files|*.*" -> "BinaryFile\0*.bin\0All Files\0*.*\0\0",
// the form GetOpenFileNameA takes. A trailing name without a pattern is dropped.
std::string OpenFileNameFilter(const std::string& filter);

// A colour of the form (BGR, or a system-colour marker) as a COLORREF.
COLORREF ColorRefFor(uint32_t color);

class PowerSwitches;

class Win32Face final : public WindowFace {
public:
    // Creates the window, hidden, and every control from the form
    // description. Until a model is bound the controls show the
    // description's initial state.
    explicit Win32Face(HINSTANCE instance);
    ~Win32Face() override;
    Win32Face(const Win32Face&) = delete;
    Win32Face& operator=(const Win32Face&) = delete;

    // The model's constructor reports every control before the model can be
    // handed over; binding brings every control up to the model's state.
    void Bind(TQ71xFwTool* model);
    TQ71xFwTool* Model() const { return model_; }

    // The emulated enclosures' power switches below the designed window.
    void AddPowerSwitches(emu::EmulatorPlatform& platform);
    PowerSwitches* Switches() const { return switches_.get(); }

    // What OnCreate runs: device notices of USB devices come to this window
    // as WM_DEVICECHANGE from now on.
    void RegisterForDeviceNotices();
    // A notice of a source that is not the system's (the emulator): posted,
    // so it runs once the current message has been handled, like a real one.
    void PostDeviceChange(uint32_t eventCode);

    void Show(int showCommand);
    // Runs the message loop until the window has gone; the WM_QUIT code.
    int RunMessageLoop();
    // One message through the accelerators, dialog navigation and its window.
    void Dispatch(MSG& message);

    HWND Window() const { return window_; }
    // The area of the designed controls; controls placed beyond its height
    // are clipped as the designed window clips them.
    HWND Form() const { return form_; }
    // The native control: the field of a labelled edit, null for the file dialog.
    HWND Native(ControlId id) const { return natives_[Index(id)].window; }
    // The label left of a labelled edit; null for other kinds.
    HWND EditLabel(ControlId id) const { return natives_[Index(id)].label; }
    HACCEL Accelerators() const { return accelerators_; }
    bool Destroyed() const { return window_ == nullptr; }

    // Debugger output also goes to stderr.
    void SetVerbose(bool verbose) { verbose_ = verbose; }
    // Message boxes are written here instead of shown, for runs nobody
    // watches (the self-test): caption, text.
    void RecordMessageBoxes(std::vector<std::pair<std::string, std::string>>* sink) {
        recordedBoxes_ = sink;
    }
    // Every repaint of the progress bar: the position the native bar held.
    const std::vector<int>& BarRepaints() const { return barRepaints_; }

    // WindowFace
    void ControlChanged(ControlId id) override;
    void ClientHeightChanged(int height) override;
    void RepaintNow(ControlId id) override;
    void ProcessPendingEvents() override;
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override;
    void DebugOutput(const std::string& text) override;
    std::optional<std::string> ChooseFile(const std::string& filter,
                                          const std::string& initialFolder) override;
    bool ConfirmRisk(const std::string& text) override;
    std::optional<size_t> ChooseOne(const std::string& question,
                                    const std::vector<std::string>& choices) override;
    void CloseWindow() override;

private:
    struct NativeControl {
        HWND window = nullptr;
        HWND label = nullptr;   // labelled edits
    };

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l);
    static LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM w, LPARAM l);
    LRESULT Handle(UINT message, WPARAM w, LPARAM l);
    void Command(int id, int code, HWND from);
    LRESULT ControlColor(HDC dc, HWND control);

    void Build(ControlId id);
    HWND ParentOf(const ControlDescription& d) const;
    void Sync(ControlId id, const ControlState& state);
    void PlaceEditLabel(ControlId id, const ControlState& state);
    SIZE TextExtent(HWND window, const ControlDescription& d, const std::string& text);
    void UpdateWindowSize();
    HFONT FontFor(const FontSpec& wanted);
    // Runs a user event in the model, then shows what the model made of it
    // (it may have refused the change). An exception is shown, not lost.
    void Forward(ControlId id, const std::function<void(TQ71xFwTool&)>& event);
    void ShowException(const char* what);
    std::optional<ControlId> ControlOf(HWND control, bool* isLabel = nullptr) const;

    HINSTANCE instance_;
    HWND window_ = nullptr;
    HWND form_ = nullptr;
    HACCEL accelerators_ = nullptr;
    TQ71xFwTool* model_ = nullptr;
    std::array<NativeControl, kControlCount> natives_{};
    std::map<std::pair<std::string, int>, HFONT> fonts_;
    std::unique_ptr<PowerSwitches> switches_;
    win::NoticeBatch notices_;
    int clientHeight_ = 0;
    bool syncing_ = false;
    bool verbose_ = false;
    std::vector<std::pair<std::string, std::string>>* recordedBoxes_ = nullptr;
    std::vector<int> barRepaints_;
};

}  // namespace qks::win32
