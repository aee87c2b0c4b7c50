#include "rig/bot.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace qks::rig {

namespace {
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kRequestSense = 0x03;
constexpr uint8_t kRead6 = 0x08;
constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kModeSelect6 = 0x15;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kStartStop = 0x1B;
constexpr uint8_t kPreventAllow = 0x1E;
constexpr uint8_t kReadFormatCapacities = 0x23;
constexpr uint8_t kReadCapacity10 = 0x25;
constexpr uint8_t kRead10 = 0x28;
constexpr uint8_t kWrite10 = 0x2A;
constexpr uint8_t kVerify10 = 0x2F;
constexpr uint8_t kSynchronizeCache10 = 0x35;
constexpr uint8_t kModeSelect10 = 0x55;
constexpr uint8_t kModeSense10 = 0x5A;
constexpr uint8_t kRead16 = 0x88;
constexpr uint8_t kWrite16 = 0x8A;
constexpr uint8_t kSynchronizeCache16 = 0x91;
constexpr uint8_t kServiceActionIn16 = 0x9E;
constexpr uint8_t kReadCapacity16Action = 0x10;
constexpr uint8_t kReportLuns = 0xA0;
// MMC, the CD-ROM unit's own commands.
constexpr uint8_t kReadToc = 0x43;
constexpr uint8_t kGetConfiguration = 0x46;
constexpr uint8_t kGetEventStatus = 0x4A;
constexpr uint8_t kReadDiscInformation = 0x51;
constexpr uint8_t kReadTrackInformation = 0x52;
constexpr uint8_t kRead12 = 0xA8;
constexpr uint8_t kReadCd = 0xBE;
constexpr uint8_t kMediaEventClass = 0x04;

constexpr uint8_t kCachingPage = 0x08;
constexpr uint8_t kAllPages = 0x3F;

// Sense the target itself raises.
constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kMediumNotPresent = 0x3A;
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kHardwareError = 0x04;

uint32_t Le32(const uint8_t* at) {
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

void PutLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutBe(uint8_t* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

// A CDB byte; a CDB shorter than its command reads as zeros beyond its end.
uint8_t At(const Cbw& cbw, size_t index) {
    return index < cbw.cdb.size() ? cbw.cdb[index] : 0;
}

uint64_t Be(const Cbw& cbw, size_t from, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | At(cbw, from + i);
    return value;
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> data, uint64_t allocation) {
    if (data.size() > allocation) data.resize(allocation);
    return data;
}

std::vector<uint8_t> CachingPage() {
    std::vector<uint8_t> page(20, 0);
    page[0] = kCachingPage;
    page[1] = 18;   // write cache off: nothing for the host to flush
    return page;
}
}  // namespace

std::vector<uint8_t> MakeSense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> sense(18, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

CbwParse ParseCbw(std::span<const uint8_t> bytes, uint8_t maxLun) {
    CbwParse result;
    char text[128];
    if (bytes.size() != kCbwBytes) {
        std::snprintf(text, sizeof text, "CBW of %zu bytes, not %zu", bytes.size(), kCbwBytes);
        result.error = text;
        return result;
    }
    const uint32_t signature = Le32(bytes.data());
    if (signature != kCbwSignature) {
        std::snprintf(text, sizeof text, "CBW signature 0x%08x, not 0x%08x", signature,
                      kCbwSignature);
        result.error = text;
        return result;
    }
    const uint8_t flags = bytes[12];
    const uint8_t lunByte = bytes[13];
    const uint8_t lengthByte = bytes[14];
    if (flags & 0x7F) {
        std::snprintf(text, sizeof text, "CBW flags 0x%02x set reserved bits", flags);
        result.error = text;
        return result;
    }
    if (lunByte > maxLun) {
        if (maxLun == 0)
            std::snprintf(text, sizeof text, "CBW for LUN byte 0x%02x; the device has only LUN 0",
                          lunByte);
        else
            std::snprintf(text, sizeof text, "CBW for LUN byte 0x%02x; the device has LUN 0 to %u",
                          lunByte, maxLun);
        result.error = text;
        return result;
    }
    if (lengthByte == 0 || lengthByte > kMaxCdbBytes) {
        std::snprintf(text, sizeof text, "CBW command block length byte 0x%02x, not 1 to 16",
                      lengthByte);
        result.error = text;
        return result;
    }
    Cbw cbw;
    cbw.tag = Le32(bytes.data() + 4);
    cbw.dataLength = Le32(bytes.data() + 8);
    cbw.dataIn = (flags & 0x80) != 0;
    cbw.lun = lunByte;
    cbw.cdb.assign(bytes.begin() + 15, bytes.begin() + 15 + lengthByte);
    result.cbw = std::move(cbw);
    return result;
}

std::array<uint8_t, kCswBytes> BuildCsw(uint32_t tag, uint32_t residue, CswStatus status) {
    std::array<uint8_t, kCswBytes> csw{};
    PutLe32(csw.data(), kCswSignature);
    PutLe32(csw.data() + 4, tag);
    PutLe32(csw.data() + 8, residue);
    csw[12] = static_cast<uint8_t>(status);
    return csw;
}

std::optional<CommandFault> ParseCommandFault(std::string_view text, CommandFault::Kind kind,
                                              std::string& error) {
    CommandFault fault;
    fault.kind = kind;
    const std::string whole(text);
    std::string_view rest = text;
    if (kind == CommandFault::Kind::Hold) {
        const size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            error = "'" + whole + "': a hold needs PREFIX[@N]:MS";
            return std::nullopt;
        }
        const std::string_view ms = rest.substr(colon + 1);
        const auto [end, ec] = std::from_chars(ms.data(), ms.data() + ms.size(), fault.holdMs);
        if (ec != std::errc{} || end != ms.data() + ms.size() || fault.holdMs == 0) {
            error = "'" + whole + "': the hold time must be a number of milliseconds above 0";
            return std::nullopt;
        }
        rest = rest.substr(0, colon);
    }
    if (const size_t at = rest.find('@'); at != std::string_view::npos) {
        const std::string_view n = rest.substr(at + 1);
        const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), fault.occurrence);
        if (ec != std::errc{} || end != n.data() + n.size() || fault.occurrence == 0) {
            error = "'" + whole + "': the occurrence after @ must be a number from 1";
            return std::nullopt;
        }
        rest = rest.substr(0, at);
    }
    if (rest.empty() || rest.size() % 2 != 0 || rest.size() / 2 > kMaxCdbBytes) {
        error = "'" + whole + "': the CDB prefix must be 1 to 16 bytes of hex digits";
        return std::nullopt;
    }
    for (size_t i = 0; i < rest.size(); i += 2) {
        uint8_t byte = 0;
        const auto [end, ec] = std::from_chars(rest.data() + i, rest.data() + i + 2, byte, 16);
        if (ec != std::errc{} || end != rest.data() + i + 2) {
            error = "'" + whole + "': '" + std::string(rest.substr(i, 2)) + "' is not a hex byte";
            return std::nullopt;
        }
        fault.cdbPrefix.push_back(byte);
    }
    return fault;
}

