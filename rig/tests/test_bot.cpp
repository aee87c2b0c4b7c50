// The Bulk-Only framing and the target's answers, without a kernel: what the
// host would see on the wire for each command.
#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "rig/bot.h"

namespace qks::rig {
namespace {

using Bytes = std::vector<uint8_t>;

// A CBW as the host builds it, field by field.
Bytes CbwBytes(uint32_t tag, uint32_t length, uint8_t flags, uint8_t lun, const Bytes& cdb,
               uint8_t cbLength = 0xFF) {
    Bytes b = {0x55, 0x53, 0x42, 0x43};
    for (uint32_t v : {tag, length})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    b.push_back(flags);
    b.push_back(lun);
    b.push_back(cbLength == 0xFF ? static_cast<uint8_t>(cdb.size()) : cbLength);
    Bytes block(16, 0);
    std::copy(cdb.begin(), cdb.begin() + std::min<size_t>(cdb.size(), 16), block.begin());
    b.insert(b.end(), block.begin(), block.end());
    return b;
}

Cbw In(Bytes cdb, uint32_t length) {
    Cbw c;
    c.tag = 7;
    c.dataLength = length;
    c.dataIn = true;
    c.cdb = std::move(cdb);
    return c;
}

Cbw Out(Bytes cdb, uint32_t length) {
    Cbw c = In(std::move(cdb), length);
    c.dataIn = false;
    return c;
}

Cbw NoData(Bytes cdb) { return In(std::move(cdb), 0); }

struct Sent {
    Bytes cdb;
    DataDirection direction;
    uint32_t length;
    Bytes data;
    uint8_t lun = 0;
};

// The bridge's side: every command it is given, and scripted outcomes (good
// with the whole length moved, unless told otherwise).
class FakeBridge final : public CommandBackend {
public:
    struct Script {
        ScsiOutcome outcome;
        Bytes reply;   // data-in bytes the bridge puts in the buffer
    };

    ScsiOutcome Execute(const ScsiCommand& command, uint8_t lun) override {
        Sent sent{Bytes(command.cdb, command.cdb + command.cdbLength), command.direction,
                  command.length, {}, lun};
        if (command.direction == DataDirection::Out && command.data)
            sent.data.assign(command.data, command.data + command.length);
        sent_.push_back(sent);
        Script script;
        if (!scripts_.empty()) {
            script = scripts_.front();
            scripts_.pop_front();
        } else {
            script.outcome.delivered = true;
            script.outcome.transferred = command.length;
        }
        if (command.direction == DataDirection::In && command.data)
            std::copy_n(script.reply.begin(), std::min<size_t>(script.reply.size(), command.length),
                        command.data);
        return script.outcome;
    }

