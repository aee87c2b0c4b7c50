// Shared test doubles: a pass-through that records every command and answers
// through a handler, so tests can assert exact CDB sequences.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/pass_through.h"

namespace qks::test {

struct SentCommand {
    DevicePath path;
    OpenMode mode = OpenMode::Shared;
    std::vector<uint8_t> cdb;
    DataDirection direction = DataDirection::In;
    uint32_t length = 0;             // what reached the driver
    std::vector<uint8_t> dataOut;    // bytes sent, for data-out
    uint32_t timeoutSeconds = 0;
    bool bufferWasNull = false;
};

// Decides a reply: fill `dataIn` (at most command.length bytes are copied)
// and return the outcome. The default answers GOOD with the full length.
struct Reply {
    bool delivered = true;
    int osError = 0;
    uint8_t scsiStatus = 0;
    std::vector<uint8_t> data{};
    int64_t transferred = -1;   // -1: the requested length
    std::vector<uint8_t> sense{};
};

class ScriptedPassThrough : public PassThrough {
public:
    using Handler = std::function<Reply(const SentCommand&)>;

    explicit ScriptedPassThrough(Handler handler = {}) : handler_(std::move(handler)) {}
    void SetHandler(Handler handler) { handler_ = std::move(handler); }
    void FailOpens(bool fail) { failOpens_ = fail; }

    OpenResult Open(const DevicePath& path, OpenMode mode) override;

    std::vector<SentCommand> sent;
    int opens = 0;

private:
    friend class ScriptedHandle;
    Handler handler_;
    bool failOpens_ = false;
};

// Helpers for flash models that answer the first command family.
inline bool IsFlashCommand(const SentCommand& s, uint8_t subcommand) {
    return s.cdb.size() > 2 && s.cdb[0] == 0xFF && s.cdb[2] == subcommand;
}
inline uint32_t FlashAddress(const SentCommand& s) {
    return uint32_t{s.cdb[3]} << 16 | uint32_t{s.cdb[4]} << 8 | s.cdb[5];
}
// A command the device rejects: CHECK CONDITION.
inline Reply CheckCondition() {
    Reply reply;
    reply.scsiStatus = 0x02;
    return reply;
}
// One line per flash command other than status reads: "E addr", "C",
// "R addr len", "W addr len", for comparing command sequences.
std::vector<std::string> FlashOps(const std::vector<SentCommand>& sent);

std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> FromHex(const std::string& hex);   // blanks allowed

}  // namespace qks::test
