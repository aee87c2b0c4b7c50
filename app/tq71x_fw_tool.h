// The main window as a model: every control as plain state, the device
// table, the options, the screens and the handlers. It knows no toolkit; a
// face renders it and forwards events to Click and Change.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/window_face.h"
#include "device/chip_id.h"
#include "device/device_notifier.h"
#include "firmware/header_block.h"
#include "operations/discovery.h"
#include "operations/operations.h"
#include "operations/services.h"
#include "resources/form_description.h"

namespace qks {

struct ControlState {
    bool visible = false;
    bool enabled = true;
    bool checked = false;
    std::string text;
    uint32_t color = kWindowText;
    std::vector<std::string> items;
    int selected = -1;
    int position = 0;
    int left = 0, top = 0, width = 0, height = 0;
};

// What a control holds before anything changed it: its description.
ControlState InitialControlState(const ControlDescription& description);

struct DeviceEntry {
    std::string Path;
    std::string DriveText;
    int32_t ReleaseOnExit = 0;
    // Beyond the path: what the platform told about the interface.
    std::string Serial;
    bool Emulated = false;
    // Which enclosure the row writes: "NAME (serial S, SERIES)", and the
    // enclosure's number as `list` prints it.
    std::string Name;
    size_t Enclosure = 0;
    // The USB device behind the interface, as every face names it: one
    // writer per enclosure holds across windows and programs by it.
    std::string EnclosureKey;
};

enum class Screen : uint8_t { Start, Confirm, NoDevice, AlreadyUpdated, Working, Success, Failure };
const char* ScreenName(Screen screen);

inline constexpr int kRdPanelHeight = 129;
inline constexpr const char* kConfirmText = "Please ensure to update the firmware";
inline constexpr const char* kNoDeviceText = "                 No device found!!";
inline constexpr const char* kAlreadyUpdatedText = "        The chip already updated!!";
inline constexpr const char* kFailureText = "                     Update    fail!!";
inline constexpr const char* kCloseHeldText =
    "Closing once the operation in progress has finished.";
inline constexpr const char* kMismatchText = "The firmware file seems not match this chip!";

class TQ71xFwTool final : public UserMessages {
public:
    TQ71xFwTool(DeviceServices services, WindowFace& face);
    ~TQ71xFwTool() override;
    TQ71xFwTool(const TQ71xFwTool&) = delete;
    TQ71xFwTool& operator=(const TQ71xFwTool&) = delete;

    // Registration for device notices happens after construction.
    void FormCreate(DeviceNotifier* notifier);

    // Events from a face, by control.
    void Click(ControlId id);
    void Change(ControlId id);
    void UserSetChecked(ControlId id, bool checked);
    void UserSelect(ControlId id, int index);
    // Every keystroke sets the text; what it names is checked once editing
    // ends (Enter, leaving the box), so a path can be typed in peace.
    void UserSetText(ControlId id, const std::string& text);
    void UserEndEdit(ControlId id);
    void DeviceChange(uint32_t eventCode);

    // Handlers, named as the window binds them.
    void EraseButtonClick();
    void ExitBtnClick();
    void RefreshBtnClick();
    void UpdateBtnCheck();
    void RdCheckBoxClick();
    void EraseOnlyCheckClick(ControlId sender);
    void LoadBtnClick();
    void BackupBtnClick();
    void UpdateBtnClick();
    void FwSizeCheckChange();
    void FwPgSizeCheckChange();
    // Writes a saved 64 KB flash (the name in the backup field, or one
    // chosen) back to the selected QKS970/958 through the verified block
    // writer; the result is LastRunResult.
    void RestoreBtnClick();
    int RestoreFlashFromFile(const std::string& file);

    // The hidden engineering controls made reachable and laid out clear of
    // the recovery controls.
    void EnableEngineeringMode();
    // The RD shortcut: opens the panel, or waits while an operation runs.
    void EngineeringShortcut();
    bool EngineeringMode() const { return engineering_; }

    // The status line, the progress bar and the boxes as the operations
    // report to them.
    void SetStatusText(const std::string& text);
    const std::string& StatusText() const { return Control(ControlId::StatusEdit).text; }
    void StepProgress(int32_t amount);
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override;
    void DebugOutput(const std::string& text) override { face_.DebugOutput(text); }
    // The panel's option values as its lists and boxes set them.
    uint32_t FirmwareSize() const { return firmwareSize_; }
    uint32_t TransferPageSize() const { return transferPageSize_; }
    int32_t EraseOnly() const { return eraseOnly_; }

