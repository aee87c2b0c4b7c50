// A bridge description: `PROFILE[:key=value,...]`, e.g.
//   q970:vendor=5,content=old,flash=/tmp/f.bin,fail=12
// The text is what a command line or a test names a device by; the record is
// what the emulator builds the bridge from. Every field has a fixed default,
// so the same text always makes the same bridge.
//
// Keys (names and words are case-insensitive; no key may repeat):
//   flash=FILE      flash contents live in FILE: made from `content` when
//                   missing, written back after every change; the file must
//                   be exactly the flash size. A name cannot hold a comma.
//   content=old|blank|updated   (default old)
//   vendor=0-15     serial flash maker code (default per profile; 7 with amic)
//   amic=1|3|4|5|none           an AMIC part and its sector map (default none)
//   size=64K|128K|256K|512K|1M  (default per profile)
//   rev=N           revision, where the family has one (see RevisionsOf)
//   late=0|1        bridge memory reports the late revision
//   blockmode=0|1   bridge memory reports block update mode
//   inqcode=0|1     0: INQUIRY hides the chip code, so the record decides
//   rom=0|1|2       fitted parallel ROM part (internal-ROM profiles only)
//   iface=disk|cdrom|both       interfaces the bridge shows (default disk)
//   vendormode=0|1  1: flash, ROM and block commands are refused outside vendor mode
//   fail=N          the Nth command of the run is refused (CHECK CONDITION)
//   unplug=N        the device vanishes before its Nth command
//   powerloss=N     power fails halfway through the Nth command
//   busy=stuck      the flash status never leaves busy
//   flip=ADDR       one bit at ADDR (decimal or 0x hex) reads back flipped
//   short=N         the Nth command moves an eighth of the bytes asked, with
//                   GOOD status
//   serial=TEXT     the USB serial number it reports (empty: none)
//   mounted=DIR     the host has its disk mounted at DIR (the platform
//                   reports it in use)
//   lenient=1       the rules of emulator/README.md that refuse a host's
//                   mistakes are off: the bridge does what it is told
// Only iface, fail, unplug, powerloss, short, serial and mounted apply to `plain`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "emulator/profiles.h"

namespace qks::emu {

enum class FlashContent : uint8_t {
    Old,      // an older firmware behind the device's own signed header
    Blank,    // all 0xFF
    Updated,  // the device's header, then the target image from byte 128 on
};

enum class InterfaceSet : uint8_t { Disk, Cdrom, Both };

inline constexpr int32_t kNoAmic = -1;

struct BridgeDescription {
    const Profile* profile = nullptr;
    std::string text;              // as given, for diagnostics
    std::string flashFile;         // empty: the flash lives in memory only
    FlashContent content = FlashContent::Old;
    uint8_t vendor = 0;            // serial flash maker code, 0-15
    bool lateRevision = false;
    bool blockMode = false;
    bool inquiryCode = true;       // false: INQUIRY hides the chip code
    int32_t amic = kNoAmic;        // 1, 3, 4, 5 or kNoAmic
    uint8_t romType = 0;           // fitted parallel ROM part, 0-2
    uint8_t revision = 0;
    uint32_t flashSize = 0;
    InterfaceSet interfaces = InterfaceSet::Disk;
    // Fault injection; command numbers count from 1, 0 = never.
    uint64_t failAt = 0;
    uint64_t unplugAt = 0;
    uint64_t powerLossAt = 0;
    uint64_t shortAt = 0;
    bool busyStuck = false;
    std::optional<uint32_t> flipAddress;
    std::optional<std::string> serial;   // nothing: the platform's own name
    std::string mountedAt;                // empty: not mounted
    bool lenient = false;
    // Flash, ROM and block commands only after EnterVendorMode.
    bool vendorModeRequired = false;
};

struct DescriptionParse {
    std::optional<BridgeDescription> description;
    std::string error;   // one line; empty on success
};

DescriptionParse ParseDescription(std::string_view text);

// Size texts as the `size=` key spells them: 64K, 128K, 256K, 512K, 1M.
std::optional<uint32_t> ParseFlashSize(std::string_view text);

}  // namespace qks::emu