BotTarget::BotTarget(CommandBackend& backend, uint32_t mediumBlocks)
    : backend_(backend),
      mediumBlocks_(mediumBlocks),
      owned_(size_t{mediumBlocks} * kBlockBytes, 0),
      medium_(owned_) {}

BotTarget::BotTarget(CommandBackend& backend, std::span<uint8_t> medium)
    : backend_(backend),
      mediumBlocks_(static_cast<uint32_t>(medium.size() / kBlockBytes)),
      medium_(medium.first(size_t{mediumBlocks_} * kBlockBytes)) {}

const CommandFault* BotTarget::MatchFault(const Cbw& cbw) {
    for (Armed& armed : faults_) {
        const auto& prefix = armed.fault.cdbPrefix;
        if (armed.seen >= armed.fault.occurrence || prefix.size() > cbw.cdb.size()) continue;
        if (!std::equal(prefix.begin(), prefix.end(), cbw.cdb.begin())) continue;
        if (++armed.seen == armed.fault.occurrence) return &armed.fault;
    }
    return nullptr;
}

Reply BotTarget::Run(const Cbw& cbw, std::span<const uint8_t> dataOut, const HoldWait& wait) {
    if (const CommandFault* fault = MatchFault(cbw)) {
        if (fault->kind == CommandFault::Kind::Vanish) {
            Reply reply;
            reply.vanished = true;
            reply.note = "the device drops off the bus (rig fault)";
            return reply;
        }
        if (!wait(fault->holdMs)) {
            Reply reply;
            reply.abandoned = true;
            reply.note = "reset while the command was held";
            return reply;
        }
    }
    // Sense belongs to the command that failed and lasts only until the next
    // one, which is the REQUEST SENSE the host sends at once.
    if (cbw.cdb.empty() || cbw.cdb[0] != kRequestSense) pendingSense_.clear();
    if (cbw.lun == 1) {
        if (std::optional<Answer> answer = Cdrom(cbw)) return Finish(cbw, std::move(*answer), true);
        // Sense and the VPD pages are the same on both units; the disk's
        // medium is not the CD-ROM's.
        const uint8_t opcode = At(cbw, 0);
        if (opcode != kRequestSense && opcode != kInquiry) return Forward(cbw, dataOut);
    }
    if (std::optional<Answer> answer = Standard(cbw, dataOut))
        return Finish(cbw, std::move(*answer), true);
    return Forward(cbw, dataOut);
}

