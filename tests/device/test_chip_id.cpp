// Chip identification: which probes run, in which order, and what they yield.

// Replies are written with designated initializers; omitted members keep
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "device/chip_id.h"
#include "support/test_support.h"

namespace qks {
namespace {

using test::Reply;
using test::ScriptedPassThrough;
using test::SentCommand;

const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel#0002";

// The answers of one device; nullopt refuses the command.
struct Answers {
    std::optional<std::vector<uint8_t>> inquiry;
    std::optional<std::vector<uint8_t>> idWord;
    std::optional<std::vector<uint8_t>> record;
    std::optional<std::vector<uint8_t>> record12;   // the type-7 revision read
    std::optional<std::vector<uint8_t>> idString;
    std::optional<std::vector<uint8_t>> lateXdata;
};

std::vector<uint8_t> InquiryWithCode(const char code[4]) {
    std::vector<uint8_t> data(40, 0x20);
    data[0] = 0x00;
    for (int i = 0; i < 4; ++i) data[36 + i] = static_cast<uint8_t>(code[i]);
    return data;
}

std::vector<uint8_t> Record(uint8_t vidHigh, uint8_t vidLow, uint8_t pidHigh, uint8_t pidLow,
                            const std::string& number, bool valid = true) {
    std::vector<uint8_t> data(16, 0);
    data[0] = valid ? 0xF4 : 0x00;
    data[1] = valid ? 0xE7 : 0x00;
    data[2] = vidHigh;
    data[3] = vidLow;
    data[4] = pidHigh;
    data[5] = pidLow;
    for (size_t i = 0; i < 4 && i < number.size(); ++i) data[8 + i] = static_cast<uint8_t>(number[i]);
    return data;
}

std::vector<uint8_t> IdText(const std::vector<uint8_t>& first8) {
    std::vector<uint8_t> data(40, 0);
    std::copy(first8.begin(), first8.end(), data.begin());
    return data;
}
std::vector<uint8_t> IdText(const std::string& text) {
    return IdText(std::vector<uint8_t>(text.begin(), text.end()));
}

enum Probe : char {
    kInquiry = 'I', kIdWord = 'W', kRecord = 'R', kIdString = 'S', kXdata = 'X', kOther = '?'
};

Probe Classify(const SentCommand& sent) {
    if (sent.cdb[0] == 0x12) return kInquiry;
    if (sent.cdb[0] == 0xE0) return kRecord;
    if (sent.cdb[0] == 0xDF && sent.cdb[11] == 0xFF) return kIdWord;
    if (sent.cdb[0] == 0xDF && sent.cdb[11] == 0xFD) return kXdata;
    if (sent.cdb[0] == 0xFF && sent.cdb[2] == 0x30) return kIdString;
    return kOther;
}

class RecordingMessages : public UserMessages {
public:
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override {
        boxes.push_back(text + "|" + caption + "|" + std::to_string(static_cast<int>(icon)));
    }
    void DebugOutput(const std::string&) override {}
    std::vector<std::string> boxes;
};

struct Identified {
    uint8_t type;
    uint8_t revision;
    std::string probes;   // one letter per command, in order
    std::vector<std::string> boxes;
    std::vector<SentCommand> sent;
};

Identified Identify(const Answers& answers) {
    ScriptedPassThrough device([&answers](const SentCommand& sent) {
        const std::optional<std::vector<uint8_t>>* answer = nullptr;
        switch (Classify(sent)) {
            case kInquiry: answer = &answers.inquiry; break;
            case kIdWord: answer = &answers.idWord; break;
            case kRecord: answer = sent.length == 12 ? &answers.record12 : &answers.record; break;
            case kIdString: answer = &answers.idString; break;
            case kXdata: answer = &answers.lateXdata; break;
            default: return Reply{.delivered = false};
        }
        if (!answer->has_value()) return Reply{.scsiStatus = 0x02};
        return Reply{.data = **answer};
    });
    VirtualClock clock;
    Transport transport(device, clock);
    VendorCommandSet commands(transport);
    RecordingMessages messages;
    const ChipIdValue id = GetChipId(commands, messages, kPath);
    Identified result{ChipTypeOf(id), ChipRevisionOf(id), "", messages.boxes, device.sent};
    for (const auto& sent : device.sent) result.probes.push_back(Classify(sent));
    return result;
}

struct CascadeCase {
    const char* name;
    Answers answers;
    uint8_t type;
    uint8_t revision;
    const char* probes;
};

class Cascade : public ::testing::TestWithParam<CascadeCase> {};

TEST_P(Cascade, ReachesTypeAndRevisionWithTheseProbes) {
    const CascadeCase& c = GetParam();
    const Identified result = Identify(c.answers);
    EXPECT_EQ(result.type, c.type);
    EXPECT_EQ(result.revision, c.revision);
    EXPECT_EQ(result.probes, c.probes);
    EXPECT_TRUE(result.boxes.empty());
}

const std::vector<uint8_t> kIdWord60 = {0x60, 0x00};
const auto kLate = std::vector<uint8_t>{0x00, 0xB4, 0x00, 0x00};
const auto kEarly = std::vector<uint8_t>{0x00, 0xB3, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Devices, Cascade,
    ::testing::Values(
        CascadeCase{"NothingAnswers", {}, 0, 0, "IS"},
        CascadeCase{"InquiryFailsIdTextQ742WithNulRevision",
                    {.idString = IdText(std::vector<uint8_t>{'q', '7', '4', '2', 'X', 0, 0, 0})},
                    6, 1, "IS"},
        CascadeCase{"InquiryFailsIdTextQ742DigitOneIsRevision2",
                    {.idString = IdText("q742X1")}, 6, 2, "IS"},
        CascadeCase{"InquiryQ958IsFinal", {.inquiry = InquiryWithCode("q958")}, 13, 0, "I"},
        CascadeCase{"InquiryQ970EarlyRevision",
                    {.inquiry = InquiryWithCode("q970"), .lateXdata = kEarly}, 10, 0, "IX"},
        CascadeCase{"InquiryQ970LateRevision",
                    {.inquiry = InquiryWithCode("q970"), .lateXdata = kLate}, 10, 9, "IX"},
        CascadeCase{"InquiryQ970LateRevisionReadRefused",
                    {.inquiry = InquiryWithCode("q970")}, 10, 0, "IX"},
        CascadeCase{"InquiryQ716NeedsNoRefinement", {.inquiry = InquiryWithCode("q716")}, 2, 0,
                    "I"},
        CascadeCase{"InquiryQ861BecomesTypeByIdText",
                    {.inquiry = InquiryWithCode("q861"), .idString = IdText("q861A2")}, 11, 3,
                    "IS"},
        CascadeCase{"InquiryQ715BecomesType11ByIdText",
                    {.inquiry = InquiryWithCode("q715"), .idString = IdText("q861A0")}, 11, 1,
                    "IS"},
        CascadeCase{"InquiryQ719ByIdText",
                    {.inquiry = InquiryWithCode("q719"), .idString = IdText("q719C1")}, 4, 2,
                    "IS"},
        CascadeCase{"Type1WhoseIdTextFailsGetsRevision1",
                    {.inquiry = InquiryWithCode("q715")}, 1, 1, "IS"},
        CascadeCase{"Type3WhoseIdTextFailsKeepsRevision0",
                    {.inquiry = InquiryWithCode("q717")}, 3, 0, "IS"},
        CascadeCase{"Type1IdTextUnmatchedKeepsEverything",
                    {.inquiry = InquiryWithCode("q715"), .idString = IdText("q715B3")}, 1, 0,
                    "IS"},
        CascadeCase{"InquiryCodeWithNulMatchesNothing",
                    {.inquiry = InquiryWithCode("q97\0"), .idWord = kIdWord60,
                     .record = Record(0, 0, 0, 0, "", false)},
                    17, 0, "IWR"},
        CascadeCase{"UsbIdsWinOverChipNumber",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                     .record = Record(0x1C, 0x5B, 0x67, 0x16, "9703")},
                    18, 0, "IWR"},
        CascadeCase{"UsbIdsNeedBothVendorAndProduct",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                     .record = Record(0x1C, 0x5B, 0x67, 0x17, "9583")},
                    13, 3, "IWR"},
        CascadeCase{"RecordNumber716WithProductIdOnly",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                     .record = Record(0x01, 0xC5, 0x67, 0x16, "7164")},
                    2, 4, "IWR"},
        CascadeCase{"RecordNumber9703Early",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                     .record = Record(0x3F, 0x0B, 0x09, 0x70, "9703"), .lateXdata = kEarly},
                    10, 3, "IWRX"},
        CascadeCase{"RecordNumber9703Late",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                     .record = Record(0x3F, 0x0B, 0x09, 0x70, "9703"), .lateXdata = kLate},
                    10, 9, "IWRX"},
        CascadeCase{"RecordNumberUnmatchedReadsIdText",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                     .record = Record(0x3F, 0x0B, 0x09, 0x70, "1234")},
                    0, 4, "IWRS"},
        CascadeCase{"RecordNumberUnmatchedThenIdTextQ742",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                     .record = Record(0x3F, 0x0B, 0x09, 0x70, "1234"),
                     .idString = IdText("q742-0")},
                    6, 1, "IWRS"},
        CascadeCase{"InvalidRecordIdWord60IsType17",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                     .record = Record(0, 0, 0, 0, "", false)},
                    17, 0, "IWR"},
        CascadeCase{"InvalidRecordIdWordBits0IsType14",
                    {.inquiry = InquiryWithCode("    "), .idWord = std::vector<uint8_t>{0x9F, 0},
                     .record = Record(0, 0, 0, 0, "", false)},
                    14, 0, "IWR"},
        CascadeCase{"InvalidRecordIdWordBits1IsType15",
                    {.inquiry = InquiryWithCode("    "), .idWord = std::vector<uint8_t>{0x20, 0},
                     .record = Record(0, 0, 0, 0, "", false)},
                    15, 0, "IWR"},
        CascadeCase{"InvalidRecordIdWordBits2IsType16",
                    {.inquiry = InquiryWithCode("    "), .idWord = std::vector<uint8_t>{0xC0, 0},
                     .record = Record(0, 0, 0, 0, "", false)},
                    16, 0, "IWR"},
        CascadeCase{"IdWordRefusedSkipsRecord",
                    {.inquiry = InquiryWithCode("    "), .idString = IdText("q715C1")}, 1, 2,
                    "IWS"},
        CascadeCase{"RecordRefusedGoesToIdText",
                    {.inquiry = InquiryWithCode("    "), .idWord = kIdWord60}, 0, 0, "IWRS"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChipIdProbes, SendTheirLengths) {
    const Identified result =
        Identify({.inquiry = InquiryWithCode("    "), .idWord = kIdWord60,
                  .record = Record(0x3F, 0x0B, 0x09, 0x70, "1234")});
    ASSERT_EQ(result.sent.size(), 4u);
    EXPECT_EQ(result.sent[0].length, 40u);
    EXPECT_EQ(result.sent[1].length, 2u);
    EXPECT_EQ(result.sent[2].length, 16u);
    EXPECT_EQ(result.sent[3].length, 40u);
    for (const auto& sent : result.sent) EXPECT_EQ(sent.direction, DataDirection::In);
}

