#include "emulator/erase_map.h"

#include <array>

namespace qks::emu {

namespace {
constexpr uint32_t k4K = 4096;
constexpr uint32_t k32K = 32768;
constexpr uint32_t k64K = 65536;

constexpr std::array<EraseUnits, 10> kVendorUnits = {{
    {k32K, k4K},   // 0 unknown
    {k32K, k4K},   // 1 PMC
    {k32K, k4K},   // 2 SST
    {k64K, k32K},  // 3 ST/EON/MXIC
    {k64K, k32K},  // 4 ATMEL
    {k64K, k4K},   // 5 MXIC
    {k64K, k4K},   // 6 WINBOND
    {k64K, k4K},   // 7 AMIC
    {k64K, k32K},  // 8 EON
    {k64K, k4K},   // 9
}};

// Bottom-boot AMIC parts: small parameter sectors in the first 64 KB, where
// the firmware and its settings live, and 64 KB blocks above.
struct BootSector {
    uint32_t start;
    uint32_t length;
};
constexpr std::array<BootSector, 5> kAmicBootSectors = {{
    {0x0000, 0x1000},
    {0x1000, 0x2000},
    {0x3000, 0x4000},
    {0x7000, 0x8000},
    {0xF000, 0x1000},
}};

Region Clip(Region region, uint32_t flashSize) {
    if (region.start + region.length > flashSize) region.length = flashSize - region.start;
    return region;
}

Region AmicBootSectorAt(uint32_t address, uint32_t flashSize) {
    const uint32_t at = address % flashSize;
    if (at >= k64K) return AlignedRegion(at, k64K, flashSize);
    for (const BootSector& sector : kAmicBootSectors)
        if (at < sector.start + sector.length) return Clip({sector.start, sector.length}, flashSize);
    return AlignedRegion(at, k64K, flashSize);
}
}  // namespace

EraseUnits VendorEraseUnits(uint8_t vendor) {
    if (vendor < kVendorUnits.size()) return kVendorUnits[vendor];
    // Codes with no known part erase as code 0: the host divides their
    // writes into code 0's units, and a part that took wider units would
    // wipe the blocks written just before each mark.
    return kVendorUnits[0];
}

Region AlignedRegion(uint32_t address, uint32_t unit, uint32_t flashSize) {
    if (flashSize == 0 || unit == 0) return {};
    const uint32_t at = address % flashSize;
    return Clip({at - at % unit, unit}, flashSize);
}

Region SectorAt(uint32_t address, uint8_t vendor, int32_t amic, uint32_t flashSize) {
    if (flashSize == 0) return {};
    if (amic == 4) return AlignedRegion(address, k32K, flashSize);
    if (amic == 1 || amic == 3 || amic == 5) return AmicBootSectorAt(address, flashSize);
    return AlignedRegion(address, VendorEraseUnits(vendor).large, flashSize);
}

}  // namespace qks::emu