// An empty drive with its tray closed: what sr at attach, cdrom_id and the
// kernel's media polling ask, answered so they keep asking.
std::optional<BotTarget::Answer> BotTarget::Cdrom(const Cbw& cbw) {
    Answer answer;
    const auto refuse = [&](uint8_t key, uint8_t asc, std::string note) {
        answer.sense = MakeSense(key, asc, 0);
        answer.note = std::move(note);
        return answer;
    };
    const auto in = [&](std::vector<uint8_t> data, uint64_t allocation) {
        answer.want = Want::In;
        answer.data = Truncated(std::move(data), allocation);
        return answer;
    };
    switch (At(cbw, 0)) {
        case kTestUnitReady:
        case kReadCapacity10:
        case kRead10:
        case kRead12:
        case kReadCd:
        case kReadToc:
        case kReadDiscInformation:
        case kReadTrackInformation:
            return refuse(kNotReady, kMediumNotPresent, "no disc in the drive");
        case kPreventAllow:
        case kStartStop:
            return answer;
        case kModeSense6:
        case kModeSense10:
            return refuse(kIllegalRequest, 0x24, "MODE SENSE on the CD-ROM");
        case kGetEventStatus: {
            if (!(At(cbw, 1) & 0x01)) return refuse(kIllegalRequest, 0x24, "asynchronous events");
            // Four-byte header, then the media event: no change, no disc.
            std::vector<uint8_t> data = {0x00, 0x06, kMediaEventClass, 1u << kMediaEventClass,
                                         0x00, 0x00, 0x00, 0x00};
            return in(std::move(data), Be(cbw, 7, 2));
        }
        case kGetConfiguration: {
            std::vector<uint8_t> data(8, 0);
            data[3] = 4;   // the bytes after the length: current profile 0, no disc
            return in(std::move(data), Be(cbw, 7, 2));
        }
        default:
            return std::nullopt;
    }
}

