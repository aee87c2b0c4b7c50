// A bench for the emulator tests: virtual time, one platform, and the real
// client (transport and vendor command set) on top of it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/clock.h"
#include "device/transport.h"
#include "device/vendor_commands.h"
#include "emulator/platform.h"

namespace qks::emu::test {

inline constexpr size_t kTestImageBytes = 51208;

// A stand-in for the target image: signed header with its own ids, then a
// sequence unlike any profile's old firmware.
inline std::vector<uint8_t> TestImage() {
    std::vector<uint8_t> image(kTestImageBytes);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    image[0] = 0x34;
    image[1] = 0x12;
    image[2] = 0x78;
    image[3] = 0x56;
    image[126] = 'Q';
    image[127] = 'K';
    return image;
}

struct Rig {
    VirtualClock clock;
    std::vector<uint8_t> image = TestImage();
    EmulatorPlatform platform{clock, image};
    Transport transport{platform, clock};
    VendorCommandSet commands{transport};

    // Adds a bridge and answers its first path.
    DevicePath Add(std::string_view description) {
        const AddedBridge added = platform.AddBridge(description);
        EXPECT_TRUE(added.ok()) << added.error;
        if (!added.ok()) return {};
        return platform.PathsOf(static_cast<size_t>(added.index)).front();
    }
    EmulatedBridge& Bridge(size_t index = 0) { return platform.Bridge(index); }
};

// One command straight through the pass-through, to see status and sense.
struct RawReply {
    ScsiOutcome outcome;
    std::vector<uint8_t> data;
};

inline RawReply Raw(PassThrough& passThrough, const DevicePath& path,
                    std::vector<uint8_t> cdb, DataDirection direction,
                    std::vector<uint8_t> data = {}) {
    RawReply reply;
    OpenResult opened = passThrough.Open(path, OpenMode::Exclusive);
    if (!opened.handle) return reply;
    ScsiCommand command;
    command.cdb = cdb.data();
    command.cdbLength = static_cast<uint8_t>(cdb.size());
    command.direction = direction;
    command.data = data.empty() ? nullptr : data.data();
    command.length = static_cast<uint32_t>(data.size());
    reply.outcome = opened.handle->Execute(command);
    reply.data = std::move(data);
    return reply;
}

inline std::vector<uint8_t> Bytes(std::span<const uint8_t> span, size_t at, size_t count) {
    return {span.begin() + static_cast<std::ptrdiff_t>(at),
            span.begin() + static_cast<std::ptrdiff_t>(at + count)};
}

}  // namespace qks::emu::test
