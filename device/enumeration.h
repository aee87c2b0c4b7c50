// USB storage enumeration: two passes, disks then CD-ROMs, each yielding
// openable paths in a stable order. The platform decides what counts as a
// USB mass-storage interface; the core keeps the slot limits.
#pragma once

#include <array>
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
};

class DeviceEnumerator {
public:
    virtual ~DeviceEnumerator() = default;
    virtual std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass cls) = 0;
    // Problems seen while listing (a node nobody may open, say) that would
    // otherwise make a present device look absent.
    virtual std::vector<std::string> TakeProblems() { return {}; }
};

inline constexpr size_t kPathSlots = 16;
inline constexpr size_t kPathSlotBytes = 256;

struct PathSlots {
    std::array<InterfaceInfo, kPathSlots> slot;
    size_t used = 0;
};

// Fill slots from `slots.used` on; a path that would not fit its 256-byte
// slot is skipped and the pass stops at the last slot.
int EnumerateUsbDisks(DeviceEnumerator& enumerator, PathSlots& slots);
int EnumerateUsbCdroms(DeviceEnumerator& enumerator, PathSlots& slots, int firstSlot);

}  // namespace qks
