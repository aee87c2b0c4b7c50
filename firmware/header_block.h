// The target image "QKS958FW" and its 128-byte header block, and the merge
// that keeps a device's own identity when it takes new firmware.
#pragma once

#include <array>
#include <cstdint>

#include "firmware/image_store.h"

namespace qks {

inline constexpr size_t kHeaderBlockBytes = 128;
using HeaderBlock = std::array<uint8_t, kHeaderBlockBytes>;

inline constexpr HeaderBlock DefaultHeaderBlock{};

// Below 256: the byte comes from the image; 4095: the device keeps its own.
inline constexpr int32_t kFromImage = 0;
inline constexpr int32_t kKeepDevice = 4095;
extern const std::array<int32_t, kHeaderBlockBytes> HeaderMergeMask;

// Copies image bytes [offset, offset+count) to the same positions of dest
// (count 0 = to the end). Returns the image size, 0 when it is missing.
uint32_t LoadEmbeddedImage(const ImageStore& store, uint8_t* dest, uint32_t offset,
                           uint32_t length);

bool HasHeaderSignature(const uint8_t* block, size_t length);

// With the device's signature in place, the masked positions take the image's
// bytes; without it, the whole image header replaces the device's.
void MergeHeaderBlock(HeaderBlock& device, const HeaderBlock& image);

}  // namespace qks
