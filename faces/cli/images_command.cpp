// `qks970 images`: the firmware images built into this program.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "faces/cli/commands.h"
#include "firmware/image_store.h"

namespace qks::cli {

int ImagesCommand(bool json, Console& console) {
    const auto images = SummarizeImages(EmbeddedImages());
    if (json) {
        nlohmann::json document = {{"images", nlohmann::json::array()}};
        for (const auto& image : images)
            document["images"].push_back({{"name", image.name},
                                          {"size", image.size},
                                          {"sha256", image.sha256},
                                          {"development", image.development}});
        console.Out(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
        return kExitSuccess;
    }
    if (images.empty()) {
        console.Out("No firmware images are built into this program.");
        return kExitSuccess;
    }
    size_t nameWidth = 4;
    for (const auto& image : images) nameWidth = std::max(nameWidth, image.name.size());
    const auto pad = [](std::string text, size_t width, bool right) {
        const std::string fill(width > text.size() ? width - text.size() : 0, ' ');
        return right ? fill + text : text + fill;
    };
    console.Out(pad("NAME", nameWidth, false) + "  " + pad("BYTES", 7, true) + "  " +
                pad("SHA-256", 64, false) + "  KIND");
    for (const auto& image : images)
        console.Out(pad(image.name, nameWidth, false) + "  " +
                    pad(std::to_string(image.size), 7, true) + "  " + image.sha256 + "  " +
                    (image.development ? "development" : "vendor"));
    return kExitSuccess;
}

}  // namespace qks::cli
