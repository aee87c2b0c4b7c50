#include "support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qks::test {

class ScriptedHandle final : public DeviceHandle {
public:
    ScriptedHandle(ScriptedPassThrough& owner, DevicePath path, OpenMode mode)
        : owner_(owner), path_(std::move(path)), mode_(mode) {}

    ScsiOutcome Execute(const ScsiCommand& command) override {
        SentCommand sent;
        sent.path = path_;
        sent.mode = mode_;
        sent.cdb.assign(command.cdb, command.cdb + command.cdbLength);
        sent.direction = command.direction;
        sent.length = command.length;
        sent.timeoutSeconds = command.timeoutSeconds;
        sent.bufferWasNull = command.data == nullptr;
        if (command.direction == DataDirection::Out && command.data)
            sent.dataOut.assign(command.data, command.data + command.length);
        owner_.sent.push_back(sent);

        Reply reply = owner_.handler_ ? owner_.handler_(sent) : Reply{};
        ScsiOutcome outcome;
        outcome.delivered = reply.delivered;
        outcome.osError = reply.osError;
        outcome.scsiStatus = reply.scsiStatus;
        outcome.sense = reply.sense;
        if (command.direction == DataDirection::In && command.data) {
            const size_t n = std::min<size_t>(reply.data.size(), command.length);
            if (n) std::memcpy(command.data, reply.data.data(), n);
        }
        outcome.transferred = reply.transferred < 0
                                  ? command.length
                                  : static_cast<uint32_t>(reply.transferred);
        return outcome;
    }

private:
    ScriptedPassThrough& owner_;
    DevicePath path_;
    OpenMode mode_;
};

OpenResult ScriptedPassThrough::Open(const DevicePath& path, OpenMode mode) {
    ++opens;
    OpenResult result;
    if (failOpens_) {
        result.failure = OpenFailure::NotFound;
        result.diagnostic = "scripted open failure";
        return result;
    }
    result.handle = std::make_unique<ScriptedHandle>(*this, path, mode);
    return result;
}

std::vector<std::string> FlashOps(const std::vector<SentCommand>& sent) {
    std::vector<std::string> ops;
    char text[40];
    for (const auto& s : sent) {
        if (IsFlashCommand(s, 0x12)) continue;
        if (IsFlashCommand(s, 0x14)) std::snprintf(text, sizeof text, "E %05X", FlashAddress(s));
        else if (IsFlashCommand(s, 0x13)) std::snprintf(text, sizeof text, "C");
        else if (IsFlashCommand(s, 0x10)) std::snprintf(text, sizeof text, "R %05X %u", FlashAddress(s), s.length);
        else if (IsFlashCommand(s, 0x11)) std::snprintf(text, sizeof text, "W %05X %u", FlashAddress(s), s.length);
        else std::snprintf(text, sizeof text, "?");
        ops.emplace_back(text);
    }
    return ops;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) text.push_back(' ');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (high < 0) high = v;
        else { bytes.push_back(static_cast<uint8_t>(high * 16 + v)); high = -1; }
    }
    return bytes;
}

}  // namespace qks::test
