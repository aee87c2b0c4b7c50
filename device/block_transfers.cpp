#include "device/block_transfers.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/flash_ready.h"

namespace qks {

const std::array<EraseUnits, kEraseUnitRows> kEraseUnitsByVendor = {{
    {32768, 4096},   // 0 Unknown
    {32768, 4096},   // 1 PMC
    {32768, 4096},   // 2 SST
    {65536, 32768},  // 3 ST/EON/MXIC
    {65536, 32768},  // 4 ATMEL
    {65536, 4096},   // 5 MXIC
    {65536, 4096},   // 6 WINBOND
    {65536, 4096},   // 7 AMIC
    {65536, 32768},  // 8 EON
    {65536, 4096},   // 9
    {0, 0},          // 10
    {0, 0},          // 11
}};

EraseUnits EraseUnitsFor(uint8_t vendorCode) {
    if (vendorCode < kEraseUnitRows && kEraseUnitsByVendor[vendorCode].small != 0)
        return kEraseUnitsByVendor[vendorCode];
    return kEraseUnitsByVendor[0];
}

namespace {

constexpr uint32_t kAlignment = 8192;
constexpr uint32_t kMxicPrewriteSleepMs = 500;
constexpr int kWriteAttempts = 3;

uint32_t RoundUp(uint32_t value, uint32_t unit) { return (value + unit - 1) / unit * unit; }

// A zero-filled buffer whose data starts on an 8 KB boundary, as the
// bridge's DMA prefers; the allocation is one block with room to align.
class AlignedBuffer {
public:
    explicit AlignedBuffer(uint32_t length) : storage_(Allocation(length), 0) {
        const auto misalignment = reinterpret_cast<uintptr_t>(storage_.data()) % kAlignment;
        const size_t offset = (kAlignment - misalignment) % kAlignment;
        bytes_ = std::span<uint8_t>(storage_).subspan(offset, length);
    }
    uint8_t* data() { return bytes_.data(); }
    // Copies in and out never reach past the buffer, whatever length a
    // caller passes.
    void CopyIn(const uint8_t* source, uint32_t length) {
        std::copy_n(source, std::min<size_t>(length, bytes_.size()), bytes_.begin());
    }
    void CopyOut(uint8_t* dest, uint32_t length) const {
        std::copy_n(bytes_.begin(), std::min<size_t>(length, bytes_.size()), dest);
    }

private:
    // With 32-bit sizes the room to align would wrap a length near 4 GB
    // around to a small allocation; refused as the vector refuses any size
    // it cannot hold.
    static size_t Allocation(uint32_t length) {
        if (length > std::numeric_limits<size_t>::max() - kAlignment)
            throw std::length_error("transfer buffer of " + std::to_string(length) + " bytes");
        return size_t{length} + kAlignment;
    }

