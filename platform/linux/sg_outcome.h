// The arithmetic of one SG_IO request, kept apart from the ioctl so every
// field the kernel hands back can be checked without a device: what goes
// into the request header, and how the header (or a failed ioctl) becomes
// the portable ScsiOutcome.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <string>

#include "device/pass_through.h"

namespace qks {

// Fixed and descriptor sense both fit; the bridge never sends more.
inline constexpr uint8_t kSgSenseBytes = 32;

// The mid-layer sets this driver bit whenever it copied sense data. It says
// nothing about success: a CHECK CONDITION fails by its status already.
inline constexpr uint16_t kDriverSenseValid = 0x08;

// The host status of a command whose device is no longer attached.
inline constexpr uint16_t kDidNoConnect = 0x01;

// EBUSY, EACCES and the vanished-device errors each call for a different
// reaction from the user, so they keep distinct failures.
OpenFailure OpenFailureFromErrno(int error);

// SG_DXFER_NONE for an empty transfer: the sg driver refuses a direction
// with a zero length on some kernels and a null buffer on all.
int SgTransferDirection(DataDirection direction, uint32_t length);

// The request header takes milliseconds; huge values saturate instead of
// wrapping into a short timeout.
unsigned int SgTimeoutMillis(uint32_t seconds);

// Fills every field the driver reads; `sense` must hold `senseCapacity` bytes
// and outlive the ioctl.
void FillSgHeader(sg_io_hdr& header, const ScsiCommand& command, uint8_t* sense,
                  uint8_t senseCapacity);

// For an ioctl that returned 0: the command reached the device and the
// header tells what became of it.
ScsiOutcome OutcomeFromSgHeader(const sg_io_hdr& header);

// For an ioctl that returned -1. `limitBytes` is the host's transfer limit
// (0 when unknown); EINVAL and ENOMEM on a data transfer usually mean the
// length is beyond it, and the diagnostic says so.
ScsiOutcome OutcomeFromIoctlError(int error, uint32_t length, uint32_t limitBytes);

// Names for the trace; unknown codes come back as hex.
std::string DescribeHostStatus(uint16_t hostStatus);
std::string DescribeDriverStatus(uint16_t driverStatus);

}  // namespace qks
