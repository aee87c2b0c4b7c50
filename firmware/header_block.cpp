#include "firmware/header_block.h"

#include <cstring>

namespace qks {

namespace {
constexpr std::array<int32_t, kHeaderBlockBytes> BuildMask() {
    std::array<int32_t, kHeaderBlockBytes> mask{};
    for (auto& entry : mask) entry = kKeepDevice;
    constexpr int kFromImagePositions[] = {4, 5, 9, 11, 13, 46, 47, 49, 81, 82, 83, 85};
    for (int position : kFromImagePositions) mask[position] = kFromImage;
    for (size_t position = 117; position < kHeaderBlockBytes; ++position) mask[position] = kFromImage;
    return mask;
}
}  // namespace

const std::array<int32_t, kHeaderBlockBytes> HeaderMergeMask = BuildMask();

uint32_t LoadEmbeddedImage(const ImageStore& store, uint8_t* dest, uint32_t offset,
                           uint32_t length) {
    const auto image = store.Find(kTargetImageName);
    if (image.empty()) return 0;
    const auto size = static_cast<uint32_t>(image.size());
    if (offset >= size) return size;
    uint32_t count = length;
    if (length == 0 || uint64_t{offset} + length > size) count = size - offset;
    std::memcpy(dest + offset, image.data() + offset, count);
    return size;
}

bool HasHeaderSignature(const uint8_t* block, size_t length) {
    return length >= 2 && block[length - 2] == 'Q' && block[length - 1] == 'K';
}

void MergeHeaderBlock(HeaderBlock& device, const HeaderBlock& image) {
    if (!HasHeaderSignature(device.data(), device.size())) {
        device = image;
        return;
    }
    for (size_t i = 0; i < kHeaderBlockBytes; ++i)
        if (HeaderMergeMask[i] < 256) device[i] = image[i];
}

}  // namespace qks
