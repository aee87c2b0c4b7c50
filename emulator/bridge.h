// The emulated bridge: the controller's answers to every vendor command, its
// serial flash, its internal ROM and its bridge memory, with the faults that a
// description injects. It only sees commands; presence and paths belong to
// the platform that owns it.
#pragma once

#include <cstdint>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/enumeration.h"
#include "device/pass_through.h"
#include "emulator/description.h"
#include "emulator/nor_memory.h"

namespace qks::emu {

inline constexpr uint32_t kXdataBytes = 65536;
inline constexpr uint32_t kExtTransferLimit = 8192;   // the bridge's block buffer

struct SenseCode {
    uint8_t key;
    uint8_t asc;
    uint8_t ascq;
};
inline constexpr SenseCode kInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr SenseCode kInvalidField{0x05, 0x24, 0x00};
inline constexpr SenseCode kSequenceError{0x05, 0x2C, 0x00};
inline constexpr SenseCode kInjectedFailure{0x04, 0x44, 0x00};   // internal target failure
// The host's mistakes the bridge refuses (emulator/README.md has the list;
// `lenient=1` turns off all but the wrong direction). Each names its rule:
// ASCQ 0x80 and up are the bridge's own under INVALID FIELD IN CDB.
inline constexpr SenseCode kFirstBlockTooLong{0x05, 0x24, 0x80};
inline constexpr SenseCode kFirstBlockUnflagged{0x05, 0x24, 0x81};
inline constexpr SenseCode kWrongDirection{0x05, 0x24, 0x82};
// vendormode=1: a flash, ROM or block command before EnterVendorMode.
inline constexpr SenseCode kNotInVendorMode{0x05, 0x24, 0x83};
inline constexpr SenseCode kFlashBusy{0x02, 0x04, 0x07};   // not ready, operation in progress

// Fixed-format sense data as the bridge returns it.
std::vector<uint8_t> FixedSense(SenseCode code);

class EmulatedBridge {
public:
    // `flash` and `rom` hold the starting contents (empty when the bridge has
    // no such part); with a flash file they were read from it.
    EmulatedBridge(BridgeDescription description, Clock& clock, std::vector<uint8_t> flash,
                   std::vector<uint8_t> rom);

    ScsiOutcome Execute(const ScsiCommand& command, InterfaceClass via);

    // Presence, driven by the platform. Losing power ends any erase that is
    // still running and forgets every mode; a handle opened before a new
    // arrival belongs to an older generation and no longer reaches the chip.
    bool Present() const { return present_; }
    void LosePower();
    void Arrive();
    uint32_t Generation() const { return generation_; }
    // True once: the open of the command that `unplug=N` names.
    bool TakeUnplugFault();
    // Told whenever a fault takes the device away in the middle of a command.
    void SetVanishNotice(std::function<void()> notice) { vanishNotice_ = std::move(notice); }

    const BridgeDescription& Description() const { return description_; }
    const Profile& GetProfile() const { return *description_.profile; }

    // Direct access for tests; writes bypass the NOR rule and are persisted.
    std::span<const uint8_t> Flash() const { return flash_.Bytes(); }
    void WriteFlashDirect(uint32_t address, std::span<const uint8_t> bytes);
    std::span<const uint8_t> Rom() const { return rom_.Bytes(); }
    void WriteRomDirect(uint32_t address, std::span<const uint8_t> bytes);

    bool InVendorMode() const { return vendorMode_; }
    bool InternalRomSelected() const { return romSelected_; }
    uint64_t Command25Count() const { return command25Count_; }
    bool FlashBusy() const { return flash_.Busy(clock_.NowMicros()); }
    bool RomBusy() const { return rom_.Busy(clock_.NowMicros()); }
    uint64_t CommandCount() const { return commands_; }
    uint64_t BytesMoved() const { return bytesMoved_; }
    uint64_t EmulatedMicros() const { return emulatedMicros_; }
    std::vector<std::string> TakeProblems();

private:
    ScsiOutcome Dispatch(const ScsiCommand& c, InterfaceClass via);
    ScsiOutcome VendorGroup(const ScsiCommand& c);
    ScsiOutcome RomGroup(const ScsiCommand& c);
    ScsiOutcome ExtGroup(const ScsiCommand& c);
    ScsiOutcome Refuse(SenseCode code);
    std::optional<SenseCode> MisdirectedData(const ScsiCommand& c) const;
    bool NeedsVendorMode(const ScsiCommand& c) const;
    std::optional<SenseCode> FlashNotReady();
    std::optional<SenseCode> FirstBlockFault(uint8_t mode, uint32_t address, uint32_t length) const;
    void CutShort(const ScsiCommand& c, std::span<const uint8_t> before, ScsiOutcome& outcome) const;

