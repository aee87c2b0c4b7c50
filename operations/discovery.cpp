#include "operations/discovery.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "device/transport.h"
#include "operations/device_texts.h"

namespace qks {

namespace {

constexpr size_t kNameOffset = 8;
constexpr size_t kNameBytes = 24;

void LowerCaseAscii(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

// Interfaces of one USB device are one enclosure. Where the platform does
// not say which device an interface belongs to, the serial and the chip
// stand in for it; without a serial each interface is its own.
std::string EnclosureKeyOf(const IdentifyReport& r) {
    if (!r.info.enclosure.empty()) return "usb " + r.info.enclosure;
    if (!r.info.serial.empty())
        return "serial " + r.info.serial + " chip " + std::to_string(ChipTypeOf(r.id.chip));
    return "path " + r.info.path;
}

DiscoveredScreen ScreenFor(size_t listed, bool updatedSeen) {
    if (listed > 0) return DiscoveredScreen::Confirm;
    return updatedSeen ? DiscoveredScreen::AlreadyUpdated : DiscoveredScreen::NoDevice;
}

DeviceDetails DetailsOf(VendorCommandSet& commands, const DevicePath& path, ChipIdValue chip,
                        bool flashVendorOfEveryFamily) {
    DeviceDetails details;
    const bool shown = FamilyOf(chip).flashType == FlashTypeShown::SerialFlashMaker;
    // The serial-flash engine erases AMIC parts by their own sectors.
    if (shown) details.amicFlashCode = commands.DetectAmicFlash(path);
    // An AMIC part names its maker already.
    if (flashVendorOfEveryFamily || (shown && details.amicFlashCode == kNoAmicFlash)) {
        uint8_t vendor[4] = {};
        if (commands.ReadFlashVendor(path, vendor)) details.flashVendor = vendor[0];
    }
    details.version = ReadFirmwareVersion(commands, path, ChipTypeOf(chip));
    return details;
}

// One path, in the refresh's order: who it is; for a path the filter keeps,
// its name, vendor mode and the "already updated" test; then the details.
// Returns whether the filter kept it.
bool AskOne(const DeviceServices& services, VendorCommandSet& commands, IdentifyReport& report,
            const DiscoveryOptions& options, UserMessages& messages, std::string& name) {
    std::array<uint8_t, 40> inquiry{};
    bool answered = false;
    report.id.chip = GetChipId(commands, messages, report.info.path, inquiry, answered);
    report.target = IsTarget(report.id.chip);
    const bool kept = options.engineering ? IsIdentified(report.id.chip) : report.target;
    if (kept) {
        LowerCaseAscii(report.info.path);
        // A device that does not answer keeps the name before it.
        if (answered) {
            const auto* text = reinterpret_cast<const char*>(inquiry.data() + kNameOffset);
            name.assign(text, strnlen(text, kNameBytes));
        }
        report.name = name;
        commands.EnterVendorMode(report.info.path);
        report.updated = report.target && IsAlreadyUpdated(services, commands, report.Ref());
    }
    if (options.details && kept) {
        const DeviceDetails details = DetailsOf(commands, report.info.path, report.id.chip, true);
        report.id.amicFlashCode = details.amicFlashCode;
        report.flashVendor = details.flashVendor;
        report.version = details.version.numbers;
        report.versionText = details.version.text;
    }
    return kept;
}

}  // namespace

bool IsWaitingTarget(const IdentifyReport& report) { return report.target && !report.updated; }

std::string IdentifyReport::HumanName() const {
    std::string text = name.empty() ? info.path : name;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += " (";
    if (!info.serial.empty()) text += "serial " + info.serial + ", ";
    text += std::string(FamilyOf(id.chip).series) + ")";
    return text;
}

Discovery Discover(const DeviceServices& services, const DiscoveryOptions& options,
                   UserMessages& messages) {
    Discovery d;
    PathSlots slots;
    const int disks = EnumerateUsbDisks(services.enumerator, slots);
    const int total = disks + EnumerateUsbCdroms(services.enumerator, slots, disks);
    d.problems = services.enumerator.TakeProblems();

    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    std::string name;
    bool updatedSeen = false;
    size_t waiting = 0;
    std::map<std::string, size_t> enclosures;
    for (int i = 0; i < total; ++i) {
        const InterfaceInfo& info = slots.slot[static_cast<size_t>(i)];
        if (options.skip && options.skip(info)) continue;
        IdentifyReport report;
        report.info = info;
        report.iface = i < disks ? InterfaceClass::Disk : InterfaceClass::Cdrom;
        report.number = d.devices.size();
        if (report.iface == InterfaceClass::Disk) ++d.diskCount;
        const bool kept = AskOne(services, commands, report, options, messages, name);
        report.enclosureKey = EnclosureKeyOf(report);
        report.enclosure =
            enclosures.emplace(report.enclosureKey, enclosures.size()).first->second;
        updatedSeen = updatedSeen || (kept && report.updated && report.target);
        waiting += IsWaitingTarget(report) ? 1 : 0;
        // The engineering panel works on updated bridges too (a restore, say).
        if (kept && (options.engineering || IsWaitingTarget(report)))
            d.listed.push_back(report.number);
        d.devices.push_back(std::move(report));
    }
    // Listed rows the CD-ROM pass found are put in vendor mode once more and
    // released at the end.
    for (const size_t index : d.listed) {
        const IdentifyReport& r = d.devices[index];
        if (r.iface != InterfaceClass::Cdrom) continue;
        d.releaseOnExit.push_back(index);
        commands.EnterVendorMode(r.info.path);
    }
    d.screen = ScreenFor(d.listed.size(), updatedSeen);
    d.recoveryScreen = ScreenFor(waiting, updatedSeen);
    return d;
}

std::vector<size_t> Discovery::ListedEnclosures() const {
    std::vector<size_t> first;
    std::vector<bool> seen(devices.size(), false);
    for (const size_t index : listed) {
        const size_t enclosure = devices[index].enclosure;
        if (enclosure < seen.size() && seen[enclosure]) continue;
        if (enclosure < seen.size()) seen[enclosure] = true;
        first.push_back(index);
    }
    return first;
}

size_t Discovery::EnclosureCount() const {
    size_t count = 0;
    for (const auto& r : devices) count = std::max(count, r.enclosure + 1);
    return count;
}

IdentifyReport Identify(const DeviceServices& services, const InterfaceInfo& info,
                        InterfaceClass iface, ProgressSink& sink) {
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    IdentifyReport report;
    report.info = info;
    report.iface = iface;
    std::string name;
    DiscoveryOptions options;
    options.engineering = true;
    AskOne(services, commands, report, options, sink, name);
    report.enclosureKey = EnclosureKeyOf(report);
    return report;
}

DeviceDetails ReadDetails(const DeviceServices& services, const DevicePath& path,
                          ChipIdValue chip, bool flashVendorOfEveryFamily) {
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    return DetailsOf(commands, path, chip, flashVendorOfEveryFamily);
}

void VendorModeRelease::Take(const Discovery& discovery) {
    for (const size_t index : discovery.releaseOnExit) {
        const DevicePath& path = discovery.devices[index].info.path;
        if (std::find(paths_.begin(), paths_.end(), path) == paths_.end()) paths_.push_back(path);
    }
}

void VendorModeRelease::Release() {
    if (paths_.empty()) return;
    Transport transport(services_.passThrough, services_.clock, services_.trace);
    VendorCommandSet commands(transport);
    for (const auto& path : paths_) {
        try {
            commands.ExitVendorMode(path);
        } catch (...) {
        }
    }
    paths_.clear();
}

}  // namespace qks
