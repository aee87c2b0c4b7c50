// A device whose every answer comes from the fuzz input, one record per
// command, so the identification code meets replies no bridge we have
// would give: refusals, missing devices, short and over-long transfers,
// sense data of any size.
//
// A record:
//   control      bit 0     the open fails (the record ends here)
//                bits 1-2  which failure: not found, access denied, busy, other
//                bit 3     the command is not delivered
//                bit 4     an OS error comes back
//                bit 5     a host status comes back
//                bit 6     a driver status comes back
//                bit 7     sense data follows the reply bytes
//   status       the SCSI status byte
//   transferred  0: the reply bytes written, 1: the command's length,
//                2: nothing, 3: 0xFFFFFFFF, n >= 4: the command's length + n
//   count        reply bytes that follow; at most the command's length of
//                them land in its buffer, the rest are skipped
//   [sense length, sense bytes]   when control bit 7 is set
// Once the input is used up the device is gone: every open fails.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>

#include "byte_reader.h"
#include "device/pass_through.h"

namespace qks::fuzz {

enum ControlBits : uint8_t {
    kOpenFails = 0x01,
    kNotDelivered = 0x08,
    kOsError = 0x10,
    kHostStatus = 0x20,
    kDriverStatus = 0x40,
    kSenseFollows = 0x80,
};

inline constexpr uint8_t kTransferredWritten = 0;
inline constexpr uint8_t kTransferredAsked = 1;
inline constexpr uint8_t kTransferredNone = 2;
inline constexpr uint8_t kTransferredAll = 3;

class ScriptedDevice final : public PassThrough {
public:
    explicit ScriptedDevice(ByteReader& input) : input_(input) {}

    OpenResult Open(const DevicePath&, OpenMode) override {
        OpenResult result;
        const uint8_t control = input_.Empty() ? kOpenFails : input_.U8();
        if (control & kOpenFails) {
            static constexpr OpenFailure kWhy[4] = {OpenFailure::NotFound, OpenFailure::AccessDenied,
                                                    OpenFailure::Busy, OpenFailure::Other};
            result.failure = kWhy[(control >> 1) & 3];
            result.osError = 2;
            result.diagnostic = "scripted open failure";
            return result;
        }
        result.handle = std::make_unique<Handle>(*this, control);
        ++opens;
        return result;
    }

    int opens = 0;
    int dataOut = 0;   // data-out commands that reached the device

private:
    class Handle final : public DeviceHandle {
    public:
        Handle(ScriptedDevice& owner, uint8_t control)
            : owner_(owner), input_(owner.input_), control_(control) {}

        ScsiOutcome Execute(const ScsiCommand& command) override {
            if (command.direction == DataDirection::Out) ++owner_.dataOut;
            ScsiOutcome outcome;
            outcome.delivered = !(control_ & kNotDelivered);
            outcome.osError = (control_ & kOsError) ? 5 : 0;
            outcome.hostStatus = (control_ & kHostStatus) ? 0x07 : 0;
            outcome.driverStatus = (control_ & kDriverStatus) ? 0x08 : 0;
            outcome.scsiStatus = input_.U8();
            const uint8_t transferred = input_.U8();
            const std::vector<uint8_t> reply = input_.Bytes(input_.U8());
            const bool in = command.direction == DataDirection::In;
            uint32_t written = 0;
            if (command.length > 0 && command.data == nullptr) __builtin_trap();
            if (in) {
                written = std::min<uint32_t>(command.length, static_cast<uint32_t>(reply.size()));
                if (written) std::memcpy(command.data, reply.data(), written);
            }
            // A driver may touch the whole buffer it was given: make the
            // sanitizer check all of it, without changing what it holds.
            fuzz::TouchAll(command.data, command.length);
            switch (transferred) {
                case kTransferredWritten: outcome.transferred = written; break;
                case kTransferredAsked: outcome.transferred = command.length; break;
                case kTransferredNone: outcome.transferred = 0; break;
                case kTransferredAll: outcome.transferred = 0xFFFFFFFFu; break;
                default: outcome.transferred = command.length + transferred; break;
            }
            if (control_ & kSenseFollows) outcome.sense = input_.Bytes(input_.U8());
            return outcome;
        }

    private:
        ScriptedDevice& owner_;
        ByteReader& input_;
        uint8_t control_;
    };

    ByteReader& input_;
};

// Wraps a real pass-through and writes down, in the record format above,
// what it answered: seeds that start the fuzzer from real conversations.
class RecordingPassThrough final : public PassThrough {
public:
    explicit RecordingPassThrough(PassThrough& inner) : inner_(inner) {}

    OpenResult Open(const DevicePath& path, OpenMode mode) override {
        OpenResult opened = inner_.Open(path, mode);
        if (!opened.handle) {
            static constexpr uint8_t kKind[] = {0, 0, 1, 2, 3};
            out_.U8(static_cast<uint8_t>(kOpenFails | kKind[static_cast<int>(opened.failure)] << 1));
            return opened;
        }
        opened.handle = std::make_unique<Handle>(std::move(opened.handle), out_);
        return opened;
    }
    const std::vector<uint8_t>& Script() const { return out_.Result(); }

private:
    class Handle final : public DeviceHandle {
    public:
        Handle(std::unique_ptr<DeviceHandle> inner, ByteWriter& out)
            : inner_(std::move(inner)), out_(out) {}
        ScsiOutcome Execute(const ScsiCommand& command) override {
            ScsiOutcome outcome = inner_->Execute(command);
            uint8_t control = 0;
            if (!outcome.delivered) control |= kNotDelivered;
            if (outcome.osError) control |= kOsError;
            if (outcome.hostStatus) control |= kHostStatus;
            if (outcome.driverStatus) control |= kDriverStatus;
            if (!outcome.sense.empty()) control |= kSenseFollows;
            out_.U8(control);
            out_.U8(outcome.scsiStatus);
            const bool in = command.direction == DataDirection::In;
            const uint32_t count = in ? std::min<uint32_t>(outcome.transferred, 255) : 0;
            out_.U8(in && count == outcome.transferred ? kTransferredWritten : kTransferredAsked);
            out_.U8(static_cast<uint8_t>(count));
            if (count) out_.Bytes(command.data, count);
            if (!outcome.sense.empty()) {
                const size_t n = std::min<size_t>(outcome.sense.size(), 255);
                out_.U8(static_cast<uint8_t>(n));
                out_.Bytes(outcome.sense.data(), n);
            }
            return outcome;
        }

    private:
        std::unique_ptr<DeviceHandle> inner_;
        ByteWriter& out_;
    };

    PassThrough& inner_;
    ByteWriter out_;
};

}  // namespace qks::fuzz
