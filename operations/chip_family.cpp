#include "operations/chip_family.h"

#include "firmware/image_store.h"

namespace qks {

namespace {
using Y = YesAction;
using R = RunAction;
using F = FlashTypeShown;
}  // namespace

// clang-format off
const std::array<ChipFamily, kChipTypeCount> kChipFamilies = {{
    //  series               YES                  Run                     image                size  4K    A1     ROM    flash type           version
    {"Unknown Chip",      Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "00.00"},
    {"QK60715 Series",    Y::SerialFlashUpdate, R::SerialFlashUpdate,   kSerialFlashImageName, false, false, false, false, F::SerialFlashMaker, "02.00"},
    {"QK60716 Series",    Y::None,              R::InternalRom,         kSerialFlashImageName, false, false, true,  true,  F::RomPart,          "02.00"},
    {"QK60717 Series",    Y::None,              R::SerialFlashUpdate,   kSerialFlashImageName, false, false, false, false, F::SerialFlashMaker, "01.00"},
    {"QK60719 Series",    Y::None,              R::SerialFlashUpdate,   kSerialFlashImageName, true,  false, false, false, F::SerialFlashMaker, "02.00"},
    {"QK60709 Series",    Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QKB742 Series",     Y::SerialFlashUpdate, R::KeepConfigurationUpdate, kRevisionAImageName, false, true, false, false, F::SerialFlashMaker, "01.00"},
    {"QKB743 Series",     Y::SerialFlashUpdate, R::SerialFlashUpdate,   kSerialFlashImageName, false, false, false, false, F::SerialFlashMaker, "01.00"},
    {"QKB745 Series",     Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QKB746 Series",     Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QKS970/958 Series", Y::RecoverTarget,     R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QKB861 Series",     Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QKB851 Series",     Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QKS958 Series",     Y::SerialFlashUpdate, R::None,                "",                  false, false, false, false, F::NotSupported,  "01.00"},
    {"QK60717",           Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QK60718",           Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QK60719",           Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QK60715",           Y::None,              R::None,                "",                  false, false, false, false, F::NotSupported,    "01.00"},
    {"QK60716",           Y::None,              R::InternalRom,         kSerialFlashImageName, false, false, true,  true,  F::RomPart,          "01.00"},
}};
// clang-format on

const ChipFamily& FamilyOf(ChipIdValue chip) {
    const uint8_t type = ChipTypeOf(chip);
    return type < kChipFamilies.size() ? kChipFamilies[type] : kChipFamilies[0];
}

const char* YesImageFor(ChipIdValue chip) {
    switch (FamilyOf(chip).yes) {
        case YesAction::RecoverTarget: return kTargetImageName;
        case YesAction::SerialFlashUpdate: return kSerialFlashImageName;
        case YesAction::None: break;
    }
    return "";
}

const char* RunImageFor(ChipIdValue chip) {
    const ChipFamily& family = FamilyOf(chip);
    if (family.run != RunAction::KeepConfigurationUpdate) return family.runImage;
    switch (ChipRevisionOf(chip)) {
        case 1: return kRevisionAImageName;
        case 2: return kRevisionBImageName;
        default: return "";
    }
}

bool OffersEraseAndBackup(ChipIdValue chip) {
    const RunAction run = FamilyOf(chip).run;
    return run == RunAction::SerialFlashUpdate || run == RunAction::InternalRom;
}

}  // namespace qks
