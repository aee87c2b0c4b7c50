#include "app/tq71x_fw_tool.h"

#include <algorithm>
#include <utility>

namespace qks {

const char* ScreenName(Screen screen) {
    static constexpr const char* kNames[] = {"Start",   "Confirm", "NoDevice", "AlreadyUpdated",
                                             "Working", "Success", "Failure"};
    return kNames[static_cast<int>(screen)];
}

ControlState InitialControlState(const ControlDescription& d) {
    ControlState state;
    state.visible = d.visible;
    state.enabled = d.enabled;
    state.text = d.caption ? d.caption : "";
    state.color = d.color;
    for (const char* item : d.items) state.items.emplace_back(item);
    state.selected = d.selected;
    state.left = d.left;
    state.top = d.top;
    state.width = d.width;
    state.height = d.height;
    // A labelled edit's caption is its label; the field itself starts empty.
    if (d.kind == ControlKind::LabeledEdit) state.text.clear();
    return state;
}

TQ71xFwTool::TQ71xFwTool(DeviceServices services, WindowFace& face)
    : services_(std::move(services)),
      face_(face) {
    for (const auto& description : kFormDescription)
        controls_[Index(description.id)] = InitialControlState(description);
    clientHeight_ = kWindowDescription.clientHeight;
    for (size_t i = 0; i < kControlCount; ++i) face_.ControlChanged(static_cast<ControlId>(i));
    face_.ClientHeightChanged(clientHeight_);

    eraseOnly_ = Control(ControlId::EraseOnlyCheck).checked ? 1 : 0;
    RefreshBtnClick();
    RdCheckBoxClick();
}

// The rows of the last refresh marked ReleaseOnExit leave vendor mode as
// the release ends; a gone device simply fails the command.
TQ71xFwTool::~TQ71xFwTool() = default;

void TQ71xFwTool::FormCreate(DeviceNotifier* notifier) {
    if (notifier) notifier->Subscribe([this](uint32_t code) { DeviceChange(code); });
}

void TQ71xFwTool::SetVisible(ControlId id, bool visible) {
    if (Control(id).visible == visible) return;
    Mutable(id).visible = visible;
    face_.ControlChanged(id);
}

void TQ71xFwTool::SetEnabled(ControlId id, bool enabled) {
    if (Control(id).enabled == enabled) return;
    Mutable(id).enabled = enabled;
    face_.ControlChanged(id);
}

void TQ71xFwTool::SetText(ControlId id, const std::string& text) {
    Mutable(id).text = text;
    face_.ControlChanged(id);
}

void TQ71xFwTool::SetColor(ControlId id, uint32_t color) {
    Mutable(id).color = color;
    face_.ControlChanged(id);
}

void TQ71xFwTool::SetChecked(ControlId id, bool checked) {
    Mutable(id).checked = checked;
    face_.ControlChanged(id);
}

void TQ71xFwTool::SetItems(ControlId id, std::vector<std::string> items, int selected) {
    auto& state = Mutable(id);
    state.items = std::move(items);
    state.selected = selected;
    face_.ControlChanged(id);
}

void TQ71xFwTool::SetClientHeight(int height) {
    clientHeight_ = height;
    face_.ClientHeightChanged(height);
}

void TQ71xFwTool::SetStatusText(const std::string& text) { SetText(ControlId::StatusEdit, text); }

void TQ71xFwTool::StepProgress(int32_t amount) {
    auto& bar = Mutable(ControlId::FwUpdatBar);
    if (!bar.visible) return;
    bar.position = std::min(bar.position + amount, 100);
    face_.ControlChanged(ControlId::FwUpdatBar);
    face_.RepaintNow(ControlId::FwUpdatBar);
}

void TQ71xFwTool::ShowMessageBox(const std::string& text, const std::string& caption,
                                 MessageIcon icon) {
    face_.ShowMessageBox(text, caption, icon);
}

const DeviceEntry* TQ71xFwTool::SelectedRow() const {
    const int index = Control(ControlId::DeviceList).selected;
    if (deviceCount_ == 0 || index < 0 || index >= static_cast<int>(deviceTable_.size()))
        return nullptr;
    if (index >= static_cast<int>(Control(ControlId::DeviceList).items.size())) return nullptr;
    return &deviceTable_[static_cast<size_t>(index)];
}

// A control the user cannot reach cannot be clicked, whatever a face sends;
// one reached while an operation runs acts once it has returned, if it is
// still there to be clicked then. NO and EXIT close the window after it.
void TQ71xFwTool::Click(ControlId id) {
    if (!Control(id).visible || !Control(id).enabled) return;
    const Handler handler = Describe(id).onClick;
    if (handler != Handler::ExitBtnClick && HoldWhileBusy([this, id] { Click(id); })) return;
    RunHandler(handler, id);
}
void TQ71xFwTool::Change(ControlId id) {
    if (HoldWhileBusy([this, id] { Change(id); })) return;
    RunHandler(Describe(id).onChange, id);
}

void TQ71xFwTool::UserSetChecked(ControlId id, bool checked) {
    if (HoldWhileBusy([this, id, checked] { UserSetChecked(id, checked); })) return;
    auto& state = Mutable(id);
    if (!state.visible || !state.enabled) return;
    state.checked = checked;
    face_.ControlChanged(id);
    Click(id);
}

void TQ71xFwTool::UserSelect(ControlId id, int index) {
    if (HoldWhileBusy([this, id, index] { UserSelect(id, index); })) return;
    auto& state = Mutable(id);
    if (!state.enabled || index < 0 || index >= static_cast<int>(state.items.size())) return;
    state.selected = index;
    face_.ControlChanged(id);
    Change(id);
}

void TQ71xFwTool::UserSetText(ControlId id, const std::string& text) {
    if (HoldWhileBusy([this, id, text] { UserSetText(id, text); })) return;
    auto& state = Mutable(id);
    if (!state.enabled || Describe(id).readOnly) return;
    state.text = text;
    face_.ControlChanged(id);
    editPending_[Index(id)] = true;
}

void TQ71xFwTool::UserEndEdit(ControlId id) {
    if (HoldWhileBusy([this, id] { UserEndEdit(id); })) return;
    // The check may show a box, which takes the focus and ends the edit
    // again: once is enough.
    if (!std::exchange(editPending_[Index(id)], false)) return;
    Change(id);
}

void TQ71xFwTool::RunHandler(Handler handler, ControlId sender) {
    switch (handler) {
        case Handler::None: break;
        case Handler::EraseButtonClick: EraseButtonClick(); break;
        case Handler::ExitBtnClick: ExitBtnClick(); break;
        case Handler::EraseOnlyCheckClick: EraseOnlyCheckClick(sender); break;
        case Handler::BackupBtnClick: BackupBtnClick(); break;
        case Handler::FwSizeCheckChange: FwSizeCheckChange(); break;
        case Handler::RefreshBtnClick: RefreshBtnClick(); break;
        case Handler::UpdateBtnCheck: UpdateBtnCheck(); break;
        case Handler::LoadBtnClick: LoadBtnClick(); break;
        case Handler::FwPgSizeCheckChange: FwPgSizeCheckChange(); break;
        case Handler::UpdateBtnClick: UpdateBtnClick(); break;
        case Handler::RdCheckBoxClick: RdCheckBoxClick(); break;
        case Handler::RestoreBtnClick: RestoreBtnClick(); break;
    }
}

void TQ71xFwTool::ExitBtnClick() {
    // Inside an operation the close waits until the operation has returned.
    closeRequested_ = true;
    if (!Busy()) {
        face_.CloseWindow();
        return;
    }
    // A write cut short leaves the enclosure half written: the window stays
    // until it has finished, and says why it has not closed.
    SetText(ControlId::CloseHeldLine, kCloseHeldText);
    SetVisible(ControlId::CloseHeldLine, true);
}

}  // namespace qks
