// USB storage enumeration: two passes, disks then CD-ROMs, each yielding
// openable paths in a stable order. The platform decides what counts as a
// USB mass-storage interface; the core keeps the path length limit.
#pragma once

#include <string>
#include <vector>

#include "device/pass_through.h"

namespace qks {

enum class InterfaceClass : uint8_t { Disk, Cdrom };

// Per-path facts the platform knows besides the path, for diagnostics and
// for the device's identity (the serial number survives a re-plug).
struct InterfaceInfo {
    DevicePath path;
    std::string serial;
    uint16_t usbVendor = 0;
    uint16_t usbProduct = 0;
    bool emulated = false;
    // The USB device the interface belongs to, as the platform names it (a
    // sysfs path, a device instance, an emulated bridge); empty when the
    // platform cannot tell. Two interfaces with the same key are one
    // enclosure.
    std::string enclosure;
};

class DeviceEnumerator {
public:
    virtual ~DeviceEnumerator() = default;
    virtual std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass cls) = 0;
    // Problems seen while listing (a node nobody may open, say) that would
    // otherwise make a present device look absent.
    virtual std::vector<std::string> TakeProblems() { return {}; }
};

inline constexpr size_t kPathSlotBytes = 256;

// As many slots as there are paths: a bench plugs in more enclosures than
// any fixed count, and the host's own disks take slots too.
struct PathSlots {
    std::vector<InterfaceInfo> slot;
    size_t used = 0;
};

// Fill slots from `firstSlot` on; a path that would not fit a 256-byte
// slot is skipped.
int EnumerateUsbDisks(DeviceEnumerator& enumerator, PathSlots& slots);
int EnumerateUsbCdroms(DeviceEnumerator& enumerator, PathSlots& slots, int firstSlot);

}  // namespace qks
