// Keeping the device table and list in step with the bridges plugged in.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "operations/device_texts.h"
#include "app/tq71x_fw_tool.h"
#include "device/device_notifier.h"
#include "device/firmware_file_check.h"
#include "operations/chip_family.h"

namespace qks {

namespace {
constexpr size_t kDeviceNameBytes = 24;
constexpr const char* kListPrefix = "<<USB>> ";

void LowerCaseAscii(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

std::string DeviceNameText(const uint8_t (&name)[kDeviceNameBytes]) {
    const auto* begin = reinterpret_cast<const char*>(name);
    return std::string(begin, strnlen(begin, kDeviceNameBytes));
}
}  // namespace

void TQ71xFwTool::DeviceChange(uint32_t eventCode) {
    if (eventCode != kDeviceArrival && eventCode != kDeviceRemoveComplete) return;
    // Identification commands must not interleave with a flash being written:
    // the refresh runs once the operation has returned.
    if (Busy()) {
        refreshDeferred_ = true;
        return;
    }
    RefreshBtnClick();
}

bool TQ71xFwTool::HoldWhileBusy(std::function<void()> event) {
    if (!Busy()) return false;
    held_.push_back(std::move(event));
    return true;
}

void TQ71xFwTool::FinishOperation() {
    if (closeRequested_) {
        face_.CloseWindow();
        return;
    }
    auto held = std::move(held_);
    held_.clear();
    const bool refresh = refreshDeferred_;
    refreshDeferred_ = false;
    // The outcome of a recovery stays on screen; the next notice refreshes.
    if (refresh && screen_ != Screen::Success && screen_ != Screen::Failure) RefreshBtnClick();
    for (auto& event : held) event();
}

class TQ71xFwTool::RefreshScope {
public:
    // A refresh run from a message box of another (a device notice) starts
    // afresh; what it learnt stays good for the rest of the outer one.
    explicit RefreshScope(TQ71xFwTool& window) : window_(window), outer_(!window.refreshing_) {
        window_.refreshIds_.clear();
        window_.refreshing_ = true;
    }
    ~RefreshScope() {
        if (!outer_) return;
        window_.refreshing_ = false;
        window_.refreshIds_.clear();
    }
    RefreshScope(const RefreshScope&) = delete;
    RefreshScope& operator=(const RefreshScope&) = delete;

private:
    TQ71xFwTool& window_;
    bool outer_;
};

ChipIdValue TQ71xFwTool::IdentifyChip(const DevicePath& path) {
    if (!refreshing_) return GetChipId(commands_, *this, path);
    // The listing reaches a device by its enumerated path, later steps by
    // the lower-cased one kept in the table: both name the same device.
    DevicePath key = path;
    LowerCaseAscii(key);
    for (const auto& [known, id] : refreshIds_)
        if (known == key) return id;
    const ChipIdValue id = GetChipId(commands_, *this, path);
    refreshIds_.emplace_back(std::move(key), id);
    return id;
}

int TQ71xFwTool::IsTargetChip(const DevicePath& path) { return IsTarget(IdentifyChip(path)) ? 1 : 0; }

// The engineering panel works on the older families too, so in that mode
// every identified bridge is listed; the ordinary window lists targets only.
int TQ71xFwTool::IsListedChip(const DevicePath& path) {
    if (!engineering_) return IsTargetChip(path);
    return IsIdentified(IdentifyChip(path)) ? 1 : 0;
}

int TQ71xFwTool::IsAlreadyUpdated(const DevicePath& path) {
    DeviceRef device;
    device.path = path;
    device.id.chip = IdentifyChip(path);
    if (!IsTarget(device.id.chip)) return 0;
    for (const DeviceEntry& row : deviceTable_)
        if (row.Path == path) device.serial = row.Serial;
    return qks::IsAlreadyUpdated(services_, commands_, device) ? 1 : 0;
}

void TQ71xFwTool::RefreshBtnClick() {
    // A message box of the refresh lets events through: a notice then waits.
    Operation operation(*this);
    RefreshScope scope(*this);
    SetVisible(ControlId::replugLable1, false);
    SetVisible(ControlId::replugLable2, false);
    SetVisible(ControlId::ExtBtn, false);
    SetVisible(ControlId::devLable, true);
    int listed = 0;
    bool alreadyUpdated = false;

    PathSlots slots;
    const int diskCount = EnumerateUsbDisks(services_.enumerator, slots);
    const int cdromCount = EnumerateUsbCdroms(services_.enumerator, slots, diskCount);
    problems_ = services_.enumerator.TakeProblems();
    // A device nobody may open must not look absent: say once which node and
    // how to get access.
    for (const auto& problem : problems_) {
        face_.DebugOutput(problem);
        if (std::find(problemsShown_.begin(), problemsShown_.end(), problem) != problemsShown_.end())
            continue;
        problemsShown_.push_back(problem);
        ShowMessageBox(problem, "Error", MessageIcon::Warning);
    }
    const int total = diskCount + cdromCount;
    deviceCount_ = total;

    if (total > 0) {
        ListTargets(slots, diskCount, total, listed, alreadyUpdated);
    } else {
        SetItems(ControlId::DeviceList, {"No available device!!!"}, 0);
        SetEnabled(ControlId::DeviceList, false);
        SetEnabled(ControlId::UpdateBtn, false);
        for (ControlId id : {ControlId::ChipLabelEdit, ControlId::DiskLetterLable,
                             ControlId::FwVerLableEdit, ControlId::SFlashTypeLable,
                             ControlId::StatusEdit})
            SetText(id, "");
        SetEnabled(ControlId::FlashTypeList, false);
        SetEnabled(ControlId::A1ChipCheck, false);
        SetVisible(ControlId::NVRAMCheck, false);
    }
    ShowDiscoveryScreen(listed, alreadyUpdated);
}

void TQ71xFwTool::ListTargets(const PathSlots& slots, int diskCount, int total, int& listed,
                              bool& alreadyUpdated) {
    std::vector<std::string> items;
    uint8_t name[kDeviceNameBytes] = {};
    // Enumeration position of each listed row, for the CD-ROM marking below.
    std::array<int, kDeviceRows> listedFrom{};
    listedFrom.fill(-1);
    for (int i = 0; i < total; ++i) {
        const InterfaceInfo& info = slots.slot[static_cast<size_t>(i)];
        if (!IsListedChip(info.path)) continue;
        std::string path = info.path;
        LowerCaseAscii(path);
        uint8_t inquiry[40] = {};
        if (commands_.Inquiry(path, inquiry, sizeof inquiry)) std::memcpy(name, inquiry + 8, kDeviceNameBytes);
        DeviceEntry& row = deviceTable_[static_cast<size_t>(listed)];
        row.Path = path;
        row.Serial = info.serial;
        row.Emulated = info.emulated;
        row.ReleaseOnExit = 0;
        commands_.EnterVendorMode(path);
        // The engineering panel works on updated bridges too (a restore, say).
        if (IsAlreadyUpdated(path)) {
            alreadyUpdated = true;
            if (!engineering_) continue;
        }
        items.push_back(kListPrefix + DeviceNameText(name));
        listedFrom[static_cast<size_t>(listed)] = i;
        ++listed;
    }
    SetItems(ControlId::DeviceList, std::move(items), listed > 0 ? 0 : -1);
    // Rows reached by the CD-ROM pass are released at exit; only rows that
    // hold a listed device found by that pass are marked.
    for (int row = 0; row < listed; ++row) {
        if (listedFrom[static_cast<size_t>(row)] < diskCount) continue;
        deviceTable_[static_cast<size_t>(row)].ReleaseOnExit = 1;
        commands_.EnterVendorMode(deviceTable_[static_cast<size_t>(row)].Path);
    }
    SetEnabled(ControlId::DeviceList, true);
    UpdateBtnCheck();
}

void TQ71xFwTool::ShowDiscoveryScreen(int listed, bool alreadyUpdated) {
    if (listed > 0) {
        SetColor(ControlId::devLable, kBlack);
        SetText(ControlId::devLable, kConfirmText);
        SetEnabled(ControlId::EraseButton, true);
        SetVisible(ControlId::EraseButton, true);
        SetEnabled(ControlId::ExitBtn, true);
        SetVisible(ControlId::ExitBtn, true);
        SetVisible(ControlId::ExtBtn, false);
        screen_ = Screen::Confirm;
    } else {
        SetColor(ControlId::devLable, kRed);
        SetText(ControlId::devLable, alreadyUpdated ? kAlreadyUpdatedText : kNoDeviceText);
        SetVisible(ControlId::ExtBtn, true);
        SetEnabled(ControlId::EraseButton, false);
        SetVisible(ControlId::EraseButton, false);
        SetEnabled(ControlId::ExitBtn, false);
        SetVisible(ControlId::ExitBtn, false);
        screen_ = alreadyUpdated ? Screen::AlreadyUpdated : Screen::NoDevice;
    }
}

void TQ71xFwTool::UpdateBtnCheck() {
    Operation operation(*this);
    SetVisible(ControlId::NVRAMCheck, false);
    if (deviceCount_ == 0) return;
    // Paths were found but none listed: there is no selected row to identify.
    const DeviceEntry* row = SelectedRow();
    if (row == nullptr) return;
    const DevicePath path = row->Path;
    chipId_ = IdentifyChip(path);
    const std::string& file = Control(ControlId::FwFilenameEdit).text;
    if (Control(ControlId::DeviceList).enabled && !file.empty()) {
        if (CheckFirmwareFile(*this, file, chipId_)) {
            SetEnabled(ControlId::UpdateBtn, true);
        } else {
            ShowMessageBox(kMismatchText, "Message", MessageIcon::None);
            SetEnabled(ControlId::UpdateBtn, false);
        }
    }
    SetText(ControlId::StatusEdit, "");
    SetText(ControlId::SFlashTypeLable, "");
    SetText(ControlId::FwVerLableEdit, "");
    SetText(ControlId::ChipLabelEdit, FamilyOf(chipId_).series);
    ShowFlashType(path, FamilyOf(chipId_));
    ShowFirmwareVersion(path, ChipTypeOf(chipId_));
    SetText(ControlId::DiskLetterLable, row->DriveText);
}

void TQ71xFwTool::ShowFlashType(const DevicePath& path, const ChipFamily& family) {
    switch (family.flashType) {
        case FlashTypeShown::SerialFlashMaker: {
            SetVisible(ControlId::SFlashTypeLable, true);
            SetVisible(ControlId::FlashTypeList, false);
            SetVisible(ControlId::FlashTypeLabel, false);
            SetVisible(ControlId::A1ChipCheck, false);
            if (family.configurationBox) SetVisible(ControlId::NVRAMCheck, true);
            amicFlashCode_ = commands_.DetectAmicFlash(path);
            if (amicFlashCode_ != kNoAmicFlash) {
                SetText(ControlId::SFlashTypeLable, "AMIC");
                break;
            }
            uint8_t vendor[4] = {};
            if (commands_.ReadFlashVendor(path, vendor))
                SetText(ControlId::SFlashTypeLable, FlashVendorName(vendor[0]));
            break;
        }
        case FlashTypeShown::RomPart:
            SetVisible(ControlId::SFlashTypeLable, false);
            SetVisible(ControlId::A1ChipCheck, family.a1Box);
            SetEnabled(ControlId::A1ChipCheck, family.a1Box);
            // The ROM part fitted decides the unlock cycles: let the engineer pick it.
            if (engineering_ && family.romTypeList) {
                SetVisible(ControlId::FlashTypeList, true);
                SetVisible(ControlId::FlashTypeLabel, true);
                SetEnabled(ControlId::FlashTypeList, true);
            }
            break;
        case FlashTypeShown::NotSupported:
            SetVisible(ControlId::SFlashTypeLable, false);
            SetVisible(ControlId::FlashTypeList, false);
            SetVisible(ControlId::FlashTypeLabel, false);
            SetVisible(ControlId::A1ChipCheck, false);
            SetText(ControlId::StatusEdit, "The chip not support Firmware Update!");
            break;
    }
}

void TQ71xFwTool::ShowFirmwareVersion(const DevicePath& path, uint8_t chipType) {
    if (const auto text = FirmwareVersionText(commands_, path, chipType))
        SetText(ControlId::FwVerLableEdit, *text);
    else
        SetText(ControlId::StatusEdit, "Not Tavrel Chip!!");
}

}  // namespace qks
