// USB mass storage Bulk-Only Transport as the device side sees it: the
// 31-byte Command Block Wrapper, the 13-byte Command Status Wrapper, and a
// target that answers one command at a time. No I/O here: the FunctionFS
// loop moves the bytes, this decides what they are, so all of it runs in a
// host test without a kernel.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/pass_through.h"

namespace qks::rig {

inline constexpr size_t kCbwBytes = 31;
inline constexpr size_t kCswBytes = 13;
inline constexpr uint32_t kCbwSignature = 0x43425355;   // "USBC"
inline constexpr uint32_t kCswSignature = 0x53425355;   // "USBS"
inline constexpr uint8_t kMaxCdbBytes = 16;

struct Cbw {
    uint32_t tag = 0;
    uint32_t dataLength = 0;
    bool dataIn = false;   // bmCBWFlags bit 7; meaningless when dataLength is 0
    uint8_t lun = 0;
    std::vector<uint8_t> cdb;
};

struct CbwParse {
    std::optional<Cbw> cbw;
    std::string error;   // one line; empty when the wrapper is valid and meaningful
};

// Valid: exactly 31 bytes with the signature. Meaningful: a LUN the device
// has (0 to `maxLun`), no reserved flag bits, a CDB length of 1 to 16.
CbwParse ParseCbw(std::span<const uint8_t> bytes, uint8_t maxLun = 0);

enum class CswStatus : uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

std::array<uint8_t, kCswBytes> BuildCsw(uint32_t tag, uint32_t residue, CswStatus status);

// What the bridge behind the target does with the commands the target does
// not answer itself; `lun` is the interface the command came through (0 the
// disk, 1 the CD-ROM when the device has one). An outcome that was not
// delivered means the device is gone: the bus loses it, nothing more is said.
class CommandBackend {
public:
    virtual ~CommandBackend() = default;
    virtual ScsiOutcome Execute(const ScsiCommand& command, uint8_t lun) = 0;
};

// A fault the rig adds on top of the emulator: the `occurrence`-th command
// whose CDB starts with `cdbPrefix` is held `holdMs` before it runs (a slow
// device), or makes the device drop off the bus once its data has arrived.
struct CommandFault {
    enum class Kind : uint8_t { Hold, Vanish };
    Kind kind = Kind::Hold;
    std::vector<uint8_t> cdbPrefix;
    uint32_t occurrence = 1;
    uint32_t holdMs = 0;
};

// "PREFIX[@N]" for a vanish, "PREFIX[@N]:MS" for a hold; PREFIX is hex bytes.
std::optional<CommandFault> ParseCommandFault(std::string_view text, CommandFault::Kind kind,
                                              std::string& error);

struct Reply {
    CswStatus status = CswStatus::Passed;
    std::vector<uint8_t> dataIn;   // exactly the CBW's length for a data-in command, else empty
    uint32_t residue = 0;
    bool vanished = false;         // nothing more goes on the bus, not even the status
    bool abandoned = false;        // a reset came while the command was held: no status
    bool answeredHere = false;     // a standard command the target answered itself
    std::string note;              // for the log: why a command failed
};

// Sleeps up to `ms`; false when a reset cut the wait short.
using HoldWait = std::function<bool(uint32_t ms)>;

class BotTarget {
public:
    static constexpr uint32_t kBlockBytes = 512;

    // A zero-filled disk of `mediumBlocks` held in memory.
    BotTarget(CommandBackend& backend, uint32_t mediumBlocks);
    // A disk on storage the caller keeps (a mapped file); whole blocks only.
    BotTarget(CommandBackend& backend, std::span<uint8_t> medium);

    // LUN 1 becomes a CD-ROM drive with no disc in it: the kernel's sr and
    // udev's cdrom_id and media polling talk to it, the bridge's own
    // commands on it reach the bridge's CD-ROM interface.
    void AddCdromLun() { maxLun_ = 1; }
    uint8_t MaxLun() const { return maxLun_; }

    void AddFault(CommandFault fault) { faults_.push_back({std::move(fault), 0}); }

    // `dataOut` holds what the host sent (the CBW's length for data-out).
    Reply Run(const Cbw& cbw, std::span<const uint8_t> dataOut, const HoldWait& wait);

    // A Bulk-Only Mass Storage Reset: no sense survives it.
    void Reset() { pendingSense_.clear(); }

    uint32_t MediumBlocks() const { return mediumBlocks_; }

private:
    struct Armed {
        CommandFault fault;
        uint32_t seen;
    };
    enum class Want : uint8_t { None, In, Out };
    struct Answer {
        Want want = Want::None;
        std::vector<uint8_t> data;      // data-in bytes, the device's own length
        uint32_t outBytes = 0;          // data-out bytes the command takes
        std::vector<uint8_t> sense;     // set: CHECK CONDITION
        std::string note;
    };

    std::optional<Answer> Standard(const Cbw& cbw, std::span<const uint8_t> dataOut);
    std::optional<Answer> Cdrom(const Cbw& cbw);
    Answer Block(const Cbw& cbw, std::span<const uint8_t> dataOut, bool write, uint64_t lba,
                 uint32_t blocks);
    Reply Finish(const Cbw& cbw, Answer answer, bool here);
    Reply Forward(const Cbw& cbw, std::span<const uint8_t> dataOut);
    const CommandFault* MatchFault(const Cbw& cbw);

    CommandBackend& backend_;
    uint32_t mediumBlocks_;
    std::vector<uint8_t> owned_;
    std::span<uint8_t> medium_;
    uint8_t maxLun_ = 0;
    std::vector<uint8_t> pendingSense_;
    std::vector<Armed> faults_;
};

// Fixed-format sense, 18 bytes.
std::vector<uint8_t> MakeSense(uint8_t key, uint8_t asc, uint8_t ascq);

std::string Hex(std::span<const uint8_t> bytes);

}  // namespace qks::rig
