#include "emulator/description.h"

#include <array>
#include <cctype>
#include <charconv>
#include <set>

namespace qks::emu {

namespace {

// Which bridges a key makes sense for: keys about the flash or the chip's
// answers mean nothing to a disk without vendor commands.
enum class Scope : uint8_t { Any, Tavrel, Rom };

using Setter = bool (*)(BridgeDescription&, std::string_view value);

struct KeyRule {
    std::string_view key;
    Scope scope;
    std::string_view expected;   // shown when the value is refused
    Setter set;
};

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::optional<uint64_t> ParseNumber(std::string_view text, bool allowHex) {
    int base = 10;
    if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

bool SetRanged(std::string_view value, uint64_t low, uint64_t high, uint64_t& out) {
    const auto number = ParseNumber(value, false);
    if (!number || *number < low || *number > high) return false;
    out = *number;
    return true;
}

bool SetFlag(std::string_view value, bool& out) {
    if (value != "0" && value != "1") return false;
    out = value == "1";
    return true;
}

bool SetCommandNumber(std::string_view value, uint64_t& out) {
    return SetRanged(value, 1, UINT64_MAX, out);
}

bool SetByte(std::string_view value, uint64_t high, uint8_t& out) {
    uint64_t number = 0;
    if (!SetRanged(value, 0, high, number)) return false;
    out = static_cast<uint8_t>(number);
    return true;
}

bool SetContent(BridgeDescription& d, std::string_view v) {
    const std::string value = Lower(v);
    if (value == "old") d.content = FlashContent::Old;
    else if (value == "blank") d.content = FlashContent::Blank;
    else if (value == "updated") d.content = FlashContent::Updated;
    else return false;
    return true;
}

bool SetInterfaces(BridgeDescription& d, std::string_view v) {
    const std::string value = Lower(v);
    if (value == "disk") d.interfaces = InterfaceSet::Disk;
    else if (value == "cdrom") d.interfaces = InterfaceSet::Cdrom;
    else if (value == "both") d.interfaces = InterfaceSet::Both;
    else return false;
    return true;
}

bool SetAmic(BridgeDescription& d, std::string_view v) {
    if (Lower(v) == "none") {
        d.amic = kNoAmic;
        return true;
    }
    const auto code = ParseNumber(v, false);
    if (!code || (*code != 1 && *code != 3 && *code != 4 && *code != 5)) return false;
    d.amic = static_cast<int32_t>(*code);
    return true;
}

bool SetFlashFile(BridgeDescription& d, std::string_view v) {
    d.flashFile = std::string(v);
    return !v.empty();
}

bool SetSize(BridgeDescription& d, std::string_view v) {
    const auto size = ParseFlashSize(v);
    if (size) d.flashSize = *size;
    return size.has_value();
}

bool SetFlip(BridgeDescription& d, std::string_view v) {
    const auto address = ParseNumber(v, true);
    if (!address || *address > UINT32_MAX) return false;
    d.flipAddress = static_cast<uint32_t>(*address);
    return true;
}

bool SetBusy(BridgeDescription& d, std::string_view v) {
    d.busyStuck = Lower(v) == "stuck";
    return d.busyStuck;
}

bool SetRevision(BridgeDescription& d, std::string_view v) {
    const RevisionRange range = RevisionsOf(*d.profile);
    uint64_t rev = 0;
    if (range.high < range.low ||
        !SetRanged(v, static_cast<uint64_t>(range.low), static_cast<uint64_t>(range.high), rev))
        return false;
    d.revision = static_cast<uint8_t>(rev);
    return true;
}

bool SetSerial(BridgeDescription& d, std::string_view v) {
    d.serial = std::string(v);
    return true;
}

const std::array<KeyRule, 21> kKeys = {{
    {"flash", Scope::Tavrel, "a file name", SetFlashFile},
    {"content", Scope::Tavrel, "old, blank or updated", SetContent},
    {"vendor", Scope::Tavrel, "0-15",
     [](BridgeDescription& d, std::string_view v) { return SetByte(v, 15, d.vendor); }},
    {"late", Scope::Tavrel, "0 or 1",
     [](BridgeDescription& d, std::string_view v) { return SetFlag(v, d.lateRevision); }},
    {"blockmode", Scope::Tavrel, "0 or 1",
     [](BridgeDescription& d, std::string_view v) { return SetFlag(v, d.blockMode); }},
    {"inqcode", Scope::Tavrel, "0 or 1",
     [](BridgeDescription& d, std::string_view v) { return SetFlag(v, d.inquiryCode); }},
    {"amic", Scope::Tavrel, "1, 3, 4, 5 or none", SetAmic},
    {"rom", Scope::Rom, "0, 1 or 2",
     [](BridgeDescription& d, std::string_view v) { return SetByte(v, 2, d.romType); }},
    {"rev", Scope::Tavrel, "a revision of this profile", SetRevision},
    {"size", Scope::Tavrel, "64K, 128K, 256K, 512K or 1M", SetSize},
    {"iface", Scope::Any, "disk, cdrom or both", SetInterfaces},
    {"fail", Scope::Any, "a command number from 1",
     [](BridgeDescription& d, std::string_view v) { return SetCommandNumber(v, d.failAt); }},
    {"unplug", Scope::Any, "a command number from 1",
     [](BridgeDescription& d, std::string_view v) { return SetCommandNumber(v, d.unplugAt); }},
    {"powerloss", Scope::Any, "a command number from 1",
     [](BridgeDescription& d, std::string_view v) {
         return SetCommandNumber(v, d.powerLossAt);
     }},
    {"short", Scope::Any, "a command number from 1",
     [](BridgeDescription& d, std::string_view v) { return SetCommandNumber(v, d.shortAt); }},
    {"serial", Scope::Any, "a serial number without commas", SetSerial},
    {"mounted", Scope::Any, "a folder",
     [](BridgeDescription& d, std::string_view v) {
         d.mountedAt = std::string(v);
         return !v.empty();
     }},
    {"lenient", Scope::Tavrel, "0 or 1",
     [](BridgeDescription& d, std::string_view v) { return SetFlag(v, d.lenient); }},
    {"busy", Scope::Tavrel, "stuck", SetBusy},
    {"vendormode", Scope::Tavrel, "0 or 1",
     [](BridgeDescription& d, std::string_view v) { return SetFlag(v, d.vendorModeRequired); }},
    {"flip", Scope::Tavrel, "a flash address, decimal or 0x hex", SetFlip},
}};

const KeyRule* FindKey(std::string_view key) {
    for (const KeyRule& rule : kKeys)
        if (rule.key == key) return &rule;
    return nullptr;
}

std::string KnownProfiles() {
    std::string names;
    for (const Profile& profile : AllProfiles()) {
        if (!names.empty()) names += ' ';
        names += profile.name;
    }
    return names;
}

BridgeDescription Defaults(const Profile& profile, std::string_view text) {
    BridgeDescription d;
    d.profile = &profile;
    d.text = std::string(text);
    d.content = profile.tavrel ? FlashContent::Old : FlashContent::Blank;
    d.vendor = profile.defaultVendor;
    d.revision = profile.defaultRevision;
    d.flashSize = profile.defaultFlashSize;
    return d;
}

std::string ScopeError(const KeyRule& rule, const Profile& profile) {
    if (rule.scope == Scope::Rom)
        return "key '" + std::string(rule.key) + "' needs a profile with an internal ROM, not " +
               std::string(profile.name);
    return "key '" + std::string(rule.key) + "' does not apply to profile " +
           std::string(profile.name);
}

bool InScope(const KeyRule& rule, const Profile& profile) {
    if (rule.scope == Scope::Rom) return profile.internalRom;
    if (rule.scope == Scope::Tavrel) return profile.tavrel;
    return true;
}

// One `key=value` item; returns the error text, empty when it was applied.
std::string ApplySetting(BridgeDescription& d, std::string_view item,
                         std::set<std::string>& seen) {
    const size_t equals = item.find('=');
    if (item.empty()) return "empty setting";
    if (equals == std::string_view::npos)
        return "setting '" + std::string(item) + "' has no '='";
    const std::string key = Lower(item.substr(0, equals));
    const std::string_view value = item.substr(equals + 1);
    const KeyRule* rule = FindKey(key);
    if (!rule) return "unknown key '" + key + "'";
    if (!seen.insert(key).second) return "key '" + key + "' given twice";
    if (!InScope(*rule, *d.profile)) return ScopeError(*rule, *d.profile);
    if (!rule->set(d, value))
        return "bad value '" + std::string(value) + "' for key '" + key + "' (expected " +
               std::string(rule->expected) + ")";
    return {};
}

std::string Validate(BridgeDescription& d, const std::set<std::string>& seen) {
    // An AMIC part reports the AMIC maker code unless told otherwise.
    if (d.amic != kNoAmic && !seen.count("vendor")) d.vendor = 7;
    if (d.flipAddress && *d.flipAddress >= d.flashSize)
        return "flip address " + std::to_string(*d.flipAddress) + " lies beyond the " +
               std::to_string(d.flashSize) + "-byte flash";
    return {};
}

}  // namespace

std::optional<uint32_t> ParseFlashSize(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, uint32_t>, 5> kSizes = {{
        {"64k", 64 * kKiB},
        {"128k", 128 * kKiB},
        {"256k", 256 * kKiB},
        {"512k", 512 * kKiB},
        {"1m", 1024 * kKiB},
    }};
    const std::string lower = Lower(text);
    for (const auto& [name, bytes] : kSizes)
        if (lower == name) return bytes;
    return std::nullopt;
}

DescriptionParse ParseDescription(std::string_view text) {
    DescriptionParse result;
    const size_t colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    const Profile* profile = FindProfile(name);
    if (!profile) {
        result.error = "unknown profile '" + std::string(name) + "' (known: " + KnownProfiles() + ")";
        return result;
    }
    BridgeDescription d = Defaults(*profile, text);
    std::set<std::string> seen;
    if (colon != std::string_view::npos) {
        std::string_view rest = text.substr(colon + 1);
        while (true) {
            const size_t comma = rest.find(',');
            result.error = ApplySetting(d, rest.substr(0, comma), seen);
            if (!result.error.empty()) return result;
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
    }
    result.error = Validate(d, seen);
    if (result.error.empty()) result.description = std::move(d);
    return result;
}

}  // namespace qks::emu
