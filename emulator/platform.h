// The emulator as the program's platform: it lists its bridges as USB storage
// interfaces, opens them by path, and tells listeners when one comes or goes.
// One thread, like the program: nothing here is locked.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/clock.h"
#include "device/device_notifier.h"
#include "device/disk_use.h"
#include "device/enumeration.h"
#include "device/pass_through.h"
#include "emulator/bridge.h"
#include "emulator/description.h"

namespace qks::emu {

struct AddedBridge {
    int index = -1;
    std::string error;   // one line; empty when the bridge was added
    bool ok() const { return error.empty(); }
};

class EmulatorPlatform final : public PassThrough,
                               public DeviceEnumerator,
                               public DeviceNotifier {
public:
    // `targetImage` is the firmware image that content=updated lays into the
    // flash; it is copied.
    EmulatorPlatform(Clock& clock, std::span<const uint8_t> targetImage);
    ~EmulatorPlatform() override;

    AddedBridge AddBridge(std::string_view description);
    AddedBridge AddBridge(BridgeDescription description);

    size_t BridgeCount() const { return slots_.size(); }
    EmulatedBridge& Bridge(size_t index) { return *slots_.at(index).bridge; }
    const EmulatedBridge& Bridge(size_t index) const { return *slots_.at(index).bridge; }
    // Disk path first when the bridge shows both interfaces.
    std::vector<DevicePath> PathsOf(size_t index) const;
    std::string SerialOf(size_t index) const { return slots_.at(index).serial; }

    // A person at the enclosure. Each fires the listeners: removal complete
    // for an unplug, arrival for a plug; nothing when the state is unchanged.
    void Unplug(size_t index);
    void Plug(size_t index);
    void PowerCycle(size_t index);

    uint64_t CommandsSent() const;
    uint64_t CommandsSent(size_t index) const { return Bridge(index).CommandCount(); }
    uint64_t BytesMoved() const;
    uint64_t BytesMoved(size_t index) const { return Bridge(index).BytesMoved(); }
    uint64_t EmulatedMicros(size_t index) const { return Bridge(index).EmulatedMicros(); }

    // What the host has mounted from the bridge at `path` (its `mounted` key).
    std::vector<DiskUser> DiskUsersOf(const DevicePath& path) const;

    OpenResult Open(const DevicePath& path, OpenMode mode) override;
    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass cls) override;
    std::vector<std::string> TakeProblems() override;
    void Subscribe(Listener listener) override;

private:
    struct Interface {
        InterfaceClass cls;
        DevicePath path;
    };
    struct Slot {
        std::unique_ptr<EmulatedBridge> bridge;
        std::vector<Interface> interfaces;
        std::string serial;
    };

    void Notify(uint32_t eventCode);

    Clock& clock_;
    std::vector<uint8_t> image_;
    std::vector<Slot> slots_;
    std::vector<Listener> listeners_;
    std::mutex listenersLock_;
};

}  // namespace qks::emu
