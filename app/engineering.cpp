// The engineering ("RD Version") panel and its actions.
#include <algorithm>

#include "app/tq71x_fw_tool.h"
#include "device/firmware_file_check.h"

namespace qks {

namespace {
constexpr ControlId kEngineeringControls[] = {
    ControlId::ChipLabelEdit,  ControlId::RefreshBtn,     ControlId::DiskLetterLable,
    ControlId::FwFilenameEdit, ControlId::LoadBtn,        ControlId::FwVerLableEdit,
    ControlId::FlashTypeList,  ControlId::FlashTypeLabel, ControlId::FwPgSizeCheck,
    ControlId::Label1,         ControlId::UpdateBtn,      ControlId::DeviceList,
    ControlId::RdCheckBox,     ControlId::SFlashTypeLable, ControlId::StatusEdit,
    ControlId::CopyNoticeLine,
};
const int kRecoveryAreaHeight = kWindowDescription.clientHeight - kRdPanelHeight;
constexpr int kGap = 4;
constexpr int kLabelCharWidth = 6;   // the form font's average, generous

struct Box {
    int left, top, right, bottom;
};

// A labelled edit's label sits to its left; it takes room too.
Box Footprint(const ControlDescription& d, int top) {
    int left = d.left;
    if (d.kind == ControlKind::LabeledEdit && d.caption)
        left -= d.labelSpacing + kLabelCharWidth * static_cast<int>(std::char_traits<char>::length(d.caption));
    return {std::max(left, 0), top, d.left + d.width, top + d.height};
}

bool Overlap(const Box& a, const Box& b) {
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}
}  // namespace

void TQ71xFwTool::EngineeringShortcut() {
    if (HoldWhileBusy([this] { EngineeringShortcut(); })) return;
    EnableEngineeringMode();
}

void TQ71xFwTool::EnableEngineeringMode() {
    if (engineering_) return;
    engineering_ = true;
    // The designed places overlap the recovery controls and each other: keep
    // each one's column, move it below the recovery area, and push it down
    // past whatever it would cover.
    std::vector<ControlId> order(std::begin(kEngineeringControls), std::end(kEngineeringControls));
    std::stable_sort(order.begin(), order.end(), [](ControlId a, ControlId b) {
        return Describe(a).top < Describe(b).top;
    });
    std::vector<Box> placed;
    int bottom = kRecoveryAreaHeight;
    for (ControlId id : order) {
        const auto& d = Describe(id);
        int top = d.top + kRecoveryAreaHeight;
        for (bool moved = true; moved;) {
            moved = false;
            const Box box = Footprint(d, top);
            for (const Box& other : placed) {
                if (Overlap(box, other)) {
                    top = other.bottom + kGap;
                    moved = true;
                }
            }
        }
        auto& state = Mutable(id);
        state.top = top;
        placed.push_back(Footprint(d, top));
        bottom = std::max(bottom, top + d.height);
        face_.ControlChanged(id);
    }
    auto& panel = Mutable(ControlId::RdPanel);
    panel.top = bottom + kGap * 2;
    face_.ControlChanged(ControlId::RdPanel);
    for (ControlId id : kEngineeringControls) {
        if (id == ControlId::FlashTypeList || id == ControlId::FlashTypeLabel ||
            id == ControlId::SFlashTypeLable)
            continue;   // the selection check decides these by chip type
        SetVisible(id, true);
    }
    SetClientHeight(Control(ControlId::RdPanel).top +
                    (Control(ControlId::RdCheckBox).checked ? kRdPanelHeight : 0));
    RefreshBtnClick();
}

void TQ71xFwTool::RdCheckBoxClick() {
    if (Control(ControlId::RdCheckBox).checked) {
        SetVisible(ControlId::RdPanel, true);
        SetClientHeight(clientHeight_ + kRdPanelHeight);
        return;
    }
    SetVisible(ControlId::RdPanel, false);
    SetClientHeight(clientHeight_ - kRdPanelHeight);
    SetVisible(ControlId::FwSizeCheck, false);
    SetVisible(ControlId::FwSizeLable, false);
    SetEnabled(ControlId::FwFilenameEdit, true);
    SetEnabled(ControlId::UpdateBtn, false);
    UpdateBtnCheck();
}

void TQ71xFwTool::EnableRunForFile() {
    const std::string& file = Control(ControlId::FwFilenameEdit).text;
    if (deviceCount_ != 0 && IsIdentified(chipId_) && !file.empty())
        SetEnabled(ControlId::UpdateBtn, CheckFirmwareFile(*this, file, chipId_) != 0);
    else
        SetEnabled(ControlId::UpdateBtn, false);
}

void TQ71xFwTool::EraseOnlyCheckClick(ControlId sender) {
    const ChipFamily& family = FamilyOf(chipId_);
    if (Describe(sender).tag == 0) {
        if (family.configurationBox) SetVisible(ControlId::NVRAMCheck, true);
        if (Control(sender).checked) SetChecked(ControlId::BackupFWCheckBox, false);
    } else if (Control(sender).checked) {
        SetChecked(ControlId::EraseOnlyCheck, false);
    }
    const bool eraseTicked = Control(ControlId::EraseOnlyCheck).checked;
    const bool backupTicked = Control(ControlId::BackupFWCheckBox).checked;
    const bool sizeList = family.sizeList && (eraseTicked || backupTicked);
    SetEnabled(ControlId::FwSizeCheck, sizeList);
    SetVisible(ControlId::FwSizeCheck, sizeList);
    SetVisible(ControlId::FwSizeLable, sizeList);
    eraseOnly_ = eraseTicked ? 1 : 0;
    if (eraseTicked) {
        SetEnabled(ControlId::FwFilenameEdit, false);
        SetEnabled(ControlId::UpdateBtn, deviceCount_ != 0 && IsIdentified(chipId_));
    } else {
        SetEnabled(ControlId::FwFilenameEdit, true);
        EnableRunForFile();
    }
    if (!Control(ControlId::UpdateBtn).enabled && backupTicked)
        SetEnabled(ControlId::UpdateBtn, true);
}

void TQ71xFwTool::LoadBtnClick() {
    SetText(ControlId::StatusEdit, "");
    const auto chosen = face_.ChooseFile(Describe(ControlId::OpenDialog1).filter,
                                         services_.programFolder);
    if (!chosen) return;
    SetText(ControlId::FwFilenameEdit, *chosen);
    editPending_[Index(ControlId::FwFilenameEdit)] = false;
    Change(ControlId::FwFilenameEdit);
    SetEnabled(ControlId::UpdateBtn, true);
}

void TQ71xFwTool::BackupBtnClick() {
    SetText(ControlId::StatusEdit, "");
    const auto chosen = face_.ChooseFile(Describe(ControlId::OpenDialog1).filter,
                                         services_.programFolder);
    if (!chosen) return;
    SetText(ControlId::BackupFileEdit, *chosen);
    SetEnabled(ControlId::UpdateBtn, true);
}

void TQ71xFwTool::UpdateBtnClick() {
    Operation operation(*this);
    SetEnabled(ControlId::UpdateBtn, false);
    face_.DebugOutput("Update Btn Press\n");
    const DeviceEntry* row = SelectedRow();
    SetText(ControlId::StatusEdit, "");
    SetText(ControlId::CopyNoticeLine, "");
    lastRunResult_ = 0;
    if (row != nullptr) {
        const DeviceRef device = RefOf(*row);
        EngineOptions options = PanelOptions();
        // The panel's boxes choose the action only while it is open; the
        // family decides whether its Run takes them at all.
        // (the ROM engine takes them whether the panel is open or not).
        const bool open = Control(ControlId::RdCheckBox).checked ||
                          FamilyOf(chipId_).run == RunAction::InternalRom;
        const bool panel = open && OffersEraseAndBackup(chipId_);
        if (panel && eraseOnly_ != 0) {
            lastOutcome_ = EraseFlash(services_, device, options, sink_);
        } else if (panel && Control(ControlId::BackupFWCheckBox).checked) {
            if (AcceptBackupTarget(options))
                lastOutcome_ = BackupFlash(services_, device, options, sink_);
        } else if (FamilyOf(chipId_).run != RunAction::None &&
                   AcceptImageRisk(device, Flow::Run, options)) {
            lastOutcome_ = RunUpdate(services_, device, options, sink_);
        } else {
            lastOutcome_ = Outcome::Fail(FailureKind::NotOffered, "nothing run").Within("run");
        }
        lastRunResult_ = lastOutcome_.Ok() ? 1 : 0;
    }
    SetEnabled(ControlId::UpdateBtn, true);
}

void TQ71xFwTool::FwSizeCheckChange() {
    const int item = Control(ControlId::FwSizeCheck).selected;
    if (item >= 0 && item < static_cast<int>(kFirmwareSizeValues.size()))
        firmwareSize_ = kFirmwareSizeValues[static_cast<size_t>(item)];
}

void TQ71xFwTool::FwPgSizeCheckChange() {
    const int item = Control(ControlId::FwPgSizeCheck).selected;
    if (item >= 0 && item < static_cast<int>(kTransferPageSizeValues.size()))
        transferPageSize_ = kTransferPageSizeValues[static_cast<size_t>(item)];
}

}  // namespace qks
