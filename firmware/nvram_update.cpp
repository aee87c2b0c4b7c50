#include "firmware/nvram_update.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "device/chip_id.h"
#include "firmware/flash_maintenance.h"

namespace qks {

namespace {
constexpr const char* kAllocateFail = "Allocate buffers Error!!";
constexpr const char* kSaveAreaFail = "Backup NVRAM command fail!";
constexpr const char* kWriteFail = "Write command fail!";

// The buffers are the operation's own; running out of memory is a failure
// like any other and must not leave the operation as an exception.
bool Allocate(std::vector<uint8_t>& buffer, size_t size, uint8_t fill) {
    try {
        buffer.assign(size, fill);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

bool AllErased(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

uint32_t RoundUp(uint32_t value, uint32_t unit) { return (value + unit - 1) / unit * unit; }

// Only the two QKB742 revisions have an image; anything else gets none.
const char* ImageNameFor(ChipIdValue id) {
    if (ChipTypeOf(id) != kNvramChipType) return nullptr;
    switch (ChipRevisionOf(id)) {
        case 1: return kRevisionAImageName;
        case 2: return kRevisionBImageName;
        default: return nullptr;
    }
}

// Each unit is proven blank right after its erase, so a part that erases
// less than 32 KB per command is caught before anything is written.
int EraseAndCheckUnits(EngineContext& window, const DevicePath& path, uint32_t units,
                       std::vector<uint8_t>& check) {
    for (uint32_t b = 0; b < units; ++b) {
        const uint32_t unit = b * kNvramEraseUnitBytes;
        window.StepProgress(10);
        WaitFlashReady(window, path);
        if (!window.Commands().EraseFlashSector(path, unit)) return 0;
        for (uint32_t half = 0; half < kNvramEraseUnitBytes; half += kNvramPieceBytes) {
            WaitFlashReady(window, path);
            if (!ReadFlashWhole(window, path, unit + half, check.data(), kNvramPieceBytes))
                return 0;
            if (!AllErased(check)) {
                window.Fault(EngineStage::Erase, unit + half, "the flash still holds data after its erase");
                return 0;
            }
        }
    }
    return 1;
}

// Each piece is read back before the next is written, so a fault stops the
// update at the first bad 16 KB.
int WriteAndVerifyPieces(EngineContext& window, const DevicePath& path,
                         const std::vector<uint8_t>& composed, std::vector<uint8_t>& check) {
    const auto total = static_cast<uint32_t>(composed.size());
    for (uint32_t offset = 0; offset < total; offset += kNvramPieceBytes) {
        const uint8_t* piece = composed.data() + offset;
        window.StepProgress(10);
        WaitFlashReady(window, path);
        if (!window.Commands().WriteFlash(path, offset, piece, kNvramPieceBytes)) {
            window.SetStatusText(kWriteFail);
            return 0;
        }
        WaitFlashReady(window, path);
        if (!ReadFlashWhole(window, path, offset, check.data(), kNvramPieceBytes)) {
            // The user cannot act differently on a refused read-back, so it
            // shares the write's text.
            window.SetStatusText(kWriteFail);
            return 0;
        }
        window.StepProgress(10);
        if (std::memcmp(check.data(), piece, kNvramPieceBytes) != 0) {
            window.Fault(EngineStage::Verify, offset,
                         "the flash read back differs from what was written");
            return 0;
        }
    }
    return 1;
}
}  // namespace

int UpdateFlashPreservingNvram(EngineContext& window, const DevicePath& path) {
    std::vector<uint8_t> saved;
    if (!Allocate(saved, kNvramAreaBytes, 0x00)) {
        window.SetStatusText(kAllocateFail);
        return 0;
    }
    WaitFlashReady(window, path);
    if (!ReadFlashWhole(window, path, 0, saved.data(), kNvramAreaBytes)) {
        window.SetStatusText(kSaveAreaFail);
        return 0;
    }
    // An earlier attempt cut off after its first erase left this area blank
    // or half written; the copy taken before that attempt still has it.
    if (auto earlier = window.SavedFlashStart(path, saved)) {
        saved = std::move(*earlier);
        window.DebugOutput("using the configuration area saved before an unfinished attempt");
    }

    const char* name = ImageNameFor(GetChipId(window.Commands(), window, path));
    const std::span<const uint8_t> image =
        name ? window.Images().Find(name) : std::span<const uint8_t>();
    if (image.empty()) {
        window.Fault(EngineStage::Prepare, std::nullopt,
                     "no image for this chip revision; nothing was erased");
        return 0;
    }

    const auto size = std::max(static_cast<uint32_t>(image.size()), kNvramPieceBytes);
    const uint32_t total = RoundUp(size, kNvramPieceBytes);
    const uint32_t units = (total + kNvramEraseUnitBytes - 1) / kNvramEraseUnitBytes;

    std::vector<uint8_t> check;
    std::vector<uint8_t> composed;
    // Zero padding past a short image's end: the piece is written whole.
    if (!Allocate(check, kNvramPieceBytes, 0x00) || !Allocate(composed, total, 0x00)) {
        window.SetStatusText(kAllocateFail);
        return 0;
    }

    // The whole result is known before anything is erased: the journal keeps
    // it, so a cut-off write is finished with the same configuration area.
    std::memcpy(composed.data(), saved.data(), kNvramAreaBytes);
    if (image.size() > kNvramAreaBytes)
        std::memcpy(composed.data() + kNvramAreaBytes, image.data() + kNvramAreaBytes,
                    image.size() - kNvramAreaBytes);
    if (!window.AnnounceWrite(path, composed, units * kNvramEraseUnitBytes)) return 0;

    if (!EraseAndCheckUnits(window, path, units, check)) return 0;
    window.StepProgress(10);

    if (!WriteAndVerifyPieces(window, path, composed, check)) return 0;
    window.StepProgress(20);
    return 1;
}

}  // namespace qks
