#include "emulator/bridge.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "emulator/flash_file.h"
#include "emulator/timing.h"

namespace qks::emu {

namespace {
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kChipInfoOpcode = 0xE0;
constexpr uint8_t kVendorOpcode = 0xFF;
constexpr uint8_t kVendorGroupByte = 0x04;
constexpr uint8_t kExtOpcode = 0xDF;
constexpr uint8_t kExtReadMarker = 0x10;
constexpr uint8_t kWriteModeMask = 0x87;
constexpr uint8_t kFirstBlockFlag = 0x80;
constexpr uint32_t kFirstBlockLimit = 4096;
constexpr uint8_t kMxicVendor = 5;
constexpr uint8_t kJedecReadId = 0x9F;
constexpr size_t kVendorCdbBytes = 12;

constexpr uint16_t kLateRevisionAddress = 0xFDB0;
constexpr uint16_t kBlockModeAddress = 0x505E;
constexpr uint8_t kEarlyRevisionByte = 0xA3;
constexpr uint8_t kLateRevisionByte = 0xB4;

constexpr size_t kInquiryBytes = 36;
constexpr size_t kInquiryWithCodeBytes = 40;
constexpr size_t kChipInfoBytes = 16;
constexpr size_t kIdTextBytes = 40;
constexpr std::array<uint8_t, 5> kRecordVersion = {1, 5, 1, 5, 3};   // bytes 6-7, 12-14

// JEDEC manufacturer byte by maker code, for the identification read of a
// part that is not one of the AMIC ones.
constexpr std::array<uint8_t, 9> kJedecMaker = {0x00, 0x9D, 0xBF, 0x20, 0x1F,
                                                0xC2, 0xEF, 0x37, 0x1C};
// Last identification byte of the AMIC parts, by AMIC code 1-5.
constexpr std::array<uint8_t, 6> kAmicDeviceByte = {0x00, 0x12, 0x00, 0x11, 0x20, 0x10};

// The parallel ROM parts' own unlock addresses, by ROM type.
struct Unlock {
    uint16_t first;
    uint16_t second;
};
constexpr std::array<Unlock, 3> kRomUnlock = {{{0x5555, 0x2AAA}, {0x0555, 0x02AA},
                                                {0x5555, 0x2AAA}}};

void PutLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

std::array<uint8_t, 18> RomEraseCycles(uint8_t romType) {
    const Unlock u = kRomUnlock[romType];
    const uint16_t addresses[6] = {u.first, u.second, u.first, u.first, u.second, u.first};
    std::array<uint8_t, 18> block{};
    for (int i = 0; i < 6; ++i) PutLe16(block.data() + 2 * i, addresses[i]);
    const uint8_t data[6] = {0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
    std::memcpy(block.data() + 12, data, sizeof data);
    return block;
}

std::array<uint8_t, 9> RomProgramCycles(uint8_t romType) {
    const Unlock u = kRomUnlock[romType];
    std::array<uint8_t, 9> cycles{};
    PutLe16(cycles.data(), u.first);
    PutLe16(cycles.data() + 2, u.second);
    PutLe16(cycles.data() + 4, u.first);
    cycles[6] = 0xAA;
    cycles[7] = 0x55;
    cycles[8] = 0xA0;
    return cycles;
}

uint32_t Address24(const uint8_t* at) {
    return uint32_t{at[0]} << 16 | uint32_t{at[1]} << 8 | at[2];
}

uint16_t Length16(const ScsiCommand& c) {
    return static_cast<uint16_t>(c.cdb[3] << 8 | c.cdb[4]);
}

// A reply the bridge moves in whole pairs: a single byte goes out as two.
uint32_t PairedLength(uint32_t length) { return length + (length & 1); }

ScsiOutcome Good(uint32_t transferred) {
    ScsiOutcome outcome;
    outcome.delivered = true;
    outcome.transferred = transferred;
    return outcome;
}

// Copies as much of `reply` as the host asked for.
ScsiOutcome ReplyIn(const ScsiCommand& c, std::span<const uint8_t> reply) {
    const uint32_t n = std::min<uint32_t>(c.length, static_cast<uint32_t>(reply.size()));
    if (n && c.data) std::memcpy(c.data, reply.data(), n);
    return Good(n);
}

ScsiOutcome Gone() {
    ScsiOutcome outcome;
    outcome.delivered = false;
    outcome.osError = ENODEV;
    outcome.deviceGone = true;
    outcome.diagnostic = "emulated device went away during the command";
    return outcome;
}

// The way a command's data moves; nothing for the commands that carry none,
// which take either direction as long as they move no bytes.
std::optional<DataDirection> DirectionOf(const ScsiCommand& c) {
    constexpr auto in = DataDirection::In;
    constexpr auto out = DataDirection::Out;
    switch (c.cdb[0]) {
        case kRequestSense:
        case kInquiry:
        case kChipInfoOpcode: return in;
        case kVendorOpcode:
            switch (c.cdb[2]) {
                case 0x02: case 0x04: case 0x11: return out;
                case 0x00: case 0x03: case 0x10: case 0x12: case 0x21: case 0x23: case 0x30:
                    return in;
                default: return std::nullopt;
            }
        case kExtOpcode:
            if (c.cdb[11] == 0xFB) return out;
            if (c.cdb[11] == 0xFA || c.cdb[11] == 0xFD || c.cdb[11] == 0xFF) return in;
            return std::nullopt;
        default: return std::nullopt;
    }
}
}  // namespace

std::vector<uint8_t> FixedSense(SenseCode code) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;   // current error, fixed format
    sense[2] = code.key;
    sense[7] = 10;     // additional sense length
    sense[12] = code.asc;
    sense[13] = code.ascq;
    return sense;
}

EmulatedBridge::EmulatedBridge(BridgeDescription description, Clock& clock,
                               std::vector<uint8_t> flash, std::vector<uint8_t> rom)
    : description_(std::move(description)),
      clock_(clock),
      flash_(std::move(flash)),
      rom_(std::move(rom)),
      xdata_(BuildXdata()) {}

std::vector<uint8_t> EmulatedBridge::BuildXdata() const {
    std::vector<uint8_t> xdata(kXdataBytes, 0);
    xdata[kLateRevisionAddress + 1] =
        description_.lateRevision ? kLateRevisionByte : kEarlyRevisionByte;
    xdata[kBlockModeAddress + 2] = description_.blockMode ? 0x01 : 0x00;
    return xdata;
}

ScsiOutcome EmulatedBridge::Execute(const ScsiCommand& c, InterfaceClass via) {
    const std::lock_guard<std::recursive_mutex> hold(lock_);
    ++commands_;
    Charge(kCommandOverheadMicros);
    if (commands_ == description_.failAt) return Refuse(kInjectedFailure);
    powerFailing_ = commands_ == description_.powerLossAt;
    shortening_ = commands_ == description_.shortAt && c.length > 0;
    // What the host's buffer held before, for the bytes a short reply never reaches.
    std::vector<uint8_t> before;
    if (shortening_ && c.direction == DataDirection::In && c.data)
        before.assign(c.data, c.data + c.length);
    if (c.direction == DataDirection::Out) Charge(BulkMicros(c.length));
    ScsiOutcome outcome = Dispatch(c, via);
    if (shortening_) CutShort(c, before, outcome);
    shortening_ = false;
    if (c.direction == DataDirection::In) Charge(BulkMicros(outcome.transferred));
    PersistFlash();
    if (powerFailing_) {
        LosePower();
        powerFailing_ = false;
        if (vanishNotice_) vanishNotice_();
        return Gone();
    }
    if (outcome.Good()) bytesMoved_ += outcome.transferred;
    return outcome;
}

ScsiOutcome EmulatedBridge::Dispatch(const ScsiCommand& c, InterfaceClass via) {
    if (c.cdbLength == 0 || c.cdb == nullptr) return Refuse(kInvalidOpcode);
    const uint8_t opcode = c.cdb[0];
    if (opcode == kTestUnitReady) return Good(0);
    const bool vendorCdb = GetProfile().tavrel && c.cdbLength >= kVendorCdbBytes;
    if (opcode != kRequestSense && opcode != kInquiry && !vendorCdb) return Refuse(kInvalidOpcode);
    if (auto misdirected = MisdirectedData(c)) return Refuse(*misdirected);
    if (opcode == kRequestSense) return RequestSense(c);
    if (opcode == kInquiry) return Inquiry(c, via);
    if (description_.vendorModeRequired && !vendorMode_ && NeedsVendorMode(c))
        return Refuse(kNotInVendorMode);
    if (opcode == kChipInfoOpcode && c.cdb[1] == 0xF4 && c.cdb[2] == 0xE7) return ChipInfo(c);
    if (opcode == kVendorOpcode && c.cdb[1] == kVendorGroupByte) return VendorGroup(c);
    if (opcode == kExtOpcode) return ExtGroup(c);
    return Refuse(kInvalidOpcode);
}

// What reaches the flash, the internal ROM or the block protocol; the
// identification commands (chip record, identification text and word,
// bridge memory) and vendor mode itself are taken in either mode.
bool EmulatedBridge::NeedsVendorMode(const ScsiCommand& c) const {
    const uint8_t opcode = c.cdb[0];
    if (opcode == kExtOpcode) return c.cdb[11] == 0xFA || c.cdb[11] == 0xFB;
    if (opcode != kVendorOpcode || c.cdb[1] != kVendorGroupByte) return false;
    const uint8_t sub = c.cdb[2];
    if (sub == 0x30 || sub == 0x51) return false;
    return (sub >= 0x10 && sub <= 0x14) || sub == 0x20 || sub == 0x21 || sub == 0x23 ||
           sub == 0x25 || (sub <= 0x05 && GetProfile().internalRom);
}

ScsiOutcome EmulatedBridge::VendorGroup(const ScsiCommand& c) {
    const uint8_t* cdb = c.cdb;
    const uint32_t address = Address24(cdb + 3);
    switch (cdb[2]) {
        case 0x10: return ReadFlash(c, address, c.length);
        case 0x11: return WriteFlash(c, address, c.length);
        case 0x12: return FlashStatus(c);
        case 0x13: return EraseChip();
        case 0x14: return EraseSector(address);
        case 0x20: return SpiSelect(c);
        case 0x21: return SpiReply(c);
        case 0x23: return cdb[3] == 0x04 ? FlashVendor(c) : Refuse(kInvalidField);
        case 0x25: ++command25Count_; return Good(0);
        case 0x30: return cdb[3] == 0x08 ? IdText(c) : Refuse(kInvalidField);
        case 0x51: return VendorMode(c);
        default: break;
    }
    if (cdb[2] <= 0x05 && GetProfile().internalRom) return RomGroup(c);
    return Refuse(kInvalidOpcode);
}

ScsiOutcome EmulatedBridge::RomGroup(const ScsiCommand& c) {
    switch (c.cdb[2]) {
        case 0x00: return RomStatus(c);
        case 0x01: return RomErase();
        case 0x02: return RomProgram(c);
        case 0x03: return RomRead(c);
        case 0x04: return RomPreErase(c);
        case 0x05: romSelected_ = true; return Good(0);
        default: return Refuse(kInvalidOpcode);
    }
}

ScsiOutcome EmulatedBridge::ExtGroup(const ScsiCommand& c) {
    const uint8_t function = c.cdb[11];
    if (function == 0xFB) return WriteFlashExt(c);
    if (c.cdb[1] != kExtReadMarker && (function == 0xFA || function == 0xFD || function == 0xFF))
        return Refuse(kInvalidField);
    if (function == 0xFA) return ReadFlashExt(c);
    if (function == 0xFD) return ReadXdata(c);
    if (function == 0xFF) return IdWord(c);
    return Refuse(kInvalidOpcode);
}

ScsiOutcome EmulatedBridge::Refuse(SenseCode code) {
    ScsiOutcome outcome;
    outcome.delivered = true;
    outcome.scsiStatus = 0x02;   // CHECK CONDITION
    outcome.sense = FixedSense(code);
    lastSense_ = outcome.sense;
    return outcome;
}

// Bytes cannot flow against a command's direction, so this rule holds even
// for a lenient bridge.
std::optional<SenseCode> EmulatedBridge::MisdirectedData(const ScsiCommand& c) const {
    const auto expected = DirectionOf(c);
    if (c.length > 0 && expected && c.direction != *expected) return kWrongDirection;
    return std::nullopt;
}

// A part still erasing takes no new command: the bridge answers NOT READY
// rather than holding it. Lenient, it holds the command until the part is
// ready, which hides a host that forgot to wait.
std::optional<SenseCode> EmulatedBridge::FlashNotReady() {
    if (description_.lenient) {
        AwaitReady(flash_);
        return std::nullopt;
    }
    if (flash_.Busy(clock_.NowMicros())) return kFlashBusy;
    return std::nullopt;
}

// The block at address 0 holds the header block the chip starts from: the
// bridge takes at most 4 KB there, and on an MXIC part erases it only under
// the 0x80 flag.
std::optional<SenseCode> EmulatedBridge::FirstBlockFault(uint8_t mode, uint32_t address,
                                                         uint32_t length) const {
    if (description_.lenient || address != 0) return std::nullopt;
    if (length > kFirstBlockLimit) return kFirstBlockTooLong;
    if (description_.vendor == kMxicVendor && (mode & 0x07) != 0 && (mode & kFirstBlockFlag) == 0)
        return kFirstBlockUnflagged;
    return std::nullopt;
}

// The reply stops an eighth of the way in, with GOOD status: the host's
// buffer keeps what it held past that point, and a write programs only the
// bytes that arrived.
void EmulatedBridge::CutShort(const ScsiCommand& c, std::span<const uint8_t> before,
                              ScsiOutcome& outcome) const {
    if (!outcome.Good()) return;
    const uint32_t kept = std::min(outcome.transferred, c.length) / kShortDivisor;
    if (c.direction == DataDirection::In && c.data && before.size() == c.length)
        std::copy(before.begin() + kept, before.end(), c.data + kept);
    outcome.transferred = kept;
}

// ---- identification -------------------------------------------------------

ScsiOutcome EmulatedBridge::Inquiry(const ScsiCommand& c, InterfaceClass via) {
    const Profile& profile = GetProfile();
    const bool withCode = !profile.inquiryCode.empty() && description_.inquiryCode;
    std::array<uint8_t, kInquiryWithCodeBytes> data{};
    const size_t size = withCode ? kInquiryWithCodeBytes : kInquiryBytes;
    data[0] = via == InterfaceClass::Cdrom ? 0x05 : 0x00;
    data[1] = 0x80;   // removable medium
    data[2] = 0x04;
    data[3] = 0x02;
    data[4] = static_cast<uint8_t>(size - 5);
    const std::string_view vendor = profile.tavrel ? "Tavrel  " : "Generic ";
    std::memcpy(data.data() + 8, vendor.data(), 8);
    std::memcpy(data.data() + 16, profile.product.data(), std::min<size_t>(16, profile.product.size()));
    std::memcpy(data.data() + 32, "1.00", 4);
    if (withCode) std::memcpy(data.data() + 36, profile.inquiryCode.data(), 4);
    const size_t allocation = std::min<size_t>(size, c.cdbLength > 4 ? c.cdb[4] : size);
    return ReplyIn(c, std::span(data).first(allocation));
}

ScsiOutcome EmulatedBridge::RequestSense(const ScsiCommand& c) {
    std::vector<uint8_t> sense = lastSense_.empty() ? FixedSense({0, 0, 0}) : lastSense_;
    lastSense_.clear();
    return ReplyIn(c, sense);
}

ScsiOutcome EmulatedBridge::ChipInfo(const ScsiCommand& c) {
    const Profile& profile = GetProfile();
    std::array<uint8_t, kChipInfoBytes> record{};
    if (!profile.chipNumber.empty()) {
        record[0] = 0xF4;
        record[1] = 0xE7;
        record[2] = static_cast<uint8_t>(profile.usbVendor >> 8);
        record[3] = static_cast<uint8_t>(profile.usbVendor);
        record[4] = static_cast<uint8_t>(profile.usbProduct >> 8);
        record[5] = static_cast<uint8_t>(profile.usbProduct);
        record[6] = kRecordVersion[0];
        record[7] = kRecordVersion[1];
        std::memcpy(record.data() + 8, profile.chipNumber.data(), 3);
        record[11] = static_cast<uint8_t>('0' + description_.revision % 10);
        std::copy(kRecordVersion.begin() + 2, kRecordVersion.end(), record.begin() + 12);
    }
    return ReplyIn(c, record);
}

ScsiOutcome EmulatedBridge::IdText(const ScsiCommand& c) {
    const Profile& profile = GetProfile();
    std::array<uint8_t, kIdTextBytes> text{};
    std::memcpy(text.data(), profile.idTextStem.data(), std::min<size_t>(5, profile.idTextStem.size()));
    const bool revised = profile.revision == RevisionSource::IdText;
    text[5] = static_cast<uint8_t>(revised ? '0' + description_.revision - 1 : '0');
    return ReplyIn(c, text);
}

ScsiOutcome EmulatedBridge::IdWord(const ScsiCommand& c) {
    const std::array<uint8_t, 2> word = {GetProfile().idWordLow, 0x00};
    return ReplyIn(c, std::span(word).first(std::min<size_t>(2, PairedLength(Length16(c)))));
}

ScsiOutcome EmulatedBridge::ReadXdata(const ScsiCommand& c) {
    const uint16_t address = static_cast<uint16_t>(c.cdb[6] << 8 | c.cdb[7]);
    const uint32_t length = std::min(c.length, PairedLength(Length16(c)));
    if (c.data)
        for (uint32_t i = 0; i < length; ++i) c.data[i] = xdata_[(address + i) % kXdataBytes];
    return Good(length);
}

ScsiOutcome EmulatedBridge::VendorMode(const ScsiCommand& c) {
    if (c.cdb[3] != 0x4B || (c.cdb[4] != 0x55 && c.cdb[4] != 0xAA)) return Refuse(kInvalidField);
    vendorMode_ = c.cdb[4] == 0x55;
    return Good(0);
}

ScsiOutcome EmulatedBridge::FlashVendor(const ScsiCommand& c) {
    const std::array<uint8_t, 4> reply = {description_.vendor, 0, 0, 0};
    return ReplyIn(c, reply);
}

// The two halves of a raw SPI exchange: the first sends the instruction, the
// second collects what the part answered to it.
ScsiOutcome EmulatedBridge::SpiSelect(const ScsiCommand& c) {
    spiInstruction_ = c.cdb[5];
    return Good(0);
}

ScsiOutcome EmulatedBridge::SpiReply(const ScsiCommand& c) {
    AwaitReady(flash_);
    std::array<uint8_t, 4> reply{};
    const int32_t amic = description_.amic;
    if (spiInstruction_ == kJedecReadId && amic != kNoAmic) {
        reply = {0x7F, 0x37, 0x20, kAmicDeviceByte[static_cast<size_t>(amic)]};
    } else if (spiInstruction_ == kJedecReadId && description_.vendor < kJedecMaker.size()) {
        const uint8_t maker = kJedecMaker[description_.vendor];
        if (maker) reply = {maker, 0x20, 0x10, 0x00};
    }
    spiInstruction_ = 0;
    return ReplyIn(c, reply);
}

// ---- serial flash ---------------------------------------------------------

ScsiOutcome EmulatedBridge::ReadFlash(const ScsiCommand& c, uint32_t address, uint32_t length) {
    if (auto busy = FlashNotReady()) return Refuse(*busy);
    const uint32_t moved = std::min(length, c.length);
    if (c.data == nullptr || moved == 0) return Good(0);
    const std::span<uint8_t> out(c.data, moved);
    flash_.Read(address, out);
    ApplyFlip(address, out);
    return Good(moved);
}

ScsiOutcome EmulatedBridge::WriteFlash(const ScsiCommand& c, uint32_t address, uint32_t length) {
    if (auto busy = FlashNotReady()) return Refuse(*busy);
    return ProgramFlash(c, address, length);
}

ScsiOutcome EmulatedBridge::ProgramFlash(const ScsiCommand& c, uint32_t address, uint32_t length) {
    const uint32_t programmed = Share(std::min(length, c.length));
    if (c.data && programmed) flash_.Program(address, std::span(c.data, programmed));
    Charge(ProgramMicros(address, programmed));
    return Good(c.length);
}

ScsiOutcome EmulatedBridge::FlashStatus(const ScsiCommand& c) {
    const bool busy = description_.busyStuck || flash_.Busy(clock_.NowMicros());
    const std::array<uint8_t, 2> status = {static_cast<uint8_t>(busy ? 0x01 : 0x00), 0x00};
    return ReplyIn(c, status);
}

ScsiOutcome EmulatedBridge::EraseChip() {
    if (auto busy = FlashNotReady()) return Refuse(*busy);
    BeginErase(flash_, {0, flash_.Size()}, ChipEraseMicros(flash_.Size()));
    return Good(0);
}

ScsiOutcome EmulatedBridge::EraseSector(uint32_t address) {
    if (auto busy = FlashNotReady()) return Refuse(*busy);
    const Region region =
        SectorAt(address, description_.vendor, description_.amic, flash_.Size());
    BeginErase(flash_, region, UnitEraseMicros(region.length));
    return Good(0);
}

ScsiOutcome EmulatedBridge::ReadFlashExt(const ScsiCommand& c) {
    const uint32_t length = Length16(c);
    if (length > kExtTransferLimit) return Refuse(kInvalidField);
    return ReadFlash(c, Address24(c.cdb + 8), PairedLength(length));
}

ScsiOutcome EmulatedBridge::WriteFlashExt(const ScsiCommand& c) {
    const uint8_t mode = c.cdb[1];
    const uint32_t length = Length16(c);
    const uint32_t address = Address24(c.cdb + 8);
    if ((mode & ~kWriteModeMask) != 0 || length > kExtTransferLimit || c.length < length)
        return Refuse(kInvalidField);
    // Every check comes before the erase: a refused block leaves the flash as it was.
    if (auto fault = FirstBlockFault(mode, address, length)) return Refuse(*fault);
    if (auto busy = FlashNotReady()) return Refuse(*busy);
    // Power that fails during the erase leaves nothing programmed.
    if (EraseBeforeWrite(mode & 0x07, address) && powerFailing_) return Good(c.length);
    return ProgramFlash(c, address, length);
}

// The erase a block write asks for, run to its end inside the command: the
// bridge programs only once the part is ready again.
bool EmulatedBridge::EraseBeforeWrite(uint8_t mode, uint32_t address) {
    if (mode == 0) return false;
    const EraseUnits units = VendorEraseUnits(description_.vendor);
    Region region;
    if (mode == 1 || mode == 4) region = AlignedRegion(address, units.small, flash_.Size());
    else if (mode == 2 || mode == 5) region = AlignedRegion(address, units.large, flash_.Size());
    else region = {0, std::min(kBlockBytes, flash_.Size())};
    BeginErase(flash_, region, UnitEraseMicros(region.length));
    AwaitReady(flash_);
    return true;
}

// ---- internal ROM ---------------------------------------------------------

ScsiOutcome EmulatedBridge::RomStatus(const ScsiCommand& c) {
    const std::array<uint8_t, 2> status = {static_cast<uint8_t>(RomBusy() ? 0x01 : 0x00), 0x00};
    return ReplyIn(c, status);
}

ScsiOutcome EmulatedBridge::RomPreErase(const ScsiCommand& c) {
    const auto expected = RomEraseCycles(description_.romType);
    romEraseArmed_ = false;
    if (c.direction != DataDirection::Out || c.length != expected.size() || c.data == nullptr ||
        !std::equal(expected.begin(), expected.end(), c.data))
        return Refuse(kInvalidField);
    romEraseArmed_ = true;
    return Good(c.length);
}

ScsiOutcome EmulatedBridge::RomErase() {
    if (!romEraseArmed_) return Refuse(kSequenceError);
    romEraseArmed_ = false;
    AwaitReady(rom_);
    BeginErase(rom_, {0, rom_.Size()}, kRomChipEraseMicros);
    return Good(0);
}

ScsiOutcome EmulatedBridge::RomRead(const ScsiCommand& c) {
    const uint32_t address = uint32_t{c.cdb[3]} | uint32_t{c.cdb[4]} << 8 |
                             uint32_t{c.cdb[5]} << 16 | uint32_t{c.cdb[6]} << 24;
    AwaitReady(rom_);
    if (c.data) rom_.Read(address, std::span(c.data, c.length));
    return Good(c.length);
}

ScsiOutcome EmulatedBridge::RomProgram(const ScsiCommand& c) {
    const auto expected = RomProgramCycles(description_.romType);
    if (!std::equal(expected.begin(), expected.end(), c.cdb + 3))
        return Refuse(kInvalidField);
    AwaitReady(rom_);
    const uint32_t programmed = Share(c.length);
    if (c.data && programmed) rom_.Program(0, std::span(c.data, programmed));
    Charge(programmed * kRomByteProgramMicros);
    return Good(c.length);
}

// ---- time, power and persistence -----------------------------------------

void EmulatedBridge::Charge(uint64_t micros) {
    if (micros == 0) return;
    clock_.SleepMicros(micros);
    emulatedMicros_ += micros;
}

void EmulatedBridge::AwaitReady(const NorMemory& memory) {
    const uint64_t now = clock_.NowMicros();
    if (memory.Busy(now)) Charge(memory.ReadyAt() - now);
}

// A power cut during the erasing command keeps the first half of the region.
void EmulatedBridge::BeginErase(NorMemory& memory, Region region, uint64_t micros) {
    if (powerFailing_) {
        memory.Erase({region.start, region.length / 2});
        return;
    }
    const uint64_t now = clock_.NowMicros();
    memory.StartErase(region, now, now + micros);
}

void EmulatedBridge::ApplyFlip(uint32_t address, std::span<uint8_t> out) const {
    if (!description_.flipAddress || flash_.Size() == 0) return;
    for (size_t i = 0; i < out.size(); ++i)
        if ((address + i) % flash_.Size() == *description_.flipAddress) out[i] ^= 0x01;
}

void EmulatedBridge::PersistFlash() {
    const auto changed = flash_.TakeChanged();
    if (!changed || description_.flashFile.empty()) return;
    if (!WriteBackFlashFile(description_.flashFile, flash_.Bytes(), *changed))
        problems_.push_back("cannot write flash file '" + description_.flashFile + "'");
}

void EmulatedBridge::ForgetModes() {
    vendorMode_ = false;
    romSelected_ = false;
    romEraseArmed_ = false;
    spiInstruction_ = 0;
    lastSense_.clear();
}

void EmulatedBridge::LosePower() {
    const std::lock_guard<std::recursive_mutex> hold(lock_);
    const uint64_t now = clock_.NowMicros();
    flash_.CutPower(now);
    rom_.CutPower(now);
    PersistFlash();
    ForgetModes();
    present_ = false;
}

void EmulatedBridge::Arrive() {
    const std::lock_guard<std::recursive_mutex> hold(lock_);
    present_ = true;
    ++generation_;
}

bool EmulatedBridge::TakeUnplugFault() {
    const std::lock_guard<std::recursive_mutex> hold(lock_);
    if (unplugFired_ || description_.unplugAt == 0 || commands_ + 1 != description_.unplugAt)
        return false;
    unplugFired_ = true;
    return true;
}

void EmulatedBridge::WriteFlashDirect(uint32_t address, std::span<const uint8_t> bytes) {
    const std::lock_guard<std::recursive_mutex> hold(lock_);
    flash_.Overwrite(address, bytes);
    PersistFlash();
}

void EmulatedBridge::WriteRomDirect(uint32_t address, std::span<const uint8_t> bytes) {
    const std::lock_guard<std::recursive_mutex> hold(lock_);
    rom_.Overwrite(address, bytes);
}

std::vector<std::string> EmulatedBridge::TakeProblems() {
    const std::lock_guard<std::recursive_mutex> hold(lock_);
    std::vector<std::string> problems;
    problems.swap(problems_);
    return problems;
}

}  // namespace qks::emu
