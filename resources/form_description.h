// The window's one description: every control's name, kind, geometry,
// caption, font and initial state. The model builds its state from it and
// each face builds its native controls from it; there is no second copy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qks {

enum class ControlId : uint8_t {
    devLable, EraseButton, ExitBtn, ExtBtn, replugLable1, replugLable2, FwUpdatBar,
    Panel1, RdPanel, A1ChipCheck, EraseOnlyCheck, NVRAMCheck, BackupFWCheckBox,
    BackupBtn, FwSizeCheck, FwSizeLable, BackupFileEdit, ChipLabelEdit, RefreshBtn,
    DiskLetterLable, FwFilenameEdit, LoadBtn, FwVerLableEdit, FlashTypeList,
    FwPgSizeCheck, UpdateBtn, FlashTypeLabel, Label1, DeviceList, RdCheckBox,
    SFlashTypeLable, StatusEdit, diskLabel, OpenDialog1,
    // Beyond the original window: writes a saved flash back.
    RestoreBtn,
    // Which enclosure YES writes, beside the question; where the copy of the
    // flash taken before a write was kept.
    EnclosureLine, CopyNoticeLine,
    // Why a close waits: the operation in progress ends first.
    CloseHeldLine,
    Count
};
inline constexpr size_t kControlCount = static_cast<size_t>(ControlId::Count);
inline constexpr size_t Index(ControlId id) { return static_cast<size_t>(id); }

enum class ControlKind : uint8_t {
    Label, PushButton, CheckBox, DropDownList, LabeledEdit, ProgressBar, Panel, FileDialog
};

// What a click or a change of the control runs.
enum class Handler : uint8_t {
    None, EraseButtonClick, ExitBtnClick, EraseOnlyCheckClick, BackupBtnClick,
    FwSizeCheckChange, RefreshBtnClick, UpdateBtnCheck, LoadBtnClick,
    FwPgSizeCheckChange, UpdateBtnClick, RdCheckBoxClick, RestoreBtnClick
};

struct FontSpec {
    const char* face;   // nullptr: the form's font
    int height;         // pixels, negative as the platform's LOGFONT takes it
};

inline constexpr uint32_t kBlack = 0x000000;
inline constexpr uint32_t kRed = 0x0000FF;          // the platform's BGR order: 255
inline constexpr uint32_t kNavy = 0x800000;
inline constexpr uint32_t kWindowText = 0xFF000000;  // the system colour, not a fixed one
inline constexpr uint32_t kButtonFace = 0xFF00000F;

struct ControlDescription {
    ControlId id;
    const char* name;
    ControlKind kind;
    ControlId parent;   // Count: the window itself
    int left, top, width, height;
    const char* caption;               // text, caption, or the edit's label
    std::span<const char* const> items;
    int selected;
    FontSpec font;
    uint32_t color;                    // text colour; background for panels
    bool visible;
    bool enabled;
    bool readOnly;
    bool buttonFaceBackground;
    int tag;
    int labelSpacing;                  // labelled edits: gap between label and field
    Handler onClick;
    Handler onChange;
    const char* filter;                // file dialogs
};

struct WindowDescription {
    const char* caption;
    const char* applicationTitle;
    int left, top;
    int clientWidth, clientHeight;
    FontSpec font;
};

extern const WindowDescription kWindowDescription;
extern const std::array<ControlDescription, kControlCount> kFormDescription;

const ControlDescription& Describe(ControlId id);

// Values behind the two size lists, by item index.
inline constexpr std::array<uint32_t, 6> kFirmwareSizeValues = {32768,  65536,  131072,
                                                                262144, 524288, 1048576};
inline constexpr std::array<uint32_t, 5> kTransferPageSizeValues = {32768, 16384, 8192, 4096,
                                                                    2048};

}  // namespace qks