    std::vector<uint8_t> storage_;
    std::span<uint8_t> bytes_;
};

}  // namespace

uint8_t EraseModeForChunk(uint32_t address, uint32_t& length, uint8_t eraseMode,
                          uint32_t& unitCounter, uint8_t vendorCode) {
    if (eraseMode > 7 || eraseMode == 0) return 0;
    if (eraseMode == 3 || eraseMode == 6 || eraseMode == 7) return address == 0 ? eraseMode : 0;
    const EraseUnits units = EraseUnitsFor(vendorCode);
    const uint64_t unit = (eraseMode == 1 || eraseMode == 4) ? units.small : units.large;
    uint8_t mode = 0;
    if (unit * unitCounter <= address) {
        // Counting on from the unit that holds the block keeps a write that
        // starts past address 0 from cutting a block to nothing or less;
        // from address 0 this is one more unit, block after block.
        unitCounter = static_cast<uint32_t>(address / unit + 1);
        mode = eraseMode;
    }
    const uint64_t nextUnit = unit * unitCounter;
    if (nextUnit <= uint64_t{address} + length) length = static_cast<uint32_t>(nextUnit - address);
    return mode;
}

int BlockTransfers::ReadFlashBlocks(const DevicePath& path, uint32_t address, uint8_t* dest,
                                    uint32_t length) {
    const uint32_t rounded = RoundUp(length, kBlockRounding);
    AlignedBuffer buffer(rounded);
    int result = 0;
    for (uint32_t done = 0; done < rounded;) {
        const uint32_t block = std::min(rounded - done, kBlockLimit);
        WaitFlashReady(commands_, clock_, path, progress_);
        if (!commands_.ReadFlashExt(path, address + done, buffer.data() + done,
                                    static_cast<uint16_t>(block))) {
            result = 0;
            break;
        }
        result = 1;
        done += block;
        Tell(std::min(done, length), length);
    }
    buffer.CopyOut(dest, length);
    return result;
}

int BlockTransfers::WriteFlashBlocks(const DevicePath& path, uint32_t address,
                                     const uint8_t* source, uint32_t length, uint8_t eraseMode,
                                     uint8_t vendorCode) {
    const uint32_t rounded = RoundUp(length, kBlockRounding);
    AlignedBuffer buffer(rounded);
    buffer.CopyIn(source, length);
    int result = 0;
    uint32_t unitCounter = 0;
    for (uint32_t done = 0; done < rounded;) {
        const uint32_t at = address + done;
        uint32_t block = std::min(rounded - done, kBlockLimit);
        if (at == 0) block = std::min(block, kFirstBlockLimit);
        uint8_t mode = EraseModeForChunk(at, block, eraseMode, unitCounter, vendorCode);
        if (at == 0 && vendorCode == kMxicVendorCode && mode != 0) mode |= kFirstBlockFlag;
        WaitFlashReady(commands_, clock_, path, progress_);
        if (!commands_.WriteFlashExt(path, at, buffer.data() + done,
                                     static_cast<uint16_t>(block), mode)) {
            result = 0;
            break;
        }
        result = 1;
        done += block;
        Tell(std::min(done, length), length);
    }
    return result;
}

int BlockTransfers::WriteVerifyFlashImage(const DevicePath& path, const uint8_t* image,
                                          uint32_t length) {
    std::vector<uint8_t> readBack(length, 0);
    WaitFlashReady(commands_, clock_, path, progress_);
    uint8_t reply[4] = {};
    const uint8_t vendor = commands_.ReadFlashVendor(path, reply) ? reply[0] : 0;
    if (vendor == kMxicVendorCode) {
        WaitFlashReady(commands_, clock_, path, progress_);
        if (commands_.WriteFlashExt(path, 0, image, static_cast<uint16_t>(kFirstBlockLimit), 2))
            clock_.SleepMs(kMxicPrewriteSleepMs);
    }
    // Modes 2, 3, 1: large units first, then the whole area, then small units.
    static constexpr uint8_t kModes[kWriteAttempts] = {2, 3, 1};
    bool verified = false;
    for (int attempt = 0; attempt < kWriteAttempts && !verified; ++attempt) {
        phase_ = PhaseKind::Write;
        const int written = WriteFlashBlocks(path, 0, image, length, kModes[attempt], vendor);
        WaitFlashReady(commands_, clock_, path, progress_);
        phase_ = PhaseKind::Verify;
        verified = written && ReadFlashBlocks(path, 0, readBack.data(), length) &&
                   std::memcmp(image, readBack.data(), length) == 0;
        phase_.reset();
        // Another attempt cannot reach a bridge that has gone.
        if (commands_.GetTransport().LastCommandFoundNoDevice()) break;
    }
    return verified ? 1 : 0;
}

int BlockTransfers::UpdateFlashImage(const DevicePath& path, bool readCurrent,
                                     bool useEmbeddedImage,
                                     const uint8_t header[kHeaderBytes],
                                     std::span<const uint8_t> body,
                                     std::span<const uint8_t> keep) {
    try {
        std::vector<uint8_t> working(kImageBytes, 0);
        if (readCurrent) {
            // Writing back what could not be read would replace it with zeros.
            if (!ReadFlashBlocks(path, 0, working.data(), kImageBytes)) return 0;
            if (keep.size() == kImageBytes) std::memcpy(working.data(), keep.data(), kImageBytes);
            std::memcpy(working.data(), header, kHeaderBytes);
        }
        if (useEmbeddedImage) {
            if (body.size() <= kHeaderBytes || body.size() > kImageBytes) return 0;
            std::memcpy(working.data() + kHeaderBytes, body.data() + kHeaderBytes,
                        body.size() - kHeaderBytes);
        }
        return WriteVerifyFlashImage(path, working.data(), kImageBytes);
    } catch (...) {
        return 0;
    }
}

}  // namespace qks
