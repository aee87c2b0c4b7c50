// Matching a firmware file's tag records against the identified chip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/firmware_file_check.h"

namespace qks {
namespace {

namespace fs = std::filesystem;

class RecordingMessages : public UserMessages {
public:
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override {
        boxes.push_back({text, caption, icon});
    }
    void DebugOutput(const std::string&) override {}
    struct Box {
        std::string text, caption;
        MessageIcon icon;
    };
    std::vector<Box> boxes;
};

// A file image: filler bytes, with tag records placed where a test wants them.
class FileImage {
public:
    explicit FileImage(size_t size = 0x5000) : bytes_(size, 0x33) {}
    FileImage& Signed(size_t at, const std::string& tag, uint8_t digit = 0x77) {
        const uint8_t signature[4] = {0x55, 0xAA, 0xAA, 0x55};
        std::memcpy(bytes_.data() + at, signature, 4);
        return Tag(at, tag, digit);
    }
    FileImage& Tag(size_t at, const std::string& tag, uint8_t digit = 0x77) {
        std::memcpy(bytes_.data() + at + 4, tag.data(), std::min<size_t>(tag.size(), 4));
        if (at + 8 < bytes_.size()) bytes_[at + 8] = digit;
        return *this;
    }
    FileImage& Bytes(size_t at, const std::vector<uint8_t>& values) {
        std::copy(values.begin(), values.end(), bytes_.begin() + static_cast<long>(at));
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

class FirmwareFileCheck : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir_ = fs::temp_directory_path() / ("qks_fwcheck_" + name);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::vector<uint8_t>& bytes) {
        const fs::path file = dir_ / ("fw" + std::to_string(count_++) + ".bin");
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        return file.string();
    }
    int Check(const FileImage& image, uint8_t type, uint8_t revision = 0) {
        return CheckFirmwareFile(messages, Write(image.bytes()), MakeChipId(type, revision));
    }

