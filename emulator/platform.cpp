#include "emulator/platform.h"

#include <cctype>
#include <cerrno>

#include "emulator/flash_content.h"
#include "emulator/flash_file.h"

namespace qks::emu {

namespace {
std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

DevicePath MakePath(InterfaceClass cls, const Profile& profile, size_t index) {
    const std::string kind = cls == InterfaceClass::Disk ? "disk" : "cdrom";
    const std::string vendor = profile.tavrel ? "tavrel" : "generic";
    return "emu:usbstor#" + kind + "&ven_" + vendor + "&prod_" + Lower(profile.name) + "#" +
           std::to_string(index);
}

std::vector<InterfaceClass> ClassesOf(InterfaceSet set) {
    if (set == InterfaceSet::Disk) return {InterfaceClass::Disk};
    if (set == InterfaceSet::Cdrom) return {InterfaceClass::Cdrom};
    return {InterfaceClass::Disk, InterfaceClass::Cdrom};
}

OpenResult NotFound(const DevicePath& path, std::string_view why) {
    OpenResult result;
    result.failure = OpenFailure::NotFound;
    result.osError = ENOENT;
    result.diagnostic = std::string(why) + ": " + path;
    return result;
}

// A handle reaches the bridge only while the arrival it was opened in lasts.
class EmulatedHandle final : public DeviceHandle {
public:
    EmulatedHandle(EmulatedBridge& bridge, InterfaceClass via)
        : bridge_(bridge), via_(via), generation_(bridge.Generation()) {}