    ScsiOutcome Inquiry(const ScsiCommand& c, InterfaceClass via);
    ScsiOutcome RequestSense(const ScsiCommand& c);
    ScsiOutcome ChipInfo(const ScsiCommand& c);
    ScsiOutcome IdText(const ScsiCommand& c);
    ScsiOutcome IdWord(const ScsiCommand& c);
    ScsiOutcome ReadXdata(const ScsiCommand& c);
    ScsiOutcome VendorMode(const ScsiCommand& c);
    ScsiOutcome FlashVendor(const ScsiCommand& c);
    ScsiOutcome SpiSelect(const ScsiCommand& c);
    ScsiOutcome SpiReply(const ScsiCommand& c);

    ScsiOutcome ReadFlash(const ScsiCommand& c, uint32_t address, uint32_t length);
    ScsiOutcome WriteFlash(const ScsiCommand& c, uint32_t address, uint32_t length);
    ScsiOutcome ProgramFlash(const ScsiCommand& c, uint32_t address, uint32_t length);
    ScsiOutcome FlashStatus(const ScsiCommand& c);
    ScsiOutcome EraseChip();
    ScsiOutcome EraseSector(uint32_t address);
    ScsiOutcome ReadFlashExt(const ScsiCommand& c);
    ScsiOutcome WriteFlashExt(const ScsiCommand& c);
    bool EraseBeforeWrite(uint8_t mode, uint32_t address);

    ScsiOutcome RomStatus(const ScsiCommand& c);
    ScsiOutcome RomPreErase(const ScsiCommand& c);
    ScsiOutcome RomErase();
    ScsiOutcome RomRead(const ScsiCommand& c);
    ScsiOutcome RomProgram(const ScsiCommand& c);

    void Charge(uint64_t micros);
    void AwaitReady(const NorMemory& memory);
    void BeginErase(NorMemory& memory, Region region, uint64_t micros);
    // The bytes of a transfer that reach the part: half when power fails in
    // the middle, an eighth for a short reply (small enough to miss a 128-
    // byte header at the start of a 512-byte read).
    uint32_t Share(uint32_t count) const {
        if (powerFailing_) return count / 2;
        return shortening_ ? count / kShortDivisor : count;
    }
    static constexpr uint32_t kShortDivisor = 8;
    void ApplyFlip(uint32_t address, std::span<uint8_t> out) const;
    void PersistFlash();
    void ForgetModes();
    std::vector<uint8_t> BuildXdata() const;

    BridgeDescription description_;
    Clock& clock_;
    NorMemory flash_;
    NorMemory rom_;
    std::vector<uint8_t> xdata_;
    // Operations on several threads reach their bridges at once, and a test
    // or the bench plugs and unplugs from yet another: one lock per bridge,
    // taken again by the notices a command may give.
    mutable std::recursive_mutex lock_;
    std::atomic<bool> present_{true};
    std::atomic<uint32_t> generation_{0};
    bool unplugFired_ = false;
    bool powerFailing_ = false;
    bool shortening_ = false;
    bool vendorMode_ = false;
    bool romSelected_ = false;
    bool romEraseArmed_ = false;
    uint8_t spiInstruction_ = 0;
    uint64_t command25Count_ = 0;
    std::atomic<uint64_t> commands_{0};
    std::atomic<uint64_t> bytesMoved_{0};
    uint64_t emulatedMicros_ = 0;
    std::vector<uint8_t> lastSense_;
    std::vector<std::string> problems_;
    std::function<void()> vanishNotice_;
};

}  // namespace qks::emu
