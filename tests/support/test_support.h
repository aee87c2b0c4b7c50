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

std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> FromHex(const std::string& hex);   // blanks allowed

}  // namespace qks::test
