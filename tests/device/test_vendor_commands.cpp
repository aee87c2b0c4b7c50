// What each vendor command puts on the wire, and what the few derived
// commands conclude from the bridge's answers.

// Replies are written with designated initializers; omitted members keep
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device/flash_ready.h"
#include "device/vendor_commands.h"
#include "support/test_support.h"

namespace qks {
namespace {

using test::FromHex;
using test::Hex;
using test::Reply;
using test::ScriptedPassThrough;
using test::SentCommand;

const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel#0001";

class VendorTest : public ::testing::Test {
protected:
    ScriptedPassThrough device;
    VirtualClock clock;
    Transport transport{device, clock};
    VendorCommandSet commands{transport};
};

struct WireCase {
    const char* name;
    std::function<int(VendorCommandSet&)> send;
    const char* cdb;
    DataDirection direction;
    uint32_t length;   // as it reaches the driver
    int onEmptyGoodAnswer = 1;   // derived results read the cleared reply
    int onRefusal = 0;
};

uint8_t g_buffer[65536];

const WireCase kWireCases[] = {
    {"EnterVendorMode", [](auto& c) { return c.EnterVendorMode(kPath); },
     "FF 04 51 4B 55 00 00 00 00 00 00 00", DataDirection::Out, 0},
    {"ExitVendorMode", [](auto& c) { return c.ExitVendorMode(kPath); },
     "FF 04 51 4B AA 00 00 00 00 00 00 00", DataDirection::Out, 0},
    {"Inquiry", [](auto& c) { return c.Inquiry(kPath, g_buffer, 40); },
     "12 00 00 00 28 00 00 00 00 00 00 00", DataDirection::In, 40},
    {"ReadChipInfo", [](auto& c) { return c.ReadChipInfo(kPath, g_buffer, 16, nullptr); },
     "E0 F4 E7 00 00 00 00 00 00 00 00 00", DataDirection::In, 16},
    {"ReadIdString", [](auto& c) { return c.ReadIdString(kPath, g_buffer, 40); },
     "FF 04 30 08 00 00 00 00 00 00 00 00", DataDirection::In, 40},
    {"ReadChipIdWord", [](auto& c) { return c.ReadChipIdWord(kPath, g_buffer); },
     "DF 10 00 00 02 00 00 00 00 00 00 FF", DataDirection::In, 2},
    {"ReadXdata", [](auto& c) { return c.ReadXdata(kPath, 0xFDB0, g_buffer, 4); },
     "DF 10 00 00 04 00 FD B0 00 00 00 FD", DataDirection::In, 4},
    {"ReadXdataLong", [](auto& c) { return c.ReadXdata(kPath, 0x1234, g_buffer, 0x0102); },
     "DF 10 00 01 02 00 12 34 00 00 00 FD", DataDirection::In, 0x0102},
    {"IsLateRevision", [](auto& c) { return c.IsLateRevision(kPath); },
     "DF 10 00 00 04 00 FD B0 00 00 00 FD", DataDirection::In, 4, 0, 0},
    {"IsBlockUpdateMode", [](auto& c) { return c.IsBlockUpdateMode(kPath); },
     "DF 10 00 00 04 00 50 5E 00 00 00 FD", DataDirection::In, 4, 0, 0},
    {"VendorCommand25", [](auto& c) { return c.VendorCommand25(kPath); },
     "FF 04 25 00 00 00 00 00 00 00 00 00", DataDirection::Out, 0},
    {"ReadFlash", [](auto& c) { return c.ReadFlash(kPath, 0x12345, g_buffer, 512); },
     "FF 04 10 01 23 45 00 00 00 00 00 00", DataDirection::In, 512},
    {"WriteFlash", [](auto& c) { return c.WriteFlash(kPath, 0xABCDEF, g_buffer, 8192); },
     "FF 04 11 AB CD EF 00 00 00 00 00 00", DataDirection::Out, 8192},
    {"ReadFlashStatus", [](auto& c) { uint8_t s; return c.ReadFlashStatus(kPath, &s); },
     "FF 04 12 00 00 00 00 00 00 00 00 00", DataDirection::In, 2},
    {"EraseFlashChip", [](auto& c) { return c.EraseFlashChip(kPath); },
     "FF 04 13 00 00 00 00 00 00 00 00 00", DataDirection::Out, 0},
    {"EraseFlashSector", [](auto& c) { return c.EraseFlashSector(kPath, 0x00F000); },
     "FF 04 14 00 F0 00 00 00 00 00 00 00", DataDirection::Out, 0},
    {"ReadFlashVendor", [](auto& c) { return c.ReadFlashVendor(kPath, g_buffer); },
     "FF 04 23 04 00 00 00 00 00 00 00 00", DataDirection::In, 4},
    {"ReadFlashExt", [](auto& c) { return c.ReadFlashExt(kPath, 0x10000, g_buffer, 8192); },
     "DF 10 00 20 00 00 00 00 01 00 00 FA", DataDirection::In, 8192},
    {"WriteFlashExt", [](auto& c) { return c.WriteFlashExt(kPath, 0, g_buffer, 4096, 0x82); },
     "DF 82 00 10 00 00 00 00 00 00 00 FB", DataDirection::Out, 4096},
    {"WriteFlashExtMasksMode",
     [](auto& c) { return c.WriteFlashExt(kPath, 0x2000, g_buffer, 8192, 0x0A); },
     "DF 02 00 20 00 00 00 00 00 20 00 FB", DataDirection::Out, 8192},
    {"WriteFlashExtPlain",
     [](auto& c) { return c.WriteFlashExt(kPath, 0x1F000, g_buffer, 512, 0x00); },
     "DF 00 00 02 00 00 00 00 01 F0 00 FB", DataDirection::Out, 512},
    {"SwitchToInternalRom", [](auto& c) { return c.SwitchToInternalRom(kPath); },
     "FF 04 05 00 00 00 00 00 00 00 00 00", DataDirection::Out, 0},
    {"IsRomBusy", [](auto& c) { return c.IsRomBusy(kPath); },
     "FF 04 00 00 00 00 00 00 00 00 00 00", DataDirection::In, 2, 0, 1},
    {"PreEraseRom", [](auto& c) { return c.PreEraseRom(kPath, 0); },
     "FF 04 04 00 00 00 00 00 00 00 00 00", DataDirection::Out, 18},
    {"EraseRom", [](auto& c) { return c.EraseRom(kPath); },
     "FF 04 01 00 00 00 00 00 00 00 00 00", DataDirection::Out, 0},
    {"ReadRom", [](auto& c) { return c.ReadRom(kPath, 0x12345, g_buffer, 65536); },
     "FF 04 03 45 23 01 00 00 00 00 00 00", DataDirection::In, 65536},
    {"ProgramRomType0", [](auto& c) { return c.ProgramRom(kPath, g_buffer, 65536, 0); },
     "FF 04 02 55 55 AA 2A 55 55 AA 55 A0", DataDirection::Out, 65536},
    {"ProgramRomType1", [](auto& c) { return c.ProgramRom(kPath, g_buffer, 1024, 1); },
     "FF 04 02 55 05 AA 02 55 05 AA 55 A0", DataDirection::Out, 1024},
    {"ProgramRomType2", [](auto& c) { return c.ProgramRom(kPath, g_buffer, 1024, 2); },
     "FF 04 02 55 55 AA 2A 55 55 AA 55 A0", DataDirection::Out, 1024},
    {"ProgramRomUnknownType", [](auto& c) { return c.ProgramRom(kPath, g_buffer, 1024, 5); },
     "FF 04 02 00 00 00 00 00 00 00 00 00", DataDirection::Out, 1024},
};

class WireFormat : public VendorTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(WireFormat, SendsOneCommandWithExactCdbDirectionAndLength) {
    const WireCase& c = GetParam();
    EXPECT_EQ(c.send(commands), c.onEmptyGoodAnswer);
    ASSERT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(Hex(device.sent[0].cdb), c.cdb);
    EXPECT_EQ(device.sent[0].direction, c.direction);
    EXPECT_EQ(device.sent[0].length, c.length);
    EXPECT_EQ(device.sent[0].path, kPath);
}

TEST_P(WireFormat, RefusedCommandIsReportedAsFailure) {
    const WireCase& c = GetParam();
    device.SetHandler([](const SentCommand&) { return Reply{.scsiStatus = 0x02}; });
    EXPECT_EQ(c.send(commands), c.onRefusal);
}

// One byte short, with GOOD status: fatal only where the bytes become flash
// contents the program writes back, merges or compares; an identification
// reply may be shorter than its buffer. The trace shows both lengths.
TEST_P(WireFormat, AShortGoodReplyFailsOnlyAFlashOrRomRead) {
    const WireCase& c = GetParam();
    if (c.length == 0) return;
    struct Traced : TraceSink {
        std::vector<TraceRecord> records;
        void Record(const TraceRecord& r) override { records.push_back(r); }
    } trace;
    transport.SetTrace(&trace);
    device.SetHandler([](const SentCommand& s) {
        return Reply{.transferred = static_cast<int64_t>(s.length) - 1};
    });
    const std::string name = c.name;
    const bool whole = name == "ReadFlash" || name == "ReadFlashExt" || name == "ReadRom";
    EXPECT_EQ(c.send(commands), whole ? 0 : c.onEmptyGoodAnswer);
    ASSERT_EQ(trace.records.size(), 1u);
    EXPECT_EQ(trace.records[0].ok, !whole);
    EXPECT_EQ(trace.records[0].transferred + 1, c.length);
    if (whole) {
        EXPECT_NE(trace.records[0].error.find("short reply: " + std::to_string(c.length - 1) +
                                              " of " + std::to_string(c.length)),
                  std::string::npos)
            << trace.records[0].error;
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, WireFormat, ::testing::ValuesIn(kWireCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VendorTest, RomEraseCyclesByFlashType) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10"},
        {1, "55 05 AA 02 55 05 55 05 AA 02 55 05 AA 55 80 AA 55 10"},
        {2, "55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10"},
        {3, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {-1, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
    };
    for (const auto& [type, block] : cases) {
        device.sent.clear();
        commands.PreEraseRom(kPath, type);
        ASSERT_EQ(device.sent.size(), 1u);
        EXPECT_EQ(Hex(device.sent[0].dataOut), block) << "type " << type;
    }
}

TEST_F(VendorTest, ReadChipInfoHandsBackTheTransferredLength) {
    device.SetHandler([](const SentCommand&) { return Reply{.data = {0xF4, 0xE7}, .transferred = 12}; });
    uint8_t record[16] = {};
    uint32_t received = 0;
    ASSERT_EQ(commands.ReadChipInfo(kPath, record, 16, &received), 1);
    EXPECT_EQ(received, 12u);
    EXPECT_EQ(record[0], 0xF4);
}

// Replies to the second probe command; the first carries no data.
struct AmicCase {
    const char* reply;
    int32_t code;
};
class AmicProbe : public VendorTest, public ::testing::WithParamInterface<AmicCase> {};

TEST_P(AmicProbe, MapsTheJedecReply) {
    const auto reply = FromHex(GetParam().reply);
    device.SetHandler([reply](const SentCommand& sent) {
        return sent.cdb[2] == 0x21 ? Reply{.data = reply} : Reply{};
    });
    EXPECT_EQ(commands.DetectAmicFlash(kPath), GetParam().code);
    ASSERT_EQ(device.sent.size(), 2u);
    EXPECT_EQ(Hex(device.sent[0].cdb), "FF 04 20 01 01 9F 00 00 00 00 00 00");
    EXPECT_EQ(device.sent[0].direction, DataDirection::In);
    EXPECT_EQ(device.sent[0].length, 0u);
    EXPECT_EQ(Hex(device.sent[1].cdb), "FF 04 21 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(device.sent[1].direction, DataDirection::In);
    EXPECT_EQ(device.sent[1].length, 4u);
}

INSTANTIATE_TEST_SUITE_P(Replies, AmicProbe,
                         ::testing::Values(AmicCase{"7F 37 20 12", 1}, AmicCase{"7F 37 20 11", 3},
                                           AmicCase{"7F 37 20 20", 4}, AmicCase{"7F 37 20 10", 5},
                                           AmicCase{"7F 37 20 21", -1}, AmicCase{"7F 37 20 22", -1},
                                           AmicCase{"7F 37 30 12", -1}, AmicCase{"7F 38 20 12", -1},
                                           AmicCase{"7E 37 20 12", -1},
                                           // a short answer leaves the cleared buffer
                                           AmicCase{"7F 37", -1}));

TEST_F(VendorTest, AmicProbeFailures) {
    // A refused select stops the probe before the reply is asked for.
    device.SetHandler([](const SentCommand&) { return Reply{.delivered = false}; });
    EXPECT_EQ(commands.DetectAmicFlash(kPath), -1);
    EXPECT_EQ(device.sent.size(), 1u);

    device.sent.clear();
    device.SetHandler([](const SentCommand& sent) {
        return sent.cdb[2] == 0x21 ? Reply{.osError = 5, .data = FromHex("7F 37 20 12")} : Reply{};
    });
    EXPECT_EQ(commands.DetectAmicFlash(kPath), -1);
    EXPECT_EQ(device.sent.size(), 2u);
}

// Bridge-memory tests: the reply's bytes 1 and 2 decide; a refusal is "no".
struct XdataCase {
    const char* reply;
    bool delivered;
    int lateRevision;
    int blockMode;
};
class XdataTests : public VendorTest, public ::testing::WithParamInterface<XdataCase> {};

TEST_P(XdataTests, DeriveTheirResult) {
    const auto c = GetParam();
    const auto reply = FromHex(c.reply);
    device.SetHandler([&](const SentCommand&) {
        return c.delivered ? Reply{.data = reply} : Reply{.scsiStatus = 2, .data = reply};
    });
    EXPECT_EQ(commands.IsLateRevision(kPath), c.lateRevision);
    EXPECT_EQ(commands.IsBlockUpdateMode(kPath), c.blockMode);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, XdataTests,
    ::testing::Values(XdataCase{"00 B3 00 00", true, 0, 0}, XdataCase{"00 B4 00 00", true, 1, 0},
                      XdataCase{"00 FF 01 00", true, 1, 0}, XdataCase{"00 00 01 00", true, 0, 1},
                      XdataCase{"00 00 02 00", true, 0, 0}, XdataCase{"00 01 01 00", true, 0, 0},
                      XdataCase{"00 B4 01 00", false, 0, 0},
                      XdataCase{"00 00 01 00", false, 0, 0},
                      // no data at all: the reply buffer starts cleared
                      XdataCase{"", true, 0, 0}));

TEST_F(VendorTest, RomBusyStatus) {
    const std::pair<uint8_t, int> cases[] = {{0x01, 1}, {0x00, 0}, {0x02, 0}, {0xFF, 0}, {0x81, 0}};
    for (const auto& [status, busy] : cases) {
        device.SetHandler([status](const SentCommand&) { return Reply{.data = {status, 0x01}}; });
        EXPECT_EQ(commands.IsRomBusy(kPath), busy) << "status " << int(status);
    }
    device.FailOpens(true);
    EXPECT_EQ(commands.IsRomBusy(kPath), 1) << "a vanished device keeps a poller polling";
}

// The ready-wait: the first read and at most 502 re-reads, 10 ms apart. A
// status read that fails counts as busy.
struct WaitCase {
    const char* name;
    int busyReads;       // reads that answer busy (0xFD) before 0xFE
    bool refused;        // every status read fails
    int ready;
    size_t minReads, maxReads;
    bool empty = false;  // every status read is GOOD without its byte
};
class ReadyWait : public VendorTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(ReadyWait, IsBounded) {
    const auto c = GetParam();
    device.SetHandler([this, c](const SentCommand& sent) {
        EXPECT_EQ(Hex(sent.cdb), "FF 04 12 00 00 00 00 00 00 00 00 00");
        if (c.refused) return Reply{.scsiStatus = 0x02, .data = {0x00}};
        if (c.empty) return Reply{.transferred = 0};
        const int n = static_cast<int>(device.sent.size());
        return Reply{.data = {static_cast<uint8_t>(n <= c.busyReads ? 0xFD : 0xFE)}};
    });
    EXPECT_EQ(WaitFlashReady(commands, clock, kPath), c.ready);
    EXPECT_GE(device.sent.size(), c.minReads);
    EXPECT_LE(device.sent.size(), c.maxReads);
    EXPECT_EQ(clock.NowMicros(), (device.sent.size() - 1) * 10000u) << "10 ms before each re-read";
}

INSTANTIATE_TEST_SUITE_P(
    Devices, ReadyWait,
    ::testing::Values(WaitCase{"ReadyAtOnce", 0, false, 1, 1, 1},
                      WaitCase{"ReadyAtReread500", 500, false, 1, 501, 501},
                      WaitCase{"ReadyAtReread501IsTooLate", 501, false, 0, 502, 502},
                      WaitCase{"StuckBusy", 1 << 30, false, 0, 501, 503},
                      WaitCase{"StatusRefused", 0, true, 0, 501, 503},
                      WaitCase{"StatusWithoutItsByte", 0, false, 0, 501, 503, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Busy for three reads, then unplugged: the read that finds no device ends
// the wait, with no more polls and no more sleeping.
TEST_F(VendorTest, ReadyWaitOnAVanishedDeviceEndsAtOnce) {
    device.SetHandler([this](const SentCommand&) {
        if (device.sent.size() == 3) device.FailOpens(true);
        return Reply{.data = {0x01}};
    });
    EXPECT_EQ(WaitFlashReady(commands, clock, kPath), 0);
    EXPECT_EQ(device.opens, 4);
    EXPECT_EQ(clock.NowMicros(), 30000u);
}

}  // namespace
}  // namespace qks
