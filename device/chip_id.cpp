#include "device/chip_id.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace qks {

const std::array<const char*, kChipTypeCount> ChipSeriesNames = {
    "Unknown Chip",      "QK60715 Series", "QK60716 Series", "QK60717 Series",
    "QK60719 Series",    "QK60709 Series", "QKB742 Series",  "QKB743 Series",
    "QKB745 Series",     "QKB746 Series",  "QKS970/958 Series", "QKB861 Series",
    "QKB851 Series",     "QKS958 Series",  "QK60717",        "QK60718",
    "QK60719",           "QK60715",        "QK60716",
};

const std::array<const char*, kFlashVendorNameCount> FlashVendorNames = {
    "Unknown", "PMC", "SST", "ST/EON/MXIC", "ATMEL", "MXIC", "WINBOND", "AMIC", "EON",
};

const char* FlashVendorName(uint8_t code) {
    return code < FlashVendorNames.size() ? FlashVendorNames[code] : FlashVendorNames[0];
}

namespace {

struct CodeRow {
    const char* code;
    uint8_t type;
};

// Tried in this order; all codes differ, so at most one matches.
constexpr CodeRow kInquiryCodes[] = {
    {"q715", 1}, {"q716", 2}, {"q717", 3}, {"q719", 4}, {"q709", 5},
    {"q742", 6}, {"q743", 7}, {"q745", 8}, {"q746", 9}, {"q861", 11},
    {"q851", 12}, {"q970", 10}, {"q958", 13},
};

constexpr CodeRow kChipNumbers[] = {
    {"715", 1}, {"716", 2}, {"717", 3}, {"719", 4}, {"709", 5}, {"742", 6}, {"743", 7},
    {"745", 8}, {"746", 9}, {"970", 10}, {"861", 11}, {"851", 12}, {"958", 13},
};

constexpr uint8_t kFirstIdWordType = 14;
constexpr uint8_t kUsbIdChipType = 18;
constexpr uint8_t kRevisionBase = 0x2F;   // '0' is revision 1

// strncmp semantics: a NUL inside the compared span matches no code.
bool Matches(const char* text, const char* code, size_t count) {
    return std::strncmp(text, code, count) == 0;
}

template <size_t N>
int FindCode(const CodeRow (&rows)[N], const char* text, size_t count) {
    for (const auto& row : rows)
        if (Matches(text, row.code, count)) return row.type;
    return -1;
}

bool ValidRecord(const uint8_t* record) { return record[0] == 0xF4 && record[1] == 0xE7; }

std::string HexPair(uint8_t high, uint8_t low) {
    char text[8];
    std::snprintf(text, sizeof text, "%X%X", high, low);
    return text;
}

struct Probe {
    uint8_t type = 0;
    uint8_t revision = 0;
};

// The identification word and the information record, for chips without an
// INQUIRY code. Types 14-18 found here need no refinement.
void ProbeRecord(VendorCommandSet& commands, const DevicePath& path, Probe& probe) {
    uint8_t word[2] = {};
    if (!commands.ReadChipIdWord(path, word)) return;
    uint8_t record[16] = {};
    if (!commands.ReadChipInfo(path, record, sizeof record, nullptr)) return;
    if (!ValidRecord(record)) {
        probe.type = static_cast<uint8_t>(kFirstIdWordType + ((word[0] >> 5) & 3));
        return;
    }
    const std::string vendor = HexPair(record[2], record[3]);
    const std::string product = HexPair(record[4], record[5]);
    if (vendor.find("1C5B") != std::string::npos && product.find("6716") != std::string::npos) {
        probe.type = kUsbIdChipType;
        return;
    }
    char number[5] = {static_cast<char>(record[8]), static_cast<char>(record[9]),
                      static_cast<char>(record[10]), static_cast<char>(record[11]), 0};
    const int type = FindCode(kChipNumbers, number, 3);
    if (type >= 0) probe.type = static_cast<uint8_t>(type);
    probe.revision = static_cast<uint8_t>(record[11] - 0x30);
}

void RefineByIdString(VendorCommandSet& commands, const DevicePath& path, Probe& probe) {
    uint8_t reply[40] = {};
    if (!commands.ReadIdString(path, reply, sizeof reply)) {
        if (probe.type == 1) probe.revision = 1;
        return;
    }
    char text[9] = {};
    std::memcpy(text, reply, 8);
    const uint8_t r = reply[5];
    const auto fromR = static_cast<uint8_t>(r - kRevisionBase);
    if (Matches(text, "q715C", 5)) probe = {1, fromR};
    else if (Matches(text, "q719C", 5)) probe = {4, fromR};
    else if (Matches(text, "q861A", 5)) probe = {11, fromR};
    else if (Matches(text, "q742", 4)) probe = {6, r == 0 ? uint8_t{1} : fromR};
}

void RefineType7(VendorCommandSet& commands, UserMessages& messages,
                 const DevicePath& path, Probe& probe) {
    uint8_t record[12] = {};
    const bool ok = commands.ReadChipInfo(path, record, sizeof record, nullptr) != 0;
    if (ok && ValidRecord(record) && (record[11] == '1' || record[11] == '2')) {
        probe.revision = static_cast<uint8_t>(record[11] - '0');
        return;
    }
    messages.ShowMessageBox(kChipInfoFailText, "Error", MessageIcon::Error);
}

}  // namespace

ChipIdValue GetChipId(VendorCommandSet& commands, UserMessages& messages,
                      const DevicePath& path) {
    std::array<uint8_t, 40> inquiry{};
    bool answered = false;
    return GetChipId(commands, messages, path, inquiry, answered);
}

ChipIdValue GetChipId(VendorCommandSet& commands, UserMessages& messages,
                      const DevicePath& path, std::array<uint8_t, 40>& inquiry, bool& answered) {
    Probe probe;
    inquiry.fill(0);
    answered = commands.Inquiry(path, inquiry.data(), static_cast<uint8_t>(inquiry.size())) != 0;
    if (answered) {
        char code[5] = {static_cast<char>(inquiry[36]), static_cast<char>(inquiry[37]),
                        static_cast<char>(inquiry[38]), static_cast<char>(inquiry[39]), 0};
        const int type = FindCode(kInquiryCodes, code, 4);
        if (type >= 0) probe.type = static_cast<uint8_t>(type);
        else ProbeRecord(commands, path, probe);
    }
    switch (probe.type) {
        case 0: case 1: case 3: case 4: case 6: case 11:
            RefineByIdString(commands, path, probe);
            break;
        case 7:
            RefineType7(commands, messages, path, probe);
            break;
        case kTargetChipType:
            if (commands.IsLateRevision(path)) probe.revision = kLateRevision;
            break;
        default:
            break;
    }
    return MakeChipId(probe.type, probe.revision);
}

}  // namespace qks
