// Firmware images a user puts in place as files, NAME.bin, over the images
// built into the program: a user who has the maker's image needs no rebuild.
// Every file is checked before the program takes it, so a wrong or damaged
// file is refused before any device is touched.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "firmware/image_store.h"

namespace qks {

// The known image names, in the order they are listed.
inline constexpr const char* kImageNames[] = {kTargetImageName, kSerialFlashImageName,
                                              kRevisionAImageName, kRevisionBImageName};

// What the search path is made of, so that it can be worked out for any
// system: the environment's variables, the program's folder, the platform.
struct ImageSearchPlaces {
    std::function<std::string(const std::string&)> variable;   // "" when unset
    std::string programFolder;                                   // with its separator
    bool windows = false;
};
ImageSearchPlaces SystemImagePlaces(std::string programFolder);

// The folders looked in, the one whose file wins first: `chosen` (--images)
// when given, then $XDG_DATA_HOME and each of $XDG_DATA_DIRS with
// qks970-recovery/images; on Windows the local application data folder and
// the images folder beside the program.
std::vector<std::string> ImageSearchFolders(const std::string& chosen,
                                            const ImageSearchPlaces& places);

// Why the bytes of `path` may not serve as the image `name`; empty when
// they may. The tagged images are checked the way the engineering panel
// checks a firmware file, which reads the file itself.
std::string ImageFileProblem(std::string_view name, const std::string& path,
                             std::span<const uint8_t> bytes);

// Files first, then what is built in.
class LayeredImageStore final : public ImageStore {
public:
    explicit LayeredImageStore(const ImageStore& builtIn) : builtIn_(builtIn) {}

    std::span<const uint8_t> Find(std::string_view name) const override;
    std::vector<std::string> Names() const override;
    std::string SourceOf(std::string_view name) const override;
    std::string RefusalOf(std::string_view name) const override;

    // Takes the first NAME.bin in `folders` for each known name. A file that
    // fails its check is kept as refused, with its reason: it stops only the
    // flows that would write that image.
    void Load(const std::vector<std::string>& folders);

    struct Refused {
        std::string name;
        std::string path;
        std::string reason;
    };
    const std::vector<Refused>& RefusedFiles() const { return refused_; }

private:
    const ImageStore& builtIn_;
    MemoryImageStore files_;
    std::vector<std::pair<std::string, std::string>> sources_;   // name, path
    std::vector<Refused> refused_;
};

// The images of one run. Nothing, with `error` saying why, when --images
// names no folder; a refused file is not an error here (see RefusedFiles).
std::unique_ptr<LayeredImageStore> OpenImages(const std::string& chosen,
                                              const ImageSearchPlaces& places,
                                              const ImageStore& builtIn, std::string& error);

}  // namespace qks
