#include "platform/windows/sptd_pass_through.h"

#include "device/aligned_pass_through.h"
#include "platform/windows/sptd_request.h"
#include "platform/windows/storage_limits.h"

namespace qks::win {

namespace {

class SptdHandle final : public DeviceHandle {
public:
    SptdHandle(DevicePath path, HANDLE handle) : path_(std::move(path)), handle_(handle) {}
    ~SptdHandle() override { CloseHandle(handle_); }
    SptdHandle(const SptdHandle&) = delete;
    SptdHandle& operator=(const SptdHandle&) = delete;

    ScsiOutcome Execute(const ScsiCommand& command) override {
        if (command.cdb == nullptr || command.cdbLength == 0) return Refused("no CDB");
        if (command.cdbLength > sizeof(SCSI_PASS_THROUGH_DIRECT::Cdb))
            return Refused("a CDB longer than 16 bytes");
        if (command.length > 0 && command.data == nullptr)
            return Refused("a data length without a buffer");

        // Fixed memory for the one request, given back before returning.
        auto* request = static_cast<SptdWithSense*>(GlobalAlloc(GMEM_FIXED, sizeof(SptdWithSense)));
        if (request == nullptr) {
            ScsiOutcome outcome;
            outcome.osError = ERROR_NOT_ENOUGH_MEMORY;
            outcome.diagnostic = path_ + ": command not sent: no memory for the request";
            return outcome;
        }
        FillPassThroughRequest(*request, command);
        DWORD returned = 0;
        // The error read below must be this call's, not a leftover.
        SetLastError(ERROR_SUCCESS);
        const BOOL result =
            DeviceIoControl(handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, request, sizeof *request,
                            request, sizeof *request, &returned, nullptr);
        const DWORD lastError = GetLastError();
        ScsiOutcome outcome = OutcomeFromPassThrough(result, lastError, *request);
        GlobalFree(request);
        if (!outcome.diagnostic.empty()) outcome.diagnostic = path_ + ": " + outcome.diagnostic;
        return outcome;
    }

private:
    ScsiOutcome Refused(const char* why) const {
        ScsiOutcome outcome;
        outcome.osError = ERROR_INVALID_PARAMETER;
        outcome.diagnostic = path_ + ": command not sent: " + why;
        return outcome;
    }

    DevicePath path_;
    HANDLE handle_;
};

}  // namespace

SptdPassThrough::SptdPassThrough(MaskOf maskOf)
    : maskOf_(maskOf ? std::move(maskOf) : MaskOf([](const DevicePath& p) { return AlignmentMask(p); })) {}

uint32_t SptdPassThrough::MaskFor(const DevicePath& path) {
    const std::lock_guard<std::mutex> hold(masksLock_);
    const auto known = masks_.find(path);
    if (known != masks_.end()) return known->second;
    const uint32_t mask = maskOf_(path);
    // A path that could not be asked is asked again next time.
    if (mask != kAlignmentUnknown) masks_[path] = mask;
    return mask == kAlignmentUnknown ? kAlignmentFallback : mask;
}

OpenResult SptdPassThrough::Open(const DevicePath& path, OpenMode mode) {
    OpenResult result;
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      ShareModeFor(mode), nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        result.osError = static_cast<int>(error);
        result.failure = OpenFailureFromWin32(error);
        if (result.failure == OpenFailure::None) result.failure = OpenFailure::Other;
        result.diagnostic = OpenFailureDiagnostic(path, error);
        return result;
    }
    result.handle = WithAlignedBuffers(std::make_unique<SptdHandle>(path, handle), MaskFor(path));
    return result;
}

}  // namespace qks::win
