#include "emulator/flash_content.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace qks::emu {

namespace {
constexpr uint32_t kFlashSeed = 0x51B7'0A5Du;
constexpr uint32_t kRomSeed = 0x2C6E'93F1u;
constexpr size_t kVendorTextAt = 14;
constexpr size_t kVendorTextBytes = 32;
constexpr size_t kProductTextAt = 50;
constexpr size_t kProductTextBytes = 31;
constexpr size_t kVersionTextAt = 136;
constexpr std::string_view kOldVersionText = "0090";

// Firmware-looking filler: a fixed xorshift sequence, different per family.
void FillPattern(std::span<uint8_t> out, uint32_t seed) {
    uint32_t x = seed == 0 ? 1 : seed;
    for (uint8_t& byte : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<uint8_t>(x >> 24);
    }
}

void PutText(std::span<uint8_t> block, size_t at, size_t width, std::string_view text) {
    std::fill_n(block.begin() + static_cast<std::ptrdiff_t>(at), width, uint8_t{0});
    std::memcpy(block.data() + at, text.data(), std::min(width, text.size()));
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}
}  // namespace

std::array<uint8_t, kHeaderBytes> DeviceHeader(const Profile& profile) {
    std::array<uint8_t, kHeaderBytes> header{};
    FillPattern(header, kFlashSeed ^ (0x0101'0101u * profile.chipType) ^ 0xA5A5'0000u);
    header[0] = static_cast<uint8_t>(profile.usbVendor);
    header[1] = static_cast<uint8_t>(profile.usbVendor >> 8);
    header[2] = static_cast<uint8_t>(profile.usbProduct);
    header[3] = static_cast<uint8_t>(profile.usbProduct >> 8);
    PutText(header, kVendorTextAt, kVendorTextBytes, "Tavrel Storage Enclosure");
    const std::string product = std::string(Trimmed(profile.product)) + " Enclosure";
    PutText(header, kProductTextAt, kProductTextBytes, product);
    header[126] = 'Q';
    header[127] = 'K';
    return header;
}

std::vector<uint8_t> MakeFlashContent(const Profile& profile, FlashContent content,
                                      uint32_t size, std::span<const uint8_t> targetImage) {
    std::vector<uint8_t> flash(size, 0xFF);
    if (content == FlashContent::Blank || size < kHeaderBytes) return flash;
    FillPattern(flash, kFlashSeed + profile.chipType);
    const auto header = DeviceHeader(profile);
    std::copy(header.begin(), header.end(), flash.begin());
    if (size >= kVersionTextAt + kOldVersionText.size())
        std::memcpy(flash.data() + kVersionTextAt, kOldVersionText.data(), kOldVersionText.size());
    if (content == FlashContent::Updated && targetImage.size() > kHeaderBytes) {
        const size_t end = std::min<size_t>(targetImage.size(), size);
        std::copy(targetImage.begin() + kHeaderBytes, targetImage.begin() + end,
                  flash.begin() + kHeaderBytes);
    }
    return flash;
}

std::vector<uint8_t> MakeRomContent(const Profile& profile, FlashContent content) {
    std::vector<uint8_t> rom(kRomBytes, 0xFF);
    if (content != FlashContent::Blank) FillPattern(rom, kRomSeed + profile.chipType);
    return rom;
}

}  // namespace qks::emu
