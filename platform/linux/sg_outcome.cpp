#include "platform/linux/sg_outcome.h"

#include <scsi/sg_lib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace qks {

namespace {

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

void Append(std::string& text, const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += "; ";
    text += part;
}

// sg3_utils writes one fact per line; the trace wants a single line.
std::string OneLine(const char* text) {
    std::string line;
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') {
            if (p[1] != '\0') line += "; ";
        } else {
            line += *p;
        }
    }
    return line;
}

std::string DescribeSenseBytes(const uint8_t* sense, int length) {
    if (sense == nullptr || length <= 0) return {};
    char text[512] = {};
    sg_get_sense_str(nullptr, sense, length, false, sizeof text, text);
    return "sense: " + OneLine(text);
}

std::string DescribeScsiStatus(uint8_t status) {
    char text[64] = {};
    sg_get_scsi_status_str(status, sizeof text, text);
    return "SCSI status " + Hex(status) + " (" + text + ")";
}

}  // namespace

OpenFailure OpenFailureFromErrno(int error) {
    switch (error) {
    case 0:
        return OpenFailure::None;
    case ENOENT:
    case ENXIO:    // sg: the device is offline or in error recovery
    case ENODEV:
        return OpenFailure::NotFound;
    case EACCES:
    case EPERM:
        return OpenFailure::AccessDenied;
    case EBUSY:
        return OpenFailure::Busy;
    default:
        return OpenFailure::Other;
    }
}

int SgTransferDirection(DataDirection direction, uint32_t length) {
    if (length == 0) return SG_DXFER_NONE;
    return direction == DataDirection::In ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
}

unsigned int SgTimeoutMillis(uint32_t seconds) {
    constexpr unsigned int kMax = std::numeric_limits<unsigned int>::max();
    if (seconds > kMax / 1000u) return kMax;
    return seconds * 1000u;
}

void FillSgHeader(sg_io_hdr& header, const ScsiCommand& command, uint8_t* sense,
                  uint8_t senseCapacity) {
    std::memset(&header, 0, sizeof header);
    header.interface_id = 'S';
    header.cmd_len = command.cdbLength;
    // The kernel only reads the CDB; the header field is merely not const.
    header.cmdp = const_cast<unsigned char*>(command.cdb);
    header.dxfer_direction = SgTransferDirection(command.direction, command.length);
    header.dxfer_len = command.length;
    header.dxferp = command.length > 0 ? command.data : nullptr;
    header.sbp = sense;
    header.mx_sb_len = senseCapacity;
    header.timeout = SgTimeoutMillis(command.timeoutSeconds);
}

ScsiOutcome OutcomeFromSgHeader(const sg_io_hdr& header) {
    ScsiOutcome outcome;
    outcome.delivered = true;
    outcome.scsiStatus = header.status;
    outcome.hostStatus = static_cast<uint8_t>(header.host_status);
    // The mid-layer's word for a device that is no longer attached.
    outcome.deviceGone = header.host_status == kDidNoConnect;
    // Sense-valid alone is not a driver failure; it stays visible below.
    outcome.driverStatus = static_cast<uint8_t>(header.driver_status & ~kDriverSenseValid);

    const int senseLength =
        header.sbp == nullptr ? 0
                              : std::min<int>(header.sb_len_wr, header.mx_sb_len);
    if (senseLength > 0)
        outcome.sense.assign(header.sbp, header.sbp + senseLength);

    // resid can exceed the request on odd drivers and go negative on
    // buggy ones; neither may turn into a transferred length.
    const int64_t requested = header.dxfer_len;
    const int64_t resid = std::clamp<int64_t>(header.resid, 0, requested);
    outcome.transferred = static_cast<uint32_t>(requested - resid);

    std::string text;
    if (header.status != 0) Append(text, DescribeScsiStatus(header.status));
    if (header.host_status != 0)
        Append(text, "host status " + DescribeHostStatus(header.host_status));
    if (header.driver_status != 0)
        Append(text, "driver status " + DescribeDriverStatus(header.driver_status));
    Append(text, DescribeSenseBytes(header.sbp, senseLength));
    if (resid > 0)
        Append(text, "short transfer: " + std::to_string(outcome.transferred) + " of " +
                         std::to_string(requested) + " bytes");
    outcome.diagnostic = std::move(text);
    return outcome;
}