std::optional<BotTarget::Answer> BotTarget::Standard(const Cbw& cbw,
                                                     std::span<const uint8_t> dataOut) {
    const uint8_t opcode = At(cbw, 0);
    Answer answer;
    const auto refuse = [&](uint8_t key, uint8_t asc, std::string note) {
        answer.sense = MakeSense(key, asc, 0);
        answer.note = std::move(note);
        return answer;
    };
    const auto in = [&](std::vector<uint8_t> data, uint64_t allocation) {
        answer.want = Want::In;
        answer.data = Truncated(std::move(data), allocation);
        return answer;
    };
    const uint64_t lastLba = mediumBlocks_ == 0 ? 0 : mediumBlocks_ - 1;

    switch (opcode) {
        case kTestUnitReady:
        case kPreventAllow:
        case kStartStop:
        case kVerify10:
        case kSynchronizeCache10:
        case kSynchronizeCache16:
            return answer;
        case kRequestSense: {
            std::vector<uint8_t> sense =
                pendingSense_.empty() ? MakeSense(0, 0, 0) : std::move(pendingSense_);
            pendingSense_.clear();
            return in(std::move(sense), At(cbw, 4));
        }
        case kInquiry: {
            if (At(cbw, 1) & 0x02) return refuse(kIllegalRequest, 0x24, "INQUIRY CmdDt");
            if (!(At(cbw, 1) & 0x01)) return std::nullopt;   // the bridge's own INQUIRY
            if (At(cbw, 2) != 0x00) return refuse(kIllegalRequest, 0x24, "INQUIRY VPD page");
            return in({0x00, 0x00, 0x00, 0x01, 0x00}, Be(cbw, 3, 2));
        }
        case kModeSense6:
        case kModeSense10: {
            const uint8_t page = At(cbw, 2) & 0x3F;
            const uint8_t control = At(cbw, 2) >> 6;
            if (control == 3) return refuse(kIllegalRequest, 0x39, "MODE SENSE saved values");
            if (page != kCachingPage && page != kAllPages)
                return refuse(kIllegalRequest, 0x24, "MODE SENSE page");
            const std::vector<uint8_t> body = CachingPage();
            const size_t head = opcode == kModeSense6 ? 4 : 8;
            std::vector<uint8_t> data(head, 0);
            data.insert(data.end(), body.begin(), body.end());
            if (opcode == kModeSense6) {
                data[0] = static_cast<uint8_t>(data.size() - 1);
                return in(std::move(data), At(cbw, 4));
            }
            PutBe(data.data(), data.size() - 2, 2);
            return in(std::move(data), Be(cbw, 7, 2));
        }
        case kModeSelect6:
        case kModeSelect10:
            answer.want = Want::Out;
            answer.outBytes =
                static_cast<uint32_t>(opcode == kModeSelect6 ? At(cbw, 4) : Be(cbw, 7, 2));
            return answer;
        case kReadCapacity10: {
            std::vector<uint8_t> data(8, 0);
            PutBe(data.data(), std::min<uint64_t>(lastLba, 0xFFFFFFFF), 4);
            PutBe(data.data() + 4, kBlockBytes, 4);
            return in(std::move(data), 8);
        }
        case kServiceActionIn16: {
            if ((At(cbw, 1) & 0x1F) != kReadCapacity16Action)
                return refuse(kIllegalRequest, 0x24, "SERVICE ACTION IN(16) action");
            std::vector<uint8_t> data(32, 0);
            PutBe(data.data(), lastLba, 8);
            PutBe(data.data() + 8, kBlockBytes, 4);
            return in(std::move(data), Be(cbw, 10, 4));
        }
        case kReadFormatCapacities: {
            std::vector<uint8_t> data(12, 0);
            data[3] = 8;
            PutBe(data.data() + 4, mediumBlocks_, 4);
            data[8] = 0x02;   // formatted medium
            PutBe(data.data() + 9, kBlockBytes, 3);
            return in(std::move(data), Be(cbw, 7, 2));
        }
        case kReportLuns: {
            std::vector<uint8_t> data(16, 0);
            data[3] = 8;   // one LUN, number 0
            return in(std::move(data), Be(cbw, 6, 4));
        }
        case kRead6:
        case kWrite6: {
            const uint64_t lba = (uint64_t{At(cbw, 1)} & 0x1F) << 16 | Be(cbw, 2, 2);
            const uint32_t blocks = At(cbw, 4) == 0 ? 256 : At(cbw, 4);
            return Block(cbw, dataOut, opcode == kWrite6, lba, blocks);
        }
        case kRead10:
        case kWrite10:
            return Block(cbw, dataOut, opcode == kWrite10, Be(cbw, 2, 4),
                         static_cast<uint32_t>(Be(cbw, 7, 2)));
        case kRead16:
        case kWrite16:
            return Block(cbw, dataOut, opcode == kWrite16, Be(cbw, 2, 8),
                         static_cast<uint32_t>(Be(cbw, 10, 4)));
        default:
            return std::nullopt;
    }
}

