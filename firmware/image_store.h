// Firmware images of type "FW", found by name the same way on every
// platform: a build step embeds them, a Windows build may use its resources.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qks {

inline constexpr const char* kTargetImageName = "QKS958FW";
inline constexpr const char* kSerialFlashImageName = "FW719";
inline constexpr const char* kRevisionAImageName = "FW742A";
inline constexpr const char* kRevisionBImageName = "FW742B";
inline constexpr uint32_t kMaxImageBytes = 65536;
// A header block and at least one byte behind it (the build checks the same).
inline constexpr uint32_t kMinImageBytes = 129;

// The image as a program's own store may hand it out: empty when its size
// lies outside kMinImageBytes..kMaxImageBytes, as every user copies images
// into 64 KB buffers.
std::span<const uint8_t> LoadableImage(std::span<const uint8_t> image);

class ImageStore {
public:
    virtual ~ImageStore() = default;
    // Empty when there is no image of that name. The bytes stay valid for
    // the life of the store.
    virtual std::span<const uint8_t> Find(std::string_view name) const = 0;
    virtual std::vector<std::string> Names() const = 0;
    // Where the image of that name came from: a file's path, or empty for
    // an image built into the program.
    virtual std::string SourceOf(std::string_view /*name*/) const { return {}; }
    // Why a file put in place for the image of that name was refused
    // ("firmware image 'PATH': reason"); empty when none was. A refused image
    // is not found: the built-in one does not stand in for the file the user
    // chose.
    virtual std::string RefusalOf(std::string_view /*name*/) const { return {}; }
};

// The images compiled into this program.
const ImageStore& EmbeddedImages();

// A store of images held in memory, for tests and for images loaded at run time.
class MemoryImageStore final : public ImageStore {
public:
    void Put(std::string name, std::vector<uint8_t> bytes);
    std::span<const uint8_t> Find(std::string_view name) const override;
    std::vector<std::string> Names() const override;

private:
    std::vector<std::pair<std::string, std::vector<uint8_t>>> images_;
};

// Development images carry this marker; real vendor images never do.
inline constexpr std::string_view kDevelopmentMarker = "QKS970-RECOVERY DEVELOPMENT IMAGE";
bool IsDevelopmentImage(std::span<const uint8_t> image);

struct ImageSummary {
    std::string name;
    std::string source;   // the file's path; empty: built in
    size_t size = 0;
    std::string sha256;   // lower-case hex
    bool development = false;
};
std::vector<ImageSummary> SummarizeImages(const ImageStore& store);
std::string Sha256Hex(std::span<const uint8_t> bytes);

// One line for the question before a write, so that the user sees which
// image is about to go to the device: its name, where it came from and its
// SHA-256, e.g. "Image: QKS958FW (built in), SHA-256 9f86...".
std::string ImageConfirmationText(const ImageStore& store, std::string_view name);

}  // namespace qks
