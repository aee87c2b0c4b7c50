// SgPassThrough against an emulated /dev/sgN: what reaches the SG_IO
// request for each command, and what the answer turns into. The transport
// above it is the real one, so the short-transfer rule and the timeouts are
// checked where they meet the kernel's request layout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <scsi/sg.h>

#include <cerrno>
#include <memory>

#include "device/clock.h"
#include "device/transport.h"
#include "platform/linux/sg_pass_through.h"
#include "umockdev_bed.h"

namespace qks {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using test::SgReply;
using test::SgRequest;
using test::Testbed;

const std::vector<uint8_t> kInquiry = {0x12, 0, 0, 0, 36, 0};
const std::vector<uint8_t> kVendorRead = {0xFF, 0x04, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kVendorWrite = {0xFF, 0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kChipErase = {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0};

class SgPassThroughTest : public ::testing::Test {
protected:
    void SetUp() override {
        QKS_REQUIRE_UMOCKDEV();
        bed = std::make_unique<Testbed>();
        const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
        const std::string intf = usb + "/1-1:1.0";
        const std::string scsi = test::ScsiDevicePath(intf, 6, 0, 0);
        bed->Add(test::UsbDeviceRecord(usb, 0x152d, 0x0578, "TAVREL0001") +
                 test::UsbInterfaceRecord(intf, "usb-storage") +
                 test::ScsiDeviceRecord(scsi, 0) + test::SgRecord(scsi, 2) +
                 test::BlockRecord(scsi, "sdb", 120));
    }

    void Answer(Testbed::SgHandler handler) { bed->EmulateSg("/dev/sg2", std::move(handler)); }

    ScsiOutcome Run(OpenMode mode, const std::vector<uint8_t>& cdb, DataDirection direction,
                    uint8_t* data, uint32_t length, uint32_t seconds) {
        OpenResult opened = passThrough.Open("/dev/sg2", mode);
        EXPECT_NE(opened.handle, nullptr) << opened.diagnostic;
        if (!opened.handle) return {};
        ScsiCommand command;
        command.cdb = cdb.data();
        command.cdbLength = static_cast<uint8_t>(cdb.size());
        command.direction = direction;
        command.data = data;
        command.length = length;
        command.timeoutSeconds = seconds;
        return opened.handle->Execute(command);
    }

    std::unique_ptr<Testbed> bed;
    SgPassThrough passThrough;
};

TEST_F(SgPassThroughTest, DataInReachesTheDeviceAndTheReplyTheCaller) {
    Answer([](const SgRequest&) {
        SgReply reply;
        reply.dataIn = {0x00, 0x80, 0x02, 0x02, 0x1F, 'T', 'A', 'V'};
        reply.resid = 28;
        return reply;
    });
    std::vector<uint8_t> buffer(36, 0xEE);
    const ScsiOutcome outcome =
        Run(OpenMode::Shared, kInquiry, DataDirection::In, buffer.data(), 36, 20);

    EXPECT_TRUE(outcome.Good()) << outcome.diagnostic;
    EXPECT_EQ(outcome.transferred, 8u);
    EXPECT_EQ(buffer[1], 0x80);
    EXPECT_EQ(buffer[7], 'V');
    const auto seen = bed->SgRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].interfaceId, 'S');
    EXPECT_EQ(seen[0].direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(seen[0].length, 36u);
    EXPECT_EQ(seen[0].timeoutMillis, 20000u);
    EXPECT_EQ(seen[0].senseCapacity, 32u);
    EXPECT_THAT(seen[0].cdb, ElementsAreArray(kInquiry));
}

TEST_F(SgPassThroughTest, DataOutSendsTheCallersBytes) {
    Answer([](const SgRequest&) { return SgReply{}; });
    std::vector<uint8_t> block = {1, 2, 3, 4, 5, 6, 7, 8};
    const ScsiOutcome outcome =
        Run(OpenMode::Exclusive, kVendorWrite, DataDirection::Out, block.data(), 8, 10);
    EXPECT_TRUE(outcome.Good()) << outcome.diagnostic;
    EXPECT_EQ(outcome.transferred, 8u);
    const auto seen = bed->SgRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(seen[0].timeoutMillis, 10000u);
    EXPECT_THAT(seen[0].dataOut, ElementsAreArray(block));
}

TEST_F(SgPassThroughTest, CheckConditionBringsTheSenseAndItsMeaning) {
    Answer([](const SgRequest&) {
        SgReply reply;
        reply.status = 0x02;
        reply.driverStatus = 0x08;
        reply.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00, 0, 0, 0, 0};
        reply.resid = 36;
        return reply;
    });
    std::vector<uint8_t> buffer(36);
    const ScsiOutcome outcome =
        Run(OpenMode::Shared, kVendorRead, DataDirection::In, buffer.data(), 36, 20);
    EXPECT_TRUE(outcome.delivered);
    EXPECT_FALSE(outcome.Good());
    EXPECT_EQ(outcome.scsiStatus, 0x02);
    EXPECT_EQ(outcome.driverStatus, 0) << "sense-valid is not a driver failure";
    EXPECT_EQ(outcome.transferred, 0u);
    ASSERT_EQ(outcome.sense.size(), 18u);
    EXPECT_EQ(outcome.sense[12], 0x24);
    EXPECT_THAT(outcome.diagnostic,
                AllOf(HasSubstr("Illegal Request"), HasSubstr("Invalid field in cdb")));
}

TEST_F(SgPassThroughTest, TransferOverTheHostLimitIsReportedWithTheLimit) {
    Answer([](const SgRequest& request) {
        SgReply reply;
        if (request.length > 120 * 1024) reply.error = EINVAL;
        return reply;
    });
    std::vector<uint8_t> buffer(256 * 1024);
    const ScsiOutcome outcome = Run(OpenMode::Shared, kVendorRead, DataDirection::In,
                                    buffer.data(), static_cast<uint32_t>(buffer.size()), 20);
    EXPECT_FALSE(outcome.delivered);
    EXPECT_EQ(outcome.osError, EINVAL);
    EXPECT_THAT(outcome.diagnostic,
                AllOf(HasSubstr("/dev/sg2"), HasSubstr("exceeds the host's limit of 122880")));
}

TEST_F(SgPassThroughTest, DeviceGoneDuringTheCommandIsAnOsError) {
    Answer([](const SgRequest&) {
        SgReply reply;
        reply.error = ENODEV;
        return reply;
    });
    uint8_t byte[2];
    const ScsiOutcome outcome =
        Run(OpenMode::Shared, kVendorRead, DataDirection::In, byte, 2, 20);
    EXPECT_FALSE(outcome.Good());
    EXPECT_EQ(outcome.osError, ENODEV);
}

TEST_F(SgPassThroughTest, NoCommandIsSentWithoutACdbOrWithAMissingBuffer) {
    Answer([](const SgRequest&) { return SgReply{}; });
    OpenResult opened = passThrough.Open("/dev/sg2", OpenMode::Shared);
    ASSERT_NE(opened.handle, nullptr);
    ScsiCommand noCdb;
    EXPECT_FALSE(opened.handle->Execute(noCdb).Good());
    ScsiCommand noBuffer;
    noBuffer.cdb = kVendorRead.data();
    noBuffer.cdbLength = 12;
    noBuffer.length = 16;
    EXPECT_FALSE(opened.handle->Execute(noBuffer).Good());
    EXPECT_TRUE(bed->SgRequests().empty());
}

// The core's transport on top: its rules must come out as SG_IO fields.
TEST_F(SgPassThroughTest, TransportShortTransfersAndTimeoutsReachTheRequest) {
    Answer([](const SgRequest& request) {
        SgReply reply;
        if (request.direction == SG_DXFER_FROM_DEV) reply.dataIn = {0x5A, 0xA5};
        return reply;
    });
    VirtualClock clock;
    Transport transport(passThrough, clock);
    uint8_t one = 0;
    uint32_t transferred = 0;
    ASSERT_EQ(transport.ScsiTransferIn("/dev/sg2", kVendorRead.data(), 12, &one, 1,
                                       &transferred),
              1)
        << transport.LastFailure().Describe();
    EXPECT_EQ(one, 0x5A);
    EXPECT_EQ(transferred, 2u);
    const uint8_t outByte = 0xC3;
    ASSERT_EQ(transport.ScsiTransferOut("/dev/sg2", kVendorWrite.data(), 12, &outByte, 1,
                                        &transferred),
              1);
    ASSERT_EQ(transport.ScsiTransferOut("/dev/sg2", kChipErase.data(), 12, nullptr, 0,
                                        &transferred),
              1);

    const auto seen = bed->SgRequests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].length, 2u) << "one byte is asked for as two";
    EXPECT_EQ(seen[0].timeoutMillis, 20000u);
    EXPECT_EQ(seen[1].direction, SG_DXFER_TO_DEV);
    EXPECT_THAT(seen[1].dataOut, ElementsAre(0xC3, 0x00));
    EXPECT_EQ(seen[1].timeoutMillis, 10000u);
    EXPECT_EQ(seen[2].direction, SG_DXFER_NONE);
    EXPECT_EQ(seen[2].length, 0u);
    EXPECT_TRUE(seen[2].dataPointerNull);
    EXPECT_EQ(seen[2].timeoutMillis, 100000u) << "the whole-chip erase gets 100 s";
}

}  // namespace
}  // namespace qks
