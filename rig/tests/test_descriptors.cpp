// The FunctionFS blobs read back the way the kernel reads them: a wrong
// length or count makes the kernel refuse them, a wrong class makes
// usb-storage ignore the device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rig/ffs_descriptors.h"

namespace qks::rig {
namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b.at(at)} | uint32_t{b.at(at + 1)} << 8 | uint32_t{b.at(at + 2)} << 16 |
           uint32_t{b.at(at + 3)} << 24;
}

struct Endpoint {
    uint8_t address;
    uint8_t attributes;
    uint16_t packet;
};

struct Speed {
    uint8_t interfaceClass, subclass, protocol, endpointsDeclared;
    std::vector<Endpoint> endpoints;
};

// Walks `count` descriptors from `at` by their own bLength.
Speed ReadSpeed(const std::vector<uint8_t>& b, size_t& at, uint32_t count) {
    Speed speed{};
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t length = b.at(at);
        const uint8_t type = b.at(at + 1);
        if (type == 0x04) {
            EXPECT_EQ(length, 9);
            speed.endpointsDeclared = b.at(at + 4);
            speed.interfaceClass = b.at(at + 5);
            speed.subclass = b.at(at + 6);
            speed.protocol = b.at(at + 7);
        } else if (type == 0x05) {
            EXPECT_EQ(length, 7);
            speed.endpoints.push_back(
                {b.at(at + 2), b.at(at + 3), static_cast<uint16_t>(b.at(at + 4) | b.at(at + 5) << 8)});
        } else {
            ADD_FAILURE() << "descriptor type " << int(type) << " at " << at;
        }
        at += length;
    }
    return speed;
}

TEST(FunctionDescriptors, DeclareABulkOnlyInterfaceAtBothSpeeds) {
    const std::vector<uint8_t> b = FunctionDescriptors();
    EXPECT_EQ(Le32(b, 0), 3u) << "FUNCTIONFS_DESCRIPTORS_MAGIC_V2";
    EXPECT_EQ(Le32(b, 4), b.size()) << "the length field covers the whole blob";
    EXPECT_EQ(Le32(b, 8), 0x3u) << "full and high speed, nothing else";
    const uint32_t fullCount = Le32(b, 12);
    const uint32_t highCount = Le32(b, 16);
    size_t at = 20;
    const Speed full = ReadSpeed(b, at, fullCount);
    const Speed high = ReadSpeed(b, at, highCount);
    EXPECT_EQ(at, b.size()) << "the counts match the descriptors that follow";

    const struct {
        const char* name;
        const Speed& speed;
        uint16_t packet;
    } speeds[] = {{"full", full, 64}, {"high", high, 512}};
    for (const auto& s : speeds) {
        EXPECT_EQ(s.speed.interfaceClass, 0x08) << s.name;
        EXPECT_EQ(s.speed.subclass, 0x06) << s.name;
        EXPECT_EQ(s.speed.protocol, 0x50) << s.name;
        EXPECT_EQ(s.speed.endpointsDeclared, 2) << s.name;
        ASSERT_EQ(s.speed.endpoints.size(), 2u) << s.name;
        // ep1 is bulk IN, ep2 bulk OUT: the gadget opens them by these numbers.
        EXPECT_EQ(s.speed.endpoints[0].address, 0x81) << s.name;
        EXPECT_EQ(s.speed.endpoints[1].address, 0x02) << s.name;
        for (const Endpoint& e : s.speed.endpoints) {
            EXPECT_EQ(e.attributes, 0x02) << s.name << ": bulk";
            EXPECT_EQ(e.packet, s.packet) << s.name;
        }
    }
}

TEST(FunctionStrings, HoldOneUsEnglishString) {
    const std::vector<uint8_t> b = FunctionStrings();
    EXPECT_EQ(Le32(b, 0), 2u) << "FUNCTIONFS_STRINGS_MAGIC";
    EXPECT_EQ(Le32(b, 4), b.size());
    EXPECT_EQ(Le32(b, 8), 1u);
    EXPECT_EQ(Le32(b, 12), 1u);
    ASSERT_GT(b.size(), 18u);
    EXPECT_EQ(b[16] | b[17] << 8, 0x0409);
    EXPECT_EQ(b.back(), 0) << "the string is terminated";
    const std::string text(b.begin() + 18, b.end() - 1);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace qks::rig
