#include "platform/linux/sg_pass_through.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/node_access.h"
#include "platform/linux/sg_outcome.h"

namespace qks {

namespace {

class SgHandle final : public DeviceHandle {
public:
    SgHandle(DevicePath path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~SgHandle() override { close(fd_); }
    SgHandle(const SgHandle&) = delete;
    SgHandle& operator=(const SgHandle&) = delete;

    ScsiOutcome Execute(const ScsiCommand& command) override {
        if (command.cdb == nullptr || command.cdbLength == 0) return Refused("no CDB");
        if (command.length > 0 && command.data == nullptr)
            return Refused("a data length without a buffer");

        uint8_t sense[kSgSenseBytes] = {};
        sg_io_hdr header;
        FillSgHeader(header, command, sense, sizeof sense);
        // No retry on EINTR either: an interrupted SG_IO may already have
        // reached the bridge, and a vendor write must never go out twice.
        int error = 0;
        const int result = WithSignalsHeld([&] {
            const int answer = ioctl(fd_, SG_IO, &header);
            error = errno;
            return answer;
        });
        if (result < 0) {
            // The limit costs sysfs reads, so only a refusal that may be
            // about size pays for it.
            const bool sizeRefusal = (error == EINVAL || error == ENOMEM) && command.length > 0;
            const uint32_t limit = sizeRefusal ? MaxTransferBytes(path_, fd_) : 0;
            ScsiOutcome outcome = OutcomeFromIoctlError(error, command.length, limit);
            outcome.diagnostic = path_ + ": " + outcome.diagnostic;
            return outcome;
        }
        return OutcomeFromSgHeader(header);
    }

private:
    ScsiOutcome Refused(const char* why) const {
        ScsiOutcome outcome;
        outcome.osError = EINVAL;
        outcome.diagnostic = path_ + ": command not sent: " + why;
        return outcome;
    }

    DevicePath path_;
    int fd_;
};

}  // namespace

int SgOpenFlags(OpenMode mode) {
    int flags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
    if (mode == OpenMode::Exclusive) flags |= O_EXCL;
    return flags;
}

std::string OpenFailureDiagnostic(const DevicePath& path, int error) {
    switch (OpenFailureFromErrno(error)) {
    case OpenFailure::AccessDenied:
        return AccessAdvice(path);
    case OpenFailure::Busy:
        return path + ": in use by another program, so it cannot be held alone for a write;"
                      " close programs that use the drive and try again";
    case OpenFailure::NotFound:
        return path + ": " + std::strerror(error) + " (the device is gone or offline)";
    default:
        return path + ": open failed: " + std::strerror(error);
    }
}

OpenResult SgPassThrough::Open(const DevicePath& path, OpenMode mode) {
    OpenResult result;
    const int fd = open(path.c_str(), SgOpenFlags(mode));
    if (fd < 0) {
        result.osError = errno;
        result.failure = OpenFailureFromErrno(result.osError);
        if (result.failure == OpenFailure::None) result.failure = OpenFailure::Other;
        result.diagnostic = OpenFailureDiagnostic(path, result.osError);
        return result;
    }
    result.handle = std::make_unique<SgHandle>(path, fd);
    return result;
}

}  // namespace qks
