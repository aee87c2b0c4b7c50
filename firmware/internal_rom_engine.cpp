#include "firmware/internal_rom_engine.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "firmware/flash_maintenance.h"
#include "firmware/image_store.h"

namespace qks {

namespace {
constexpr const char* kSwitchFail = "Can't switch to internal ROM";
constexpr const char* kPreEraseFail = "Error pre-erase command!!";
constexpr const char* kEraseBusy = "Erase command ok,status fail!!";
constexpr const char* kEraseOk = "Erase command ok!!";
constexpr const char* kNotErased = "Not Erase correctly!";
constexpr const char* kAllocateFail = "Allocate read buffer Error!!";
constexpr const char* kProgramFail = "Programming Fail!!";
constexpr const char* kProgramOk = "Programming Success!!";
constexpr const char* kReadFail = "Read Fail!!";
constexpr const char* kCompareFail = "Compare Fail!!";
constexpr const char* kProgramDone = "Programming & Compare Success!!";
constexpr const char* kEraseOnlyStart = "Start Erase only!";
constexpr const char* kEraseReadFail = "Read Back after Erase fail!!";
constexpr const char* kEraseDone = "Erase All success!!";
constexpr const char* kBackupStart = "Backup ...";
constexpr const char* kBackupReadFail = "Read ROM fail!!";
constexpr const char* kBackupSaveFail = "Read ROM Suceess, but save to file fail!!";
constexpr const char* kBackupOpenFail = "Open Backup File Error!!";
constexpr const char* kBackupDone = "Read flash and backup success!";
constexpr const char* kCopyReadFail = "Backup of the ROM failed, nothing written: the ROM cannot be read";

// Running out of memory is a failure like any other: it ends the operation
// with its text instead of leaving it as an exception.
bool AllocateReadBuffer(std::vector<uint8_t>& buffer) {
    try {
        buffer.assign(kInternalRomBytes, 0x00);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool AllErased(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

// One logical ROM read from address 0: a single command, or pieces at
// increasing addresses where the host cannot move the whole length at once.
int ReadRomWhole(EngineContext& window, const DevicePath& path, uint8_t* dest,
                 uint32_t length) {
    const uint32_t limit = window.MaxTransferBytes();
    if (limit == 0 || length <= limit) return window.Commands().ReadRom(path, 0, dest, length);
    for (uint32_t done = 0; done < length; done += limit) {
        const uint32_t piece = std::min(limit, length - done);
        if (!window.Commands().ReadRom(path, done, dest + done, piece)) return 0;
    }
    return 1;
}

// The ROM holds the bridge's only firmware: where the context keeps copies,
// one is taken before the first erase, and nothing is erased without it.
bool KeepRomCopy(EngineContext& window, const DevicePath& path, std::vector<uint8_t>& scratch) {
    if (!window.KeepsCopiesBeforeWriting()) return true;
    if (!ReadRomWhole(window, path, scratch.data(), kInternalRomBytes)) {
        window.DebugOutput("cannot read the ROM for its backup: " +
                           window.Commands().GetTransport().LastFailure().Describe());
        window.SetStatusText(kCopyReadFail);
        return false;
    }
    return window.KeepCopyBeforeWriting(path, "internal ROM", scratch);
}

// An image the ROM cannot hold, or one the host cannot send in the single
// ProgramRom command, would fail only after the erase has emptied the ROM;
// such an image is refused while the ROM still holds working firmware.
bool ImageFits(EngineContext& window, std::span<const uint8_t> image) {
    if (image.size() > kInternalRomBytes) {
        window.DebugOutput("ROM image of " + std::to_string(image.size()) +
                           " bytes is larger than the 65536-byte ROM");
        return false;
    }
    const uint32_t limit = window.MaxTransferBytes();
    if (limit != 0 && image.size() > limit) {
        window.DebugOutput("ROM image of " + std::to_string(image.size()) +
                           " bytes exceeds the host's transfer limit of " +
                           std::to_string(limit) + " bytes");
        return false;
    }
    return true;
}

// Erase, wait and blank check. Only a blank check that finds data stops the
// programming: with a refused erase or an unanswered wait the program
// command is still tried, and its read-back tells whether it took.
bool EraseBeforeProgram(EngineContext& window, const DevicePath& path,
                        std::vector<uint8_t>& readBack) {
    VendorCommandSet& commands = window.Commands();
    if (!commands.EraseRom(path)) return true;
    if (!WaitRomReady(commands, path)) {
        window.ShowStatusAtOnce(kEraseBusy);
        return true;
    }
    window.ShowStatusAtOnce(kEraseOk);
    if (!ReadRomWhole(window, path, readBack.data(), kInternalRomBytes)) return true;
    if (!AllErased(readBack)) {
        window.Fault(EngineStage::Erase, std::nullopt, "the ROM still holds data after its erase");
        window.ShowStatusAtOnce(kNotErased);
        return false;
    }
    return true;
}
}  // namespace

int WaitRomReady(VendorCommandSet& commands, const DevicePath& path) {
    for (int round = 0; round < kRomPollRounds; ++round)
        for (int poll = 0; poll < kRomPollsPerRound; ++poll) {
            if (!commands.IsRomBusy(path)) return 1;
            // A refused poll counts as busy, but a device that is gone will
            // not answer any of the thousands of polls left.
            if (commands.GetTransport().LastCommandFoundNoDevice()) return 0;
        }
    return 0;
}

int ProgramInternalRom(EngineContext& window, const DevicePath& path, int32_t romType) {
    VendorCommandSet& commands = window.Commands();
    // With the A1 chip box checked the bridge is driven as it stands.
    if (!window.A1ChipChecked() && !commands.SwitchToInternalRom(path)) {
        window.SetStatusText(kSwitchFail);
        return 0;
    }
    if (window.EraseOnly() != 0) return EraseInternalRom(window, path, romType);
    if (window.BackupOnlyChecked()) return BackupInternalRom(window, path);

    const std::span<const uint8_t> image = window.Images().Find(kSerialFlashImageName);
    if (!ImageFits(window, image)) {
        window.Fault(EngineStage::Prepare, std::nullopt, "the ROM image does not fit; nothing was erased");
        window.SetStatusText(kProgramFail);
        return 0;
    }
    // Without a read-back buffer nothing could be verified; stop before the
    // ROM is touched rather than program blind.
    std::vector<uint8_t> readBack;
    if (!AllocateReadBuffer(readBack)) {
        window.SetStatusText(kAllocateFail);
        return 0;
    }

    if (!KeepRomCopy(window, path, readBack)) return 0;

    if (!commands.PreEraseRom(path, romType)) {
        window.SetStatusText(kPreEraseFail);
        return 0;
    }
    if (!EraseBeforeProgram(window, path, readBack)) return 0;

    const auto length = static_cast<uint32_t>(image.size());
    WaitRomReady(commands, path);
    // A missing image has nothing to send: a zero-length program would be
    // accepted and then "verified" over no bytes at all.
    if (length == 0 || !commands.ProgramRom(path, image.data(), length, romType)) {
        window.SetStatusText(kProgramFail);
        return 0;
    }
    window.ShowStatusAtOnce(kProgramOk);
    WaitRomReady(commands, path);
    if (!ReadRomWhole(window, path, readBack.data(), length)) {
        window.SetStatusText(kReadFail);
        return 0;
    }
    if (std::memcmp(image.data(), readBack.data(), length) != 0) {
        window.Fault(EngineStage::Verify, std::nullopt,
                     "the ROM read back differs from what was written");
        window.SetStatusText(kCompareFail);
        return 0;
    }
    window.ShowStatusAtOnce(kProgramDone);
    return 1;
}

int EraseInternalRom(EngineContext& window, const DevicePath& path, int32_t romType) {
    VendorCommandSet& commands = window.Commands();
    window.ShowStatusAtOnce(kEraseOnlyStart);
    std::vector<uint8_t> readBack;
    if (!AllocateReadBuffer(readBack)) {
        window.SetStatusText(kAllocateFail);
        return 0;
    }
    if (!KeepRomCopy(window, path, readBack)) return 0;
    if (!commands.PreEraseRom(path, romType)) {
        window.SetStatusText(kPreEraseFail);
        return 0;
    }
    if (!commands.EraseRom(path)) return 1;
    if (!WaitRomReady(commands, path)) {
        window.ShowStatusAtOnce(kEraseBusy);
        return 1;
    }
    window.ShowStatusAtOnce(kEraseOk);
    if (!ReadRomWhole(window, path, readBack.data(), kInternalRomBytes)) {
        window.ShowStatusAtOnce(kEraseReadFail);
        return 1;
    }
    if (!AllErased(readBack)) {
        window.Fault(EngineStage::Erase, std::nullopt, "the ROM still holds data after its erase");
        window.ShowStatusAtOnce(kNotErased);
        return 0;
    }
    window.ShowStatusAtOnce(kEraseDone);
    return 1;
}

int BackupInternalRom(EngineContext& window, const DevicePath& path) {
    const std::string name = ChooseBackupName(window);
    window.ShowStatusAtOnce(kBackupStart);
    // A name the 260-byte name field cannot hold is refused before the ROM
    // is read. The save-failure text would claim a read that never happened,
    // so this uses the open-failure text of the flash backup: the file is
    // indeed never opened.
    if (name.size() > kBackupNameLimit) {
        window.Fault(EngineStage::Save, std::nullopt, "the backup file name is longer than 259 characters");
        window.DebugOutput("backup file name longer than 259 characters");
        window.SetStatusText(kBackupOpenFail);
        return 0;
    }
    std::vector<uint8_t> rom;
    if (!AllocateReadBuffer(rom)) {
        window.SetStatusText(kAllocateFail);
        return 0;
    }
    if (!ReadRomWhole(window, path, rom.data(), kInternalRomBytes)) {
        window.SetStatusText(kBackupReadFail);
        return 0;
    }
    if (!WriteFileAtomically(name, rom)) {
        window.Fault(EngineStage::Save, std::nullopt, "cannot write the backup file " + name);
        window.DebugOutput("cannot write backup file " + name);
        window.SetStatusText(kBackupSaveFail);
        return 0;
    }
    window.ShowStatusAtOnce(kBackupDone);
    return 1;
}

}  // namespace qks
