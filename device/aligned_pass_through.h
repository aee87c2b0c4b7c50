// Data buffers the host adapter can take. Some adapters move data only to
// and from addresses on a boundary (Windows reports it as the adapter's
// AlignmentMask) and refuse other buffers outright; the callers' buffers
// (a 4-byte scratch for short reads, a 16-byte record) have no such
// boundary. A handle wrapped here hands the command an aligned copy of the
// caller's buffer whenever the caller's does not meet the mask.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "device/pass_through.h"

namespace qks {

// Whether `data` sits on the boundary `mask` asks for (mask + 1 bytes).
bool MeetsAlignment(const void* data, uint32_t mask);

// Runs `inner`'s commands through aligned buffers where needed; the mask
// 0 leaves every buffer as it is.
std::unique_ptr<DeviceHandle> WithAlignedBuffers(std::unique_ptr<DeviceHandle> inner, uint32_t mask);

// A pass-through whose handles are wrapped so, each with the mask of its path.
class AlignedPassThrough final : public PassThrough {
public:
    using MaskOf = std::function<uint32_t(const DevicePath&)>;
    AlignedPassThrough(PassThrough& inner, MaskOf maskOf)
        : inner_(inner), maskOf_(std::move(maskOf)) {}
    OpenResult Open(const DevicePath& path, OpenMode mode) override;

private:
    PassThrough& inner_;
    MaskOf maskOf_;
};

}  // namespace qks
