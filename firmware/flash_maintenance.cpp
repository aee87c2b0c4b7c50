#include "firmware/flash_maintenance.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "device/flash_ready.h"

namespace qks {

namespace {
constexpr const char* kNotReadyAtStart = "0.1 Device initial not ready!!";
constexpr const char* kNotReadyAfterErase = "Not ready after Erase flash success";
constexpr uint32_t kEraseSettleMs = 500;

bool AllErased(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

uint32_t PieceCount(uint32_t length, uint32_t piece) { return (length + piece - 1) / piece; }
}  // namespace

int WaitFlashReady(EngineContext& window, const DevicePath& path) {
    return qks::WaitFlashReady(window.Commands(), window.GetClock(), path, &window);
}

int ReadFlashWhole(EngineContext& window, const DevicePath& path, uint32_t address,
                   uint8_t* dest, uint32_t length) {
    const uint32_t limit = window.MaxTransferBytes();
    if (limit == 0 || length <= limit) return window.Commands().ReadFlash(path, address, dest, length);
    for (uint32_t done = 0; done < length; done += limit) {
        const uint32_t piece = std::min(limit, length - done);
        if (!window.Commands().ReadFlash(path, address + done, dest + done, piece)) return 0;
    }
    return 1;
}

int ReadFlashPaged(EngineContext& window, const DevicePath& path, uint32_t address,
                   uint8_t* dest, uint32_t length) {
    if (!WaitFlashReady(window, path)) window.DebugOutput(kNotReadyAtStart);
    const uint32_t page = window.TransferPageSize();
    const uint32_t count = PieceCount(length, page);
    window.ShowStatus("ReadFlash...");
    int result = 0;
    for (uint32_t i = 0; i < count; ++i) {
        WaitFlashReady(window, path);
        // A host that moves less than a page per command gets the page in pieces.
        if (!ReadFlashWhole(window, path, address + i * page, dest + i * page, page)) {
            result = 0;
            break;
        }
        result = 1;
        window.ShowStatusAppended(".");
    }
    return result;
}

int EraseFlashPaged(EngineContext& window, const DevicePath& path, uint32_t length) {
    if (!WaitFlashReady(window, path)) window.DebugOutput(kNotReadyAtStart);
    const uint32_t page = window.TransferPageSize();
    const uint32_t count = PieceCount(length, page);
    window.ShowStatus("Erase...");
    int result = 0;
    for (uint32_t i = 0; i < count; ++i) {
        WaitFlashReady(window, path);
        if (!window.Commands().EraseFlashSector(path, i * page)) {
            result = 0;
            break;
        }
        if (!WaitFlashReady(window, path)) window.DebugOutput(kNotReadyAfterErase);
        result = 1;
        window.ShowStatusAppended(".");
    }
    return result;
}

int EraseAllFlash(EngineContext& window, const DevicePath& path) {
    window.ShowStatus("Start Erase only!");
    const uint32_t length = window.FirmwareSize();
    if (!window.AnnounceWrite(path, {}, length)) return 0;
    WaitFlashReady(window, path);
    if (!EraseFlashPaged(window, path, length)) {
        window.ShowStatus("Erase command fail!!");
        return 0;
    }
    window.GetClock().SleepMs(kEraseSettleMs);
    if (!WaitFlashReady(window, path)) window.ShowStatus("Not ready after Erase flash cmd success");
    std::vector<uint8_t> check(length, 0);
    if (ReadFlashWhole(window, path, 0, check.data(), length) && !AllErased(check)) {
        window.Fault(EngineStage::Erase, std::nullopt, "the flash still holds data after its erase");
        window.ShowStatus("Data not 0xff !!");
        return 0;
    }
    window.ShowStatus("Erase flash all success!");
    return 1;
}

std::string ChooseBackupName(EngineContext& window) {
    std::string name = window.BackupFileName();
    if (name.empty()) {
        window.ShowMessageBox(kDefaultBackupNotice, "Message", MessageIcon::None);
        name = kDefaultBackupName;
    }
    return name;
}

int BackupFlashToFile(EngineContext& window, const DevicePath& path) {
    const std::string name = ChooseBackupName(window);
    const uint32_t length = window.FirmwareSize();
    window.ShowStatus("Backup ...");
    // A name the 260-byte field cannot hold is refused before the flash is read.
    if (name.size() > kBackupNameLimit) {
        window.Fault(EngineStage::Save, std::nullopt, "the backup file name is longer than 259 characters");
        window.DebugOutput("backup file name longer than 259 characters");
        window.ShowStatus("Open Backup File Error!!");
        return 0;
    }
    std::vector<uint8_t> flash(length, 0);
    if (!ReadFlashWhole(window, path, 0, flash.data(), length)) {
        window.ShowStatus("Read Back to Backup Error!!");
        return 0;
    }
    std::string error;
    if (WriteFileDurably(name, flash, ExistingTarget::Replace, &error) != DurableWrite::Written) {
        window.Fault(EngineStage::Save, std::nullopt, "cannot write the backup file " + name + ": " + error);
        window.DebugOutput("cannot write backup file " + name + ": " + error);
        window.ShowStatus("Open Backup File Error!!");
        return 0;
    }
    window.ShowStatus("Read flash and backup success!");
    return 1;
}

}  // namespace qks
