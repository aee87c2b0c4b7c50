#include "device/transport.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace qks {

uint32_t TransferTimeoutSeconds(DataDirection direction, const uint8_t* cdb,
                                uint8_t cdbLength) {
    if (direction == DataDirection::In) return kDataInTimeoutSeconds;
    if (cdbLength > 2 && cdb[2] == kChipEraseSubcommand) return kChipEraseTimeoutSeconds;
    return kDataOutTimeoutSeconds;
}

std::string DescribeSense(const std::vector<uint8_t>& sense) {
    if (sense.size() < 3) return {};
    uint8_t key = 0, asc = 0, ascq = 0;
    const uint8_t code = sense[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {  // descriptor format
        key = sense[1] & 0x0F;
        asc = sense.size() > 2 ? sense[2] : 0;
        ascq = sense.size() > 3 ? sense[3] : 0;
    } else {
        key = sense[2] & 0x0F;
        asc = sense.size() > 12 ? sense[12] : 0;
        ascq = sense.size() > 13 ? sense[13] : 0;
    }
    static constexpr const char* kKeys[16] = {
        "NO SENSE",        "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
        "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION",  "DATA PROTECT",
        "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
        "EQUAL",           "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED"};
    char text[96];
    std::snprintf(text, sizeof text, "%s, asc 0x%02x ascq 0x%02x", kKeys[key], asc, ascq);
    return text;
}

std::string TransferFailure::Describe() const {
    if (!any) return "no failure";
    char head[160];
    if (heldBack) {
        std::snprintf(head, sizeof head, "%s: not sent", path.c_str());
    } else if (openFailed) {
        static constexpr const char* kWhy[] = {"", "not found", "access denied",
                                               "busy", "open failed"};
        std::snprintf(head, sizeof head, "%s: %s", path.c_str(),
                      kWhy[static_cast<int>(openFailure)]);
    } else {
        std::snprintf(head, sizeof head,
                      "%s: status 0x%02x host 0x%02x driver 0x%02x os error %d",
                      path.c_str(), scsiStatus, hostStatus, driverStatus, osError);
    }
    std::string text = head;
    if (!senseText.empty()) text += " (" + senseText + ")";
    if (!diagnostic.empty()) text += ": " + diagnostic;
    return text;
}

int Transport::ScsiTransferIn(const DevicePath& path, const uint8_t* cdb,
                              uint8_t cdbLength, uint8_t* buffer, uint32_t length,
                              uint32_t* transferred) {
    return Transfer(path, DataDirection::In, cdb, cdbLength, buffer, length, transferred);
}

int Transport::ScsiTransferInWhole(const DevicePath& path, const uint8_t* cdb,
                                   uint8_t cdbLength, uint8_t* buffer, uint32_t length,
                                   uint32_t* transferred) {
    return Transfer(path, DataDirection::In, cdb, cdbLength, buffer, length, transferred, true);
}

int Transport::ScsiTransferOut(const DevicePath& path, const uint8_t* cdb,
                               uint8_t cdbLength, const uint8_t* buffer,
                               uint32_t length, uint32_t* transferred) {
    // Data-out buffers are only read below; the cast feeds the shared path.
    return Transfer(path, DataDirection::Out, cdb, cdbLength,
                    const_cast<uint8_t*>(buffer), length, transferred);
}

int Transport::Transfer(const DevicePath& path, DataDirection direction,
                        const uint8_t* cdb, uint8_t cdbLength, uint8_t* buffer,
                        uint32_t length, uint32_t* transferred, bool whole) {
    // The guard may send commands of its own: they come before this one.
    Hold refusal = gate_ ? gate_(path, cdb, cdbLength) : Hold{};
    TraceRecord record;
    ++seq_;
    record.seq = trace_ ? trace_->NextSequence() : seq_;
    record.path = path;
    record.direction = direction;
    record.cdb.assign(cdb, cdb + cdbLength);
    record.length = length;
    record.timeMicros = clock_.NowMicros();

    if (!refusal.empty()) {
        lastFailure_ = TransferFailure{};
        lastFailure_.any = true;
        lastFailure_.path = path;
        lastFailureSeq_ = seq_;
        lastFailure_.heldBack = true;
        lastFailure_.heldForUse = refusal.inUse;
        lastFailure_.diagnostic = std::move(refusal.why);
        lastFailure_.cdb = record.cdb;
        record.error = lastFailure_.Describe();
        if (trace_) trace_->Record(record);
        return 0;
    }
    const OpenMode mode =
        direction == DataDirection::In ? OpenMode::Shared : OpenMode::Exclusive;
    OpenResult opened = passThrough_.Open(path, mode);
    if (!opened.handle) {
        lastFailure_ = TransferFailure{};
        lastFailure_.any = true;
        lastFailure_.path = path;
        lastFailureSeq_ = seq_;
        lastFailure_.openFailed = true;
        lastFailure_.openFailure = opened.failure;
        lastFailure_.osError = opened.osError;
        lastFailure_.deviceGone = opened.failure == OpenFailure::NotFound;
        lastFailure_.diagnostic = opened.diagnostic;
        lastFailure_.cdb = record.cdb;
        record.error = lastFailure_.Describe();
        if (trace_) trace_->Record(record);
        return 0;   // nothing sent; the transferred length stays untouched
    }

    // Lengths of 3 and less travel through a 4-byte scratch buffer, and a
    // single byte is asked for as two: the bridge does not move odd singles.
    std::array<uint8_t, 4> scratch{};
    const bool shortTransfer = length <= 3;
    ScsiCommand command;
    command.cdb = cdb;
    command.cdbLength = cdbLength;
    command.direction = direction;
    command.timeoutSeconds = TransferTimeoutSeconds(direction, cdb, cdbLength);
    if (shortTransfer) {
        command.data = scratch.data();
        command.length = length == 1 ? 2 : length;
        if (direction == DataDirection::Out && length > 0 && buffer != nullptr)
            std::memcpy(scratch.data(), buffer, length);
    } else {
        command.data = buffer;
        command.length = length;
    }

    const ScsiOutcome outcome = opened.handle->Execute(command);
    opened.handle.reset();   // close before anything else happens

    if (shortTransfer && direction == DataDirection::In && length > 0 && buffer != nullptr)
        std::memcpy(buffer, scratch.data(), length);
    if (transferred) *transferred = outcome.transferred;

    const bool shortReply = whole && outcome.Good() && outcome.transferred < length;
    const bool good = outcome.Good() && !shortReply;
    record.opened = true;
    record.ok = good;
    record.status = outcome.scsiStatus;
    record.hostStatus = outcome.hostStatus;
    record.driverStatus = outcome.driverStatus;
    record.sense = outcome.sense;
    record.transferred = outcome.transferred;
    record.durationMicros = clock_.NowMicros() - record.timeMicros;
    if (good) {
        bytesMoved_ += outcome.transferred;
    } else {
        lastFailure_ = TransferFailure{};
        lastFailure_.any = true;
        lastFailure_.path = path;
        lastFailureSeq_ = seq_;
        lastFailure_.scsiStatus = outcome.scsiStatus;
        lastFailure_.hostStatus = outcome.hostStatus;
        lastFailure_.driverStatus = outcome.driverStatus;
        lastFailure_.osError = outcome.osError;
        lastFailure_.deviceGone = outcome.deviceGone;
        lastFailure_.senseText = DescribeSense(outcome.sense);
        lastFailure_.diagnostic = outcome.diagnostic;
        lastFailure_.cdb = record.cdb;
        lastFailure_.sense = outcome.sense;
        if (shortReply)
            lastFailure_.diagnostic = "short reply: " + std::to_string(outcome.transferred) +
                                      " of " + std::to_string(length) + " bytes";
        record.error = lastFailure_.Describe();
    }
    if (trace_) trace_->Record(record);
    return good ? 1 : 0;
}

}  // namespace qks
