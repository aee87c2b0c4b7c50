#include "device/enumeration.h"

namespace qks {

namespace {
int FillPass(DeviceEnumerator& enumerator, InterfaceClass cls, PathSlots& slots,
             size_t first) {
    int kept = 0;
    slots.slot.resize(first);
    for (auto& info : enumerator.ListUsbStorage(cls)) {
        if (info.path.size() >= kPathSlotBytes) continue;
        slots.slot.push_back(std::move(info));
        ++kept;
    }
    slots.used = slots.slot.size();
    return kept;
}
}  // namespace

int EnumerateUsbDisks(DeviceEnumerator& enumerator, PathSlots& slots) {
    return FillPass(enumerator, InterfaceClass::Disk, slots, 0);
}

int EnumerateUsbCdroms(DeviceEnumerator& enumerator, PathSlots& slots, int firstSlot) {
    return FillPass(enumerator, InterfaceClass::Cdrom, slots,
                    static_cast<size_t>(firstSlot < 0 ? 0 : firstSlot));
}

}  // namespace qks