    RecordingMessages messages;
    fs::path dir_;
    int count_ = 0;
};

struct FitCase {
    const char* name;
    FileImage image;
    uint8_t type;
    uint8_t revision;
    int fits;
};

class Fits : public FirmwareFileCheck, public ::testing::WithParamInterface<FitCase> {};

TEST_P(Fits, Decides) {
    const auto& c = GetParam();
    EXPECT_EQ(Check(c.image, c.type, c.revision), c.fits);
    EXPECT_TRUE(messages.boxes.empty());
}

const std::string kType1Rev1Tag = "\x5A\xA5\x0F\xF0";

INSTANTIATE_TEST_SUITE_P(
    Files, Fits,
    ::testing::Values(
        FitCase{"Type10TaggedAtZero", FileImage().Signed(0, "9701"), 10, 0, 1},
        FitCase{"Type10Tagged958FailsPreCheck", FileImage().Signed(0, "9581"), 10, 0, 0},
        FitCase{"Type10UnsignedTagTextDecides", FileImage().Tag(0, "970x"), 10, 0, 1},
        FitCase{"Type10UnsignedOtherTextFails", FileImage().Tag(0, "958x"), 10, 0, 0},
        FitCase{"Type10SecondPlaceDecides",
                FileImage().Tag(0, "ABCD").Signed(0x1000, "970Z"), 10, 9, 1},
        FitCase{"Type10SecondPlaceWrongNumber",
                FileImage().Tag(0, "9701").Signed(0x1000, "9581"), 10, 0, 0},
        FitCase{"Type10SignedAtZeroIgnoresSecondPlace",
                FileImage().Signed(0, "9701").Signed(0x1000, "9581"), 10, 0, 1},
        FitCase{"Type8Takes746", FileImage().Signed(0, "7461"), 8, 0, 1},
        FitCase{"Type8Refuses745", FileImage().Signed(0, "7451"), 8, 0, 0},
        FitCase{"Type9Takes746AtSecondPlace", FileImage().Signed(0x1000, "7460"), 9, 0, 1},
        FitCase{"Type1Rev1MagicTag", FileImage().Tag(0, kType1Rev1Tag), 1, 1, 1},
        FitCase{"Type1Rev1RefusesDigitTag", FileImage().Signed(0, "7150"), 1, 1, 0},
        FitCase{"Type1Rev2TakesDigit1", FileImage().Signed(0, "7151"), 1, 2, 1},
        FitCase{"Type1Rev2RefusesDigit0", FileImage().Signed(0, "7150"), 1, 2, 0},
        FitCase{"Type1Rev2RefusesMagic", FileImage().Tag(0, kType1Rev1Tag), 1, 2, 0},
        FitCase{"Type4Rev1Digit0", FileImage().Tag(0, "7190"), 4, 1, 1},
        FitCase{"Type4Rev1RefusesDigit1", FileImage().Tag(0, "7191"), 4, 1, 0},
        FitCase{"Type2Refuses71", FileImage().Tag(0, "7161"), 2, 0, 0},
        FitCase{"Type2TakesOtherStart", FileImage().Tag(0, "7261"), 2, 0, 1},
        FitCase{"Type18TakesZeroTag", FileImage().Bytes(4, {0, 0, 0, 0}), 18, 0, 1},
        FitCase{"Type18Refuses71", FileImage().Tag(0, "71"), 18, 0, 0},
        FitCase{"Type7Rev1Pattern", FileImage().Signed(0, "q743"), 7, 1, 1},
        FitCase{"Type7Rev2Pattern", FileImage().Signed(0, "7431"), 7, 2, 1},
        FitCase{"Type7Rev1WrongPattern", FileImage().Signed(0, "7431"), 7, 1, 0},
        FitCase{"Type7Rev1NeedsSignature", FileImage().Tag(0, "q743"), 7, 1, 0},
        FitCase{"Type7Rev3", FileImage().Signed(0, "7431"), 7, 3, 0},
        FitCase{"Type7Rev0", FileImage().Signed(0, "q743"), 7, 0, 0},
        FitCase{"Type6Rev1Digit0", FileImage().Signed(0, "7420", '0'), 6, 1, 1},
        FitCase{"Type6Rev1DigitZeroByte", FileImage().Signed(0, "7420", 0), 6, 1, 1},
        FitCase{"Type6Rev1Digit1", FileImage().Signed(0, "7420", '1'), 6, 1, 0},
        FitCase{"Type6Rev2Digit1", FileImage().Signed(0, "7421", '1'), 6, 2, 1},
        FitCase{"Type6Rev0", FileImage().Signed(0, "7420", 0x2F), 6, 0, 0},
        FitCase{"Type6WrongNumber", FileImage().Signed(0, "7430", '0'), 6, 1, 0},
        // Without a signature at 0 the digit comes from the record at 4096.
        FitCase{"Type6DigitFromSecondPlace",
                FileImage().Tag(0, "7420", '0').Signed(0x1000, "7421", '1'), 6, 2, 1},
        FitCase{"Type6DigitFromUnsignedSecondPlace",
                FileImage().Tag(0, "7420", '1').Tag(0x1000, "xxxx", '0'), 6, 1, 1},
        FitCase{"Type11At16384", FileImage().Bytes(0x4000, {0x55, 0xAA}).Tag(0x4000, "861Q"),
                11, 0, 1},
        FitCase{"Type11IgnoresOffsetZero",
                FileImage().Signed(0, "8611").Bytes(0x4000, {0x55, 0xAA}).Tag(0x4000, "851Q"),
                11, 0, 0},
        FitCase{"Type11NeedsSignatureStart",
                FileImage().Bytes(0x4000, {0x55, 0x55}).Tag(0x4000, "8611"), 11, 0, 0},
        FitCase{"Type3Always", FileImage(), 3, 0, 1},
        FitCase{"Type14Always", FileImage(), 14, 0, 1},
        FitCase{"Type17Always", FileImage(), 17, 0, 1},
        FitCase{"Type0Never", FileImage().Signed(0, "9701"), 0, 0, 0},
        FitCase{"Type5Never", FileImage().Signed(0, "7091"), 5, 0, 0},
        FitCase{"Type12Never", FileImage().Signed(0, "8511"), 12, 0, 0},
        FitCase{"Type13Never", FileImage().Signed(0, "9581"), 13, 0, 0},
        FitCase{"Type19Never", FileImage().Signed(0, "9701"), 19, 0, 0},
        // A file shorter than the second place leaves that record empty.
        FitCase{"Type10ShortFileUnsigned", FileImage(12).Tag(0, "9701"), 10, 0, 1},
        FitCase{"Type10FileEndsInsideTag", FileImage(6).Tag(0, "97"), 10, 0, 0},
        FitCase{"Type11FileTooShort", FileImage(0x100), 11, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareFileCheck, UnopenableFileShowsTheErrorBox) {
    EXPECT_EQ(CheckFirmwareFile(messages, (dir_ / "missing.bin").string(), MakeChipId(3, 0)), 0);
    ASSERT_EQ(messages.boxes.size(), 1u);
    EXPECT_EQ(messages.boxes[0].text, "Open Firmware File Error!!");
    EXPECT_EQ(messages.boxes[0].caption, "Error");
    EXPECT_EQ(messages.boxes[0].icon, MessageIcon::None);
}

TEST_F(FirmwareFileCheck, FolderIsNoFirmwareFile) {
    // Type 3 takes every file that opens, so only the open decides here.
    EXPECT_EQ(CheckFirmwareFile(messages, dir_.string(), MakeChipId(3, 0)), 0);
    ASSERT_EQ(messages.boxes.size(), 1u);
    EXPECT_EQ(messages.boxes[0].text, "Open Firmware File Error!!");
}

TEST(ChipNumberTable, RowEightTakesTypeNineFiles) {
    EXPECT_STREQ(ChipNumbers[8], "746");
    EXPECT_STREQ(ChipNumbers[9], "746");
    EXPECT_STREQ(ChipNumbers[0], "");
    EXPECT_STREQ(ChipNumbers[15], "718");
}

}  // namespace
}  // namespace qks