    void Then(ScsiOutcome outcome, Bytes reply = {}) {
        scripts_.push_back({std::move(outcome), std::move(reply)});
    }
    const std::vector<Sent>& Commands() const { return sent_; }

private:
    std::deque<Script> scripts_;
    std::vector<Sent> sent_;
};

ScsiOutcome Delivered(uint32_t transferred) {
    ScsiOutcome o;
    o.delivered = true;
    o.transferred = transferred;
    return o;
}

ScsiOutcome CheckCondition(Bytes sense) {
    ScsiOutcome o;
    o.delivered = true;
    o.scsiStatus = 0x02;
    o.sense = std::move(sense);
    return o;
}

const HoldWait kNoWait = [](uint32_t) { return true; };
const Bytes kBridgeSense = {0x70, 0, 0x04, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x44, 0x00, 0, 0, 0, 0};
const Cbw kRequestSense = In({0x03, 0, 0, 0, 18, 0}, 18);
const Cbw kRefusedVendor = NoData({0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0});

Bytes SenseKeyAscOf(const Reply& r) { return {r.dataIn.at(2), r.dataIn.at(12), r.dataIn.at(13)}; }

constexpr uint32_t kBlocks = 8192;   // a 4 MB medium

// ---- the wrappers ---------------------------------------------------------

struct CbwCase {
    const char* name;
    Bytes bytes;
    const char* error;   // substring; null when the CBW is good
    uint8_t maxLun = 0;
};

void PrintTo(const CbwCase& c, std::ostream* os) { *os << c.name; }

class CbwParsing : public testing::TestWithParam<CbwCase> {};

TEST_P(CbwParsing, AcceptsOnlyValidMeaningfulWrappers) {
    const CbwCase& c = GetParam();
    const CbwParse parsed = ParseCbw(c.bytes, c.maxLun);
    if (c.error == nullptr) {
        ASSERT_TRUE(parsed.cbw) << parsed.error;
        EXPECT_TRUE(parsed.error.empty());
        EXPECT_EQ(parsed.cbw->lun, c.bytes[13]);
    } else {
        EXPECT_FALSE(parsed.cbw);
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
    }
}

Bytes Resized(Bytes b, size_t n) {
    b.resize(n, 0);
    return b;
}

Bytes Patched(Bytes b, size_t at, uint8_t value) {
    b[at] = value;
    return b;
}

const Bytes kInquiryCbw = CbwBytes(0x11223344, 36, 0x80, 0, {0x12, 0, 0, 0, 36, 0});

INSTANTIATE_TEST_SUITE_P(
    Wrappers, CbwParsing,
    testing::Values(
        CbwCase{"inquiry", kInquiryCbw, nullptr},
        CbwCase{"sixteen_byte_cdb", CbwBytes(1, 0, 0, 0, Bytes(16, 0x88)), nullptr},
        CbwCase{"one_short", Resized(kInquiryCbw, 30), "CBW of 30 bytes"},
        CbwCase{"one_long", Resized(kInquiryCbw, 32), "CBW of 32 bytes"},
        CbwCase{"a_whole_packet", Resized(kInquiryCbw, 512), "CBW of 512 bytes"},
        CbwCase{"empty", Bytes{}, "CBW of 0 bytes"},
        CbwCase{"csw_signature", Patched(kInquiryCbw, 3, 0x53), "signature 0x53425355"},
        CbwCase{"reserved_flag_bit", Patched(kInquiryCbw, 12, 0x81), "reserved bits"},
        CbwCase{"second_lun", Patched(kInquiryCbw, 13, 1), "only LUN 0"},
        CbwCase{"cdrom_lun", Patched(kInquiryCbw, 13, 1), nullptr, 1},
        CbwCase{"beyond_the_cdrom_lun", Patched(kInquiryCbw, 13, 2), "LUN 0 to 1", 1},
        CbwCase{"no_command_block", Patched(kInquiryCbw, 14, 0), "not 1 to 16"},
        CbwCase{"seventeen_byte_block", Patched(kInquiryCbw, 14, 17), "not 1 to 16"}),
    [](const testing::TestParamInfo<CbwCase>& info) { return std::string(info.param.name); });

TEST(CbwFields, AreReadLittleEndianWithTheCdbCutToItsLength) {
    const Bytes cdb = {0xFF, 0x04, 0x11, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0, 0};
    const CbwParse parsed = ParseCbw(CbwBytes(0xA1B2C3D4, 0x00012345, 0x00, 0, cdb));
    ASSERT_TRUE(parsed.cbw);
    EXPECT_EQ(parsed.cbw->tag, 0xA1B2C3D4u);
    EXPECT_EQ(parsed.cbw->dataLength, 0x00012345u);
    EXPECT_FALSE(parsed.cbw->dataIn);
    EXPECT_EQ(parsed.cbw->cdb, cdb);

    const CbwParse in = ParseCbw(kInquiryCbw);
    ASSERT_TRUE(in.cbw);
    EXPECT_TRUE(in.cbw->dataIn);
    EXPECT_EQ(in.cbw->cdb, (Bytes{0x12, 0, 0, 0, 36, 0}));
}

struct CswCase {
    uint32_t tag;
    uint32_t residue;
    CswStatus status;
    std::array<uint8_t, 13> wire;
};

TEST(Csw, IsSignatureTagResidueStatusLittleEndian) {
    const CswCase cases[] = {
        {0x00000001, 0, CswStatus::Passed,
         {0x55, 0x53, 0x42, 0x53, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x00}},
        {0xDEADBEEF, 0x00010000, CswStatus::Failed,
         {0x55, 0x53, 0x42, 0x53, 0xEF, 0xBE, 0xAD, 0xDE, 0x00, 0x00, 0x01, 0x00, 0x01}},
        {0x12345678, 0x000001FF, CswStatus::PhaseError,
         {0x55, 0x53, 0x42, 0x53, 0x78, 0x56, 0x34, 0x12, 0xFF, 0x01, 0x00, 0x00, 0x02}},
    };
    for (const CswCase& c : cases)
        EXPECT_EQ(BuildCsw(c.tag, c.residue, c.status), c.wire) << "tag " << c.tag;
}

// ---- standard commands the target answers itself ---------------------------

struct StandardCase {
    const char* name;
    Cbw cbw;
    CswStatus status;
    uint32_t residue;
    Bytes leading;   // the first bytes of the data-in, when they matter
};

void PrintTo(const StandardCase& c, std::ostream* os) { *os << c.name << " cdb " << Hex(c.cbw.cdb); }

class StandardCommands : public testing::TestWithParam<StandardCase> {};

TEST_P(StandardCommands, AreAnsweredWithoutTheBridge) {
    const StandardCase& c = GetParam();
    FakeBridge bridge;
    BotTarget target(bridge, kBlocks);
    const Bytes none;
    const Bytes dataOut(c.cbw.dataIn ? 0 : c.cbw.dataLength, 0xA5);
    const Reply reply = target.Run(c.cbw, dataOut, kNoWait);
    EXPECT_TRUE(bridge.Commands().empty()) << "the bridge saw it";
    EXPECT_TRUE(reply.answeredHere);
    EXPECT_EQ(reply.status, c.status) << reply.note;
    EXPECT_EQ(reply.residue, c.residue);
    EXPECT_EQ(reply.dataIn.size(), c.cbw.dataIn ? c.cbw.dataLength : 0u);
    ASSERT_GE(reply.dataIn.size(), c.leading.size());
    EXPECT_EQ(Bytes(reply.dataIn.begin(), reply.dataIn.begin() + c.leading.size()), c.leading);
}

INSTANTIATE_TEST_SUITE_P(
    Attach, StandardCommands,
    testing::Values(
        StandardCase{"test_unit_ready", NoData({0x00, 0, 0, 0, 0, 0}), CswStatus::Passed, 0, {}},
        // 8192 blocks: the last is 0x1FFF; 512-byte blocks.
        StandardCase{"read_capacity_10", In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8),
                     CswStatus::Passed, 0, {0, 0, 0x1F, 0xFF, 0, 0, 0x02, 0x00}},
        StandardCase{"read_capacity_16", In({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32),
                     CswStatus::Passed, 0, {0, 0, 0, 0, 0, 0, 0x1F, 0xFF, 0, 0, 0x02, 0x00}},
        // Mode data length 23 (4-byte header and the 20-byte caching page, less
        // one), not write protected, then page 08 with the write cache off.
        StandardCase{"mode_sense_6_all_pages", In({0x1A, 0, 0x3F, 0, 192, 0}, 192),
                     CswStatus::Passed, 192 - 24, {23, 0, 0x00, 0, 0x08, 18, 0x00}},
        StandardCase{"mode_sense_6_header_only", In({0x1A, 0, 0x3F, 0, 4, 0}, 4),
                     CswStatus::Passed, 0, {23, 0, 0x00, 0}},
        StandardCase{"mode_sense_10_caching", In({0x5A, 0, 0x08, 0, 0, 0, 0, 0, 64, 0}, 64),
                     CswStatus::Passed, 64 - 28, {0, 26, 0, 0, 0, 0, 0, 0, 0x08, 18}},
        StandardCase{"mode_sense_unknown_page", In({0x1A, 0, 0x1C, 0, 192, 0}, 192),
                     CswStatus::Failed, 192, {}},
        StandardCase{"prevent_removal", NoData({0x1E, 0, 0, 0, 1, 0}), CswStatus::Passed, 0, {}},
        StandardCase{"synchronize_cache", NoData({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                     CswStatus::Passed, 0, {}},
        StandardCase{"read_10_first_block", In({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512),
                     CswStatus::Passed, 0, {0, 0, 0, 0}},
        StandardCase{"read_10_last_block", In({0x28, 0, 0, 0, 0x1F, 0xFF, 0, 0, 1, 0}, 512),
                     CswStatus::Passed, 0, {}},
        StandardCase{"read_10_past_the_end", In({0x28, 0, 0, 0, 0x1F, 0xFF, 0, 0, 2, 0}, 1024),
                     CswStatus::Failed, 1024, {}},
        StandardCase{"write_10_one_block", Out({0x2A, 0, 0, 0, 0, 8, 0, 0, 1, 0}, 512),
                     CswStatus::Passed, 0, {}},
        StandardCase{"read_format_capacities", In({0x23, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12),
                     CswStatus::Passed, 0, {0, 0, 0, 8, 0, 0, 0x20, 0x00, 0x02, 0, 0x02, 0}},
        StandardCase{"inquiry_supported_vpd_pages", In({0x12, 0x01, 0x00, 0, 255, 0}, 255),
                     CswStatus::Passed, 250, {0, 0, 0, 1, 0}},
        StandardCase{"inquiry_serial_vpd_page", In({0x12, 0x01, 0x80, 0, 255, 0}, 255),
                     CswStatus::Failed, 255, {}},
        // Host and device disagree: the BOT cases that end in a phase error.
        StandardCase{"data_in_asked_with_no_data_phase", NoData({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                     CswStatus::PhaseError, 0, {}},
        StandardCase{"read_sent_as_data_out", Out({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512),
                     CswStatus::PhaseError, 512, {}},
        StandardCase{"write_asked_as_data_in", In({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512),
                     CswStatus::PhaseError, 512, {}},
        StandardCase{"write_with_too_little_data", Out({0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 512),
                     CswStatus::PhaseError, 512, {}},
        StandardCase{"write_with_extra_data", Out({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 1024),
                     CswStatus::Passed, 512, {}},
        StandardCase{"read_capacity_into_a_short_buffer", In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4),
                     CswStatus::PhaseError, 0, {0, 0, 0x1F, 0xFF}}),
    [](const testing::TestParamInfo<StandardCase>& info) { return std::string(info.param.name); });

TEST(Medium, KeepsWhatTheHostWritesInTheCallersStorage) {
    FakeBridge bridge;
    Bytes storage(kBlocks * 512 + 100, 0);   // a file's tail that is not a whole block
    BotTarget target(bridge, std::span(storage));
    EXPECT_EQ(target.MediumBlocks(), kBlocks);
    Bytes block(512);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(target.Run(Out({0x2A, 0, 0, 0, 0x10, 0, 0, 0, 1, 0}, 512), block, kNoWait).status,
              CswStatus::Passed);
    const Reply back = target.Run(In({0x28, 0, 0, 0, 0x10, 0, 0, 0, 1, 0}, 512), {}, kNoWait);
    EXPECT_EQ(back.dataIn, block);
    const Reply other = target.Run(In({0x28, 0, 0, 0, 0x0F, 0, 0, 0, 1, 0}, 512), {}, kNoWait);
    EXPECT_EQ(other.dataIn, Bytes(512, 0));
    EXPECT_EQ(Bytes(storage.begin() + 0x1000 * 512, storage.begin() + 0x1001 * 512), block)
        << "the write is in the storage itself (a mapped file keeps it)";
}

// ---- the CD-ROM unit -------------------------------------------------------

Cbw OnCdrom(Cbw cbw) {
    cbw.lun = 1;
    return cbw;
}

TEST(CdromUnit, IsAnEmptyDriveWhileVendorCommandsReachTheBridgesCdromInterface) {
    struct Case {
        const char* name;
        Cbw cbw;
        CswStatus status;
        Bytes leading;   // data-in, or the sense key/ASC of the REQUEST SENSE after a failure
        bool toBridge;
    };
    const Case cases[] = {
        {"test_unit_ready", NoData({0x00, 0, 0, 0, 0, 0}), CswStatus::Failed, {0x02, 0x3A, 0}, false},
        {"read_capacity", In({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8), CswStatus::Failed,
         {0x02, 0x3A, 0}, false},
        {"read_toc", In({0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12), CswStatus::Failed, {0x02, 0x3A, 0},
         false},
        // Polled media event: the media class, no change, no disc.
        {"event_status_polled", In({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 8, 0}, 8), CswStatus::Passed,
         {0x00, 0x06, 0x04, 0x10, 0x00, 0x00}, false},
        {"event_status_asynchronous", In({0x4A, 0x00, 0, 0, 0x10, 0, 0, 0, 8, 0}, 8),
         CswStatus::Failed, {0x05, 0x24, 0}, false},
        {"get_configuration", In({0x46, 0x02, 0, 0, 0, 0, 0, 0, 8, 0}, 8), CswStatus::Passed,
         {0, 0, 0, 4, 0, 0, 0, 0}, false},
        {"mode_sense_is_not_the_disks", In({0x1A, 0, 0x3F, 0, 192, 0}, 192), CswStatus::Failed,
         {0x05, 0x24, 0}, false},
        {"read_is_not_the_disks", In({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512), CswStatus::Failed,
         {0x02, 0x3A, 0}, false},
        {"standard_inquiry", In({0x12, 0, 0, 0, 36, 0}, 36), CswStatus::Passed, {}, true},
        {"chip_information", In({0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0x10, 0}, 16),
         CswStatus::Passed, {}, true},
        {"synchronize_cache_is_not_the_disks", NoData({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
         CswStatus::Passed, {}, true},
    };
    for (const Case& c : cases) {
        FakeBridge bridge;
        BotTarget target(bridge, kBlocks);
        target.AddCdromLun();
        const Reply reply = target.Run(OnCdrom(c.cbw), {}, kNoWait);
        EXPECT_EQ(reply.status, c.status) << c.name << ": " << reply.note;
        ASSERT_EQ(bridge.Commands().size(), c.toBridge ? 1u : 0u) << c.name;
        if (c.toBridge) {
            EXPECT_EQ(bridge.Commands()[0].lun, 1) << c.name;
            continue;
        }
        const Bytes got = c.status == CswStatus::Passed
                              ? Bytes(reply.dataIn.begin(), reply.dataIn.begin() + c.leading.size())
                              : SenseKeyAscOf(target.Run(OnCdrom(kRequestSense), {}, kNoWait));
        EXPECT_EQ(got, c.leading) << c.name;
    }
}

// ---- what goes to the bridge ----------------------------------------------

TEST(Forwarding, VendorCommandsAndTheStandardInquiryReachTheBridge) {
    const Cbw cases[] = {
        In({0x12, 0, 0, 0, 36, 0}, 36),                                  // standard INQUIRY
        In({0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0x10, 0}, 16),        // chip information
        In({0xFF, 0x04, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4096),         // read flash
        Out({0xFF, 0x04, 0x11, 0, 0x10, 0, 0, 0, 0, 0, 0, 0}, 4096),     // write flash
        NoData({0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0}),           // chip erase
        In({0xDF, 0x10, 0xFD, 0x00, 0x02, 0xFD, 0xB0, 0, 0, 0, 0, 0}, 2), // read bridge memory
    };
    for (const Cbw& cbw : cases) {
        FakeBridge bridge;
        BotTarget target(bridge, kBlocks);
        const Bytes data(cbw.dataIn ? 0 : cbw.dataLength, 0x3C);
        const Reply reply = target.Run(cbw, data, kNoWait);
        ASSERT_EQ(bridge.Commands().size(), 1u) << Hex(cbw.cdb);
        const Sent& sent = bridge.Commands()[0];
        EXPECT_EQ(sent.cdb, cbw.cdb);
        EXPECT_EQ(sent.length, cbw.dataLength);
        EXPECT_EQ(sent.direction, cbw.dataIn ? DataDirection::In : DataDirection::Out);
        if (!cbw.dataIn) {
            EXPECT_EQ(sent.data, data) << "the host's data must reach the bridge unchanged";
        }
        EXPECT_FALSE(reply.answeredHere);
        EXPECT_EQ(reply.status, CswStatus::Passed);
    }
}

struct ResidueCase {
    const char* name;
    Cbw cbw;
    ScsiOutcome outcome;
    Bytes bridgeReply;
    CswStatus status;
    uint32_t residue;
    Bytes dataIn;   // the whole data phase
};

void PrintTo(const ResidueCase& c, std::ostream* os) { *os << c.name << " cdb " << Hex(c.cbw.cdb); }

class BridgeResidue : public testing::TestWithParam<ResidueCase> {};

TEST_P(BridgeResidue, FollowsWhatTheBridgeMoved) {
    const ResidueCase& c = GetParam();
    FakeBridge bridge;
    bridge.Then(c.outcome, c.bridgeReply);
    BotTarget target(bridge, kBlocks);
    const Bytes data(c.cbw.dataIn ? 0 : c.cbw.dataLength, 0x11);
    const Reply reply = target.Run(c.cbw, data, kNoWait);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.residue, c.residue);
    EXPECT_EQ(reply.dataIn, c.dataIn);
}

INSTANTIATE_TEST_SUITE_P(
    Vendor, BridgeResidue,
    testing::Values(
        ResidueCase{"all_of_it", In({0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 4, 0}, 4),
                    Delivered(4), {1, 2, 3, 4}, CswStatus::Passed, 0, {1, 2, 3, 4}},
        // Fewer bytes than asked: the rest is padding, and the residue says so.
        ResidueCase{"short_reply", In({0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8),
                    Delivered(3), {9, 8, 7, 6, 5}, CswStatus::Passed, 5, {9, 8, 7, 0, 0, 0, 0, 0}},
        ResidueCase{"refused_data_in", In({0xFF, 0x04, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 6),
                    CheckCondition({0x70, 0, 0x05}), {1, 2, 3, 4, 5, 6}, CswStatus::Failed, 6,
                    Bytes(6, 0)},
        ResidueCase{"write_taken", Out({0xFF, 0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 256),
                    Delivered(256), {}, CswStatus::Passed, 0, {}},
        ResidueCase{"write_half_taken", Out({0xFF, 0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 256),
                    Delivered(128), {}, CswStatus::Passed, 128, {}},
        ResidueCase{"write_refused", Out({0xFF, 0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 256),
                    CheckCondition({0x70, 0, 0x04}), {}, CswStatus::Failed, 256, {}},
        ResidueCase{"no_data_refused", NoData({0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                    CheckCondition({0x70, 0, 0x04}), {}, CswStatus::Failed, 0, {}}),
    [](const testing::TestParamInfo<ResidueCase>& info) { return std::string(info.param.name); });

// ---- sense handoff ---------------------------------------------------------


TEST(SenseHandoff, TheRequestSenseAfterAFailureGetsTheBridgesSenseOnce) {
    FakeBridge bridge;
    bridge.Then(CheckCondition(kBridgeSense));
    BotTarget target(bridge, kBlocks);
    EXPECT_EQ(target.Run(kRefusedVendor, {}, kNoWait).status, CswStatus::Failed);
    const Reply first = target.Run(kRequestSense, {}, kNoWait);
    EXPECT_EQ(first.status, CswStatus::Passed);
    EXPECT_EQ(first.dataIn, kBridgeSense);
    const Reply second = target.Run(kRequestSense, {}, kNoWait);
    EXPECT_EQ(SenseKeyAscOf(second), (Bytes{0, 0, 0})) << "sense is handed over once";
    EXPECT_EQ(bridge.Commands().size(), 1u) << "REQUEST SENSE never reaches the bridge";
}

TEST(SenseHandoff, ASenseIsLostToAnyOtherCommandOrAReset) {
    struct Between {
        const char* name;
        bool reset;
        std::optional<Cbw> command;
    };
    const Between cases[] = {
        {"test_unit_ready", false, NoData({0x00, 0, 0, 0, 0, 0})},
        {"good_vendor_command", false, In({0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0x10, 0}, 16)},
        {"bulk_only_reset", true, std::nullopt},
    };
    for (const Between& c : cases) {
        FakeBridge bridge;
        bridge.Then(CheckCondition(kBridgeSense));
        BotTarget target(bridge, kBlocks);
        target.Run(kRefusedVendor, {}, kNoWait);
        if (c.reset) target.Reset();
        if (c.command) target.Run(*c.command, {}, kNoWait);
        EXPECT_EQ(SenseKeyAscOf(target.Run(kRequestSense, {}, kNoWait)), (Bytes{0, 0, 0}))
            << c.name;
    }
}

TEST(SenseHandoff, TheTargetsOwnRefusalsAndSenselessFailuresLeaveSense) {
    struct Refusal {
        const char* name;
        Cbw command;
        std::optional<ScsiOutcome> bridge;
        Bytes keyAsc;
    };
    ScsiOutcome hostError;
    hostError.delivered = true;
    hostError.hostStatus = 0x07;
    const Refusal cases[] = {
        {"read_past_the_end", In({0x28, 0, 0, 0, 0x20, 0, 0, 0, 1, 0}, 512), {}, {0x05, 0x21, 0}},
        {"unknown_mode_page", In({0x1A, 0, 0x1C, 0, 192, 0}, 192), {}, {0x05, 0x24, 0}},
        {"bridge_failure_without_sense", kRefusedVendor, hostError, {0x04, 0x44, 0}},
    };
    for (const Refusal& c : cases) {
        FakeBridge bridge;
        if (c.bridge) bridge.Then(*c.bridge);
        BotTarget target(bridge, kBlocks);
        EXPECT_EQ(target.Run(c.command, {}, kNoWait).status, CswStatus::Failed) << c.name;
        EXPECT_EQ(SenseKeyAscOf(target.Run(kRequestSense, {}, kNoWait)), c.keyAsc) << c.name;
    }
}

TEST(SenseHandoff, RequestSenseHonoursItsAllocationLength) {
    FakeBridge bridge;
    bridge.Then(CheckCondition(kBridgeSense));
    BotTarget target(bridge, kBlocks);
    target.Run(kRefusedVendor, {}, kNoWait);
    const Reply reply = target.Run(In({0x03, 0, 0, 0, 8, 0}, 18), {}, kNoWait);
    EXPECT_EQ(reply.residue, 10u);
    EXPECT_EQ(Bytes(reply.dataIn.begin(), reply.dataIn.begin() + 8),
              Bytes(kBridgeSense.begin(), kBridgeSense.begin() + 8));
}

// ---- a device that goes away, a device that is slow -------------------------

TEST(Vanishing, ABridgeThatIsGoneEndsTheConversation) {
    FakeBridge bridge;
    ScsiOutcome gone;
    gone.osError = 19;
    gone.diagnostic = "emulated device went away during the command";
    bridge.Then(gone);
    BotTarget target(bridge, kBlocks);
    const Reply reply =
        target.Run(Out({0xFF, 0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 512), Bytes(512), kNoWait);
    EXPECT_TRUE(reply.vanished);
    EXPECT_EQ(reply.note, gone.diagnostic);
}

CommandFault Fault(const std::string& text, CommandFault::Kind kind) {
    std::string error;
    auto fault = ParseCommandFault(text, kind, error);
    EXPECT_TRUE(fault) << error;
    return fault.value_or(CommandFault{});
}

TEST(RigFaults, FireOnTheNthMatchingCommandOnly) {
    const Cbw write = Out({0xFF, 0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 512);
    const Cbw read = In({0xFF, 0x04, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 512);
    FakeBridge bridge;
    BotTarget target(bridge, kBlocks);
    target.AddFault(Fault("ff0411@3", CommandFault::Kind::Vanish));
    const Bytes data(512, 0x5A);
    const Cbw sequence[] = {write, read, read, write, read, write};
    std::vector<bool> vanished;
    for (const Cbw& cbw : sequence) vanished.push_back(target.Run(cbw, data, kNoWait).vanished);
    EXPECT_EQ(vanished, (std::vector<bool>{false, false, false, false, false, true}));
    EXPECT_EQ(bridge.Commands().size(), 5u) << "the vanishing write never reaches the bridge";
    EXPECT_FALSE(target.Run(write, data, kNoWait).vanished) << "a fault fires once";
}

TEST(RigFaults, AHeldCommandRunsAfterItsWaitOrIsDroppedByAReset) {
    const Cbw write = Out({0xFF, 0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 512);
    for (bool resetDuringHold : {false, true}) {
        FakeBridge bridge;
        BotTarget target(bridge, kBlocks);
        target.AddFault(Fault("ff04@1:12000", CommandFault::Kind::Hold));
        std::vector<uint32_t> waits;
        const HoldWait wait = [&](uint32_t ms) {
            waits.push_back(ms);
            return !resetDuringHold;
        };
        const Reply reply = target.Run(write, Bytes(512), wait);
        EXPECT_EQ(waits, std::vector<uint32_t>{12000});
        EXPECT_EQ(reply.abandoned, resetDuringHold);
        EXPECT_EQ(bridge.Commands().size(), resetDuringHold ? 0u : 1u);
        target.Run(write, Bytes(512), wait);
        EXPECT_EQ(waits.size(), 1u) << "only the first matching command is held";
    }
}

struct FaultTextCase {
    const char* text;
    CommandFault::Kind kind;
    bool ok;
    Bytes prefix;
    uint32_t occurrence;
    uint32_t holdMs;
};

TEST(RigFaults, ParseTheirCommandLineText) {
    using K = CommandFault::Kind;
    const FaultTextCase cases[] = {
        {"ff0411", K::Vanish, true, {0xFF, 0x04, 0x11}, 1, 0},
        {"FF0411@12", K::Vanish, true, {0xFF, 0x04, 0x11}, 12, 0},
        {"ff0411@2:15000", K::Hold, true, {0xFF, 0x04, 0x11}, 2, 15000},
        {"e0:500", K::Hold, true, {0xE0}, 1, 500},
        {"ff0411", K::Hold, false, {}, 0, 0},         // a hold needs its time
        {"ff0411:0", K::Hold, false, {}, 0, 0},
        {"ff041", K::Vanish, false, {}, 0, 0},        // half a byte
        {"fg", K::Vanish, false, {}, 0, 0},
        {"ff@0", K::Vanish, false, {}, 0, 0},
        {"@3", K::Vanish, false, {}, 0, 0},
        {"ff@x", K::Vanish, false, {}, 0, 0},
        {"000102030405060708090a0b0c0d0e0f10", K::Vanish, false, {}, 0, 0},
    };
    for (const FaultTextCase& c : cases) {
        std::string error;
        const auto fault = ParseCommandFault(c.text, c.kind, error);
        EXPECT_EQ(fault.has_value(), c.ok) << c.text << ": " << error;
        if (!fault) {
            EXPECT_NE(error.find(c.text), std::string::npos) << "the error names the text";
            continue;
        }
        EXPECT_EQ(fault->cdbPrefix, c.prefix) << c.text;
        EXPECT_EQ(fault->occurrence, c.occurrence) << c.text;
        EXPECT_EQ(fault->holdMs, c.holdMs) << c.text;
    }
}

}  // namespace
}  // namespace qks::rig
