// The pass-through record as the driver reads it, and how its answer
// becomes an outcome: no device needed.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "platform/windows/sptd_request.h"

namespace qks::win {
namespace {

constexpr uint8_t kCdb[12] = {0xFF, 0x00, 0x20, 0x01, 0x02, 0x03, 0, 0, 0, 0, 0, 0x5A};

ScsiCommand Command(DataDirection direction, uint8_t* data, uint32_t length, uint32_t timeout) {
    ScsiCommand command;
    command.cdb = kCdb;
    command.cdbLength = sizeof kCdb;
    command.direction = direction;
    command.data = data;
    command.length = length;
    command.timeoutSeconds = timeout;
    return command;
}

// Garbage first: every field the driver reads must be set, not inherited.
SptdWithSense Filled(const ScsiCommand& command) {
    SptdWithSense request;
    std::memset(&request, 0xCC, sizeof request);
    FillPassThroughRequest(request, command);
    return request;
}

TEST(PassThroughRecord, HasTheThirtyTwoBitLayout) {
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), 44u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, Length), 0u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus), 2u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId), 3u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId), 4u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun), 5u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength), 6u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength), 7u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn), 8u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength), 12u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue), 16u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer), 20u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset), 24u);
    EXPECT_EQ(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb), 28u);
    EXPECT_EQ(offsetof(SptdWithSense, sense), 48u);
    EXPECT_EQ(sizeof(SptdWithSense), 80u);
    EXPECT_EQ(IOCTL_SCSI_PASS_THROUGH_DIRECT, 0x4D014u);
}

