#include "firmware/image_store.h"

#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

#include "device/command_trace.h"

namespace qks {

void MemoryImageStore::Put(std::string name, std::vector<uint8_t> bytes) {
    for (auto& [existing, data] : images_) {
        if (existing == name) {
            data = std::move(bytes);
            return;
        }
    }
    images_.emplace_back(std::move(name), std::move(bytes));
}

std::span<const uint8_t> MemoryImageStore::Find(std::string_view name) const {
    for (const auto& [existing, data] : images_)
        if (existing == name) return data;
    return {};
}

std::vector<std::string> MemoryImageStore::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : images_) names.push_back(entry.first);
    return names;
}

bool IsDevelopmentImage(std::span<const uint8_t> image) {
    const auto* begin = reinterpret_cast<const char*>(image.data());
    const std::string_view text(begin, image.size());
    return text.find(kDevelopmentMarker) != std::string_view::npos;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return HexBytes(digest, length);
}

std::vector<ImageSummary> SummarizeImages(const ImageStore& store) {
    std::vector<ImageSummary> summaries;
    for (const auto& name : store.Names()) {
        const auto image = store.Find(name);
        summaries.push_back({name, image.size(), Sha256Hex(image), IsDevelopmentImage(image)});
    }
    return summaries;
}

}  // namespace qks
