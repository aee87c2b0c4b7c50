// The transport is where every byte to the bridge passes: the short-transfer
// rule, the timeouts and the open modes must hold for every command.

// Replies are written with designated initializers; omitted members keep
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device/transport.h"
#include "support/test_support.h"

namespace qks {
namespace {

using test::FromHex;
using test::Reply;
using test::ScriptedPassThrough;
using test::SentCommand;

const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel#0001";
const std::vector<uint8_t> kReadCdb = FromHex("FF 04 10 00 00 00 00 00 00 00 00 00");
const std::vector<uint8_t> kWriteCdb = FromHex("FF 04 11 00 00 00 00 00 00 00 00 00");

class TransportTest : public ::testing::Test {
protected:
    ScriptedPassThrough device;
    VirtualClock clock;
    Transport transport{device, clock};
};

// Lengths 0-3 travel through the scratch buffer, 4 and more in place.
struct ShortCase {
    uint32_t length;
    uint32_t sentLength;
};
class ShortTransfers : public TransportTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortTransfers, DataInDeliversExactlyTheCallersLength) {
    const auto [length, sentLength] = GetParam();
    device.SetHandler([](const SentCommand&) { return Reply{.data = {1, 2, 3, 4, 5, 6}}; });
    std::vector<uint8_t> buffer(8, 0xEE);
    uint32_t transferred = 0;
    ASSERT_EQ(transport.ScsiTransferIn(kPath, kReadCdb.data(), 12,
                                       length ? buffer.data() : nullptr, length, &transferred),
              1);
    ASSERT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(device.sent[0].length, sentLength);
    EXPECT_FALSE(device.sent[0].bufferWasNull) << "short transfers still carry a buffer";
    for (uint32_t i = 0; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], i < length ? i + 1 : 0xEE) << "byte " << i;
}

TEST_P(ShortTransfers, DataOutSendsTheCallersBytesPaddedWithZeros) {
    const auto [length, sentLength] = GetParam();
    const std::vector<uint8_t> data = {0x91, 0x92, 0x93, 0x94, 0x95};
    uint32_t transferred = 0;
    ASSERT_EQ(transport.ScsiTransferOut(kPath, kWriteCdb.data(), 12,
                                        length ? data.data() : nullptr, length, &transferred),
              1);
    ASSERT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(device.sent[0].length, sentLength);
    std::vector<uint8_t> expected(data.begin(), data.begin() + std::min(length, sentLength));
    expected.resize(sentLength, 0x00);
    EXPECT_EQ(device.sent[0].dataOut, expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ShortTransfers,
                         ::testing::Values(ShortCase{0, 0}, ShortCase{1, 2}, ShortCase{2, 2},
                                           ShortCase{3, 3}, ShortCase{4, 4}, ShortCase{5, 5}));

TEST_F(TransportTest, DataOutScratchIsClearedBetweenCalls) {
    const uint8_t first[3] = {0xAA, 0xBB, 0xCC};
    const uint8_t second = 0x01;
    uint32_t transferred = 0;
    transport.ScsiTransferOut(kPath, kWriteCdb.data(), 12, first, 3, &transferred);
    transport.ScsiTransferOut(kPath, kWriteCdb.data(), 12, &second, 1, &transferred);
    ASSERT_EQ(device.sent.size(), 2u);
    EXPECT_EQ(device.sent[1].dataOut, (std::vector<uint8_t>{0x01, 0x00}));
}

struct TimeoutCase {
    DataDirection direction;
    uint8_t byte0;
    uint8_t byte2;
    uint32_t seconds;
};
class Timeouts : public TransportTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(Timeouts, OnlyCdbByteTwoOfADataOutChoosesTheLongTimeout) {
    const auto c = GetParam();
    std::vector<uint8_t> cdb(12, 0);
    cdb[0] = c.byte0;
    cdb[1] = 0x04;
    cdb[2] = c.byte2;
    uint8_t data[4] = {};
    uint32_t transferred = 0;
    if (c.direction == DataDirection::In)
        transport.ScsiTransferIn(kPath, cdb.data(), 12, data, 4, &transferred);
    else
        transport.ScsiTransferOut(kPath, cdb.data(), 12, nullptr, 0, &transferred);
    ASSERT_EQ(device.sent.size(), 1u);
    EXPECT_EQ(device.sent[0].timeoutSeconds, c.seconds);
    EXPECT_EQ(device.sent[0].mode,
              c.direction == DataDirection::In ? OpenMode::Shared : OpenMode::Exclusive);
    EXPECT_EQ(device.sent[0].direction, c.direction);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Timeouts,
    ::testing::Values(TimeoutCase{DataDirection::Out, 0xFF, 0x13, 100},   // chip erase
                      TimeoutCase{DataDirection::Out, 0xDF, 0x13, 100},   // any opcode
                      TimeoutCase{DataDirection::Out, 0xFF, 0x14, 10},
                      TimeoutCase{DataDirection::Out, 0xFF, 0x11, 10},
                      TimeoutCase{DataDirection::In, 0xFF, 0x13, 20},
                      TimeoutCase{DataDirection::In, 0xFF, 0x10, 20}));

TEST_F(TransportTest, OpenFailureSendsNothingAndLeavesTransferredAlone) {
    device.FailOpens(true);
    uint8_t buffer[8] = {};
    uint32_t transferred = 12345;
    EXPECT_EQ(transport.ScsiTransferIn(kPath, kReadCdb.data(), 12, buffer, 8, &transferred), 0);
    EXPECT_EQ(transport.ScsiTransferOut(kPath, kWriteCdb.data(), 12, buffer, 8, &transferred), 0);
    EXPECT_EQ(transferred, 12345u);
    EXPECT_TRUE(device.sent.empty());
    EXPECT_EQ(device.opens, 2);
    EXPECT_TRUE(transport.LastFailure().any);
    EXPECT_TRUE(transport.LastFailure().openFailed);
    EXPECT_EQ(transport.LastFailure().path, kPath);
}

// Only a missing device at the latest command means "gone": a refused
// command, or a missing device some commands ago, does not.
TEST_F(TransportTest, KnowsWhenTheLatestCommandFoundNoDevice) {
    uint8_t buffer[8] = {};
    uint32_t transferred = 0;
    auto read = [&] { transport.ScsiTransferIn(kPath, kReadCdb.data(), 12, buffer, 8, &transferred); };
    EXPECT_FALSE(transport.LastCommandFoundNoDevice()) << "before any command";
    device.FailOpens(true);
    read();
    EXPECT_TRUE(transport.LastCommandFoundNoDevice());
    device.FailOpens(false);
    read();
    EXPECT_FALSE(transport.LastCommandFoundNoDevice()) << "the device answered again";
    device.SetHandler([](const SentCommand&) { return Reply{.scsiStatus = 0x02}; });
    read();
    EXPECT_FALSE(transport.LastCommandFoundNoDevice()) << "refused, but present";
}

// Each way a delivered command can still have failed; every one writes the
// transferred length and keeps the device's answer for the diagnostics.
struct FailureCase {
    const char* name;
    Reply reply;
};
class FailedCommands : public TransportTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedCommands, CountAsFailureAndKeepStatusAndSense) {
    const Reply scripted = GetParam().reply;
    device.SetHandler([scripted](const SentCommand&) { return scripted; });
    uint8_t buffer[16] = {};
    uint32_t transferred = 999;
    EXPECT_EQ(transport.ScsiTransferIn(kPath, kReadCdb.data(), 12, buffer, 16, &transferred), 0);
    EXPECT_EQ(transferred, static_cast<uint32_t>(scripted.transferred));
    const TransferFailure& failure = transport.LastFailure();
    EXPECT_TRUE(failure.any);
    EXPECT_FALSE(failure.openFailed);
    EXPECT_EQ(failure.scsiStatus, scripted.scsiStatus);
    EXPECT_EQ(failure.osError, scripted.osError);
    if (!scripted.sense.empty()) {
        EXPECT_EQ(failure.senseText, "ILLEGAL REQUEST, asc 0x24 ascq 0x00");
        EXPECT_NE(failure.Describe().find("ILLEGAL REQUEST"), std::string::npos);
    }
}