    ScsiOutcome Execute(const ScsiCommand& command) override {
        if (bridge_.Present() && bridge_.Generation() == generation_)
            return bridge_.Execute(command, via_);
        ScsiOutcome outcome;
        outcome.osError = ENODEV;
        outcome.deviceGone = true;
        outcome.diagnostic = "emulated device is no longer there";
        return outcome;
    }

private:
    EmulatedBridge& bridge_;
    InterfaceClass via_;
    uint32_t generation_;
};
}  // namespace

EmulatorPlatform::EmulatorPlatform(Clock& clock, std::span<const uint8_t> targetImage)
    : clock_(clock), image_(targetImage.begin(), targetImage.end()) {}

EmulatorPlatform::~EmulatorPlatform() = default;

AddedBridge EmulatorPlatform::AddBridge(std::string_view description) {
    DescriptionParse parsed = ParseDescription(description);
    if (!parsed.description)
        return {-1, "emulated device '" + std::string(description) + "': " + parsed.error};
    return AddBridge(std::move(*parsed.description));
}

AddedBridge EmulatorPlatform::AddBridge(BridgeDescription d) {
    if (!d.profile) return {-1, "emulated device without a profile"};
    const Profile& profile = *d.profile;
    std::vector<uint8_t> flash = MakeFlashContent(profile, d.content, d.flashSize, image_);
    if (!d.flashFile.empty()) {
        const std::string error = LoadOrCreateFlashFile(d.flashFile, flash);
        if (!error.empty()) return {-1, "emulated device '" + d.text + "': " + error};
    }
    std::vector<uint8_t> rom;
    if (profile.internalRom) rom = MakeRomContent(profile, d.content);

    const size_t index = slots_.size();
    Slot slot;
    for (InterfaceClass cls : ClassesOf(d.interfaces))
        slot.interfaces.push_back({cls, MakePath(cls, profile, index)});
    slot.serial = d.serial ? *d.serial : "EMU" + std::to_string(index) + "-" + Upper(profile.name);
    slot.bridge = std::make_unique<EmulatedBridge>(std::move(d), clock_, std::move(flash),
                                                   std::move(rom));
    slot.bridge->SetVanishNotice([this] { Notify(kDeviceRemoveComplete); });
    slots_.push_back(std::move(slot));
    return {static_cast<int>(index), {}};
}

std::vector<DevicePath> EmulatorPlatform::PathsOf(size_t index) const {
    std::vector<DevicePath> paths;
    for (const Interface& interface : slots_.at(index).interfaces) paths.push_back(interface.path);
    return paths;
}

std::vector<DiskUser> EmulatorPlatform::DiskUsersOf(const DevicePath& path) const {
    for (const Slot& slot : slots_)
        for (const Interface& interface : slot.interfaces) {
            const std::string& mounted = slot.bridge->Description().mountedAt;
            if (Lower(interface.path) != Lower(path) || mounted.empty() || !slot.bridge->Present())
                continue;
            return {{interface.path, mounted, "", "umount " + mounted}};
        }
    return {};
}

void EmulatorPlatform::Unplug(size_t index) {
    EmulatedBridge& bridge = Bridge(index);
    if (!bridge.Present()) return;
    bridge.LosePower();
    Notify(kDeviceRemoveComplete);
}

void EmulatorPlatform::Plug(size_t index) {
    EmulatedBridge& bridge = Bridge(index);
    if (bridge.Present()) return;
    bridge.Arrive();
    Notify(kDeviceArrival);
}

void EmulatorPlatform::PowerCycle(size_t index) {
    Unplug(index);
    Plug(index);
}

uint64_t EmulatorPlatform::CommandsSent() const {
    uint64_t total = 0;
    for (const Slot& slot : slots_) total += slot.bridge->CommandCount();
    return total;
}

uint64_t EmulatorPlatform::BytesMoved() const {
    uint64_t total = 0;
    for (const Slot& slot : slots_) total += slot.bridge->BytesMoved();
    return total;
}

OpenResult EmulatorPlatform::Open(const DevicePath& path, OpenMode /*mode*/) {
    const std::string wanted = Lower(path);
    for (Slot& slot : slots_) {
        for (const Interface& interface : slot.interfaces) {
            if (interface.path != wanted) continue;
            EmulatedBridge& bridge = *slot.bridge;
            if (!bridge.Present()) return NotFound(path, "emulated device unplugged");
            if (bridge.TakeUnplugFault()) {
                bridge.LosePower();
                Notify(kDeviceRemoveComplete);
                return NotFound(path, "emulated device vanished");
            }
            OpenResult result;
            result.handle = std::make_unique<EmulatedHandle>(bridge, interface.cls);
            return result;
        }
    }
    return NotFound(path, "no emulated device");
}

std::vector<InterfaceInfo> EmulatorPlatform::ListUsbStorage(InterfaceClass cls) {
    std::vector<InterfaceInfo> found;
    for (size_t index = 0; index < slots_.size(); ++index) {
        const Slot& slot = slots_[index];
        if (!slot.bridge->Present()) continue;
        const Profile& profile = slot.bridge->GetProfile();
        for (const Interface& interface : slot.interfaces) {
            if (interface.cls != cls) continue;
            // Each emulated bridge is one enclosure, whatever it shows.
            found.push_back({interface.path, slot.serial, profile.usbVendor, profile.usbProduct,
                             true, "emulated-bridge-" + std::to_string(index)});
        }
    }
    return found;
}

std::vector<std::string> EmulatorPlatform::TakeProblems() {
    std::vector<std::string> problems;
    for (Slot& slot : slots_)
        for (std::string& problem : slot.bridge->TakeProblems()) problems.push_back(std::move(problem));
    return problems;
}

void EmulatorPlatform::Subscribe(Listener listener) {
    const std::lock_guard<std::mutex> hold(listenersLock_);
    listeners_.push_back(std::move(listener));
}

// A listener may subscribe another, or re-enter the platform; it works on a copy.
void EmulatorPlatform::Notify(uint32_t eventCode) {
    std::vector<Listener> listeners;
    {
        const std::lock_guard<std::mutex> hold(listenersLock_);
        listeners = listeners_;
    }
    for (const Listener& listener : listeners)
        if (listener) listener(eventCode);
}

}  // namespace qks::emu
