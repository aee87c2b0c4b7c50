#include "firmware/image_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "device/firmware_file_check.h"
#include "firmware/header_block.h"
#include "firmware/nvram_update.h"

namespace qks {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDataSubfolder = "qks970-recovery";

// The tag check reports through message boxes; a refused image file gets its
// own words instead.
class Silent final : public UserMessages {
public:
    void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override {}
    void DebugOutput(const std::string&) override {}
};

// The chip each tagged image is written to. FW719's tag carries the chip's
// revision, and the file names no revision, so any revision will do.
struct TaggedImage {
    const char* name;
    uint8_t chipType;
    int firstRevision;
    int lastRevision;
    const char* chip;
    uint32_t minBytes;
};

// FW719 goes to a serial flash page by page and to an internal ROM in one
// piece, at most 64 KB; an FW742 image smaller than the configuration area
// kept from the device would write nothing of its own.
constexpr TaggedImage kTaggedImages[] = {
    {kSerialFlashImageName, 4, 0, 255, "QK60719 (chip type 4)", 1},
    {kRevisionAImageName, kNvramChipType, 1, 1, "QKB742 revision 1", kNvramAreaBytes + 1},
    {kRevisionBImageName, kNvramChipType, 2, 2, "QKB742 revision 2", kNvramAreaBytes + 1},
};

std::string SizeProblem(std::string_view name, size_t size, size_t least, size_t most) {
    if (size >= least && size <= most) return {};
    return "it is " + std::to_string(size) + " bytes; " + std::string(name) + " must be " +
           std::to_string(least) + " to " + std::to_string(most) + " bytes";
}

// The base directory rules' sense of absolute, on any host.
bool Absolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

std::string Join(const std::string& folder, const std::string& name, bool windows) {
    if (folder.empty()) return name;
    const char last = folder.back();
    if (last == '/' || (windows && last == '\\')) return folder + name;
    return folder + (windows ? "\\" : "/") + name;
}

// The size is told from the file, so that one many times too large is not
// read at all.
std::string ReadImageFile(const fs::path& path, std::string_view name, std::vector<uint8_t>& bytes) {
    std::error_code error;
    if (fs::is_directory(path, error)) return "it is a folder";
    const auto size = fs::file_size(path, error);
    if (error) return error.message();
    if (size > kMaxImageBytes)
        return "it is " + std::to_string(size) + " bytes; " + std::string(name) +
               " must be at most " + std::to_string(kMaxImageBytes) + " bytes";
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::strerror(errno);
    bytes.resize(static_cast<size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (static_cast<uintmax_t>(in.gcount()) != size) return "it cannot be read whole";
    return {};
}

}  // namespace

ImageSearchPlaces SystemImagePlaces(std::string programFolder) {
    ImageSearchPlaces places;
    places.variable = [](const std::string& name) {
        const char* value = std::getenv(name.c_str());
        return value ? std::string(value) : std::string();
    };
    places.programFolder = std::move(programFolder);
#ifdef _WIN32
    places.windows = true;
#endif
    return places;
}

std::vector<std::string> ImageSearchFolders(const std::string& chosen,
                                            const ImageSearchPlaces& places) {
    std::vector<std::string> folders;
    if (!chosen.empty()) folders.push_back(chosen);
    const auto variable = [&](const char* name) {
        return places.variable ? places.variable(name) : std::string();
    };
    if (places.windows) {
        if (auto local = variable("LOCALAPPDATA"); !local.empty())
            folders.push_back(Join(Join(local, kDataSubfolder, true), "images", true));
        if (!places.programFolder.empty())
            folders.push_back(Join(places.programFolder, "images", true));
        return folders;
    }
    // The base directory rules: relative paths are ignored, unset or empty
    // variables take their defaults.
    const std::string images = std::string(kDataSubfolder) + "/images";
    std::string home = variable("XDG_DATA_HOME");
    if (!Absolute(home)) {
        const std::string user = variable("HOME");
        home = Absolute(user) ? Join(user, ".local/share", false) : std::string();
    }
    if (!home.empty()) folders.push_back(Join(home, images, false));
    std::string dirs = variable("XDG_DATA_DIRS");
    if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        if (Absolute(dir)) folders.push_back(Join(dir, images, false));
        start = end + 1;
    }
    return folders;
}

