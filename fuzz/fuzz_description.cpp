// The emulator's device descriptions come from the command line and from
// test texts: any text must give either a description or a one-line reason,
// and a description must hold only values the emulator can build.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/clock.h"
#include "emulator/description.h"
#include "emulator/platform.h"

namespace {

using namespace qks;

bool KnownSize(uint32_t bytes) {
    return bytes == 64 * 1024 || bytes == 128 * 1024 || bytes == 256 * 1024 ||
           bytes == 512 * 1024 || bytes == 1024 * 1024;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const emu::DescriptionParse parsed = emu::ParseDescription(text);
    if (parsed.description.has_value() == !parsed.error.empty()) std::abort();
    if (!parsed.description) {
        // The reason quotes the text, but adds no line of its own.
        if (text.find('\n') == std::string_view::npos &&
            parsed.error.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    const emu::BridgeDescription& d = *parsed.description;
    if (d.profile == nullptr || d.text != text) std::abort();
    if (d.vendor > 15 || d.romType > 2) std::abort();
    if (d.amic != emu::kNoAmic && d.amic != 1 && d.amic != 3 && d.amic != 4 && d.amic != 5)
        std::abort();
    if (d.profile->tavrel && !KnownSize(d.flashSize)) std::abort();
    if (d.flipAddress && *d.flipAddress >= d.flashSize) std::abort();

    // A description without a flash file builds a bridge that shows itself.
    if (d.flashFile.empty()) {
        VirtualClock clock;
        static const uint8_t kImage[256] = {};
        emu::EmulatorPlatform platform(clock, kImage);
        const emu::AddedBridge added = platform.AddBridge(d);
        if (!added.ok() || platform.PathsOf(0).empty()) std::abort();
    }
    return 0;
}
