// Writes the deterministic development images that a build embeds when no
// vendor firmware is given. They are laid out like the real ones, so every
// path of the program can run, and carry a marker that keeps the program
// from writing them to real hardware without being told to.
//
// usage: make_dev_images OUTPUT_DIR
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr char kMarker[] = "QKS970-RECOVERY DEVELOPMENT IMAGE - NOT FOR HARDWARE";

class Sequence {
public:
    explicit Sequence(uint32_t seed) : state_(seed) {}
    uint8_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<uint8_t>(state_ >> 24);
    }

private:
    uint32_t state_;
};

void Put(std::vector<uint8_t>& image, size_t at, const std::string& text, size_t field) {
    for (size_t i = 0; i < field; ++i)
        image[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0x20;
}

std::vector<uint8_t> Body(size_t size, uint32_t seed) {
    std::vector<uint8_t> image(size);
    Sequence sequence(seed);
    for (auto& byte : image) byte = sequence.Next();
    return image;
}

std::vector<uint8_t> TargetImage() {
    constexpr size_t kSize = 51208;
    auto image = Body(kSize, 0x970958u);
    const uint8_t ids[4] = {0x0B, 0x3F, 0x70, 0x09};   // VID 0x3F0B, PID 0x0970
    std::memcpy(image.data(), ids, sizeof ids);
    Put(image, 14, "Tavrel Technology", 32);
    Put(image, 50, "QKS970 Development Bridge", 31);
    image[126] = 'Q';
    image[127] = 'K';
    Put(image, 136, "0100", 4);
    std::memcpy(image.data() + 144, kMarker, sizeof kMarker);
    const char tail[] = "ENDBANK0ENDSTRU";
    std::memcpy(image.data() + kSize - 16, tail, 15);
    image[kSize - 1] = 0xAA;
    return image;
}

// A tag record at offset 0: signature, chip number and revision character,
// and for the QKB742 images the revision digit at byte 8.
std::vector<uint8_t> TaggedImage(size_t size, uint32_t seed, const char tag[5], uint8_t digit) {
    auto image = Body(size, seed);
    const uint8_t signature[4] = {0x55, 0xAA, 0xAA, 0x55};
    std::memcpy(image.data(), signature, 4);
    std::memcpy(image.data() + 4, tag, 4);
    image[8] = digit;
    image[9] = 0;
    std::memcpy(image.data() + 16, kMarker, sizeof kMarker);
    return image;
}

bool Write(const std::string& dir, const char* name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name + ".bin";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "make_dev_images: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_dev_images OUTPUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool ok = Write(dir, "QKS958FW", TargetImage()) &&
                    Write(dir, "FW719", TaggedImage(32768, 0x719u, "7190", 0)) &&
                    Write(dir, "FW742A", TaggedImage(40000, 0x742Au, "7420", '0')) &&
                    Write(dir, "FW742B", TaggedImage(40000, 0x742Bu, "7421", '1'));
    return ok ? 0 : 1;
}
