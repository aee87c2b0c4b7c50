// Enumerators that change what a test's devices look like to the model.
#pragma once

#include <vector>

#include "device/enumeration.h"

namespace qks::test {

// Shows the emulator's interfaces as if they were the system's own devices.
class RealLookingEnumerator final : public DeviceEnumerator {
public:
    explicit RealLookingEnumerator(DeviceEnumerator& inner) : inner_(inner) {}
    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass cls) override {
        auto list = inner_.ListUsbStorage(cls);
        for (auto& info : list) info.emulated = false;
        return list;
    }

private:
    DeviceEnumerator& inner_;
};

// Nothing plugged in.
class EmptyEnumerator final : public DeviceEnumerator {
public:
    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass) override { return {}; }
};

}  // namespace qks::test
