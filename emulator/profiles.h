// One row per bridge family the emulator can stand in for. Everything a
// family reveals about itself during identification comes from its row, so
// a profile is a constant, never a runtime decision.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace qks::emu {

// Where the family keeps the revision that `rev=` sets.
enum class RevisionSource : uint8_t {
    None,         // the family has no revision
    IdText,       // byte 5 of the identification text, '0' + rev - 1
    RecordDigit,  // byte 11 of the chip information record, '0' + rev
};

inline constexpr uint16_t kTavrelUsbVendor = 0x1C5B;
inline constexpr uint32_t kKiB = 1024;

struct Profile {
    std::string_view name;
    uint8_t chipType;
    std::string_view inquiryCode;   // INQUIRY bytes 36-39; empty: a plain 36-byte reply
    std::string_view product;       // INQUIRY product identification, 16 characters
    uint16_t usbVendor;
    uint16_t usbProduct;
    std::string_view chipNumber;    // record bytes 8-10; empty: the record is unsigned
    std::string_view idTextStem;    // identification text bytes 0-4
    uint8_t idWordLow;              // identification word byte 0
    RevisionSource revision;
    uint8_t defaultRevision;
    uint32_t defaultFlashSize;
    uint8_t defaultVendor;          // serial flash maker code
    bool internalRom;               // a 64 KB parallel ROM behind the bridge
    bool tavrel;                    // false: an ordinary USB disk without vendor commands
};

std::span<const Profile> AllProfiles();
// Case-insensitive; null when no profile has that name.
const Profile* FindProfile(std::string_view name);

// The revisions `rev=` accepts for a profile, inclusive.
struct RevisionRange {
    int low;
    int high;
};
RevisionRange RevisionsOf(const Profile& profile);

}  // namespace qks::emu
