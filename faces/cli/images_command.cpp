// `qks970 images`: the firmware images this program writes, each from a file
// found on the search path or built in, and the files refused, with why.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "faces/cli/commands.h"
#include "faces/cli/json_documents.h"
#include "firmware/image_files.h"

namespace qks::cli {

namespace {
constexpr const char* kBuiltIn = "built in";
}

int ImagesCommand(const GlobalOptions& global, bool json, Console& console,
                  const CliEnvironment& environment) {
    std::string error;
    const auto store = OpenImages(global.imagesFolder, SystemImagePlaces(environment.programFolder),
                                  EmbeddedImages(), error);
    if (!store) return Fail(console, json, kExitUsage, error);
    const auto images = SummarizeImages(*store);
    if (json) {
        Json document = JsonDocument("images");
        document["images"] = Json::array();
        document["refused"] = Json::array();
        for (const auto& image : images)
            document["images"].push_back(ImageJson(*store, image.name));
        for (const auto& refused : store->RefusedFiles())
            document["refused"].push_back(
                {{"name", refused.name}, {"path", refused.path}, {"reason", refused.reason}});
        console.Out(DumpJson(document));
        return kExitSuccess;
    }
    if (images.empty() && store->RefusedFiles().empty()) {
        console.Out("No firmware images: none is built in and no image file was found.");
        return kExitSuccess;
    }
    size_t nameWidth = 4;
    for (const auto& image : images) nameWidth = std::max(nameWidth, image.name.size());
    for (const auto& refused : store->RefusedFiles())
        nameWidth = std::max(nameWidth, refused.name.size());
    const auto pad = [](std::string text, size_t width, bool right) {
        const std::string fill(width > text.size() ? width - text.size() : 0, ' ');
        return right ? fill + text : text + fill;
    };
    console.Out(pad("NAME", nameWidth, false) + "  " + pad("BYTES", 7, true) + "  " +
                pad("SHA-256", 64, false) + "  " + pad("KIND", 11, false) + "  SOURCE");
    for (const auto& image : images)
        console.Out(pad(image.name, nameWidth, false) + "  " +
                    pad(std::to_string(image.size), 7, true) + "  " + image.sha256 + "  " +
                    pad(image.development ? "development" : "vendor", 11, false) + "  " +
                    (image.source.empty() ? kBuiltIn : image.source));
    // Only what writes a refused image stops; the built-in one does not
    // stand in for it.
    for (const auto& refused : store->RefusedFiles())
        console.Out(pad(refused.name, nameWidth, false) + "  " + pad("-", 7, true) + "  " +
                    pad("-", 64, false) + "  " + pad("refused", 11, false) + "  " + refused.path +
                    ": " + refused.reason);
    return kExitSuccess;
}

}  // namespace qks::cli
