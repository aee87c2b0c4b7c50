#include "operations/outcome.h"

#include <cstdio>

#include "device/vendor_commands.h"

namespace qks {

namespace {

const char* StatusName(uint8_t status) {
    switch (status) {
        case 0x00: return "GOOD";
        case 0x02: return "CHECK CONDITION";
        case 0x08: return "BUSY";
        case 0x18: return "RESERVATION CONFLICT";
        case 0x28: return "TASK SET FULL";
        default: return nullptr;
    }
}

struct AscText {
    uint8_t asc;
    int ascq;   // -1: any
    const char* text;
};
// The additional sense codes a bridge or a USB storage driver gives most.
constexpr AscText kAscTexts[] = {
    {0x04, -1, "logical unit not ready"},
    {0x0C, -1, "write error"},
    {0x11, -1, "unrecovered read error"},
    {0x1A, 0x00, "parameter list length error"},
    {0x1D, 0x00, "miscompare during verify"},
    {0x20, 0x00, "invalid command operation code"},
    {0x21, 0x00, "logical block address out of range"},
    {0x24, 0x00, "invalid field in CDB"},
    {0x26, 0x00, "invalid field in parameter list"},
    {0x28, 0x00, "not ready to ready change"},
    {0x29, -1, "power on or reset occurred"},
    {0x3A, -1, "medium not present"},
    {0x44, 0x00, "internal target failure"},
};

void SenseCodes(const std::vector<uint8_t>& sense, uint8_t& key, uint8_t& asc, uint8_t& ascq) {
    const uint8_t code = sense[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        key = sense[1] & 0x0F;
        asc = sense.size() > 2 ? sense[2] : 0;
        ascq = sense.size() > 3 ? sense[3] : 0;
    } else {
        key = sense.size() > 2 ? sense[2] & 0x0F : 0;
        asc = sense.size() > 12 ? sense[12] : 0;
        ascq = sense.size() > 13 ? sense[13] : 0;
    }
}

std::string DecodeAnswer(const TransferFailure& f) {
    std::string text;
    if (const char* name = StatusName(f.scsiStatus)) {
        text = name;
    } else {
        char status[32];
        std::snprintf(status, sizeof status, "status 0x%02x", f.scsiStatus);
        text = status;
    }
    if (f.sense.size() >= 3) {
        uint8_t key = 0, asc = 0, ascq = 0;
        SenseCodes(f.sense, key, asc, ascq);
        char codes[48];
        std::snprintf(codes, sizeof codes, ", sense %02X/%02X/%02X", key, asc, ascq);
        text += codes;
        for (const auto& known : kAscTexts)
            if (known.asc == asc && (known.ascq < 0 || known.ascq == ascq)) {
                text += std::string(" (") + known.text + ")";
                break;
            }
    }
    if (f.scsiStatus == 0 && (f.hostStatus || f.driverStatus || f.osError)) {
        char host[80];
        std::snprintf(host, sizeof host, "host 0x%02x driver 0x%02x os error %d", f.hostStatus,
                      f.driverStatus, f.osError);
        text = host;
    }
    if (!f.diagnostic.empty()) text += "; " + f.diagnostic;
    return text;
}

}  // namespace

const char* FailureKindName(FailureKind kind) {
    static constexpr const char* kNames[] = {"refused", "device_gone", "device_changed",
                                             "verify",  "copy",        "file",
                                             "not_offered", "declined", "failed",
                                             "ambiguous",
                                             "image_refused",

                                             "in_use",      "busy"};
    return kNames[static_cast<int>(kind)];
}

Outcome Outcome::Fail(FailureKind kind, std::string cause) {
    Outcome outcome;
    outcome.failure = Failure{};
    outcome.failure->kind = kind;
    outcome.failure->chain.push_back(std::move(cause));
    return outcome;
}

Outcome& Outcome::Within(const std::string& context) {
    if (failure) failure->chain.insert(failure->chain.begin(), context);
    return *this;
}

std::string Outcome::CauseText() const {
    if (!failure) return {};
    std::string text;
    for (const auto& part : failure->chain) text += (text.empty() ? "" : ": ") + part;
    return text + "; " + (failure->deviceChanged ? FlashChangedText(failure->restorePath)
                                                  : std::string(kNothingWritten));
}

std::string FlashChangedText(const std::string& copy) {
    return "the flash was changed: run recover again (it finishes the write from the journal) or "
           "restore " + (copy.empty() ? std::string("a saved copy") : copy);
}

Failure FailureFromTransport(const TransferFailure& f) {
    Failure failure;
    const CommandSummary command = SummarizeCommand(f.cdb.data(), f.cdb.size());
    failure.command = command.name;
    failure.address = command.address;
    if (f.heldBack) {
        failure.kind = f.heldForUse ? FailureKind::InUse : FailureKind::DeviceChanged;
        failure.chain = {command.Text() + " not sent", f.diagnostic};
    } else if (f.deviceGone) {
        // Gone before the command, or during it.
        failure.kind = FailureKind::DeviceGone;
        failure.chain = {command.Text(), "device went away"};
    } else if (f.openFailed) {
        failure.kind = FailureKind::Refused;
        failure.chain = {command.Text(), "cannot open " + f.path +
                                             (f.diagnostic.empty() ? "" : ": " + f.diagnostic)};
    } else {
        failure.kind = FailureKind::Refused;
        DeviceAnswer answer;
        answer.scsiStatus = f.scsiStatus;
        answer.sense = f.sense;
        answer.decoded = DecodeAnswer(f);
        // A GOOD status with fewer bytes than asked is no refusal.
        const bool shortReply = f.scsiStatus == 0 && f.hostStatus == 0 && f.driverStatus == 0 &&
                                f.osError == 0 && !f.diagnostic.empty();
        failure.chain = {command.Text() + (shortReply ? ": " + f.diagnostic
                                                      : " refused: " + answer.decoded)};
        failure.answer = std::move(answer);
    }
    return failure;
}

}  // namespace qks
