// How one SG_IO request is laid out and how its answer becomes a
// ScsiOutcome. These fields decide whether a flash write counts as done, so
// each status the kernel can report is checked on its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/linux/sg_outcome.h"
#include "platform/linux/sg_pass_through.h"

namespace qks {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::vector<uint8_t> kIllegalOpcodeSense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0,
                                                  0,    0, 0,    0x20, 0x00, 0, 0, 0, 0};

// ---- request layout -------------------------------------------------------

struct LayoutCase {
    const char* name;
    DataDirection direction;
    uint32_t length;
    uint32_t seconds;
    int sgDirection;
    unsigned millis;
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class SgHeaderLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(SgHeaderLayout, CarriesDirectionLengthTimeoutAndSense) {
    const LayoutCase& c = GetParam();
    const uint8_t cdb[12] = {0xFF, 0x04, 0x10};
    std::vector<uint8_t> data(64, 0);
    uint8_t sense[kSgSenseBytes];
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = 12;
    command.direction = c.direction;
    command.data = data.data();
    command.length = c.length;
    command.timeoutSeconds = c.seconds;

    sg_io_hdr header;
    std::memset(&header, 0xA5, sizeof header);   // every field must be written
    FillSgHeader(header, command, sense, sizeof sense);

    EXPECT_EQ(header.interface_id, 'S');
    EXPECT_EQ(header.dxfer_direction, c.sgDirection);
    EXPECT_EQ(header.dxfer_len, c.length);
    EXPECT_EQ(header.timeout, c.millis);
    EXPECT_EQ(header.cmd_len, 12);
    EXPECT_EQ(header.cmdp, cdb);
    EXPECT_EQ(header.sbp, sense);
    EXPECT_EQ(header.mx_sb_len, kSgSenseBytes);
    EXPECT_EQ(header.flags, 0u) << "no direct or mmap I/O: plain indirect transfers";
    EXPECT_EQ(header.iovec_count, 0);
    const void* expected = c.length == 0 ? nullptr : data.data();
    EXPECT_EQ(header.dxferp, expected) << "an empty transfer carries no buffer";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SgHeaderLayout,
    ::testing::Values(
        LayoutCase{"DataIn", DataDirection::In, 36, 20, SG_DXFER_FROM_DEV, 20000},
        LayoutCase{"DataOut", DataDirection::Out, 8, 10, SG_DXFER_TO_DEV, 10000},
        LayoutCase{"ChipErase", DataDirection::Out, 2, 100, SG_DXFER_TO_DEV, 100000},
        LayoutCase{"EmptyIn", DataDirection::In, 0, 20, SG_DXFER_NONE, 20000},
        LayoutCase{"EmptyOut", DataDirection::Out, 0, 10, SG_DXFER_NONE, 10000},
        LayoutCase{"HugeTimeoutSaturates", DataDirection::In, 4, 5000000, SG_DXFER_FROM_DEV,
                   UINT_MAX}),
    [](const auto& info) { return std::string(info.param.name); });

// Ctrl+C while a command is in the bridge waits until the command is back:
// the call is neither interrupted nor restarted, and the signal still comes.
std::atomic<int> signalsSeen{0};
void CountSignal(int) { ++signalsSeen; }

TEST(SgSignals, ASignalDuringTheCommandArrivesAfterIt) {
    struct sigaction action {}, previous{};
    action.sa_handler = CountSignal;   // no SA_RESTART, as watch installs it
    sigaction(SIGUSR1, &action, &previous);
    signalsSeen = 0;
    const int seenInside = WithSignalsHeld([] {
        pthread_kill(pthread_self(), SIGUSR1);
        return signalsSeen.load();
    });
    EXPECT_EQ(seenInside, 0);
    EXPECT_EQ(signalsSeen, 1);
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(SgOpenFlags, ExclusiveOpensFailFastInsteadOfWaitingForOtherUsers) {
    const int shared = SgOpenFlags(OpenMode::Shared);
    const int exclusive = SgOpenFlags(OpenMode::Exclusive);
    EXPECT_EQ(shared & O_ACCMODE, O_RDWR);
    EXPECT_EQ(exclusive & O_ACCMODE, O_RDWR) << "sg refuses O_EXCL on a read-only open";
    EXPECT_FALSE(shared & O_EXCL);
    EXPECT_TRUE(exclusive & O_EXCL);
    // Without O_NONBLOCK an exclusive sg open sleeps until every other user
    // closes, which would hang the window instead of reporting Busy.
    EXPECT_TRUE(exclusive & O_NONBLOCK);
    EXPECT_TRUE(shared & O_NONBLOCK);
}

// ---- answer mapping -------------------------------------------------------

struct AnswerCase {
    const char* name;
    uint8_t status;
    uint16_t host;
    uint16_t driver;
    int resid;
    std::vector<uint8_t> sense;
    unsigned char senseWritten;   // sb_len_wr as the kernel reports it
    // expected
    bool good;
    uint8_t driverStatus;
    uint32_t transferred;
    size_t senseKept;
    std::vector<const char*> mentions;
};
void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class SgAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(SgAnswer, BecomesTheOutcome) {
    const AnswerCase& c = GetParam();
    uint8_t sense[kSgSenseBytes] = {};
    std::copy_n(c.sense.begin(), std::min(c.sense.size(), sizeof sense), sense);
    sg_io_hdr header{};
    header.interface_id = 'S';
    header.dxfer_len = 36;
    header.mx_sb_len = kSgSenseBytes;
    header.sbp = sense;
    header.status = c.status;
    header.host_status = c.host;
    header.driver_status = c.driver;
    header.resid = c.resid;
    header.sb_len_wr = c.senseWritten;

    const ScsiOutcome outcome = OutcomeFromSgHeader(header);
    EXPECT_TRUE(outcome.delivered);
    EXPECT_EQ(outcome.osError, 0);
    EXPECT_EQ(outcome.Good(), c.good);
    EXPECT_EQ(outcome.scsiStatus, c.status);
    EXPECT_EQ(outcome.hostStatus, c.host);
    EXPECT_EQ(outcome.driverStatus, c.driverStatus);
    EXPECT_EQ(outcome.transferred, c.transferred);
    ASSERT_EQ(outcome.sense.size(), c.senseKept);
    EXPECT_TRUE(std::equal(outcome.sense.begin(), outcome.sense.end(), sense));
    for (const char* text : c.mentions) EXPECT_THAT(outcome.diagnostic, HasSubstr(text));
    if (c.mentions.empty()) {
        EXPECT_EQ(outcome.diagnostic, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SgAnswer,
    ::testing::Values(
        AnswerCase{"Clean", 0, 0, 0, 0, {}, 0, true, 0, 36, 0, {}},
        AnswerCase{"ShortRead", 0, 0, 0, 12, {}, 0, true, 0, 24, 0,
                   {"short transfer: 24 of 36 bytes"}},
        AnswerCase{"NegativeResidIsNoOvercount", 0, 0, 0, -5, {}, 0, true, 0, 36, 0, {}},
        AnswerCase{"ResidBeyondRequest", 0, 0, 0, 100, {}, 0, true, 0, 0, 0,
                   {"short transfer: 0 of 36"}},
        AnswerCase{"CheckConditionWithSense", 0x02, 0, 0x08, 0, kIllegalOpcodeSense, 18,
                   false, 0, 36, 18,
                   {"Check Condition", "Illegal Request",
                    "Invalid command operation code", "sense valid"}},
        AnswerCase{"SenseClippedToTheBuffer", 0x02, 0, 0x08, 0, kIllegalOpcodeSense, 40,
                   false, 0, 36, kSgSenseBytes, {"Illegal Request"}},
        AnswerCase{"SenseValidAloneIsNoDriverFailure", 0, 0, 0x08, 0, kIllegalOpcodeSense,
                   18, true, 0, 36, 18, {"driver status 0x08 (sense valid)"}},
        AnswerCase{"HostTimeout", 0, 0x03, 0, 36, {}, 0, false, 0, 0, 0,
                   {"host status 0x03 (DID_TIME_OUT)"}},
        AnswerCase{"HostNoConnect", 0, 0x01, 0, 0, {}, 0, false, 0, 36, 0,
                   {"DID_NO_CONNECT"}},
        AnswerCase{"DriverTimeout", 0, 0, 0x06, 0, {}, 0, false, 0x06, 36, 0,
                   {"DRIVER_TIMEOUT"}},
        AnswerCase{"DriverErrorWithSense", 0x02, 0, 0x0C, 0, kIllegalOpcodeSense, 18,
                   false, 0x04, 36, 18, {"DRIVER_ERROR, sense valid"}},
        AnswerCase{"DriverSuggestionKept", 0, 0, 0x18, 0, {}, 0, false, 0x10, 36, 0,
                   {"SUGGEST_RETRY"}},
        AnswerCase{"ReservationConflict", 0x18, 0, 0, 0, {}, 0, false, 0, 36, 0,
                   {"Reservation Conflict"}},
        AnswerCase{"Busy", 0x08, 0, 0, 0, {}, 0, false, 0, 36, 0, {"Busy"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SgAnswerEdges, NoSenseBufferMeansNoSenseBytes) {
    sg_io_hdr header{};
    header.dxfer_len = 4;
    header.sbp = nullptr;
    header.mx_sb_len = 0;
    header.sb_len_wr = 18;   // a confused driver must not make us read anywhere
    const ScsiOutcome outcome = OutcomeFromSgHeader(header);
    EXPECT_TRUE(outcome.sense.empty());
    EXPECT_EQ(outcome.transferred, 4u);
}

TEST(SgAnswerEdges, EmptyTransferMovesNothing) {
    sg_io_hdr header{};
    header.dxfer_direction = SG_DXFER_NONE;
    header.dxfer_len = 0;
    header.resid = 0;
    EXPECT_EQ(OutcomeFromSgHeader(header).transferred, 0u);
}

// ---- failed ioctl ---------------------------------------------------------

struct IoctlCase {
    const char* name;
    int error;
    uint32_t length;
    uint32_t limit;
    int osError;
    std::vector<const char*> mentions;
    std::vector<const char*> absent;
};
void PrintTo(const IoctlCase& c, std::ostream* os) { *os << c.name; }

class SgIoctlFailure : public ::testing::TestWithParam<IoctlCase> {};

TEST_P(SgIoctlFailure, IsUndeliveredAndExplained) {
    const IoctlCase& c = GetParam();
    const ScsiOutcome outcome = OutcomeFromIoctlError(c.error, c.length, c.limit);
    EXPECT_FALSE(outcome.delivered);
    EXPECT_FALSE(outcome.Good());
    EXPECT_EQ(outcome.osError, c.osError);
    EXPECT_EQ(outcome.transferred, 0u);
    for (const char* text : c.mentions) EXPECT_THAT(outcome.diagnostic, HasSubstr(text));
    for (const char* text : c.absent) EXPECT_THAT(outcome.diagnostic, Not(HasSubstr(text)));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SgIoctlFailure,
    ::testing::Values(
        IoctlCase{"OverTheHostLimit", EINVAL, 262144, 122880, EINVAL,
                  {"Invalid argument", "262144 bytes exceeds the host's limit of 122880"},
                  {}},
        IoctlCase{"OutOfKernelMemoryOverLimit", ENOMEM, 1048576, 524288, ENOMEM,
                  {"exceeds the host's limit of 524288"}, {}},
        IoctlCase{"LimitUnknown", EINVAL, 262144, 0, EINVAL, {"could not be read"}, {}},
        IoctlCase{"WithinTheLimit", EINVAL, 4096, 122880, EINVAL,
                  {"the host's limit is 122880"}, {"exceeds"}},
        IoctlCase{"EmptyTransferIsNoSizeProblem", EINVAL, 0, 122880, EINVAL,
                  {"Invalid argument"}, {"limit"}},
        IoctlCase{"DeviceGone", ENODEV, 512, 0, ENODEV, {"went away"}, {"limit"}},
        IoctlCase{"NoErrnoStillFails", 0, 512, 0, EIO, {"SG_IO failed"}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Gone is this back-end's verdict from its own codes: the errnos of an
// unplugged node and the mid-layer's DID_NO_CONNECT; nothing else.
TEST(SgDeviceGone, OnlyTheCodesOfAnUnpluggedDevice) {
    for (const auto& [error, gone] :
         std::vector<std::pair<int, bool>>{{ENODEV, true}, {ENXIO, true}, {EIO, false},
                                           {EINVAL, false}, {EROFS, false}, {EINTR, false}})
        EXPECT_EQ(OutcomeFromIoctlError(error, 512, 0).deviceGone, gone) << "errno " << error;
    for (const auto& [host, gone] : std::vector<std::pair<uint16_t, bool>>{
             {0x00, false}, {0x01, true}, {0x03, false}, {0x07, false}}) {
        sg_io_hdr header{};
        header.host_status = host;
        EXPECT_EQ(OutcomeFromSgHeader(header).deviceGone, gone) << "host status " << host;
    }
}

// ---- open errors ----------------------------------------------------------

struct OpenCase {
    int error;
    OpenFailure failure;
};
void PrintTo(const OpenCase& c, std::ostream* os) { *os << "errno " << c.error; }

class OpenErrno : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenErrno, MapsToTheFailureTheUserCanActOn) {
    EXPECT_EQ(OpenFailureFromErrno(GetParam().error), GetParam().failure);
}

INSTANTIATE_TEST_SUITE_P(Errnos, OpenErrno,
                         ::testing::Values(OpenCase{0, OpenFailure::None},
                                           OpenCase{ENOENT, OpenFailure::NotFound},
                                           OpenCase{ENXIO, OpenFailure::NotFound},
                                           OpenCase{ENODEV, OpenFailure::NotFound},
                                           OpenCase{EACCES, OpenFailure::AccessDenied},
                                           OpenCase{EPERM, OpenFailure::AccessDenied},
                                           OpenCase{EBUSY, OpenFailure::Busy},
                                           OpenCase{EIO, OpenFailure::Other},
                                           OpenCase{EMFILE, OpenFailure::Other}));

TEST(OpenFailureText, BusyAndGoneNameTheNodeAndTheCause) {
    EXPECT_THAT(OpenFailureDiagnostic("/dev/sg4", EBUSY),
                ::testing::AllOf(HasSubstr("/dev/sg4"), HasSubstr("another program")));
    EXPECT_THAT(OpenFailureDiagnostic("/dev/sg4", ENXIO),
                ::testing::AllOf(HasSubstr("/dev/sg4"), HasSubstr("gone or offline")));
    EXPECT_THAT(OpenFailureDiagnostic("/dev/sg4", EMFILE),
                ::testing::AllOf(HasSubstr("/dev/sg4"), HasSubstr("Too many open files")));
}

}  // namespace
}  // namespace qks
