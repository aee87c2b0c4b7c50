#include "device/firmware_file_check.h"

#include <cstring>
#include <filesystem>
#include <fstream>

namespace qks {

// Row 8 holds "746": type-8 chips take the type-9 files.
const std::array<const char*, kChipTypeCount> ChipNumbers = {
    "",    "715", "716", "717", "719", "709", "742", "743", "746", "746",
    "970", "861", "851", "958", "717", "718", "719", "715", "716",
};

namespace {

constexpr size_t kRecordBytes = 10;
constexpr std::streamoff kFirstPlace = 0;
constexpr std::streamoff kSecondPlace = 0x1000;
constexpr std::streamoff kType11Place = 0x4000;
constexpr uint8_t kSignature[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr uint8_t kType1Rev1Tag[4] = {0x5A, 0xA5, 0x0F, 0xF0};
constexpr uint8_t kRevisionBase = 0x2F;

using Record = std::array<uint8_t, kRecordBytes>;

// A file that ends inside the record leaves the missing bytes at 0, which
// fails every signature test.
Record ReadRecord(std::ifstream& file, std::streamoff offset) {
    Record record{};
    file.clear();
    file.seekg(offset, std::ios::beg);
    if (file) file.read(reinterpret_cast<char*>(record.data()), kRecordBytes);
    return record;
}

bool Signed(const Record& record) { return std::memcmp(record.data(), kSignature, 4) == 0; }

// The tag text stops at its first 0 byte, as a formatted %c%c%c%c would.
std::string TagText(const Record& record) {
    std::string text;
    for (size_t i = 4; i < 8 && record[i] != 0; ++i) text.push_back(static_cast<char>(record[i]));
    return text;
}

bool TextEquals(const std::string& text, const std::string& expected, size_t count) {
    return std::strncmp(text.c_str(), expected.c_str(), count) == 0;
}

bool PreCheckApplies(uint8_t type) { return type == 6 || type == 8 || type == 9 || type == 10; }

bool Type7Fits(uint8_t revision, const Record& first) {
    static constexpr uint8_t kPatterns[2][8] = {
        {0x55, 0xAA, 0xAA, 0x55, 'q', '7', '4', '3'},
        {0x55, 0xAA, 0xAA, 0x55, '7', '4', '3', '1'},
    };
    if (revision != 1 && revision != 2) return false;
    return std::memcmp(first.data(), kPatterns[revision - 1], 8) == 0;
}

bool Decide(uint8_t type, uint8_t revision, const std::string& tag, const Record& held,
            const Record& first) {
    const std::string revised = std::string(1, static_cast<char>(kRevisionBase + revision));
    switch (type) {
        case 1:
            if (revision == 1)
                return tag.size() == 4 && std::memcmp(tag.data(), kType1Rev1Tag, 4) == 0;
            return TextEquals(tag, "715" + revised, 4);
        case 2: case 18:
            return !TextEquals(tag, "71", 2);
        case 3: case 14: case 15: case 16: case 17:
            return true;
        case 4:
            return TextEquals(tag, "719" + revised, 4);
        case 6: {
            uint8_t v = held[8];
            if (v != 0) v = static_cast<uint8_t>(v - 0x30);
            return revision >= 1 && revision <= 128 && v == static_cast<uint8_t>(revision - 1);
        }
        case 7:
            return Type7Fits(revision, first);
        case 8: case 9:
            return TextEquals(tag, "746", 3);
        case 10:
            return TextEquals(tag, "970", 3);
        case 11:
            return TextEquals(tag, "861", 3);
        default:
            return false;
    }
}

}  // namespace

int CheckFirmwareFile(UserMessages& messages, const std::string& fileName, ChipIdValue chipId) {
    const uint8_t type = ChipTypeOf(chipId);
    const uint8_t revision = ChipRevisionOf(chipId);
    std::ifstream file(fileName, std::ios::binary);
    // Some systems open a folder for reading; it is no firmware file either.
    std::error_code notChecked;
    if (!file || std::filesystem::is_directory(fileName, notChecked)) {
        messages.ShowMessageBox(kOpenFirmwareFileErrorText, "Error", MessageIcon::None);
        return 0;
    }
    Record held;
    if (type == 11) {
        held = ReadRecord(file, kType11Place);
        if (held[0] != 0x55 || held[1] != 0xAA) return 0;
    } else {
        held = ReadRecord(file, kFirstPlace);
    }
    const Record first = held;
    std::string tag = TagText(held);
    if (PreCheckApplies(type)) {
        const std::string expected = ChipNumbers[type];
        if (Signed(held)) {
            if (!TextEquals(tag, expected, 3)) return 0;
        } else {
            held = ReadRecord(file, kSecondPlace);
            if (Signed(held)) {
                tag = TagText(held);
                if (!TextEquals(tag, expected, 3)) return 0;
            }
        }
    }
    return Decide(type, revision, tag, held, first) ? 1 : 0;
}

}  // namespace qks
