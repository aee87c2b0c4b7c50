// The contents a bridge starts with. Everything here is a pure function of
// the profile, the choice of content and the target image, so two runs with
// the same description see the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "emulator/description.h"
#include "emulator/profiles.h"

namespace qks::emu {

inline constexpr size_t kHeaderBytes = 128;
inline constexpr uint32_t kRomBytes = 65536;

// The device's own configuration block: its USB ids at 0-3, its name texts
// at 14-45 and 50-80, the signature "QK" at 126-127.
std::array<uint8_t, kHeaderBytes> DeviceHeader(const Profile& profile);

// Serial flash of `size` bytes. Old: the device header, then an older
// firmware of the family. Updated: the same, with `targetImage` from byte
// 128 on laid over it. Blank: all 0xFF.
std::vector<uint8_t> MakeFlashContent(const Profile& profile, FlashContent content,
                                      uint32_t size, std::span<const uint8_t> targetImage);

// The internal ROM: an older ROM firmware, or all 0xFF when blank.
std::vector<uint8_t> MakeRomContent(const Profile& profile, FlashContent content);

}  // namespace qks::emu
