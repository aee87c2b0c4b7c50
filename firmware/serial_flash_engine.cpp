#include "firmware/serial_flash_engine.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "firmware/flash_maintenance.h"
#include "firmware/whole_part.h"

namespace qks {

namespace {
constexpr uint32_t kSectorEraseLimit = 65536;
constexpr uint32_t kHalfFlash = 32768;
constexpr uint32_t kSettleMs = 500;
constexpr uint32_t kVerifySettleMs = 1000;
constexpr uint32_t kWriteUnit = 8192;
constexpr uint32_t kEraseUnit = 32768;
constexpr const char* kNotReadyAfterErase = "Not ready after Erase flash success";
constexpr const char* kEraseFail = "Erase command fail!!";

constexpr const char* kReadBackDiffers = "the flash read back differs from what was written";
constexpr const char* kNotErased = "the flash still holds data after its erase";

uint32_t FirstDifference(const uint8_t* a, const uint8_t* b, uint32_t length) {
    uint32_t i = 0;
    while (i < length && a[i] == b[i]) ++i;
    return i;
}

bool AllErased(const uint8_t* bytes, size_t count) {
    return std::all_of(bytes, bytes + count, [](uint8_t b) { return b == 0xFF; });
}

uint32_t RoundUp(uint32_t value, uint32_t unit) { return (value + unit - 1) / unit * unit; }

// An accepted erase is followed by its settle time and a ready-wait.
void SettleAfterErase(EngineContext& window, const DevicePath& path, bool report) {
    window.GetClock().SleepMs(kSettleMs);
    if (!WaitFlashReady(window, path) && report) window.ShowStatus(kNotReadyAfterErase);
}

// The AMIC boot-sector parts: four small sectors in the first half, one at
// the top; refusals among the first four are left to the erase check.
int EraseAmicSectors(EngineContext& window, const DevicePath& path, uint32_t length) {
    static constexpr uint32_t kSectors[] = {0x0000, 0x1000, 0x3000, 0x7000};
    for (uint32_t address : kSectors)
        if (window.Commands().EraseFlashSector(path, address)) SettleAfterErase(window, path, true);
    if (length > kHalfFlash) {
        if (!window.Commands().EraseFlashSector(path, 0xF000)) return 0;
        SettleAfterErase(window, path, false);
    }
    return 1;
}

int EraseHalves(EngineContext& window, const DevicePath& path, uint32_t length) {
    if (!window.Commands().EraseFlashSector(path, 0x0000)) return 0;
    window.StepProgress(10);
    SettleAfterErase(window, path, true);
    if (length > kHalfFlash) {
        if (!window.Commands().EraseFlashSector(path, 0x8000)) return 0;
        SettleAfterErase(window, path, false);
    }
    return 1;
}

// -1: an unsupported AMIC code was reported; -2: what the chip erase would
// take could not be kept; 0: an erase was refused.
int EraseForUpdate(EngineContext& window, const DevicePath& path, uint32_t length) {
    if (length > kSectorEraseLimit) {
        if (!window.KeepPartBeforeChipErase(path)) return -2;
        if (!window.Commands().EraseFlashChip(path)) return 0;
        SettleAfterErase(window, path, true);
        return 1;
    }
    switch (window.AmicFlashCode()) {
        case 1: case 3: case 5: return EraseAmicSectors(window, path, length);
        case 4: case kNoAmicFlash: return EraseHalves(window, path, length);
        default: return -1;
    }
}

// How far the update's erase reaches: the chip erase takes the whole part;
// the sector erases end at the next 32 KB boundary.
uint32_t ErasedUpTo(EngineContext& window, uint32_t length) {
    if (length > kSectorEraseLimit) return EngineContext::kWholePart;
    switch (window.AmicFlashCode()) {
        case 1: case 3: case 5: return length > kHalfFlash ? kSectorEraseLimit : kHalfFlash;
        default: return RoundUp(length, kHalfFlash);
    }
}

// What a chip erase took past the image, now or in a write cut off before,
// goes back once the image is verified.
// The first block is the engine's own: its erases and writes decide it.
bool RestorePastImage(EngineContext& window, const DevicePath& path, uint32_t imageEnd) {
    const uint32_t from = std::max(imageEnd, kPartBlock);
    const auto rest = window.PartToRestore(path, from);
    return rest.empty() || RestorePartFrom(window, path, from, rest) != 0;
}

int RunMaintenanceChoice(EngineContext& window, const DevicePath& path, bool& chosen) {
    chosen = true;
    if (window.RdChecked() && window.EraseOnly() != 0) {
        if (!EraseAllFlash(window, path)) return 0;
        window.ShowMessageBox("Please Turn-Off the Power and Turn-On Again!", "Message",
                              MessageIcon::None);
        return 1;
    }
    if (window.RdChecked() && window.BackupOnlyChecked()) return BackupFlashToFile(window, path);
    chosen = false;
    return 0;
}

int ProgramAndVerify(EngineContext& window, const DevicePath& path,
                     const std::vector<uint8_t>& image, uint32_t page, uint32_t pages,
                     std::vector<uint8_t>& readBack) {
    const auto length = static_cast<uint32_t>(image.size());
    window.StepProgress(10);
    bool refused = false;
    window.Phase(PhaseKind::Write, 0, length);
    for (uint32_t i = 0; i < pages; ++i) {
        window.StepProgress(10);
        if (!window.Commands().WriteFlash(path, i * page, image.data() + i * page, page)) {
            refused = true;
            break;
        }
        window.Phase(PhaseKind::Write, (i + 1) * page, length);
        window.ShowStatusAppended(".");
    }
    window.StepProgress(20);
    if (refused) {
        window.ShowStatus("Programming Fail!!");
        return 0;
    }
    window.GetClock().SleepMs(kVerifySettleMs);
    WaitFlashReady(window, path);
    window.Phase(PhaseKind::Verify, 0, length);
    if (!ReadFlashWhole(window, path, 0, readBack.data(), length)) {
        window.ShowStatus("Read Fail!!\r\n");
        return -1;
    }
    window.Phase(PhaseKind::Verify, length, length);
    window.StepProgress(10);
    if (std::memcmp(image.data(), readBack.data(), length) != 0) {
        window.Fault(EngineStage::Verify, FirstDifference(image.data(), readBack.data(), length),
                     kReadBackDiffers);
        window.ShowStatus("Compare Fail!!\r\n\r\n");
        return 0;
    }
    window.ShowStatus("Programming Success!!");
    return 1;
}

}  // namespace

int UpdateSerialFlash(EngineContext& window, const DevicePath& path) {
    bool chosen = false;
    const int maintenance = RunMaintenanceChoice(window, path, chosen);
    if (chosen) return maintenance;

    const auto resource = window.Images().Find(kSerialFlashImageName);
    if (resource.empty()) {
        window.ShowStatus("Load defaut Fw file Error!!");
        return 0;
    }
    const uint32_t page = window.TransferPageSize();
    const uint32_t length = RoundUp(static_cast<uint32_t>(resource.size()), page);
    const uint32_t pages = length / page;
    if (pages > 255) {   // the page counter is 8 bits wide
        window.ShowStatus("Load defaut Fw file Error!!");
        return 0;
    }
    // The last page and the compare run over whole pages: pad a copy with 0xFF,
    // what an erased flash holds there anyway.
    std::vector<uint8_t> image(length, 0xFF);
    std::memcpy(image.data(), resource.data(), resource.size());
    std::vector<uint8_t> readBack(length, 0);

    if (!WaitFlashReady(window, path)) window.DebugOutput("0.1 Device initial not ready!!");
    if (!window.AnnounceWrite(path, image, ErasedUpTo(window, length))) return 0;
    window.Phase(PhaseKind::Erase, 0, length);
    const int erased = EraseForUpdate(window, path, length);
    if (erased == -2) return 0;
    if (erased < 0) {
        window.Fault(EngineStage::Prepare, std::nullopt,
                     "the AMIC flash code " + std::to_string(window.AmicFlashCode()) +
                         " is not supported; nothing was erased");
        window.ShowStatus("Not Support this AMIC Flash Type!!");
        return 0;
    }
    if (erased == 0) {
        window.ShowStatus(kEraseFail);
        return 0;
    }
    if (!ReadFlashWhole(window, path, 0, readBack.data(), length)) {
        window.ShowStatus("Read Back Erased Flash Error!!");
        return 0;
    }
    window.StepProgress(5);
    window.Phase(PhaseKind::Erase, length, length);
    if (!AllErased(readBack.data(), length)) {
        window.Fault(EngineStage::Erase, std::nullopt, kNotErased);
        window.ShowStatus("Data not 0xff !!");
        return 0;
    }
    const int result = ProgramAndVerify(window, path, image, page, pages, readBack);
    if (result < 0) return 0;   // a refused read-back takes no last step
    if (result == 1 && !RestorePastImage(window, path, length)) return 0;
    window.StepProgress(10);
    return result;
}

std::vector<uint8_t> ComposeEmbeddedImage(const ImageStore& images, const HeaderBlock& header) {
    std::vector<uint8_t> buffer(kMaxImageBytes, 0x00);
    const uint32_t size = LoadEmbeddedImage(images, buffer.data(), 0, 0);
    if (size <= kHeaderBlockBytes || size > kMaxImageBytes) return {};
    std::memcpy(buffer.data(), header.data(), kHeaderBlockBytes);
    return buffer;
}

int ProgramEmbeddedImage(EngineContext& window, const DevicePath& path,
                         const HeaderBlock& header) {
    try {
        const auto buffer = ComposeEmbeddedImage(window.Images(), header);
        if (buffer.empty()) return 0;
        return ProgramFlashVerified(window, path, buffer.data(), kMaxImageBytes);
    } catch (...) {
        return 0;
    }
}

namespace {
int EraseAndCheck(EngineContext& window, const DevicePath& path, uint32_t units,
                  std::vector<uint8_t>& readBack, uint32_t length) {
    for (uint32_t b = 0; b < units; ++b) {
        WaitFlashReady(window, path);
        if (!window.Commands().EraseFlashSector(path, b * kEraseUnit)) return 0;
    }
    window.StepProgress(10);
    if (!ReadFlashPaged(window, path, 0, readBack.data(), length)) return 0;
    if (AllErased(readBack.data(), length)) return 1;
    // Some parts erase less than 32 KB per sector command: one chip erase,
    // then the check again.
    WaitFlashReady(window, path);
    if (!window.KeepPartBeforeChipErase(path)) return 0;
    if (!window.Commands().EraseFlashChip(path)) return 1;
    window.GetClock().SleepMs(kSettleMs);
    WaitFlashReady(window, path);
    const bool reread = ReadFlashPaged(window, path, 0, readBack.data(), length) != 0;
    if (reread && !AllErased(readBack.data(), length)) {
        window.Fault(EngineStage::Erase, std::nullopt, kNotErased);
        return 0;
    }
    return 1;
}
}  // namespace

int ProgramFlashVerified(EngineContext& window, const DevicePath& path, const uint8_t* image,
                         uint32_t length) {
    try {
        const uint32_t pieces = (length + kWriteUnit - 1) / kWriteUnit;
        const uint32_t padded = pieces * kWriteUnit;
        const uint32_t units = (padded + kEraseUnit - 1) / kEraseUnit;
        // Whole pages are read back, so both buffers cover the page rounding.
        const uint32_t readLength = RoundUp(padded, window.TransferPageSize());
        std::vector<uint8_t> written(readLength, 0);
        std::vector<uint8_t> readBack(readLength, 0);
        std::memcpy(written.data(), image, length);
        // Writes go in whole units: a host that cannot move one per command
        // would fail them after the erase, so stop before it.
        if (const uint32_t limit = window.MaxTransferBytes(); limit != 0 && limit < kWriteUnit) {
            window.Fault(EngineStage::Prepare, std::nullopt,
                         "the host moves at most " + std::to_string(limit) +
                             " bytes per command and the flash is written in " +
                             std::to_string(kWriteUnit) + "-byte units");
            return 0;
        }
        window.StepProgress(10);
        window.Phase(PhaseKind::Erase, 0, padded);
        if (!EraseAndCheck(window, path, units, readBack, padded)) return 0;
        window.Phase(PhaseKind::Erase, padded, padded);
        window.StepProgress(10);
        window.Phase(PhaseKind::Write, 0, padded);
        for (uint32_t i = 0; i < pieces; ++i) {
            WaitFlashReady(window, path);
            if (!window.Commands().WriteFlash(path, i * kWriteUnit, written.data() + i * kWriteUnit,
                                              kWriteUnit))
                return 0;
            window.Phase(PhaseKind::Write, (i + 1) * kWriteUnit, padded);
        }
        window.StepProgress(10);
        window.GetClock().SleepMs(kSettleMs);
        WaitFlashReady(window, path);
        window.Phase(PhaseKind::Verify, 0, padded);
        if (!ReadFlashPaged(window, path, 0, readBack.data(), padded)) return 0;
        window.Phase(PhaseKind::Verify, padded, padded);
        if (std::memcmp(written.data(), readBack.data(), padded) != 0) {
            window.Fault(EngineStage::Verify, FirstDifference(written.data(), readBack.data(), padded),
                         kReadBackDiffers);
            return 0;
        }
        if (!RestorePastImage(window, path, padded)) return 0;
        window.StepProgress(10);
        return 1;
    } catch (...) {
        return 0;
    }
}

}  // namespace qks
