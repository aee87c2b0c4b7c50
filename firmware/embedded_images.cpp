#include "firmware/embedded_table.h"
#include "firmware/image_store.h"

namespace qks {

namespace {
class CompiledImageStore final : public ImageStore {
public:
    std::span<const uint8_t> Find(std::string_view name) const override {
        for (size_t i = 0; i < kEmbeddedImageCount; ++i)
            if (name == kEmbeddedImageTable[i].name)
                return LoadableImage({kEmbeddedImageTable[i].data, kEmbeddedImageTable[i].size});
        return {};
    }
    std::vector<std::string> Names() const override {
        std::vector<std::string> names;
        for (size_t i = 0; i < kEmbeddedImageCount; ++i) names.emplace_back(kEmbeddedImageTable[i].name);
        return names;
    }
};
}  // namespace

const ImageStore& EmbeddedImages() {
    static const CompiledImageStore store;
    return store;
}

}  // namespace qks