    // State, for faces and tests.
    const ControlState& Control(ControlId id) const { return controls_[Index(id)]; }
    // As many rows as the last refresh listed.
    const std::vector<DeviceEntry>& DeviceTable() const { return deviceTable_; }
    // What the last refresh found, every path with its report.
    const Discovery& LastDiscovery() const { return discovery_; }
    int32_t DeviceCount() const { return deviceCount_; }
    ChipIdValue ChipId() const { return chipId_; }
    int ClientHeight() const { return clientHeight_; }
    Screen CurrentScreen() const { return screen_; }
    bool Busy() const { return operationDepth_ > 0; }
    bool CloseRequested() const { return closeRequested_; }
    const DeviceEntry* SelectedRow() const;
    // The selected enclosure as the user knows it: name, serial, chip.
    std::string EnclosureText() const;
    const std::vector<std::string>& Problems() const { return problems_; }
    // What the engine behind the last Run returned (Run itself shows nothing).
    int LastRunResult() const { return lastRunResult_; }
    // The outcome of the last operation that wrote or read a device's memory.
    const Outcome& LastOutcome() const { return lastOutcome_; }
    // The backup taken before the last write, empty when none was taken.
    const std::string& LastBackupPath() const { return lastOutcome_.backupPath; }

private:
    ControlState& Mutable(ControlId id) { return controls_[Index(id)]; }
    void SetVisible(ControlId id, bool visible);
    void SetEnabled(ControlId id, bool enabled);
    void SetText(ControlId id, const std::string& text);
    void SetColor(ControlId id, uint32_t color);
    void SetChecked(ControlId id, bool checked);
    void SetItems(ControlId id, std::vector<std::string> items, int selected);
    void SetClientHeight(int height);
    void RunHandler(Handler handler, ControlId sender);

    void ListDevices();
    void ShowDiscoveryScreen(DiscoveredScreen screen);
    void ClearSelectionFields();
    void ShowFlashType(const ChipFamily& family, const DeviceDetails& details);
    void ShowFirmwareVersion(const DeviceDetails& details);
    void ShowWorking();
    void ShowOutcome(int result);
    void ExplainFailure(const Outcome& outcome);
    DeviceRef RefOf(const DeviceEntry& row) const;
    EngineOptions PanelOptions() const;
    // Asks before a flow writes a built-in development image to a real
    // bridge; false when the user did not accept.
    bool AcceptImageRisk(const DeviceRef& device, Flow flow, EngineOptions& options);
    // A backup never goes into the copies folder, and replaces a file only
    // when the user says so; false when it is not to be written.
    bool AcceptBackupTarget(EngineOptions& options);
    void EnableRunForFile();

    // While an operation runs, every event that could start another one
    // waits here and runs, in order, once it has returned.
    bool HoldWhileBusy(std::function<void()> event);

    class WindowSink final : public ProgressSink {
    public:
        explicit WindowSink(TQ71xFwTool& window) : window_(window) {}
        void Status(const std::string& text) override { window_.SetStatusText(text); }
        void AppendStatus(const std::string& more) override {
            window_.SetStatusText(window_.StatusText() + more);
        }
        void RepaintStatus() override { window_.face_.RepaintNow(ControlId::StatusEdit); }
        void Step(int32_t amount) override { window_.StepProgress(amount); }
        void LetEventsThrough() override { window_.face_.ProcessPendingEvents(); }
        std::optional<size_t> ChooseSavedCopy(const std::string& question,
                                              const std::vector<std::string>& copies) override {
            return window_.face_.ChooseOne(question, copies);
        }
        void ShowMessageBox(const std::string& text, const std::string& caption,
                            MessageIcon icon) override {
            window_.ShowMessageBox(text, caption, icon);
        }
        void DebugOutput(const std::string& text) override { window_.DebugOutput(text); }
        void CopySaved(const std::string& memory, const std::string& path) override {
            window_.SetText(ControlId::CopyNoticeLine, CopySavedNotice(memory, path));
        }
        // Until the other writer ends, the status line says whom the write waits for.
        void Waiting(const std::string& text) override {
            window_.SetStatusText(text);
            window_.face_.RepaintNow(ControlId::StatusEdit);
        }

    private:
        TQ71xFwTool& window_;
    };

    // Guards an operation that may let the face process events: a device
    // notice waits for its end, and so does a close.
    class Operation {
    public:
        explicit Operation(TQ71xFwTool& window) : window_(window) { ++window_.operationDepth_; }
        ~Operation() {
            if (--window_.operationDepth_ != 0) return;
            window_.ShowEnclosure();
            window_.FinishOperation();
        }
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

    private:
        TQ71xFwTool& window_;
    };
    void FinishOperation();
    // Beside the question: the enclosure YES writes, whenever the screen
    // settles on Confirm.
    void ShowEnclosure();

    DeviceServices services_;
    WindowFace& face_;
    std::array<ControlState, kControlCount> controls_{};
    Discovery discovery_;
    VendorModeRelease release_{services_};
    std::vector<DeviceEntry> deviceTable_;
    int32_t deviceCount_ = 0;
    int32_t eraseOnly_ = 0;
    int32_t amicFlashCode_ = 0;
    ChipIdValue chipId_ = 0;
    uint32_t firmwareSize_ = 65536;
    uint32_t transferPageSize_ = 16384;
    int clientHeight_ = 0;
    Screen screen_ = Screen::Start;
    bool engineering_ = false;
    int operationDepth_ = 0;
    bool closeRequested_ = false;
    bool refreshDeferred_ = false;
    std::array<bool, kControlCount> editPending_{};
    std::vector<std::string> problems_;
    std::vector<std::string> problemsShown_;
    std::vector<std::function<void()>> held_;
    WindowSink sink_{*this};
    Outcome lastOutcome_;
    int lastRunResult_ = 0;
};

}  // namespace qks