std::vector<uint8_t> IllegalFieldInCdb() {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = 0x05;
    sense[12] = 0x24;
    return sense;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FailedCommands,
    ::testing::Values(
        FailureCase{"NotDelivered", Reply{.delivered = false, .transferred = 0}},
        FailureCase{"DeliveredWithLastError", Reply{.osError = 31, .transferred = 16}},
        FailureCase{"CheckCondition",
                    Reply{.scsiStatus = 0x02, .transferred = 3, .sense = IllegalFieldInCdb()}}),
    [](const auto& info) { return std::string(info.param.name); });

// Sees the buffer the driver is handed, which the scripted device hides.
class BufferProbe : public PassThrough, public DeviceHandle {
public:
    OpenResult Open(const DevicePath&, OpenMode) override {
        return OpenResult{.handle = std::unique_ptr<DeviceHandle>(new Forward(*this))};
    }
    ScsiOutcome Execute(const ScsiCommand& command) override {
        seen.push_back(command.data);
        return ScsiOutcome{.delivered = true, .transferred = command.length};
    }
    std::vector<const uint8_t*> seen;

private:
    struct Forward : DeviceHandle {
        explicit Forward(BufferProbe& probe) : probe(probe) {}
        ScsiOutcome Execute(const ScsiCommand& command) override { return probe.Execute(command); }
        BufferProbe& probe;
    };
};

TEST(TransportBuffers, FourBytesAndMoreMoveInPlace) {
    BufferProbe probe;
    VirtualClock clock;
    Transport transport(probe, clock);
    std::vector<uint8_t> buffer(8192);
    uint32_t transferred = 0;
    transport.ScsiTransferIn(kPath, kReadCdb.data(), 12, buffer.data(), 3, &transferred);
    transport.ScsiTransferIn(kPath, kReadCdb.data(), 12, buffer.data(), 4, &transferred);
    transport.ScsiTransferOut(kPath, kWriteCdb.data(), 12, buffer.data(), 8192, &transferred);
    ASSERT_EQ(probe.seen.size(), 3u);
    EXPECT_NE(probe.seen[0], buffer.data());
    EXPECT_NE(probe.seen[0], nullptr);
    EXPECT_EQ(probe.seen[1], buffer.data());
    EXPECT_EQ(probe.seen[2], buffer.data());
}

TEST(DescribeSense, ReadsFixedAndDescriptorFormats) {
    std::vector<uint8_t> fixed(18, 0);
    fixed[0] = 0xF0;   // valid bit set
    fixed[2] = 0x02;
    fixed[12] = 0x04;
    fixed[13] = 0x01;
    EXPECT_EQ(DescribeSense(fixed), "NOT READY, asc 0x04 ascq 0x01");
    EXPECT_EQ(DescribeSense(FromHex("72 03 11 00 00 00 00 00")), "MEDIUM ERROR, asc 0x11 ascq 0x00");
    EXPECT_EQ(DescribeSense({}), "");
}

}  // namespace
}  // namespace qks