// Type 7's revision comes from a 12-byte record read after the type is known.
struct Type7Case {
    const char* name;
    std::optional<std::vector<uint8_t>> record12;
    bool fromInquiry;
    uint8_t revision;
    bool box;
};
class Type7Revision : public ::testing::TestWithParam<Type7Case> {};

TEST_P(Type7Revision, ComesFromTheShortRecord) {
    const auto& c = GetParam();
    Answers answers;
    answers.record12 = c.record12;
    if (c.fromInquiry) {
        answers.inquiry = InquiryWithCode("q743");
    } else {
        answers.inquiry = InquiryWithCode("    ");
        answers.idWord = kIdWord60;
        answers.record = Record(0x3F, 0x0B, 0x07, 0x43, "7435");
    }
    const Identified result = Identify(answers);
    EXPECT_EQ(result.type, 7);
    EXPECT_EQ(result.revision, c.revision);
    EXPECT_EQ(result.probes, c.fromInquiry ? "IR" : "IWRR");
    EXPECT_EQ(result.sent.back().length, 12u);
    if (c.box) {
        EXPECT_EQ(result.boxes,
                  std::vector<std::string>{"Get chip information fail !|Error|" +
                                           std::to_string(static_cast<int>(MessageIcon::Error))});
    } else {
        EXPECT_TRUE(result.boxes.empty());
    }
}

std::vector<uint8_t> Short(char revision, bool valid = true) {
    auto data = Record(0, 0, 0, 0, std::string("743") + revision, valid);
    data.resize(12);
    return data;
}

INSTANTIATE_TEST_SUITE_P(
    Records, Type7Revision,
    ::testing::Values(Type7Case{"Revision1", Short('1'), true, 1, false},
                      Type7Case{"Revision2", Short('2'), true, 2, false},
                      Type7Case{"Revision3FromInquiryKeeps0", Short('3'), true, 0, true},
                      Type7Case{"Revision3FromRecordKeepsDigit", Short('3'), false, 5, true},
                      Type7Case{"InvalidSignature", Short('1', false), true, 0, true},
                      Type7Case{"Refused", std::nullopt, false, 5, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qks
