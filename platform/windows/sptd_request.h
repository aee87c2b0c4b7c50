// The arithmetic of one IOCTL_SCSI_PASS_THROUGH_DIRECT request, kept apart
// from the device so every field can be checked without one: the record as
// the driver reads it, and how the record (or a failed control call) becomes
// the portable ScsiOutcome.
#pragma once

// <winioctl.h> first: <ntddscsi.h> builds on its types.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/pass_through.h"

namespace qks::win {

inline constexpr uint8_t kSenseBytes = 32;
// The bridge answers as target 1 on path 0, logical unit 0.
inline constexpr UCHAR kPathId = 0;
inline constexpr UCHAR kTargetId = 1;
inline constexpr UCHAR kLun = 0;
inline constexpr UCHAR kScsiStatusCheckCondition = 0x02;

// The record with the sense buffer right behind it: the driver takes both
// as one input and output buffer and finds the sense at SenseInfoOffset.
struct SptdWithSense {
    SCSI_PASS_THROUGH_DIRECT record;
    ULONG filler;   // puts the sense on a 4-byte boundary after the record
    UCHAR sense[kSenseBytes];
};

inline constexpr ULONG kSenseInfoOffset = offsetof(SptdWithSense, sense);

#ifndef _WIN64
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "the 32-bit record is 44 bytes");
static_assert(kSenseInfoOffset == 48, "sense behind the record at offset 48");
#endif

// Fills every field the driver reads; `request` may hold anything before.
// The CDB is cut at the record's 16 bytes (callers refuse longer ones).
void FillPassThroughRequest(SptdWithSense& request, const ScsiCommand& command);

// For the control call's result and the last-error value read right after
// it. A call that succeeded while leaving an error code counts as failed,
// and so does any SCSI status but GOOD.
ScsiOutcome OutcomeFromPassThrough(BOOL controlResult, DWORD lastError,
                                   const SptdWithSense& request);

// Data-in shares the device with other readers and writers; data-out
// holds it alone.
DWORD ShareModeFor(OpenMode mode);

// ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED and the vanished-device
// errors each call for a different reaction from the user.
OpenFailure OpenFailureFromWin32(DWORD error);

// What the user reads when an open fails: which path, why, and what helps.
std::string OpenFailureDiagnostic(const DevicePath& path, DWORD error);

// "GOOD", "CHECK CONDITION", ... or the value in hex.
std::string DescribeScsiStatus(uint8_t status);

}  // namespace qks::win
