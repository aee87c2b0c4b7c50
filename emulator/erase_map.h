// Which bytes an erase takes with it. The bridge erases whole units of the
// fitted part, never just the bytes asked for, so a host that gets the units
// wrong loses data next to what it meant to erase.
#pragma once

#include <cstdint>

namespace qks::emu {

struct Region {
    uint32_t start = 0;
    uint32_t length = 0;
};

struct EraseUnits {
    uint32_t large;
    uint32_t small;
};

// By serial flash maker code; codes 10 to 15, without a known part, take
// code 0's units.
EraseUnits VendorEraseUnits(uint8_t vendor);

// The `unit`-aligned region holding `address` (taken modulo the flash size,
// as the part ignores address lines it does not have), cut at the flash end.
Region AlignedRegion(uint32_t address, uint32_t unit, uint32_t flashSize);

// What a sector erase at `address` erases: the large unit of the maker code,
// or for an AMIC part (code 1, 3, 4 or 5, else none) its own sector map.
Region SectorAt(uint32_t address, uint8_t vendor, int32_t amic, uint32_t flashSize);

}  // namespace qks::emu
