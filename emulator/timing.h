// What the emulated hardware costs in time. Each command sleeps the clock for
// its cost, so under a VirtualClock the clock reading after a run is the time
// the same run would have taken on a bridge.
//
// Sources, all typical (not maximum) figures:
// - SPI NOR flash, from the datasheets of the common 3.3 V parts of the
//   bridge's era (Winbond W25X/W25Q, Macronix MX25L, the 25-series of
//   PMC, SST, EON and AMIC): 4 KB sector erase ~45 ms, 32 KB block erase
//   ~120 ms, 64 KB block erase ~150 ms, page program (256 bytes) ~0.7 ms.
//   Chip erase is quoted per part and grows with size (about 2 s for 1 MB);
//   it is modelled as one 64 KB block erase per 64 KB of flash.
// - USB 2.0 high-speed bulk-only mass storage: ~35 MB/s of payload once the
//   480 Mbit/s signalling, packet and protocol overheads are paid; each
//   command adds its CBW and CSW transactions and, since the program opens
//   and closes the device per command, the driver's open and close: ~1 ms.
// - 5 V / 3.3 V parallel NOR of the 512 Kbit class (SST39LF512, AT49BV512,
//   Pm39LV512): chip erase ~100 ms, byte program ~20 us.
#pragma once

#include <cstdint>

namespace qks::emu {

inline constexpr uint64_t kCommandOverheadMicros = 1000;
inline constexpr uint64_t kBulkBytesPerSecond = 35'000'000;

inline constexpr uint32_t kSmallSectorBytes = 4096;
inline constexpr uint32_t kHalfBlockBytes = 32768;
inline constexpr uint32_t kBlockBytes = 65536;
inline constexpr uint32_t kPageBytes = 256;

inline constexpr uint64_t kSectorEraseMicros = 45'000;      // up to 4 KB
inline constexpr uint64_t kHalfBlockEraseMicros = 120'000;  // up to 32 KB
inline constexpr uint64_t kBlockEraseMicros = 150'000;      // 64 KB
inline constexpr uint64_t kPageProgramMicros = 700;

inline constexpr uint64_t kRomChipEraseMicros = 100'000;
inline constexpr uint64_t kRomByteProgramMicros = 20;

// Bytes crossing the bus, rounded up to whole microseconds.
inline constexpr uint64_t BulkMicros(uint64_t bytes) {
    return (bytes * 1'000'000 + kBulkBytesPerSecond - 1) / kBulkBytesPerSecond;
}

// An erase of one unit: the smallest erase instruction that covers it.
inline constexpr uint64_t UnitEraseMicros(uint32_t bytes) {
    if (bytes <= kSmallSectorBytes) return kSectorEraseMicros;
    if (bytes <= kHalfBlockBytes) return kHalfBlockEraseMicros;
    return kBlockEraseMicros;
}

inline constexpr uint64_t ChipEraseMicros(uint32_t flashBytes) {
    const uint64_t blocks = (uint64_t{flashBytes} + kBlockBytes - 1) / kBlockBytes;
    return (blocks == 0 ? 1 : blocks) * kBlockEraseMicros;
}

// Page programs of the 256-byte pages that [address, address + bytes) touches.
inline constexpr uint64_t ProgramMicros(uint32_t address, uint32_t bytes) {
    if (bytes == 0) return 0;
    const uint64_t first = address / kPageBytes;
    const uint64_t last = (uint64_t{address} + bytes - 1) / kPageBytes;
    return (last - first + 1) * kPageProgramMicros;
}

}  // namespace qks::emu
