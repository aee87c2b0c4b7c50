// The window in Qt Widgets: one native control per control of the form
// description, kept in step with the window model, and the user's events
// forwarded to it. The face decides nothing; what a click does, and what the
// controls show afterwards, is the model's.
#pragma once

#include <QWidget>
#include <array>
#include <functional>

#include "app/tq71x_fw_tool.h"
#include "app/window_face.h"
#include "resources/form_description.h"

class QLabel;
class QCloseEvent;

namespace qks::qt {

class QtFace : public QWidget, public WindowFace {
public:
    // Builds the window and every control from the form description. Until
    // a model is bound the controls show the description's initial state.
    explicit QtFace(QWidget* parent = nullptr);
    ~QtFace() override;

    // The model's constructor reports every control before the model can be
    // handed over; binding brings every control up to the model's state.
    void Bind(TQ71xFwTool* model);
    TQ71xFwTool* Model() const { return model_; }

    // The native control of a control of the form: the field of a labelled
    // edit, null for the file dialog (which is no widget).
    QWidget* Native(ControlId id) const { return natives_[Index(id)].widget; }
    // The label to the left of a labelled edit; null for other kinds.
    QLabel* EditLabel(ControlId id) const { return natives_[Index(id)].label; }
    // The designed client area; controls placed beyond its height are clipped
    // as the designed window clips them.
    QWidget* ClientArea() const { return client_; }

    // Something outside the designed controls, shown in a strip below the
    // client area (the emulator's enclosure switches). The face owns it.
    void SetStrip(QWidget* strip);
    QWidget* Strip() const { return strip_; }

    // Debugger output goes to stderr when verbose, to the "qks.debug"
    // logging category otherwise.
    void SetVerbose(bool verbose) { verbose_ = verbose; }

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

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct NativeControl {
        QWidget* widget = nullptr;
        QLabel* label = nullptr;   // labelled edits
        QPalette palette;          // as built, before any colour of the model
    };

    QWidget* Build(ControlId id);
    void Connect(ControlId id);
    void Sync(ControlId id, const ControlState& state);
    void PlaceEditLabel(ControlId id, const ControlState& state);
    void ApplyTextColor(ControlId id, uint32_t color);
    void UpdateFixedSize();
    // Runs a user event in the model, then shows what the model made of it
    // (it may have refused the change). An exception is shown, not lost.
    void Forward(ControlId id, const std::function<void(TQ71xFwTool&)>& event);
    void ShowException(const char* what);

    TQ71xFwTool* model_ = nullptr;
    QWidget* client_ = nullptr;
    QWidget* strip_ = nullptr;
    std::array<NativeControl, kControlCount> natives_{};
    int clientHeight_ = 0;
    bool verbose_ = false;
};

}  // namespace qks::qt
