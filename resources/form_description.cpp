#include "resources/form_description.h"

namespace qks {

namespace {
constexpr const char* kFwSizeItems[] = {"32KB", "64KB", "128KB", "256KB", "512KB", "   1MB"};
constexpr const char* kPageSizeItems[] = {"32 KB", "16 KB", " 8 KB", " 4 KB", " 2 KB"};
constexpr const char* kFlashTypeItems[] = {"ATMELAT 49BV512", "PMC OM39LV512", "SST SST39LF512"};

constexpr FontSpec kFormFont{nullptr, -11};
constexpr FontSpec kArial14{"Arial", -19};
constexpr FontSpec kArial10{"Arial", -13};
constexpr FontSpec kSansSerif13{"MS Sans Serif", -13};
constexpr ControlId kWindow = ControlId::Count;
constexpr std::span<const char* const> kNoItems{};

using C = ControlId;
using K = ControlKind;
using H = Handler;

constexpr ControlDescription Control(C id, const char* name, K kind, C parent, int l, int t,
                                     int w, int h, const char* caption, bool visible) {
    return ControlDescription{id,  name,  kind,     parent,   l,       t,       w,
                              h,   caption, kNoItems, -1,     kFormFont, kWindowText,
                              visible, true, false,  false,   0,       3,       H::None,
                              H::None, nullptr};
}

constexpr ControlDescription With(ControlDescription d, FontSpec font, uint32_t color) {
    d.font = font;
    d.color = color;
    return d;
}
constexpr ControlDescription OnClick(ControlDescription d, Handler h) { d.onClick = h; return d; }
constexpr ControlDescription OnChange(ControlDescription d, Handler h) { d.onChange = h; return d; }
constexpr ControlDescription Items(ControlDescription d, std::span<const char* const> items,
                                   int selected) {
    d.items = items;
    d.selected = selected;
    return d;
}
constexpr ControlDescription Tagged(ControlDescription d, int tag) { d.tag = tag; return d; }
constexpr ControlDescription Disabled(ControlDescription d) { d.enabled = false; return d; }
constexpr ControlDescription ReadOnlyFace(ControlDescription d) {
    d.readOnly = true;
    d.buttonFaceBackground = true;
    return d;
}
}  // namespace

const WindowDescription kWindowDescription = {
    "Tavrel QKS970 Firmware Update Utility v0.1",
    "Tavrel QKS970 Firmware Update Utility",
    360, 280,
    338, 229,   // 10 pixels right of devLable's right edge (8 + 320)
    kFormFont,
};

const std::array<ControlDescription, kControlCount> kFormDescription = {{
    With(Control(C::devLable, "devLable", K::Label, kWindow, 8, 16, 320, 22,
                 "Please ensure to recover the firmware", true), kArial14, kWindowText),
    OnClick(With(Control(C::EraseButton, "EraseButton", K::PushButton, kWindow, 72, 64, 75, 25,
                         "YES", true), kArial10, kWindowText), H::EraseButtonClick),
    OnClick(With(Control(C::ExitBtn, "ExitBtn", K::PushButton, kWindow, 184, 64, 75, 25, "NO",
                         true), kArial10, kWindowText), H::ExitBtnClick),
    OnClick(With(Control(C::ExtBtn, "ExtBtn", K::PushButton, kWindow, 128, 64, 75, 25, "EXIT",
                         false), kArial10, kWindowText), H::ExitBtnClick),
    With(Control(C::replugLable1, "replugLable1", K::Label, kWindow, 56, 8, 232, 22,
                 "Please un-plug AC adapter ", false), kArial14, kBlack),
    With(Control(C::replugLable2, "replugLable2", K::Label, kWindow, 104, 32, 136, 22,
                 "and plug it again", false), kArial14, kBlack),
    Control(C::FwUpdatBar, "FwUpdatBar", K::ProgressBar, kWindow, 40, 32, 257, 25, "", false),
    With(Control(C::Panel1, "Panel1", K::Panel, kWindow, 8, 225, 322, 3, "", false), kFormFont,
         kNavy),
    Control(C::RdPanel, "RdPanel", K::Panel, kWindow, 0, 232, 345, 129, "", false),
    Control(C::A1ChipCheck, "A1ChipCheck", K::CheckBox, C::RdPanel, 8, 8, 65, 17, "A1 Chip", true),
    Tagged(OnClick(Control(C::EraseOnlyCheck, "EraseOnlyCheck", K::CheckBox, C::RdPanel, 8, 28,
                           121, 17, "Erase All Flash Only ", true), H::EraseOnlyCheckClick), 0),
    Control(C::NVRAMCheck, "NVRAMCheck", K::CheckBox, C::RdPanel, 128, 28, 113, 17,
            "Include 4K NVRAM", true),
    Tagged(OnClick(Control(C::BackupFWCheckBox, "BackupFWCheckBox", K::CheckBox, C::RdPanel, 8,
                           48, 153, 17, "Backup Old Firmware Only", true), H::EraseOnlyCheckClick),
           1),
    OnClick(Control(C::BackupBtn, "BackupBtn", K::PushButton, C::RdPanel, 256, 61, 75, 25,
                    "Browse", true), H::BackupBtnClick),
    OnChange(Items(With(Control(C::FwSizeCheck, "FwSizeCheck", K::DropDownList, C::RdPanel, 8,
                                72, 65, 24, "", true), kSansSerif13, kWindowText),
                   kFwSizeItems, 0), H::FwSizeCheckChange),
    With(Control(C::FwSizeLable, "FwSizeLable", K::Label, C::RdPanel, 80, 72, 82, 16,
                 "Firmware size", true), kSansSerif13, kWindowText),
    Control(C::BackupFileEdit, "BackupFileEdit", K::LabeledEdit, C::RdPanel, 115, 96, 214, 21,
            "Backup FileName ", true),
    ReadOnlyFace(Control(C::ChipLabelEdit, "ChipLabelEdit", K::LabeledEdit, kWindow, 80, 12,
                         129, 21, "Chip ", false)),
    OnClick(Control(C::RefreshBtn, "RefreshBtn", K::PushButton, kWindow, 240, 8, 91, 25,
                    "Refresh Device", false), H::RefreshBtnClick),
    ReadOnlyFace(Control(C::DiskLetterLable, "DiskLetterLable", K::LabeledEdit, kWindow, 80, 68,
                         89, 21, "Drives ", false)),
    OnChange(Control(C::FwFilenameEdit, "FwFilenameEdit", K::LabeledEdit, kWindow, 80, 70, 249,
                     21, "Firmware File ", false), H::UpdateBtnCheck),
    OnClick(Control(C::LoadBtn, "LoadBtn", K::PushButton, kWindow, 256, 96, 75, 25, "Load File",
                    false), H::LoadBtnClick),
    ReadOnlyFace(Control(C::FwVerLableEdit, "FwVerLableEdit", K::LabeledEdit, kWindow, 80, 96,
                         89, 21, "Firmware Ver. ", false)),
    OnChange(Items(Control(C::FlashTypeList, "FlashTypeList", K::DropDownList, kWindow, 24, 124,
                           145, 21, "", false), kFlashTypeItems, 0), H::UpdateBtnCheck),
    OnChange(Items(Control(C::FwPgSizeCheck, "FwPgSizeCheck", K::DropDownList, kWindow, 176, 140,
                           89, 21, "", false), kPageSizeItems, 1), H::FwPgSizeCheckChange),
    Disabled(OnClick(Control(C::UpdateBtn, "UpdateBtn", K::PushButton, kWindow, 256, 152, 75, 25,
                             "Run", false), H::UpdateBtnClick)),
    Control(C::FlashTypeLabel, "FlashTypeLabel", K::Label, kWindow, 24, 156, 55, 13,
            "Flash Type ", false),
    Control(C::Label1, "Label1", K::Label, kWindow, 0, 172, 75, 13, "Transfer PgSzie", false),
    OnChange(Control(C::DeviceList, "DeviceList", K::DropDownList, kWindow, 48, 176, 249, 21, "",
                     false), H::UpdateBtnCheck),
    OnClick(Control(C::RdCheckBox, "RdCheckBox", K::CheckBox, kWindow, 0, 184, 81, 17,
                    "RD Version", false), H::RdCheckBoxClick),
    ReadOnlyFace(Control(C::SFlashTypeLable, "SFlashTypeLable", K::LabeledEdit, kWindow, 88, 196,
                         89, 21, "Flash Type", true)),
    [] {
        auto d = Control(C::StatusEdit, "StatusEdit", K::LabeledEdit, kWindow, 48, 196, 249, 21,
                         "Status ", false);
        d.readOnly = true;
        return d;
    }(),
    Control(C::diskLabel, "diskLabel", K::Label, kWindow, 24, 44, 46, 13, "USB Disk", false),
    [] {
        auto d = Control(C::OpenDialog1, "OpenDialog1", K::FileDialog, kWindow, 0, 0, 0, 0, "",
                         false);
        d.filter = "BinaryFile|*.bin|All Files|*.*";
        return d;
    }(),
    OnClick(Control(C::RestoreBtn, "RestoreBtn", K::PushButton, C::RdPanel, 256, 20, 75, 25,
                    "Restore", true), H::RestoreBtnClick),
    Control(C::EnclosureLine, "EnclosureLine", K::Label, kWindow, 8, 42, 320, 16, "", false),
    Control(C::CopyNoticeLine, "CopyNoticeLine", K::Label, kWindow, 8, 220, 320, 16, "", false),
    Control(C::CloseHeldLine, "CloseHeldLine", K::Label, kWindow, 8, 1, 320, 14, "", false),
}};

const ControlDescription& Describe(ControlId id) { return kFormDescription[Index(id)]; }

}  // namespace qks
