#include "firmware/whole_part.h"

#include <algorithm>
#include <string>

#include "firmware/flash_maintenance.h"

namespace qks {

namespace {
constexpr uint32_t kPiece = 4096;
constexpr uint32_t kWritePiece = 8192;
constexpr uint32_t kEraseSettleMs = 500;
// Units are at least 4 KB: more erases than that in one block means the
// part does not erase where it is told.
constexpr int kErasesPerBlock = static_cast<int>(kPartBlock / kPiece);

bool Erased(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

// Reads in pages the host can move, once any erase still running is over:
// reads alone never make the part busy again.
bool ReadSpan(EngineContext& window, const DevicePath& path, uint32_t address,
              std::span<uint8_t> out) {
    const uint32_t page = std::max<uint32_t>(window.TransferPageSize(), kPiece);
    WaitFlashReady(window, path);
    for (uint32_t done = 0; done < out.size(); done += page) {
        const auto piece = std::min<uint32_t>(page, static_cast<uint32_t>(out.size()) - done);
        if (!ReadFlashWhole(window, path, address + done, out.data() + done, piece)) return false;
    }
    return true;
}

// Programming clears bits only: a byte that needs one set needs an erase.
std::optional<uint32_t> FirstNeedingErase(std::span<const uint8_t> now,
                                          std::span<const uint8_t> wanted) {
    for (size_t i = 0; i < now.size(); ++i)
        if ((now[i] & wanted[i]) != wanted[i]) return static_cast<uint32_t>(i);
    return std::nullopt;
}

int RestoreBlock(EngineContext& window, const DevicePath& path, uint32_t address,
                 std::span<const uint8_t> wanted, bool mayErase) {
    std::vector<uint8_t> now(wanted.size());
    if (!ReadSpan(window, path, address, now)) return 0;
    if (std::equal(now.begin(), now.end(), wanted.begin())) return 1;
    for (int erases = 0;; ++erases) {
        const auto at = FirstNeedingErase(now, wanted);
        if (!at) break;
        if (!mayErase || erases == kErasesPerBlock) {
            window.Fault(EngineStage::Erase, address + *at,
                         "the flash past the image holds bytes that only an erase reaching the "
                         "image could clear");
            return 0;
        }
        WaitFlashReady(window, path);
        if (!window.Commands().EraseFlashSector(path, address + *at)) return 0;
        window.GetClock().SleepMs(kEraseSettleMs);
        if (!ReadSpan(window, path, address, now)) return 0;
    }
    const uint32_t limit = window.MaxTransferBytes();
    const uint32_t piece = limit != 0 && limit < kWritePiece ? limit : kWritePiece;
    for (uint32_t done = 0; done < wanted.size(); done += piece) {
        const auto length = std::min<uint32_t>(piece, static_cast<uint32_t>(wanted.size()) - done);
        if (std::equal(wanted.begin() + done, wanted.begin() + done + length, now.begin() + done))
            continue;
        WaitFlashReady(window, path);
        if (!window.Commands().WriteFlash(path, address + done, wanted.data() + done, length))
            return 0;
    }
    WaitFlashReady(window, path);
    if (!ReadSpan(window, path, address, now)) return 0;
    const auto differ = std::mismatch(now.begin(), now.end(), wanted.begin());
    if (differ.first != now.end()) {
        window.Fault(EngineStage::Verify,
                     address + static_cast<uint32_t>(differ.first - now.begin()),
                     "the flash past the image read back differs from what was kept");
        return 0;
    }
    return 1;
}
}  // namespace

std::optional<std::vector<uint8_t>> ReadWholePart(EngineContext& window, const DevicePath& path,
                                                  uint32_t* partSize) {
    std::vector<uint8_t> part(kPartBlock);
    if (!ReadSpan(window, path, 0, part)) return std::nullopt;
    while (part.size() < kLargestPart) {
        std::vector<uint8_t> upper(part.size());
        if (!ReadSpan(window, path, static_cast<uint32_t>(part.size()), upper)) return std::nullopt;
        if (upper == part && !Erased(part)) break;
        part.insert(part.end(), upper.begin(), upper.end());
    }
    if (partSize) *partSize = static_cast<uint32_t>(part.size());
    while (part.size() > kPartBlock &&
           Erased(std::span<const uint8_t>(part).subspan(part.size() - kPartBlock)))
        part.resize(part.size() - kPartBlock);
    return part;
}

int RestorePartFrom(EngineContext& window, const DevicePath& path, uint32_t from,
                    std::span<const uint8_t> bytes) {
    const auto end = static_cast<uint32_t>(from + bytes.size());
    window.Phase(PhaseKind::Write, 0, static_cast<uint32_t>(bytes.size()));
    for (uint32_t address = from; address < end;) {
        const uint32_t blockEnd = std::min(end, (address / kPartBlock + 1) * kPartBlock);
        const bool wholeBlock = address % kPartBlock == 0 && blockEnd - address == kPartBlock;
        if (!RestoreBlock(window, path, address, bytes.subspan(address - from, blockEnd - address),
                          wholeBlock))
            return 0;
        window.Phase(PhaseKind::Write, blockEnd - from, static_cast<uint32_t>(bytes.size()));
        address = blockEnd;
    }
    return 1;
}

}  // namespace qks