std::string ImageFileProblem(std::string_view name, const std::string& path,
                             std::span<const uint8_t> bytes) {
    if (name == kTargetImageName) {
        if (auto problem = SizeProblem(name, bytes.size(), kHeaderBlockBytes + 1, kMaxImageBytes);
            !problem.empty())
            return problem;
        if (!HasHeaderSignature(bytes.data(), kHeaderBlockBytes))
            return "it has no signature \"QK\" at bytes 126-127";
        return {};
    }
    for (const TaggedImage& tagged : kTaggedImages) {
        if (name != tagged.name) continue;
        if (auto problem = SizeProblem(name, bytes.size(), tagged.minBytes, kMaxImageBytes);
            !problem.empty())
            return problem;
        Silent silent;
        for (int revision = tagged.firstRevision; revision <= tagged.lastRevision; ++revision) {
            const auto chip = MakeChipId(tagged.chipType, static_cast<uint8_t>(revision));
            if (CheckFirmwareFile(silent, path, chip) == 1) return {};
        }
        return "it does not carry the firmware tag of the " + std::string(tagged.chip);
    }
    return "no image is called " + std::string(name);
}

std::span<const uint8_t> LayeredImageStore::Find(std::string_view name) const {
    if (!RefusalOf(name).empty()) return {};
    const auto file = files_.Find(name);
    return file.empty() ? builtIn_.Find(name) : file;
}

// The known names first, in their own order whatever order the built-in
// store keeps (Windows resources come sorted), then any other built-in one.
std::vector<std::string> LayeredImageStore::Names() const {
    std::vector<std::string> names;
    for (const char* name : kImageNames)
        if (!Find(name).empty()) names.push_back(name);
    for (auto& name : builtIn_.Names())
        if (std::find(names.begin(), names.end(), name) == names.end() && RefusalOf(name).empty())
            names.push_back(name);
    return names;
}

std::string LayeredImageStore::SourceOf(std::string_view name) const {
    for (const auto& [image, path] : sources_)
        if (image == name) return path;
    return builtIn_.SourceOf(name);
}

std::string LayeredImageStore::RefusalOf(std::string_view name) const {
    for (const auto& refused : refused_)
        if (refused.name == name) return "firmware image '" + refused.path + "': " + refused.reason;
    return {};
}

void LayeredImageStore::Load(const std::vector<std::string>& folders) {
    for (const char* name : kImageNames) {
        for (const auto& folder : folders) {
            // A missing file leaves the name to the next place.
            const fs::path path = fs::path(folder) / (std::string(name) + ".bin");
            std::error_code ignored;
            if (!fs::exists(path, ignored)) continue;
            std::vector<uint8_t> bytes;
            std::string problem = ReadImageFile(path, name, bytes);
            if (problem.empty()) problem = ImageFileProblem(name, path.string(), bytes);
            if (!problem.empty())
                refused_.push_back({name, path.string(), problem});
            else {
                files_.Put(name, std::move(bytes));
                sources_.emplace_back(name, path.string());
            }
            break;
        }
    }
}

std::unique_ptr<LayeredImageStore> OpenImages(const std::string& chosen,
                                              const ImageSearchPlaces& places,
                                              const ImageStore& builtIn, std::string& error) {
    std::error_code ignored;
    if (!chosen.empty() && !fs::is_directory(chosen, ignored)) {
        error = "--images '" + chosen + "': " +
                (fs::exists(chosen, ignored) ? "it is a file, not a folder; give the folder that holds NAME.bin"
                                             : "there is no such folder");
        return nullptr;
    }
    auto store = std::make_unique<LayeredImageStore>(builtIn);
    store->Load(ImageSearchFolders(chosen, places));
    return store;
}

}  // namespace qks
