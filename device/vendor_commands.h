// The bridge's vendor command set: each command one named operation with
// exactly its 12-byte CDB, direction and length. Results are the
// transport's success flag (1/0) unless a command says otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "device/transport.h"

namespace qks {

inline constexpr uint8_t kCdbLength = 12;
using Cdb = std::array<uint8_t, kCdbLength>;

// `AmicFlashCode` value for "not one of the recognised AMIC parts".
inline constexpr int32_t kNoAmicFlash = -1;

// Unlock cycles of the parallel ROM parts, by the ROM flash type index.
struct RomCycleAddresses {
    uint16_t first;
    uint16_t second;
};
inline constexpr std::array<RomCycleAddresses, 3> kRomCycleAddresses = {{
    {0x5555, 0x2AAA},   // 0 "ATMELAT 49BV512"
    {0x0555, 0x02AA},   // 1 "PMC OM39LV512"
    {0x5555, 0x2AAA},   // 2 "SST SST39LF512"
}};
inline constexpr size_t kRomEraseCycleBytes = 18;

// CDB builders, kept apart from sending so tests can check bytes directly.
Cdb BuildFlashCdb(uint8_t subcommand, uint32_t address);        // FF 04 sub A2 A1 A0
Cdb BuildReadXdataCdb(uint16_t address, uint16_t length);
Cdb BuildReadFlashExtCdb(uint32_t address, uint16_t length);
Cdb BuildWriteFlashExtCdb(uint32_t address, uint16_t length, uint8_t eraseMode);
Cdb BuildReadRomCdb(uint32_t address);
Cdb BuildProgramRomCdb(int32_t romType);
std::array<uint8_t, kRomEraseCycleBytes> BuildRomEraseCycles(int32_t romType);
int32_t AmicCodeFromReply(const uint8_t reply[4]);

// What a CDB asks of the bridge, for causes and for guards: "write at
// 0x4000", and whether it changes the flash or the ROM.
struct CommandSummary {
    std::string name;
    std::optional<uint32_t> address;
    bool modifiesMemory = false;

    std::string Text() const;
};
CommandSummary SummarizeCommand(const uint8_t* cdb, size_t length);

class VendorCommandSet {
public:
    explicit VendorCommandSet(Transport& transport) : transport_(transport) {}

    // Group 1: vendor mode and identification
    int EnterVendorMode(const DevicePath& path);
    int ExitVendorMode(const DevicePath& path);
    int Inquiry(const DevicePath& path, uint8_t* reply, uint8_t length);
    int ReadChipInfo(const DevicePath& path, uint8_t* reply, uint32_t length,
                     uint32_t* received);
    int ReadIdString(const DevicePath& path, uint8_t* reply, uint32_t length);
    int ReadChipIdWord(const DevicePath& path, uint8_t reply[2]);
    int ReadXdata(const DevicePath& path, uint16_t address, uint8_t* reply, uint16_t length);
    int IsLateRevision(const DevicePath& path);
    // `answered`, when given, says whether the whole reply arrived: a
    // refused or short read cannot tell which bytes an update must keep.
    int IsBlockUpdateMode(const DevicePath& path, bool* answered = nullptr);
    int VendorCommand25(const DevicePath& path);

    // Group 2: serial flash, first family
    int ReadFlash(const DevicePath& path, uint32_t address, uint8_t* data, uint32_t length);
    int WriteFlash(const DevicePath& path, uint32_t address, const uint8_t* data,
                   uint32_t length);
    int ReadFlashStatus(const DevicePath& path, uint8_t* status);
    int EraseFlashChip(const DevicePath& path);
    int EraseFlashSector(const DevicePath& path, uint32_t address);
    int ReadFlashVendor(const DevicePath& path, uint8_t reply[4]);
    int32_t DetectAmicFlash(const DevicePath& path);

    // Group 3: serial flash, second family
    int ReadFlashExt(const DevicePath& path, uint32_t address, uint8_t* data, uint16_t length);
    int WriteFlashExt(const DevicePath& path, uint32_t address, const uint8_t* data,
                      uint16_t length, uint8_t eraseMode);

    // Group 4: internal ROM
    int SwitchToInternalRom(const DevicePath& path);
    int IsRomBusy(const DevicePath& path);
    int PreEraseRom(const DevicePath& path, int32_t romType);
    int EraseRom(const DevicePath& path);
    int ReadRom(const DevicePath& path, uint32_t address, uint8_t* data, uint32_t length);
    int ProgramRom(const DevicePath& path, const uint8_t* data, uint32_t length,
                   int32_t romType);

    Transport& GetTransport() { return transport_; }

private:
    int In(const DevicePath& path, const Cdb& cdb, uint8_t* data, uint32_t length,
           uint32_t* received = nullptr);
    // Flash and ROM contents: every byte asked for, or a failure.
    int InWhole(const DevicePath& path, const Cdb& cdb, uint8_t* data, uint32_t length);
    int Out(const DevicePath& path, const Cdb& cdb, const uint8_t* data, uint32_t length);

    Transport& transport_;
};

}  // namespace qks