TEST(PassThroughRecord, DataInCommand) {
    uint8_t buffer[512];
    const SptdWithSense request = Filled(Command(DataDirection::In, buffer, sizeof buffer, 20));
    const SCSI_PASS_THROUGH_DIRECT& r = request.record;
    EXPECT_EQ(r.Length, 44);
    EXPECT_EQ(r.PathId, 0);
    EXPECT_EQ(r.TargetId, 1);
    EXPECT_EQ(r.Lun, 0);
    EXPECT_EQ(r.CdbLength, 12);
    EXPECT_EQ(r.SenseInfoLength, 32);
    EXPECT_EQ(r.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(r.DataIn, 1);
    EXPECT_EQ(r.DataTransferLength, 512u);
    EXPECT_EQ(r.TimeOutValue, 20u);
    EXPECT_EQ(r.DataBuffer, buffer);
    EXPECT_EQ(r.SenseInfoOffset, 48u);
    EXPECT_EQ(0, std::memcmp(r.Cdb, kCdb, sizeof kCdb));
    for (size_t i = sizeof kCdb; i < sizeof r.Cdb; ++i) EXPECT_EQ(r.Cdb[i], 0) << "CDB byte " << i;
    for (uint8_t byte : request.sense) EXPECT_EQ(byte, 0);
}

TEST(PassThroughRecord, DataOutCommand) {
    uint8_t buffer[8192];
    const SptdWithSense request = Filled(Command(DataDirection::Out, buffer, sizeof buffer, 100));
    const SCSI_PASS_THROUGH_DIRECT& r = request.record;
    EXPECT_EQ(r.Length, 44);
    EXPECT_EQ(r.PathId, 0);
    EXPECT_EQ(r.TargetId, 1);
    EXPECT_EQ(r.Lun, 0);
    EXPECT_EQ(r.CdbLength, 12);
    EXPECT_EQ(r.SenseInfoLength, 32);
    EXPECT_EQ(r.DataIn, SCSI_IOCTL_DATA_OUT);
    EXPECT_EQ(r.DataIn, 0);
    EXPECT_EQ(r.DataTransferLength, 8192u);
    EXPECT_EQ(r.TimeOutValue, 100u);
    EXPECT_EQ(r.DataBuffer, buffer);
    EXPECT_EQ(r.SenseInfoOffset, 48u);
    EXPECT_EQ(0, std::memcmp(r.Cdb, kCdb, sizeof kCdb));
}

TEST(PassThroughRecord, EmptyTransferKeepsItsBufferAndDirection) {
    uint8_t scratch[4];
    const SptdWithSense request = Filled(Command(DataDirection::Out, scratch, 0, 10));
    EXPECT_EQ(request.record.DataTransferLength, 0u);
    EXPECT_EQ(request.record.DataBuffer, scratch);
    EXPECT_EQ(request.record.DataIn, SCSI_IOCTL_DATA_OUT);
    EXPECT_EQ(request.record.TimeOutValue, 10u);
}

TEST(PassThroughRecord, CdbIsCutAtTheRecordsSixteenBytes) {
    uint8_t cdb[20];
    for (uint8_t i = 0; i < sizeof cdb; ++i) cdb[i] = static_cast<uint8_t>(i + 1);
    ScsiCommand command = Command(DataDirection::In, nullptr, 0, 20);
    command.cdb = cdb;
    command.cdbLength = sizeof cdb;
    const SptdWithSense request = Filled(command);
    EXPECT_EQ(request.record.CdbLength, 16);
    EXPECT_EQ(0, std::memcmp(request.record.Cdb, cdb, 16));
    EXPECT_EQ(request.record.SenseInfoOffset, 48u);   // nothing spilled past the CDB
}

// ---- what the driver's answer means ----

SptdWithSense Answered(UCHAR status, ULONG transferred, std::initializer_list<UCHAR> sense = {}) {
    SptdWithSense request = Filled(Command(DataDirection::In, nullptr, 64, 20));
    request.record.ScsiStatus = status;
    request.record.DataTransferLength = transferred;
    request.record.SenseInfoLength = static_cast<UCHAR>(sense.size());
    std::copy(sense.begin(), sense.end(), request.sense);
    return request;
}

TEST(PassThroughOutcome, GoodStatusIsSuccessWithTheDriversLength) {
    const ScsiOutcome outcome = OutcomeFromPassThrough(TRUE, 0, Answered(0, 40));
    EXPECT_TRUE(outcome.Good());
    EXPECT_EQ(outcome.transferred, 40u);
    EXPECT_TRUE(outcome.sense.empty());
    EXPECT_TRUE(outcome.diagnostic.empty());
}

TEST(PassThroughOutcome, CheckConditionFailsAndBringsItsSense) {
    const ScsiOutcome outcome = OutcomeFromPassThrough(
        TRUE, 0, Answered(kScsiStatusCheckCondition, 0, {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00}));
    EXPECT_FALSE(outcome.Good());
    EXPECT_TRUE(outcome.delivered);
    EXPECT_EQ(outcome.scsiStatus, 0x02);
    ASSERT_EQ(outcome.sense.size(), 14u);
    EXPECT_EQ(outcome.sense[2], 0x05);
    EXPECT_EQ(outcome.sense[12], 0x24);
    EXPECT_NE(outcome.diagnostic.find("CHECK CONDITION"), std::string::npos) << outcome.diagnostic;
}

TEST(PassThroughOutcome, SenseLengthBeyondTheBufferIsCut) {
    SptdWithSense request = Answered(kScsiStatusCheckCondition, 0);
    request.record.SenseInfoLength = 200;
    EXPECT_EQ(OutcomeFromPassThrough(TRUE, 0, request).sense.size(), 32u);
}

TEST(PassThroughOutcome, BusyStatusFailsWithoutSense) {
    const ScsiOutcome outcome = OutcomeFromPassThrough(TRUE, 0, Answered(0x08, 0));
    EXPECT_FALSE(outcome.Good());
    EXPECT_TRUE(outcome.sense.empty());
    EXPECT_NE(outcome.diagnostic.find("BUSY"), std::string::npos);
}

TEST(PassThroughOutcome, SuccessWithALastErrorCountsAsFailure) {
    const ScsiOutcome outcome = OutcomeFromPassThrough(TRUE, ERROR_IO_DEVICE, Answered(0, 64));
    EXPECT_FALSE(outcome.Good());
    EXPECT_TRUE(outcome.delivered);
    EXPECT_EQ(outcome.osError, static_cast<int>(ERROR_IO_DEVICE));
    EXPECT_EQ(outcome.transferred, 64u);
}

TEST(PassThroughOutcome, FailedCallStillReportsTheLengthAndAnError) {
    ScsiOutcome outcome = OutcomeFromPassThrough(FALSE, ERROR_DEVICE_NOT_CONNECTED, Answered(0, 12));
    EXPECT_FALSE(outcome.delivered);
    EXPECT_FALSE(outcome.Good());
    EXPECT_EQ(outcome.transferred, 12u);
    EXPECT_NE(outcome.diagnostic.find("went away"), std::string::npos) << outcome.diagnostic;
    // A failure that set no error is a failure all the same.
    outcome = OutcomeFromPassThrough(FALSE, 0, Answered(0, 0));
    EXPECT_FALSE(outcome.Good());
    EXPECT_NE(outcome.osError, 0);
}

// Gone is this back-end's verdict from its own codes; 19 (write protect),
// the number Linux uses for ENODEV, is no unplug here.
TEST(PassThroughOutcome, GoneOnlyForTheCodesOfAnUnpluggedDevice) {
    const std::pair<DWORD, bool> cases[] = {
        {ERROR_DEVICE_NOT_CONNECTED, true}, {433, true}, {ERROR_DEV_NOT_EXIST, true},
        {ERROR_WRITE_PROTECT, false},       {ERROR_IO_DEVICE, false}, {ERROR_INVALID_PARAMETER, false}};
    for (const auto& [error, gone] : cases)
        EXPECT_EQ(OutcomeFromPassThrough(FALSE, error, Answered(0, 0)).deviceGone, gone)
            << "error " << error;
    EXPECT_EQ(OpenFailureFromWin32(433), OpenFailure::NotFound);
}

// ---- opening ----

TEST(PassThroughOpen, DataInSharesAndDataOutHoldsTheDeviceAlone) {
    EXPECT_EQ(ShareModeFor(OpenMode::Shared), static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(ShareModeFor(OpenMode::Exclusive), 0u);
}

TEST(PassThroughOpen, ErrorsBecomeFailuresTheUserCanActOn) {
    EXPECT_EQ(OpenFailureFromWin32(ERROR_FILE_NOT_FOUND), OpenFailure::NotFound);
    EXPECT_EQ(OpenFailureFromWin32(ERROR_PATH_NOT_FOUND), OpenFailure::NotFound);
    EXPECT_EQ(OpenFailureFromWin32(ERROR_DEVICE_NOT_CONNECTED), OpenFailure::NotFound);
    EXPECT_EQ(OpenFailureFromWin32(ERROR_ACCESS_DENIED), OpenFailure::AccessDenied);
    EXPECT_EQ(OpenFailureFromWin32(ERROR_SHARING_VIOLATION), OpenFailure::Busy);
    EXPECT_EQ(OpenFailureFromWin32(ERROR_INVALID_PARAMETER), OpenFailure::Other);

    const std::string denied = OpenFailureDiagnostic("\\\\?\\usbstor#disk", ERROR_ACCESS_DENIED);
    EXPECT_NE(denied.find("\\\\?\\usbstor#disk"), std::string::npos);
    EXPECT_NE(denied.find("Run as administrator"), std::string::npos) << denied;
    const std::string busy = OpenFailureDiagnostic("p", ERROR_SHARING_VIOLATION);
    EXPECT_NE(busy.find("another program"), std::string::npos) << busy;
}

}  // namespace
}  // namespace qks::win