ScsiOutcome OutcomeFromIoctlError(int error, uint32_t length, uint32_t limitBytes) {
    ScsiOutcome outcome;
    outcome.delivered = false;
    outcome.osError = error != 0 ? error : EIO;
    std::string text = std::string("SG_IO failed: ") + std::strerror(outcome.osError);
    const bool sizeRefusal = (error == EINVAL || error == ENOMEM) && length > 0;
    if (sizeRefusal) {
        if (limitBytes == 0) {
            text += "; the transfer of " + std::to_string(length) +
                    " bytes may exceed the host's limit, which could not be read";
        } else if (length > limitBytes) {
            text += "; the transfer of " + std::to_string(length) +
                    " bytes exceeds the host's limit of " + std::to_string(limitBytes) +
                    " bytes";
        } else {
            text += "; the host's limit is " + std::to_string(limitBytes) + " bytes";
        }
    } else if (error == ENODEV || error == ENXIO) {
        outcome.deviceGone = true;
        text += "; the device went away during the command";
    }
    outcome.diagnostic = std::move(text);
    return outcome;
}

std::string DescribeHostStatus(uint16_t hostStatus) {
    static constexpr const char* kNames[] = {
        "DID_OK",           "DID_NO_CONNECT",   "DID_BUS_BUSY",
        "DID_TIME_OUT",     "DID_BAD_TARGET",   "DID_ABORT",
        "DID_PARITY",       "DID_ERROR",        "DID_RESET",
        "DID_BAD_INTR",     "DID_PASSTHROUGH",  "DID_SOFT_ERROR",
        "DID_IMM_RETRY",    "DID_REQUEUE",      "DID_TRANSPORT_DISRUPTED",
        "DID_TRANSPORT_FAILFAST", "DID_TARGET_FAILURE", "DID_NEXUS_FAILURE",
        "DID_ALLOC_FAILURE", "DID_MEDIUM_ERROR", "DID_TRANSPORT_MARGINAL"};
    constexpr size_t kCount = sizeof kNames / sizeof kNames[0];
    if (hostStatus < kCount) return Hex(hostStatus) + " (" + kNames[hostStatus] + ")";
    return Hex(hostStatus);
}

std::string DescribeDriverStatus(uint16_t driverStatus) {
    static constexpr const char* kCodes[] = {
        "DRIVER_OK",      "DRIVER_BUSY",    "DRIVER_SOFT",    "DRIVER_MEDIA",
        "DRIVER_ERROR",   "DRIVER_INVALID", "DRIVER_TIMEOUT", "DRIVER_HARD"};
    static constexpr const char* kSuggestions[] = {
        nullptr, "SUGGEST_RETRY", "SUGGEST_ABORT", "SUGGEST_REMAP",
        "SUGGEST_DIE", nullptr, nullptr, nullptr};
    std::vector<std::string> parts;
    const unsigned code = driverStatus & 0x07;
    if (code != 0 || (driverStatus & kDriverSenseValid) == 0) parts.push_back(kCodes[code]);
    if (driverStatus & kDriverSenseValid) parts.push_back("sense valid");
    const unsigned suggestion = (driverStatus >> 4) & 0x07;
    if (kSuggestions[suggestion] != nullptr) parts.push_back(kSuggestions[suggestion]);
    if (driverStatus & 0x80) parts.push_back("SUGGEST_SENSE");
    if (driverStatus > 0xff) parts.push_back("unknown bits");
    std::string text = Hex(driverStatus) + " (";
    for (size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
    return text + ")";
}

}  // namespace qks
