// Whole-image reads and writes of the target chip's flash through the
// second command family, in blocks of at most 8 KB.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "device/clock.h"
#include "device/flash_progress.h"
#include "device/vendor_commands.h"

namespace qks {

inline constexpr uint32_t kBlockLimit = 8192;
inline constexpr uint32_t kFirstBlockLimit = 4096;
inline constexpr uint32_t kBlockRounding = 512;
inline constexpr uint32_t kImageBytes = 65536;
inline constexpr uint32_t kHeaderBytes = 128;
inline constexpr uint8_t kMxicVendorCode = 5;
inline constexpr uint8_t kFirstBlockFlag = 0x80;

struct EraseUnits {
    uint32_t large;
    uint32_t small;
};
inline constexpr size_t kEraseUnitRows = 12;
// Rows 10 and 11 have no units; EraseUnitsFor treats them, and codes past
// the table, as code 0 so that a marked write always makes progress.
extern const std::array<EraseUnits, kEraseUnitRows> kEraseUnitsByVendor;
EraseUnits EraseUnitsFor(uint8_t vendorCode);

// The mode to send with the block at `address`; may shorten `length` so
// that the next block starts a new erase unit.
uint8_t EraseModeForChunk(uint32_t address, uint32_t& length, uint8_t eraseMode,
                          uint32_t& unitCounter, uint8_t vendorCode);

class BlockTransfers {
public:
    // `progress`, when given, hears the write's phases and its waits.
    BlockTransfers(VendorCommandSet& commands, Clock& clock, FlashProgress* progress = nullptr)
        : commands_(commands), clock_(clock), progress_(progress) {}

    int ReadFlashBlocks(const DevicePath& path, uint32_t address, uint8_t* dest,
                        uint32_t length);
    int WriteFlashBlocks(const DevicePath& path, uint32_t address, const uint8_t* source,
                         uint32_t length, uint8_t eraseMode, uint8_t vendorCode);
    int WriteVerifyFlashImage(const DevicePath& path, const uint8_t* image, uint32_t length);
    // `body` is the embedded image; bytes from 128 on land at the same addresses.
    // `keep`, when given, holds the device's own 64 KB from a saved copy: the
    // flash read back after a cut-off write no longer does.
    int UpdateFlashImage(const DevicePath& path, bool readCurrent, bool useEmbeddedImage,
                         const uint8_t header[kHeaderBytes], std::span<const uint8_t> body,
                         std::span<const uint8_t> keep = {});

private:
    void Tell(uint32_t done, uint32_t total) {
        if (progress_ && phase_) progress_->Phase(*phase_, done, total);
    }

    VendorCommandSet& commands_;
    Clock& clock_;
    FlashProgress* progress_;
    // Set while the reads and writes are a phase of the image's write.
    std::optional<PhaseKind> phase_;
};

}  // namespace qks
