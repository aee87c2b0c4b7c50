// How much one pass-through command may move on a device: the host
// adapter's limit, which a storage driver reports for the device's stack.
#pragma once

#include <cstdint>

#include "device/pass_through.h"

namespace qks::win {

// The largest transfer in bytes that the adapter behind `path` accepts in
// one command; 0 when it cannot be asked. The query opens the path without
// read or write access, so it needs no rights and disturbs no other user.
uint32_t MaxTransferBytes(const DevicePath& path);

// The adapter's AlignmentMask for data buffers (3: on 4-byte boundaries);
// kAlignmentUnknown when it cannot be asked.
inline constexpr uint32_t kAlignmentUnknown = 0xFFFFFFFF;
// Used meanwhile: what storage adapters ask at most in practice.
inline constexpr uint32_t kAlignmentFallback = 7;
uint32_t AlignmentMask(const DevicePath& path);

// The arithmetic: a buffer that does not start on a page boundary spans
// one page more than its length, so the page limit loses one page.
uint32_t TransferLimit(uint32_t maximumTransferLength, uint32_t maximumPhysicalPages,
                       uint32_t pageSize);

}  // namespace qks::win
