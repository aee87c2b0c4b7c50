// The transport between the vendor commands and a platform's pass-through,
// fed outcomes no well-behaved driver returns: transferred counts past the
// request, sense data of any size, any status and diagnostic bytes. Each
// input is a run of transfers:
//   flags        bit 0 data-out, bit 1 null buffer when the length is 0,
//                bit 2 no transferred pointer, bit 3 the open fails,
//                bits 4-5 which open failure, bit 6 not delivered
//   cdb length (mod 17), cdb bytes
//   length (16 bits, little-endian)
//   SCSI, host and driver status, OS error (signed byte)
//   transferred (32 bits, little-endian)
//   sense length, sense bytes; diagnostic length, diagnostic bytes
//   reply length, reply bytes (data-in: copied into the buffer the
//   pass-through was given, at most its length)
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "device/clock.h"
#include "device/command_trace.h"
#include "device/transport.h"

namespace {

using namespace qks;

[[noreturn]] void Fail() { std::abort(); }

struct Script {
    bool openFails = false;
    OpenFailure failure = OpenFailure::None;
    ScsiOutcome outcome;
    std::vector<uint8_t> reply;
};

// One scripted answer per open; remembers what reached the driver.
class OnePassThrough final : public PassThrough {
public:
    OpenResult Open(const DevicePath&, OpenMode mode) override {
        ++opens;
        lastMode = mode;
        OpenResult result;
        if (script.openFails) {
            result.failure = script.failure;
            result.diagnostic = script.outcome.diagnostic;
            return result;
        }
        result.handle = std::make_unique<Handle>(*this);
        return result;
    }

    Script script;
    int opens = 0;
    int executes = 0;
    OpenMode lastMode = OpenMode::Shared;
    ScsiCommand seen;
    std::vector<uint8_t> seenOut;   // data-out bytes as the driver read them

private:
    class Handle final : public DeviceHandle {
    public:
        explicit Handle(OnePassThrough& owner) : owner_(owner) {}
        ScsiOutcome Execute(const ScsiCommand& command) override {
            ++owner_.executes;
            owner_.seen = command;
            if (command.length > 0 && command.data == nullptr) Fail();
            if (command.direction == DataDirection::Out) {
                owner_.seenOut.assign(command.data, command.data + command.length);
            } else {
                const size_t n = std::min<size_t>(command.length, owner_.script.reply.size());
                if (n) std::memcpy(command.data, owner_.script.reply.data(), n);
                fuzz::TouchAll(command.data, command.length);
            }
            return owner_.script.outcome;
        }

    private:
        OnePassThrough& owner_;
    };
};

class LastRecord final : public TraceSink {
public:
    void Record(const TraceRecord& record) override {
        last = record;
        ++count;
        // Every record must make a trace line that reads back as JSON.
        const nlohmann::json line = nlohmann::json::parse(TraceLine(record));
        if (line.at("seq").get<uint64_t>() != record.seq) Fail();
    }
    TraceRecord last;
    uint64_t count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader input(data, size);
    OnePassThrough device;
    VirtualClock clock;
    LastRecord trace;
    Transport transport(device, clock, &trace);
    uint64_t sent = 0;

    while (!input.Empty()) {
        const uint8_t flags = input.U8();
        const bool out = flags & 0x01;
        const std::vector<uint8_t> cdb = input.Bytes(input.U8() % 17);
        // Past the bridge's 8 KB block nothing new happens in the transport.
        const uint32_t length = input.U16() % (8192 + 512);

        Script& script = device.script;
        script = Script{};
        script.openFails = flags & 0x08;
        static constexpr OpenFailure kWhy[4] = {OpenFailure::NotFound, OpenFailure::AccessDenied,
                                                OpenFailure::Busy, OpenFailure::Other};
        script.failure = kWhy[(flags >> 4) & 3];
        script.outcome.delivered = !(flags & 0x40);
        script.outcome.scsiStatus = input.U8();
        script.outcome.hostStatus = input.U8();
        script.outcome.driverStatus = input.U8();
        script.outcome.osError = static_cast<int8_t>(input.U8());
        script.outcome.transferred = input.U32();
        script.outcome.sense = input.Bytes(input.U8());
        script.outcome.diagnostic = input.Text(input.U8());
        script.reply = input.Bytes(input.U8());

        // Exactly the caller's length, so the sanitizer sees any byte past it.
        std::vector<uint8_t> storage(length);
        for (uint32_t i = 0; i < length; ++i) storage[i] = static_cast<uint8_t>(i * 7 + 1);
        const std::vector<uint8_t> before = storage;
        uint8_t* buffer = (length == 0 && (flags & 0x02)) ? nullptr : storage.data();
        constexpr uint32_t kUntouched = 0xA5A5A5A5u;
        uint32_t transferred = kUntouched;
        uint32_t* transferredOut = (flags & 0x04) ? nullptr : &transferred;
        const uint8_t* cdbBytes = cdb.empty() ? nullptr : cdb.data();
        const auto cdbLength = static_cast<uint8_t>(cdb.size());

        const int executesBefore = device.executes;
        const int ok = out ? transport.ScsiTransferOut("fuzz#0", cdbBytes, cdbLength, buffer,
                                                       length, transferredOut)
                           : transport.ScsiTransferIn("fuzz#0", cdbBytes, cdbLength, buffer,
                                                      length, transferredOut);
        ++sent;
        if (ok != 0 && ok != 1) Fail();
        if (transport.CommandsSent() != sent || trace.count != sent) Fail();
        if (device.lastMode != (out ? OpenMode::Exclusive : OpenMode::Shared)) Fail();

        if (script.openFails) {
            // Nothing was sent, so nothing may look received.
            if (ok || device.executes != executesBefore || transferred != kUntouched) Fail();
            if (trace.last.opened || !transport.LastFailure().openFailed) Fail();
        } else {
            if (device.executes != executesBefore + 1) Fail();
            if (ok != (script.outcome.Good() ? 1 : 0)) Fail();
            if (transferredOut && transferred != script.outcome.transferred) Fail();
            // A single byte is asked for as two; every other length as it is.
            const uint32_t asked = length == 1 ? 2 : length;
            if (device.seen.length != asked) Fail();
            if (length > 3 && device.seen.data != buffer) Fail();
            if (out) {
                // The driver reads the caller's bytes; a short transfer pads them with zeros.
                std::vector<uint8_t> expected = before;
                expected.resize(asked, 0);
                if (device.seenOut != expected) Fail();
                if (storage != before) Fail();   // data-out leaves the caller's bytes alone
            } else {
                // In place, bytes the reply did not reach keep their value; through
                // the scratch buffer they come back as its zeros.
                std::vector<uint8_t> expected = length > 3 ? before : std::vector<uint8_t>(length, 0);
                const size_t replied = std::min<size_t>(script.reply.size(), length);
                if (replied) std::memcpy(expected.data(), script.reply.data(), replied);
                if (storage != expected) Fail();
            }
            if (!ok && !transport.LastFailure().any) Fail();
        }
        if (transport.LastFailure().any) (void)transport.LastFailure().Describe();
        (void)DescribeSense(script.outcome.sense);
    }
    return 0;
}
