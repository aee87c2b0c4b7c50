// ScsiTransferIn / ScsiTransferOut: one open, one command, one close.
// The short-transfer rule and the timeouts live here, above the platform,
// so every back-end sends the same bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/command_trace.h"
#include "device/pass_through.h"

namespace qks {

inline constexpr uint32_t kDataInTimeoutSeconds = 20;
inline constexpr uint32_t kDataOutTimeoutSeconds = 10;
inline constexpr uint32_t kChipEraseTimeoutSeconds = 100;
inline constexpr uint8_t kChipEraseSubcommand = 0x13;

// Only CDB byte 2 decides, whatever the opcode.
uint32_t TransferTimeoutSeconds(DataDirection direction, const uint8_t* cdb,
                                uint8_t cdbLength);

// The last failure, kept for diagnostics: the fixed user texts cannot carry it.
struct TransferFailure {
    bool any = false;
    DevicePath path;
    bool openFailed = false;
    OpenFailure openFailure = OpenFailure::None;
    uint8_t scsiStatus = 0;
    uint8_t hostStatus = 0;
    uint8_t driverStatus = 0;
    int osError = 0;
    bool deviceGone = false;      // not found at the open, or gone during the command
    std::string senseText;
    std::string diagnostic;
    std::vector<uint8_t> cdb;     // the command that failed
    std::vector<uint8_t> sense;
    bool heldBack = false;        // the host's own guard kept it from being sent
    bool heldForUse = false;      // ... because the host itself uses the device's disk

    std::string Describe() const;
};

class Transport {
public:
    Transport(PassThrough& passThrough, Clock& clock, TraceSink* trace = nullptr)
        : passThrough_(passThrough), clock_(clock), trace_(trace) {}

    int ScsiTransferIn(const DevicePath& path, const uint8_t* cdb, uint8_t cdbLength,
                       uint8_t* buffer, uint32_t length, uint32_t* transferred);
    int ScsiTransferOut(const DevicePath& path, const uint8_t* cdb, uint8_t cdbLength,
                        const uint8_t* buffer, uint32_t length, uint32_t* transferred);
    // A read whose bytes are written back, merged or compared, or a status
    // byte: a GOOD reply that delivers fewer bytes than asked is a failure
    // here, traced with both lengths. Identification replies may be
    // shorter; they use the above.
    int ScsiTransferInWhole(const DevicePath& path, const uint8_t* cdb, uint8_t cdbLength,
                            uint8_t* buffer, uint32_t length, uint32_t* transferred);

    void SetTrace(TraceSink* trace) { trace_ = trace; }
    // A guard's answer: an empty text lets the command go; any other keeps
    // it back and becomes the failure's diagnostic.
    struct Hold {
        std::string why;
        bool inUse = false;   // the host uses the device's disk (else: another device)
        Hold() = default;
        Hold(std::string text, bool hostUse = false) : why(std::move(text)), inUse(hostUse) {}
        bool empty() const { return why.empty(); }
    };
    // Asked before each command is sent.
    using Gate = std::function<Hold(const DevicePath&, const uint8_t* cdb, uint8_t length)>;
    void SetGate(Gate gate) { gate_ = std::move(gate); }
    const TransferFailure& LastFailure() const { return lastFailure_; }
    // The most recent command found no device at its path (unplugged, or
    // gone after a reset): a poll loop need not wait for it.
    bool LastCommandFoundNoDevice() const {
        return lastFailureSeq_ == seq_ && lastFailure_.deviceGone;
    }
    // The most recent command failed (or was held back).
    bool LastCommandFailed() const { return seq_ != 0 && lastFailureSeq_ == seq_; }
    uint64_t CommandsSent() const { return seq_; }
    uint64_t BytesMoved() const { return bytesMoved_; }
    Clock& GetClock() { return clock_; }

private:
    int Transfer(const DevicePath& path, DataDirection direction, const uint8_t* cdb,
                 uint8_t cdbLength, uint8_t* buffer, uint32_t length,
                 uint32_t* transferred, bool whole = false);

    PassThrough& passThrough_;
    Clock& clock_;
    TraceSink* trace_;
    Gate gate_;
    uint64_t seq_ = 0;
    uint64_t bytesMoved_ = 0;
    TransferFailure lastFailure_;
    uint64_t lastFailureSeq_ = 0;
};

// A sense description good enough for diagnostics: key, ASC and ASCQ.
std::string DescribeSense(const std::vector<uint8_t>& sense);

}  // namespace qks
