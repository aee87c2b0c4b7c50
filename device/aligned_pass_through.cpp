#include "device/aligned_pass_through.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qks {

namespace {

class AlignedHandle final : public DeviceHandle {
public:
    AlignedHandle(std::unique_ptr<DeviceHandle> inner, uint32_t mask)
        : inner_(std::move(inner)), mask_(mask) {}

    ScsiOutcome Execute(const ScsiCommand& command) override {
        if (command.length == 0 || command.data == nullptr || MeetsAlignment(command.data, mask_))
            return inner_->Execute(command);
        std::vector<uint8_t> storage(command.length + mask_, 0);
        auto address = reinterpret_cast<uintptr_t>(storage.data());
        address = (address + mask_) & ~static_cast<uintptr_t>(mask_);
        auto* aligned = reinterpret_cast<uint8_t*>(address);
        if (command.direction == DataDirection::Out)
            std::memcpy(aligned, command.data, command.length);
        ScsiCommand copy = command;
        copy.data = aligned;
        ScsiOutcome outcome = inner_->Execute(copy);
        if (command.direction == DataDirection::In)
            std::memcpy(command.data, aligned, std::min(outcome.transferred, command.length));
        return outcome;
    }

private:
    std::unique_ptr<DeviceHandle> inner_;
    uint32_t mask_;
};

}  // namespace

bool MeetsAlignment(const void* data, uint32_t mask) {
    return (reinterpret_cast<uintptr_t>(data) & mask) == 0;
}

std::unique_ptr<DeviceHandle> WithAlignedBuffers(std::unique_ptr<DeviceHandle> inner, uint32_t mask) {
    if (mask == 0 || !inner) return inner;
    return std::make_unique<AlignedHandle>(std::move(inner), mask);
}

OpenResult AlignedPassThrough::Open(const DevicePath& path, OpenMode mode) {
    OpenResult opened = inner_.Open(path, mode);
    if (opened.handle) opened.handle = WithAlignedBuffers(std::move(opened.handle), maskOf_(path));
    return opened;
}

}  // namespace qks
