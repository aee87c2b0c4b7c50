// The pass-through's own calls against the system: CreateFileA's sharing
// and refusals, and a control call that a handle which is no SCSI device
// turns down. Files stand in for devices, which a test machine has none of.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "device/clock.h"
#include "device/transport.h"
#include "platform/windows/sptd_pass_through.h"
#include "platform/windows/storage_limits.h"

namespace qks::win {
namespace {

namespace fs = std::filesystem;

class PassThroughOnFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        path_ = (fs::temp_directory_path() / ("qks-sptd-" + std::to_string(random()))).string();
        std::ofstream(path_, std::ios::binary) << "not a device";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    std::string path_;
    SptdPassThrough passThrough_;
};

TEST_F(PassThroughOnFiles, MissingPathIsNotFoundAndSaysWhich) {
    const std::string missing = path_ + ".gone";
    const OpenResult opened = passThrough_.Open(missing, OpenMode::Shared);
    EXPECT_EQ(opened.handle, nullptr);
    EXPECT_EQ(opened.failure, OpenFailure::NotFound);
    EXPECT_EQ(opened.osError, static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(opened.diagnostic.find(missing), std::string::npos) << opened.diagnostic;
}

TEST_F(PassThroughOnFiles, SharedOpensLiveTogether) {
    const OpenResult first = passThrough_.Open(path_, OpenMode::Shared);
    ASSERT_NE(first.handle, nullptr) << first.diagnostic;
    const OpenResult second = passThrough_.Open(path_, OpenMode::Shared);
    EXPECT_NE(second.handle, nullptr) << second.diagnostic;
}

TEST_F(PassThroughOnFiles, ExclusiveOpenIsRefusedWhileAnotherHandleIsOpen) {
    const OpenResult reader = passThrough_.Open(path_, OpenMode::Shared);
    ASSERT_NE(reader.handle, nullptr) << reader.diagnostic;
    const OpenResult writer = passThrough_.Open(path_, OpenMode::Exclusive);
    EXPECT_EQ(writer.handle, nullptr);
    EXPECT_EQ(writer.failure, OpenFailure::Busy);
    EXPECT_EQ(writer.osError, static_cast<int>(ERROR_SHARING_VIOLATION));
}

TEST_F(PassThroughOnFiles, ExclusiveHandleKeepsOthersOutUntilClosed) {
    {
        const OpenResult writer = passThrough_.Open(path_, OpenMode::Exclusive);
        ASSERT_NE(writer.handle, nullptr) << writer.diagnostic;
        EXPECT_EQ(passThrough_.Open(path_, OpenMode::Shared).failure, OpenFailure::Busy);
    }
    // Closing is the handle's destruction.
    EXPECT_NE(passThrough_.Open(path_, OpenMode::Shared).handle, nullptr);
}

TEST_F(PassThroughOnFiles, ControlCallRefusedByANonDeviceFailsTheCommand) {
    const OpenResult opened = passThrough_.Open(path_, OpenMode::Shared);
    ASSERT_NE(opened.handle, nullptr);
    const uint8_t cdb[12] = {0x12, 0, 0, 0, 36, 0};
    uint8_t reply[36] = {};
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = sizeof cdb;
    command.data = reply;
    command.length = sizeof reply;
    command.timeoutSeconds = 20;
    const ScsiOutcome outcome = opened.handle->Execute(command);
    EXPECT_FALSE(outcome.Good());
    EXPECT_FALSE(outcome.delivered);
    EXPECT_NE(outcome.osError, 0);
    EXPECT_NE(outcome.diagnostic.find(path_), std::string::npos) << outcome.diagnostic;
    EXPECT_NE(outcome.diagnostic.find("IOCTL_SCSI_PASS_THROUGH_DIRECT failed"), std::string::npos);
}

TEST_F(PassThroughOnFiles, CommandsThatCannotBeExpressedAreNotSent) {
    const OpenResult opened = passThrough_.Open(path_, OpenMode::Shared);
    ASSERT_NE(opened.handle, nullptr);
    uint8_t cdb[17] = {0x12};
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = sizeof cdb;
    ScsiOutcome outcome = opened.handle->Execute(command);
    EXPECT_EQ(outcome.osError, static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_NE(outcome.diagnostic.find("not sent"), std::string::npos);

    command.cdbLength = 12;
    command.length = 16;   // and no buffer
    outcome = opened.handle->Execute(command);
    EXPECT_NE(outcome.diagnostic.find("not sent"), std::string::npos);
}

// The whole way down from the transport: open, one refused command, close.
TEST_F(PassThroughOnFiles, TransportSeesARefusalAndTheTransferredLength) {
    VirtualClock clock;
    Transport transport(passThrough_, clock);
    const uint8_t cdb[12] = {0xFF, 0, 0x20};
    uint8_t reply[64] = {};
    uint32_t transferred = 0xDEADBEEF;
    EXPECT_EQ(transport.ScsiTransferIn(path_, cdb, sizeof cdb, reply, sizeof reply, &transferred), 0);
    EXPECT_NE(transferred, 0xDEADBEEFu);   // written, though the command failed
    EXPECT_FALSE(transport.LastFailure().openFailed);

    EXPECT_EQ(transport.ScsiTransferOut(path_, cdb, sizeof cdb, reply, 4, &transferred), 0);
    // The data-out handle was exclusive and is closed again.
    EXPECT_NE(passThrough_.Open(path_, OpenMode::Exclusive).handle, nullptr);

    transferred = 0xDEADBEEF;
    EXPECT_EQ(transport.ScsiTransferOut(path_ + ".gone", cdb, sizeof cdb, reply, 4, &transferred), 0);
    EXPECT_EQ(transferred, 0xDEADBEEFu);   // nothing sent: left as it was
    EXPECT_TRUE(transport.LastFailure().openFailed);
    EXPECT_EQ(transport.LastFailure().openFailure, OpenFailure::NotFound);
}

}  // namespace
}  // namespace qks::win

namespace qks::win {
namespace {

TEST(TransferLimit, AdapterLengthAndPagesBothBound) {
    // 128 KB by length; 33 pages of 4 KB lose one to an unaligned start.
    EXPECT_EQ(TransferLimit(131072, 33, 4096), 131072u);
    EXPECT_EQ(TransferLimit(131072, 17, 4096), 65536u);
    EXPECT_EQ(TransferLimit(0, 17, 4096), 65536u);       // length unknown: pages decide
    EXPECT_EQ(TransferLimit(65536, 0, 4096), 65536u);    // pages unknown: length decides
    EXPECT_EQ(TransferLimit(65536, 1, 4096), 65536u);    // one page cannot bound anything
    EXPECT_EQ(TransferLimit(0, 0, 4096), 0u);
}

TEST(TransferLimit, UnopenablePathHasNoLimit) {
    EXPECT_EQ(MaxTransferBytes("\\\\?\\usbstor#no-such-device#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"), 0u);
}

}  // namespace
}  // namespace qks::win
