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
constexpr const char* kListPrefix = "<<USB>> ";
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

void TQ71xFwTool::RefreshBtnClick() {
    // A message box of the refresh lets events through: a notice then waits.
    Operation operation(*this);
    SetVisible(ControlId::replugLable1, false);
    SetVisible(ControlId::replugLable2, false);
    SetVisible(ControlId::ExtBtn, false);
    SetVisible(ControlId::devLable, true);

    DiscoveryOptions options;
    options.engineering = engineering_;
    options.details = false;   // the selection check asks the selected row alone
    discovery_ = Discover(services_, options, *this);
    release_.Forget();
    release_.Take(discovery_);
    problems_ = discovery_.problems;
    // A device nobody may open must not look absent: say once which node and
    // how to get access.
    for (const auto& problem : problems_) {
        face_.DebugOutput(problem);
        if (std::find(problemsShown_.begin(), problemsShown_.end(), problem) != problemsShown_.end())
            continue;
        problemsShown_.push_back(problem);
        ShowMessageBox(problem, "Error", MessageIcon::Warning);
    }
    deviceCount_ = static_cast<int32_t>(discovery_.devices.size());

    if (deviceCount_ > 0) {
        ListDevices();
    } else {
        deviceTable_.clear();
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
    ShowDiscoveryScreen(discovery_.screen);
}

// The table grows with the list: every listed device has its row.
void TQ71xFwTool::ListDevices() {
    std::vector<std::string> items;
    deviceTable_.clear();
    for (const size_t index : discovery_.listed) {
        const IdentifyReport& r = discovery_.devices[index];
        DeviceEntry row;
        row.Path = r.info.path;
        row.Serial = r.info.serial;
        row.Emulated = r.info.emulated;
        row.Name = r.HumanName();
        row.Enclosure = r.enclosure;
        row.EnclosureKey = r.Ref().enclosure;
        row.ReleaseOnExit = std::find(discovery_.releaseOnExit.begin(),
                                      discovery_.releaseOnExit.end(),
                                      index) != discovery_.releaseOnExit.end();
        deviceTable_.push_back(std::move(row));
        items.push_back(kListPrefix + r.name);
    }
    const bool any = !items.empty();
    SetItems(ControlId::DeviceList, std::move(items), any ? 0 : -1);
    SetEnabled(ControlId::DeviceList, true);
    UpdateBtnCheck();
}

void TQ71xFwTool::ShowDiscoveryScreen(DiscoveredScreen screen) {
    if (screen == DiscoveredScreen::Confirm) {
        SetColor(ControlId::devLable, kBlack);
        SetText(ControlId::devLable, kConfirmText);
        SetEnabled(ControlId::EraseButton, true);
        SetVisible(ControlId::EraseButton, true);
        SetEnabled(ControlId::ExitBtn, true);
        SetVisible(ControlId::ExitBtn, true);
        SetVisible(ControlId::ExtBtn, false);
        screen_ = Screen::Confirm;
    } else {
        const bool updated = screen == DiscoveredScreen::AlreadyUpdated;
        SetColor(ControlId::devLable, kRed);
        SetText(ControlId::devLable, updated ? kAlreadyUpdatedText : kNoDeviceText);
        SetVisible(ControlId::ExtBtn, true);
        SetEnabled(ControlId::EraseButton, false);
        SetVisible(ControlId::EraseButton, false);
        SetEnabled(ControlId::ExitBtn, false);
        SetVisible(ControlId::ExitBtn, false);
        screen_ = updated ? Screen::AlreadyUpdated : Screen::NoDevice;
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
    // The refresh identified every path once; the row is one of them.
    const auto selected = static_cast<size_t>(Control(ControlId::DeviceList).selected);
    chipId_ = discovery_.devices[discovery_.listed[selected]].id.chip;
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
    const DeviceDetails details = ReadDetails(services_, path, chipId_, false);
    ShowFlashType(FamilyOf(chipId_), details);
    ShowFirmwareVersion(details);
    SetText(ControlId::DiskLetterLable, row->DriveText);
}

void TQ71xFwTool::ShowFlashType(const ChipFamily& family, const DeviceDetails& details) {
    switch (family.flashType) {
        case FlashTypeShown::SerialFlashMaker:
            SetVisible(ControlId::SFlashTypeLable, true);
            SetVisible(ControlId::FlashTypeList, false);
            SetVisible(ControlId::FlashTypeLabel, false);
            SetVisible(ControlId::A1ChipCheck, false);
            if (family.configurationBox) SetVisible(ControlId::NVRAMCheck, true);
            amicFlashCode_ = details.amicFlashCode;
            if (amicFlashCode_ != kNoAmicFlash) {
                SetText(ControlId::SFlashTypeLable, "AMIC");
                break;
            }
            if (details.flashVendor)
                SetText(ControlId::SFlashTypeLable, FlashVendorName(*details.flashVendor));
            break;
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

void TQ71xFwTool::ShowFirmwareVersion(const DeviceDetails& details) {
    if (details.version.tavrelRecord && details.version.text)
        SetText(ControlId::FwVerLableEdit, *details.version.text);
    else
        SetText(ControlId::StatusEdit, "Not Tavrel Chip!!");
}

}  // namespace qks
