#include "emulator/profiles.h"

#include <array>
#include <cctype>

namespace qks::emu {

namespace {
using RS = RevisionSource;
constexpr uint32_t k64K = 64 * kKiB;
constexpr uint32_t k128K = 128 * kKiB;
constexpr uint32_t k256K = 256 * kKiB;
constexpr uint32_t k512K = 512 * kKiB;

// The single-chip parts (QK6071x "W" boards and the QK60716 "U" board) show
// no chip code in INQUIRY; the W boards also answer an unsigned record and
// are told apart only by bits 5-6 of the identification word.
constexpr std::array<Profile, 19> kProfiles = {{
    {"q715", 1, "q715", "QK60715 USB Disk", kTavrelUsbVendor, 0x0715, "715", "q715C", 0x81,
     RS::IdText, 1, k64K, 1, false, true},
    {"q716", 2, "q716", "QK60716 USB Disk", kTavrelUsbVendor, 0x0716, "716", "q716Q", 0x81,
     RS::None, 0, k64K, 1, true, true},
    {"q717", 3, "q717", "QK60717 USB Disk", kTavrelUsbVendor, 0x0717, "717", "q717Q", 0x81,
     RS::None, 0, k64K, 1, false, true},
    {"q719", 4, "q719", "QK60719 USB Disk", kTavrelUsbVendor, 0x0719, "719", "q719C", 0x81,
     RS::IdText, 1, k64K, 2, false, true},
    {"q709", 5, "q709", "QK60709 USB Disk", kTavrelUsbVendor, 0x0709, "709", "q709Q", 0x81,
     RS::None, 0, k64K, 2, false, true},
    {"q742", 6, "q742", "QKB742 USB Disk ", kTavrelUsbVendor, 0x0742, "742", "q742B", 0x81,
     RS::IdText, 1, k128K, 3, false, true},
    {"q743", 7, "q743", "QKB743 USB Disk ", kTavrelUsbVendor, 0x0743, "743", "q743Q", 0x81,
     RS::RecordDigit, 1, k128K, 3, false, true},
    {"q745", 8, "q745", "QKB745 USB Disk ", kTavrelUsbVendor, 0x0745, "745", "q745Q", 0x81,
     RS::None, 0, k128K, 8, false, true},
    {"q746", 9, "q746", "QKB746 USB Disk ", kTavrelUsbVendor, 0x0746, "746", "q746Q", 0x81,
     RS::None, 0, k128K, 8, false, true},
    {"q970", 10, "q970", "QKS970 USB Disk ", kTavrelUsbVendor, 0x0970, "970", "q970Q", 0x81,
     RS::RecordDigit, 0, k64K, 6, false, true},
    {"q861", 11, "q861", "QKB861 USB Disk ", kTavrelUsbVendor, 0x0861, "861", "q861A", 0x81,
     RS::IdText, 1, k256K, 5, false, true},
    {"q851", 12, "q851", "QKB851 USB Disk ", kTavrelUsbVendor, 0x0851, "851", "q851Q", 0x81,
     RS::None, 0, k256K, 5, false, true},
    {"q958", 13, "q958", "QKS958 USB Disk ", kTavrelUsbVendor, 0x0958, "958", "q958Q", 0x81,
     RS::None, 0, k512K, 6, false, true},
    {"qk60717w", 14, "", "QK60717 Disk    ", kTavrelUsbVendor, 0x6717, "", "qk717", 0x11,
     RS::None, 0, k64K, 1, false, true},
    {"qk60718w", 15, "", "QK60718 Disk    ", kTavrelUsbVendor, 0x6718, "", "qk718", 0x31,
     RS::None, 0, k64K, 1, false, true},
    {"qk60719w", 16, "", "QK60719 Disk    ", kTavrelUsbVendor, 0x6719, "", "qk719", 0x51,
     RS::None, 0, k64K, 1, false, true},
    {"qk60715w", 17, "", "QK60715 Disk    ", kTavrelUsbVendor, 0x6715, "", "qk715", 0x71,
     RS::None, 0, k64K, 1, false, true},
    {"qk60716u", 18, "", "QK60716 Disk    ", kTavrelUsbVendor, 0x6716, "716", "qk716", 0x81,
     RS::None, 0, k64K, 1, true, true},
    {"plain", 0, "", "External Disk   ", 0x3A5C, 0x0001, "", "", 0x00, RS::None, 0, 0, 0,
     false, false},
}};

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}
}  // namespace

std::span<const Profile> AllProfiles() { return kProfiles; }

const Profile* FindProfile(std::string_view name) {
    for (const Profile& profile : kProfiles)
        if (SameLetters(profile.name, name)) return &profile;
    return nullptr;
}

RevisionRange RevisionsOf(const Profile& profile) {
    switch (profile.revision) {
        case RevisionSource::IdText: return {1, 10};
        case RevisionSource::RecordDigit: return {0, 9};
        case RevisionSource::None: break;
    }
    return {0, -1};
}

}  // namespace qks::emu
