#include "device/vendor_commands.h"

#include <cstdio>
#include <cstring>

namespace qks {

namespace {
constexpr uint8_t kVendorOpcode = 0xFF;
constexpr uint8_t kVendorGroup = 0x04;
constexpr uint8_t kExtOpcode = 0xDF;
constexpr uint8_t kExtDefault = 0x10;
constexpr uint8_t kKeyQ = 0x51;
constexpr uint8_t kKeyK = 0x4B;

enum ExtFunction : uint8_t {
    kExtReadFlash = 0xFA,
    kExtWriteFlash = 0xFB,
    kExtReadXdata = 0xFD,
    kExtReadIdWord = 0xFF,
};

enum FlashSubcommand : uint8_t {
    kRomStatus = 0x00,
    kRomErase = 0x01,
    kRomProgram = 0x02,
    kRomRead = 0x03,
    kRomPreErase = 0x04,
    kRomSwitch = 0x05,
    kFlashRead = 0x10,
    kFlashWrite = 0x11,
    kFlashStatus = 0x12,
    kFlashEraseChip = 0x13,
    kFlashEraseSector = 0x14,
    kAmicSelect = 0x20,
    kAmicReply = 0x21,
    kFlashVendor = 0x23,
    kMode25 = 0x25,
    kIdString = 0x30,
};

constexpr uint16_t kLateRevisionAddress = 0xFDB0;
constexpr uint8_t kLateRevisionThreshold = 0xB4;
constexpr uint16_t kBlockModeAddress = 0x505E;
constexpr uint8_t kWriteModeMask = 0x87;

Cdb VendorCdb(uint8_t subcommand) {
    Cdb cdb{};
    cdb[0] = kVendorOpcode;
    cdb[1] = kVendorGroup;
    cdb[2] = subcommand;
    return cdb;
}

void PutAddress24(Cdb& cdb, size_t at, uint32_t address) {
    cdb[at] = static_cast<uint8_t>(address >> 16);
    cdb[at + 1] = static_cast<uint8_t>(address >> 8);
    cdb[at + 2] = static_cast<uint8_t>(address);
}

void PutLength16(Cdb& cdb, uint16_t length) {
    cdb[3] = static_cast<uint8_t>(length >> 8);
    cdb[4] = static_cast<uint8_t>(length);
}

bool KnownRomType(int32_t romType) {
    return romType >= 0 && romType < static_cast<int32_t>(kRomCycleAddresses.size());
}
}  // namespace

Cdb BuildFlashCdb(uint8_t subcommand, uint32_t address) {
    Cdb cdb = VendorCdb(subcommand);
    PutAddress24(cdb, 3, address);
    return cdb;
}

Cdb BuildReadXdataCdb(uint16_t address, uint16_t length) {
    Cdb cdb{};
    cdb[0] = kExtOpcode;
    cdb[1] = kExtDefault;
    PutLength16(cdb, length);
    cdb[6] = static_cast<uint8_t>(address >> 8);
    cdb[7] = static_cast<uint8_t>(address);
    cdb[11] = kExtReadXdata;
    return cdb;
}

Cdb BuildReadFlashExtCdb(uint32_t address, uint16_t length) {
    Cdb cdb{};
    cdb[0] = kExtOpcode;
    cdb[1] = kExtDefault;
    PutLength16(cdb, length);
    PutAddress24(cdb, 8, address);
    cdb[11] = kExtReadFlash;
    return cdb;
}

Cdb BuildWriteFlashExtCdb(uint32_t address, uint16_t length, uint8_t eraseMode) {
    Cdb cdb = BuildReadFlashExtCdb(address, length);
    cdb[1] = eraseMode & kWriteModeMask;
    cdb[11] = kExtWriteFlash;
    return cdb;
}

Cdb BuildReadRomCdb(uint32_t address) {
    Cdb cdb = VendorCdb(kRomRead);
    for (int i = 0; i < 4; ++i) cdb[3 + i] = static_cast<uint8_t>(address >> (8 * i));
    return cdb;
}

Cdb BuildProgramRomCdb(int32_t romType) {
    Cdb cdb = VendorCdb(kRomProgram);
    if (!KnownRomType(romType)) return cdb;
    const auto [first, second] = kRomCycleAddresses[static_cast<size_t>(romType)];
    const uint16_t addresses[3] = {first, second, first};
    for (int i = 0; i < 3; ++i) {
        cdb[3 + 2 * i] = static_cast<uint8_t>(addresses[i]);
        cdb[4 + 2 * i] = static_cast<uint8_t>(addresses[i] >> 8);
    }
    cdb[9] = 0xAA;
    cdb[10] = 0x55;
    cdb[11] = 0xA0;
    return cdb;
}

std::array<uint8_t, kRomEraseCycleBytes> BuildRomEraseCycles(int32_t romType) {
    std::array<uint8_t, kRomEraseCycleBytes> block{};
    if (!KnownRomType(romType)) return block;
    const auto [first, second] = kRomCycleAddresses[static_cast<size_t>(romType)];
    const uint16_t addresses[6] = {first, second, first, first, second, first};
    for (int i = 0; i < 6; ++i) {
        block[2 * i] = static_cast<uint8_t>(addresses[i]);
        block[2 * i + 1] = static_cast<uint8_t>(addresses[i] >> 8);
    }
    static constexpr uint8_t kData[6] = {0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
    std::memcpy(block.data() + 12, kData, sizeof kData);
    return block;
}

int32_t AmicCodeFromReply(const uint8_t reply[4]) {
    if (reply[0] != 0x7F || reply[1] != 0x37 || reply[2] != 0x20) return kNoAmicFlash;
    switch (reply[3]) {
        case 0x12: return 1;
        case 0x11: return 3;
        case 0x20: return 4;
        case 0x10: return 5;
        default: return kNoAmicFlash;
    }
}

int VendorCommandSet::In(const DevicePath& path, const Cdb& cdb, uint8_t* data,
                         uint32_t length, uint32_t* received) {
    uint32_t count = 0;
    const int ok = transport_.ScsiTransferIn(path, cdb.data(), kCdbLength, data, length, &count);
    if (received) *received = count;
    return ok;
}

int VendorCommandSet::InWhole(const DevicePath& path, const Cdb& cdb, uint8_t* data,
                              uint32_t length) {
    uint32_t count = 0;
    return transport_.ScsiTransferInWhole(path, cdb.data(), kCdbLength, data, length, &count);
}

int VendorCommandSet::Out(const DevicePath& path, const Cdb& cdb, const uint8_t* data,
                          uint32_t length) {
    uint32_t count = 0;
    return transport_.ScsiTransferOut(path, cdb.data(), kCdbLength, data, length, &count);
}

int VendorCommandSet::EnterVendorMode(const DevicePath& path) {
    Cdb cdb = VendorCdb(kKeyQ);
    cdb[3] = kKeyK;
    cdb[4] = 0x55;
    return Out(path, cdb, nullptr, 0);
}

int VendorCommandSet::ExitVendorMode(const DevicePath& path) {
    Cdb cdb = VendorCdb(kKeyQ);
    cdb[3] = kKeyK;
    cdb[4] = 0xAA;
    return Out(path, cdb, nullptr, 0);
}

int VendorCommandSet::Inquiry(const DevicePath& path, uint8_t* reply, uint8_t length) {
    Cdb cdb{};
    cdb[0] = 0x12;
    cdb[4] = length;
    return In(path, cdb, reply, length);
}

int VendorCommandSet::ReadChipInfo(const DevicePath& path, uint8_t* reply, uint32_t length,
                                   uint32_t* received) {
    Cdb cdb{};
    cdb[0] = 0xE0;
    cdb[1] = 0xF4;
    cdb[2] = 0xE7;
    return In(path, cdb, reply, length, received);
}

int VendorCommandSet::ReadIdString(const DevicePath& path, uint8_t* reply, uint32_t length) {
    Cdb cdb = VendorCdb(kIdString);
    cdb[3] = 0x08;
    return In(path, cdb, reply, length);
}

int VendorCommandSet::ReadChipIdWord(const DevicePath& path, uint8_t reply[2]) {
    Cdb cdb{};
    cdb[0] = kExtOpcode;
    cdb[1] = kExtDefault;
    cdb[4] = 0x02;
    cdb[11] = kExtReadIdWord;
    return In(path, cdb, reply, 2);
}

int VendorCommandSet::ReadXdata(const DevicePath& path, uint16_t address, uint8_t* reply,
                                uint16_t length) {
    return In(path, BuildReadXdataCdb(address, length), reply, length);
}

int VendorCommandSet::IsLateRevision(const DevicePath& path) {
    uint8_t reply[4] = {};
    if (!ReadXdata(path, kLateRevisionAddress, reply, sizeof reply)) return 0;
    return reply[1] >= kLateRevisionThreshold ? 1 : 0;
}

int VendorCommandSet::IsBlockUpdateMode(const DevicePath& path, bool* answered) {
    uint8_t reply[4] = {};
    uint32_t received = 0;
    const int ok = In(path, BuildReadXdataCdb(kBlockModeAddress, sizeof reply), reply, sizeof reply,
                      &received);
    if (answered) *answered = ok && received == sizeof reply;
    if (!ok) return 0;
    return reply[1] == 0x00 && reply[2] == 0x01 ? 1 : 0;
}

int VendorCommandSet::VendorCommand25(const DevicePath& path) {
    return Out(path, VendorCdb(kMode25), nullptr, 0);
}

int VendorCommandSet::ReadFlash(const DevicePath& path, uint32_t address, uint8_t* data,
                                uint32_t length) {
    return InWhole(path, BuildFlashCdb(kFlashRead, address), data, length);
}

int VendorCommandSet::WriteFlash(const DevicePath& path, uint32_t address,
                                 const uint8_t* data, uint32_t length) {
    return Out(path, BuildFlashCdb(kFlashWrite, address), data, length);
}

int VendorCommandSet::ReadFlashStatus(const DevicePath& path, uint8_t* status) {
    // A reply without its byte leaves the caller's "ready" in place: no status.
    return InWhole(path, VendorCdb(kFlashStatus), status, 1);
}

int VendorCommandSet::EraseFlashChip(const DevicePath& path) {
    return Out(path, VendorCdb(kFlashEraseChip), nullptr, 0);
}

int VendorCommandSet::EraseFlashSector(const DevicePath& path, uint32_t address) {
    return Out(path, BuildFlashCdb(kFlashEraseSector, address), nullptr, 0);
}

int VendorCommandSet::ReadFlashVendor(const DevicePath& path, uint8_t reply[4]) {
    Cdb cdb = VendorCdb(kFlashVendor);
    cdb[3] = 0x04;
    return In(path, cdb, reply, 4);
}

int32_t VendorCommandSet::DetectAmicFlash(const DevicePath& path) {
    Cdb select = VendorCdb(kAmicSelect);
    select[3] = 0x01;
    select[4] = 0x01;
    select[5] = 0x9F;   // JEDEC read-identification
    if (!In(path, select, nullptr, 0)) return kNoAmicFlash;
    uint8_t reply[4] = {};
    if (!In(path, VendorCdb(kAmicReply), reply, sizeof reply)) return kNoAmicFlash;
    return AmicCodeFromReply(reply);
}

int VendorCommandSet::ReadFlashExt(const DevicePath& path, uint32_t address, uint8_t* data,
                                   uint16_t length) {
    return InWhole(path, BuildReadFlashExtCdb(address, length), data, length);
}

int VendorCommandSet::WriteFlashExt(const DevicePath& path, uint32_t address,
                                    const uint8_t* data, uint16_t length, uint8_t eraseMode) {
    return Out(path, BuildWriteFlashExtCdb(address, length, eraseMode), data, length);
}

int VendorCommandSet::SwitchToInternalRom(const DevicePath& path) {
    return Out(path, VendorCdb(kRomSwitch), nullptr, 0);
}

int VendorCommandSet::IsRomBusy(const DevicePath& path) {
    uint8_t status = 0;
    if (!InWhole(path, VendorCdb(kRomStatus), &status, 1)) return 1;
    return status == 0x01 ? 1 : 0;
}

int VendorCommandSet::PreEraseRom(const DevicePath& path, int32_t romType) {
    const auto block = BuildRomEraseCycles(romType);
    return Out(path, VendorCdb(kRomPreErase), block.data(), kRomEraseCycleBytes);
}

int VendorCommandSet::EraseRom(const DevicePath& path) {
    return Out(path, VendorCdb(kRomErase), nullptr, 0);
}

int VendorCommandSet::ReadRom(const DevicePath& path, uint32_t address, uint8_t* data,
                              uint32_t length) {
    return InWhole(path, BuildReadRomCdb(address), data, length);
}

int VendorCommandSet::ProgramRom(const DevicePath& path, const uint8_t* data,
                                 uint32_t length, int32_t romType) {
    return Out(path, BuildProgramRomCdb(romType), data, length);
}

}  // namespace qks

namespace qks {

namespace {
uint32_t Address24(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 16) | (uint32_t{bytes[1]} << 8) | bytes[2];
}
}  // namespace

CommandSummary SummarizeCommand(const uint8_t* cdb, size_t length) {
    CommandSummary s;
    if (length < kCdbLength) {
        s.name = length > 0 && cdb[0] == 0x12 ? "INQUIRY" : "command";
        return s;
    }
    if (cdb[0] == kExtOpcode) {
        switch (cdb[11]) {
            case kExtReadFlash: s = {"read", Address24(cdb + 8), false}; break;
            case kExtWriteFlash: s = {"write", Address24(cdb + 8), true}; break;
            case kExtReadXdata: s.name = "read of chip registers"; break;
            case kExtReadIdWord: s.name = "chip id read"; break;
            default: s.name = "vendor command"; break;
        }
        return s;
    }
    if (cdb[0] == 0x12) {
        s.name = "INQUIRY";
        return s;
    }
    if (cdb[0] != kVendorOpcode || cdb[1] != kVendorGroup) {
        s.name = "command";
        return s;
    }
    switch (cdb[2]) {
        case kFlashRead: s = {"read", Address24(cdb + 3), false}; break;
        case kFlashWrite: s = {"write", Address24(cdb + 3), true}; break;
        case kFlashEraseSector: s = {"erase", Address24(cdb + 3), true}; break;
        case kFlashEraseChip: s = {"chip erase", std::nullopt, true}; break;
        case kFlashStatus: s.name = "flash status read"; break;
        case kFlashVendor: s.name = "flash maker read"; break;
        case kRomErase: s = {"ROM erase", std::nullopt, true}; break;
        case kRomPreErase: s = {"ROM unlock", std::nullopt, true}; break;
        case kRomProgram: s = {"ROM program", std::nullopt, true}; break;
        case kRomRead:
            s.name = "ROM read";
            s.address = uint32_t{cdb[3]} | (uint32_t{cdb[4]} << 8) | (uint32_t{cdb[5]} << 16) |
                        (uint32_t{cdb[6]} << 24);
            break;
        case kRomStatus: s.name = "ROM status read"; break;
        case kRomSwitch: s.name = "switch to the internal ROM"; break;
        case kKeyQ: s.name = cdb[4] == 0xAA ? "vendor mode exit" : "vendor mode entry"; break;
        case kMode25: s.name = "mode command 25"; break;
        case kIdString: s.name = "id string read"; break;
        case kAmicSelect: case kAmicReply: s.name = "AMIC probe"; break;
        default: s.name = "vendor command"; break;
    }
    return s;
}

std::string CommandSummary::Text() const {
    if (!address) return name;
    char at[24];
    std::snprintf(at, sizeof at, " at 0x%X", *address);
    return name + at;
}

}  // namespace qks
