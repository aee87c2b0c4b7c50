#include "firmware/image_store.h"

#include <algorithm>

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

std::span<const uint8_t> LoadableImage(std::span<const uint8_t> image) {
    if (image.size() < kMinImageBytes || image.size() > kMaxImageBytes) return {};
    return image;
}

bool IsDevelopmentImage(std::span<const uint8_t> image) {
    const auto* begin = reinterpret_cast<const char*>(image.data());
    const std::string_view text(begin, image.size());
    return text.find(kDevelopmentMarker) != std::string_view::npos;
}

std::vector<ImageSummary> SummarizeImages(const ImageStore& store) {
    std::vector<ImageSummary> summaries;
    for (const auto& name : store.Names()) {
        const auto image = store.Find(name);
        summaries.push_back({name, store.SourceOf(name), image.size(), Sha256Hex(image),
                             IsDevelopmentImage(image)});
    }
    return summaries;
}

std::string ImageConfirmationText(const ImageStore& store, std::string_view name) {
    const auto image = store.Find(name);
    std::string text = "Image: " + std::string(name);
    if (const auto refusal = store.RefusalOf(name); !refusal.empty())
        return text + " refused: " + refusal;
    if (image.empty()) return text + " (none)";
    const std::string source = store.SourceOf(name);
    text += source.empty() ? " (built in)" : " (" + source + ")";
    return text + ", SHA-256 " + Sha256Hex(image);
}

}  // namespace qks
