// One row per chip type: what each bridge family is called, what YES and
// Run do for it, which built-in image it writes and which options the
// engineering panel offers it. Every decision by chip type reads this table.
#pragma once

#include <array>
#include <cstdint>

#include "device/chip_id.h"

namespace qks {

// What YES on the Confirm screen runs.
enum class YesAction : uint8_t { None, RecoverTarget, SerialFlashUpdate };

// What the panel's Run runs; the serial-flash and internal-ROM engines also
// take the panel's erase-only and backup-only choices, the 4 KB-keeping
// update takes neither.
enum class RunAction : uint8_t { None, SerialFlashUpdate, KeepConfigurationUpdate, InternalRom };

// How the panel shows the part that holds the firmware.
enum class FlashTypeShown : uint8_t { NotSupported, SerialFlashMaker, RomPart };

struct ChipFamily {
    const char* series;
    YesAction yes;
    RunAction run;
    const char* runImage;       // the built-in image Run writes; "" for none
    bool sizeList;              // "Firmware Size" while erase-only or backup-only is ticked
    bool configurationBox;      // "Include 4K NVRAM"
    bool a1Box;                 // "A1 Chip"
    bool romTypeList;           // the parallel ROM part, in the engineering panel
    FlashTypeShown flashType;
    const char* versionWhenUnread;   // the version text when the chip record cannot be read
};

extern const std::array<ChipFamily, kChipTypeCount> kChipFamilies;

// The row of a chip type; types past the table are the unknown chip's row.
const ChipFamily& FamilyOf(ChipIdValue chip);

// The built-in image YES writes to this chip, and the one Run writes (the
// QKB742's two revisions take different images); "" for none.
const char* YesImageFor(ChipIdValue chip);
const char* RunImageFor(ChipIdValue chip);

inline bool IsTarget(ChipIdValue chip) { return FamilyOf(chip).yes == YesAction::RecoverTarget; }
inline bool IsIdentified(ChipIdValue chip) { return ChipTypeOf(chip) != 0; }
// The panel's erase-only and backup-only choices reach an engine.
bool OffersEraseAndBackup(ChipIdValue chip);

}  // namespace qks