BotTarget::Answer BotTarget::Block(const Cbw& /*cbw*/, std::span<const uint8_t> dataOut,
                                   bool write, uint64_t lba, uint32_t blocks) {
    Answer answer;
    if (lba > mediumBlocks_ || blocks > mediumBlocks_ - lba) {
        answer.sense = MakeSense(kIllegalRequest, 0x21, 0);
        answer.note = "block range beyond the medium";
        return answer;
    }
    const size_t offset = static_cast<size_t>(lba) * kBlockBytes;
    const size_t bytes = size_t{blocks} * kBlockBytes;
    if (write) {
        answer.want = Want::Out;
        answer.outBytes = static_cast<uint32_t>(bytes);
        if (dataOut.size() >= bytes) std::memcpy(medium_.data() + offset, dataOut.data(), bytes);
    } else {
        answer.want = Want::In;
        answer.data.assign(medium_.begin() + offset, medium_.begin() + offset + bytes);
    }
    return answer;
}

// The thirteen cases of host and device expectations, reduced to what they
// decide: how much data moves, the residue, and whether it is a phase error.
Reply BotTarget::Finish(const Cbw& cbw, Answer answer, bool here) {
    Reply reply;
    reply.answeredHere = here;
    reply.note = std::move(answer.note);
    const uint32_t length = cbw.dataLength;
    const bool failed = !answer.sense.empty();
    if (failed) {
        pendingSense_ = std::move(answer.sense);
        answer.data.clear();
        answer.outBytes = 0;
    }
    reply.status = failed ? CswStatus::Failed : CswStatus::Passed;

    if (length == 0) {
        const bool wantsData = (answer.want == Want::In && !answer.data.empty()) ||
                               (answer.want == Want::Out && answer.outBytes > 0);
        if (wantsData) reply.status = CswStatus::PhaseError;
        return reply;
    }
    if (cbw.dataIn) {
        reply.dataIn.assign(length, 0);   // whatever the device lacks goes out as padding
        if (answer.want == Want::Out && answer.outBytes > 0) {
            reply.status = CswStatus::PhaseError;
            reply.residue = length;
            return reply;
        }
        if (answer.data.size() > length) {
            reply.status = CswStatus::PhaseError;
            std::copy_n(answer.data.begin(), length, reply.dataIn.begin());
            return reply;
        }
        std::copy(answer.data.begin(), answer.data.end(), reply.dataIn.begin());
        reply.residue = length - static_cast<uint32_t>(answer.data.size());
        return reply;
    }
    if (answer.want == Want::In && !answer.data.empty()) {
        reply.status = CswStatus::PhaseError;
        reply.residue = length;
        return reply;
    }
    if (answer.outBytes > length) {
        reply.status = CswStatus::PhaseError;
        reply.residue = length;
        return reply;
    }
    reply.residue = length - answer.outBytes;
    return reply;
}

Reply BotTarget::Forward(const Cbw& cbw, std::span<const uint8_t> dataOut) {
    const uint32_t length = cbw.dataLength;
    std::vector<uint8_t> buffer(length, 0);
    if (!cbw.dataIn)
        std::copy_n(dataOut.begin(), std::min<size_t>(dataOut.size(), length), buffer.begin());
    ScsiCommand command;
    command.cdb = cbw.cdb.data();
    command.cdbLength = static_cast<uint8_t>(cbw.cdb.size());
    command.direction = cbw.dataIn ? DataDirection::In : DataDirection::Out;
    command.data = length ? buffer.data() : nullptr;
    command.length = length;
    const ScsiOutcome outcome = backend_.Execute(command, cbw.lun);

    Reply reply;
    if (!outcome.delivered) {
        reply.vanished = true;
        reply.note = outcome.diagnostic.empty() ? "the bridge is gone" : outcome.diagnostic;
        return reply;
    }
    const uint32_t moved = std::min(outcome.transferred, length);
    if (!outcome.Good()) {
        pendingSense_ = outcome.sense.empty() ? MakeSense(kHardwareError, 0x44, 0) : outcome.sense;
        char text[96];
        std::snprintf(text, sizeof text, "bridge status 0x%02x host 0x%02x", outcome.scsiStatus,
                      outcome.hostStatus);
        reply.note = text;
        reply.status = CswStatus::Failed;
    }
    if (cbw.dataIn) {
        reply.dataIn.assign(length, 0);
        if (outcome.Good()) std::copy_n(buffer.begin(), moved, reply.dataIn.begin());
    }
    reply.residue = outcome.Good() ? length - moved : length;
    return reply;
}

}  // namespace qks::rig
