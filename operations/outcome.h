// What an operation returns: success, or a failure with its cause. A cause
// gathers context on its way up ("recover: erase at 0x8000: device went
// away"), carries what the device answered, and what was saved before.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/transport.h"

namespace qks {

enum class FailureKind : uint8_t {
    Refused,         // the device refused a command, or did not answer
    DeviceGone,      // no device at the path any more
    DeviceChanged,   // another device now answers at the path
    Verify,          // the flash does not hold what was written
    Copy,            // the copy kept before writing could not be made
    File,            // a file to read or write
    NotOffered,      // the chip's family has no such flow
    Declined,        // the user said no
    Failed,          // the flow said it failed, without a device cause
    Ambiguous,       // several unfinished writes match the device; the user must name one
    ImageRefused,    // the image file put in place for the flow was refused; nothing sent
    InUse,           // the host itself uses the device's disk: nothing was erased
    Busy,            // another write to the same enclosure did not end in time: nothing sent
};
const char* FailureKindName(FailureKind kind);

// The device's answer to the command that failed.
struct DeviceAnswer {
    uint8_t scsiStatus = 0;
    std::vector<uint8_t> sense;
    std::string decoded;   // "CHECK CONDITION, sense 05/24/00 (invalid field in CDB)"
};

struct Failure {
    FailureKind kind = FailureKind::Failed;
    std::vector<std::string> chain;   // outermost context first
    std::string command;              // "erase", "write", ... when a command failed
    std::optional<uint32_t> address;
    std::optional<DeviceAnswer> answer;
    // Something was erased or written before the failure (or may have been:
    // a device that went away in the middle of an erase).
    bool deviceChanged = false;
    std::string restorePath;   // the copy of the flash as it was, when one was kept
};

struct Outcome {
    std::optional<Failure> failure;   // none: success
    std::string backupPath;           // the copy kept before writing, if one was
    std::string statusText;           // the flow's last status line
    // What the user must be told even on success: a saved copy stood in
    // for the device's own bytes, or the image's header was taken.
    std::vector<std::string> notes;

    bool Ok() const { return !failure.has_value(); }
    static Outcome Success() { return {}; }
    static Outcome Fail(FailureKind kind, std::string cause);
    // Adds the context in front of the chain.
    Outcome& Within(const std::string& context);
    // "recover: write at 0x4000 refused: CHECK CONDITION, ...; the flash was
    // changed: ..." on one line, ending in what became of the enclosure.
    std::string CauseText() const;
};

// The cause of the transport's most recent failure, named by command and
// address, with the device's answer: "write at 0x4000 refused: ...".
Failure FailureFromTransport(const TransferFailure& failure);

inline constexpr const char* kNothingWritten = "nothing was written; the enclosure is as it was";
// "the flash was changed: run recover again (it finishes the write from the
// journal) or restore PATH".
std::string FlashChangedText(const std::string& copy);


}  // namespace qks
