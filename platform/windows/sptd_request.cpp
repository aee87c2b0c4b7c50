#include "platform/windows/sptd_request.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/windows/win_error.h"

namespace qks::win {

namespace {
// Newer SDKs name it ERROR_NO_SUCH_DEVICE; MinGW's headers lack it.
constexpr DWORD kErrorNoSuchDevice = 433;
}  // namespace

void FillPassThroughRequest(SptdWithSense& request, const ScsiCommand& command) {
    std::memset(&request, 0, sizeof request);
    SCSI_PASS_THROUGH_DIRECT& r = request.record;
    r.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    r.PathId = kPathId;
    r.TargetId = kTargetId;
    r.Lun = kLun;
    const size_t cdbLength = std::min<size_t>(command.cdbLength, sizeof r.Cdb);
    r.CdbLength = static_cast<UCHAR>(cdbLength);
    // Asked for, so a refused command brings its reason to the trace.
    r.SenseInfoLength = kSenseBytes;
    r.DataIn = command.direction == DataDirection::In ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    r.DataTransferLength = command.length;
    r.TimeOutValue = command.timeoutSeconds;
    r.DataBuffer = command.data;
    r.SenseInfoOffset = kSenseInfoOffset;
    if (command.cdb != nullptr) std::memcpy(r.Cdb, command.cdb, cdbLength);
}

ScsiOutcome OutcomeFromPassThrough(BOOL controlResult, DWORD lastError,
                                   const SptdWithSense& request) {
    const SCSI_PASS_THROUGH_DIRECT& r = request.record;
    ScsiOutcome outcome;
    outcome.delivered = controlResult != FALSE;
    // A failed call always carries an error, even when the driver set none.
    outcome.osError = static_cast<int>(
        lastError != 0 ? lastError : (outcome.delivered ? 0 : ERROR_GEN_FAILURE));
    // A device unplugged mid-command; the same codes on the open are NotFound.
    outcome.deviceGone = lastError == ERROR_DEVICE_NOT_CONNECTED ||
                         lastError == kErrorNoSuchDevice || lastError == ERROR_DEV_NOT_EXIST;
    // As the driver left it, successful or not.
    outcome.transferred = r.DataTransferLength;

    std::string text;
    if (outcome.delivered) {
        outcome.scsiStatus = r.ScsiStatus;
        const size_t senseLength = std::min<size_t>(r.SenseInfoLength, kSenseBytes);
        if (r.ScsiStatus != 0 && senseLength > 0)
            outcome.sense.assign(request.sense, request.sense + senseLength);
        if (r.ScsiStatus != 0) text = "SCSI status " + DescribeScsiStatus(r.ScsiStatus);
        if (lastError != 0) {
            if (!text.empty()) text += "; ";
            text += "the driver reported success with " + Win32ErrorText(lastError);
        }
    } else {
        const auto error = static_cast<DWORD>(outcome.osError);
        text = "IOCTL_SCSI_PASS_THROUGH_DIRECT failed: " + Win32ErrorText(error);
        if (outcome.deviceGone) text += "; the device went away during the command";
    }
    outcome.diagnostic = std::move(text);
    return outcome;
}

DWORD ShareModeFor(OpenMode mode) {
    return mode == OpenMode::Shared ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : 0;
}

OpenFailure OpenFailureFromWin32(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return OpenFailure::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case kErrorNoSuchDevice:
    case ERROR_NOT_READY:
        return OpenFailure::NotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return OpenFailure::AccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return OpenFailure::Busy;
    default:
        return OpenFailure::Other;
    }
}

std::string OpenFailureDiagnostic(const DevicePath& path, DWORD error) {
    const std::string why = Win32ErrorText(error);
    switch (OpenFailureFromWin32(error)) {
    case OpenFailure::AccessDenied:
        return path + ": " + why +
               "; sending SCSI commands to a storage device needs administrator rights:"
               " start the program with \"Run as administrator\"";
    case OpenFailure::Busy:
        return path + ": " + why +
               "; another program has the drive open, so it cannot be held alone for a"
               " write: close Explorer windows and programs that use the drive and try again";
    case OpenFailure::NotFound:
        return path + ": " + why + " (the device is gone or not ready)";
    default:
        return path + ": open failed: " + why;
    }
}

std::string DescribeScsiStatus(uint8_t status) {
    const char* name = nullptr;
    switch (status) {
    case 0x00: name = "GOOD"; break;
    case 0x02: name = "CHECK CONDITION"; break;
    case 0x04: name = "CONDITION MET"; break;
    case 0x08: name = "BUSY"; break;
    case 0x18: name = "RESERVATION CONFLICT"; break;
    case 0x28: name = "TASK SET FULL"; break;
    case 0x30: name = "ACA ACTIVE"; break;
    case 0x40: name = "TASK ABORTED"; break;
    default: break;
    }
    char text[48];
    if (name)
        std::snprintf(text, sizeof text, "0x%02x (%s)", status, name);
    else
        std::snprintf(text, sizeof text, "0x%02x", status);
    return text;
}

}  // namespace qks::win
