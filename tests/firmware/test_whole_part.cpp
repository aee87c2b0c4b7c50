// Where a part ends, found only by its reads wrapping, and what lies past
// the image put back without an erase ever reaching the image.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/whole_part.h"
#include "support/recording_context.h"
#include "support/test_support.h"

namespace qks {
namespace {

using test::Reply;
using test::SentCommand;

const DevicePath kPath = "\\\\?\\usbstor#disk&ven_tavrel#0005";
constexpr uint32_t k64K = 65536;

// A part with no address lines past its end and 64 KB erase units.
struct Part {
    explicit Part(uint32_t size) : bytes(size, 0xFF) {
        device.SetHandler([this](const SentCommand& s) { return Answer(s); });
    }
    void Fill(uint32_t from, uint32_t to, uint8_t seed) {
        for (uint32_t i = from; i < to; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 16));
    }
    Reply Answer(const SentCommand& s) {
        const uint32_t at = test::FlashAddress(s) % bytes.size();
        if (test::IsFlashCommand(s, 0x12)) return Reply{.data = {0x00}};
        if (test::IsFlashCommand(s, 0x10)) {
            Reply reply{.data = std::vector<uint8_t>(s.length)};
            for (uint32_t i = 0; i < s.length; ++i) reply.data[i] = bytes[(at + i) % bytes.size()];
            return reply;
        }
        if (test::IsFlashCommand(s, 0x11)) {
            for (size_t i = 0; i < s.dataOut.size(); ++i) bytes[(at + i) % bytes.size()] &= s.dataOut[i];
            return Reply{};
        }
        if (test::IsFlashCommand(s, 0x14)) {
            erased.push_back(at / k64K);
            std::fill_n(bytes.begin() + at / k64K * k64K, k64K, 0xFF);
            return Reply{};
        }
        return Reply{.delivered = false};
    }
    test::ScriptedPassThrough device;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> erased;   // 64 KB blocks
};

struct SizeCase {
    const char* name;
    uint32_t size;
    std::vector<std::pair<uint32_t, uint32_t>> data;   // filled ranges
    uint32_t kept;
};
class PartSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PartSize, KeepsUpToTheLastBlockHoldingDataWithinThePart) {
    const auto& c = GetParam();
    Part part(c.size);
    for (const auto& [from, to] : c.data) part.Fill(from, to, 0x21);
    MemoryImageStore images;
    test::RecordingContext window{part.device, images};
    const auto kept = ReadWholePart(window, kPath);
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->size(), c.kept);
    EXPECT_TRUE(std::equal(kept->begin(), kept->end(), part.bytes.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, PartSize,
    ::testing::Values(
        SizeCase{"Only64K", k64K, {{0, k64K}}, k64K},
        SizeCase{"Full256K", 4 * k64K, {{0, 4 * k64K}}, 4 * k64K},
        SizeCase{"OneMegabyteWithDataAt512K", 16 * k64K, {{0, 4096}, {8 * k64K, 9 * k64K}}, 9 * k64K},
        // Erased halves that read alike prove nothing: the search goes on.
        SizeCase{"BlankStartDataAbove", 2 * k64K, {{k64K, 2 * k64K}}, 2 * k64K},
        SizeCase{"AllBlank", 4 * k64K, {}, k64K}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RestorePart, ErasesOnlyWholeBlocksPastTheImageAndReadsBack) {
    Part part(4 * k64K);
    part.Fill(0, 4 * k64K, 0x40);
    std::vector<uint8_t> wanted(3 * k64K);
    for (size_t i = 0; i < wanted.size(); ++i) wanted[i] = static_cast<uint8_t>(i * 7 + 3);
    // The block at 128 KB already holds what is wanted: nothing is sent for it.
    std::copy_n(wanted.begin() + k64K, k64K, part.bytes.begin() + 2 * k64K);
    MemoryImageStore images;
    test::RecordingContext window{part.device, images};
    ASSERT_EQ(RestorePartFrom(window, kPath, k64K, wanted), 1);
    EXPECT_TRUE(std::equal(wanted.begin(), wanted.end(), part.bytes.begin() + k64K));
    EXPECT_EQ(part.erased, (std::vector<uint32_t>{1, 3}));   // blocks erased

    // A restore that starts inside a block may not erase it: the image shares it.
    Part shared(2 * k64K);
    shared.Fill(0, 2 * k64K, 0x40);
    test::RecordingContext second{shared.device, images};
    const auto before = shared.bytes;
    EXPECT_EQ(RestorePartFrom(second, kPath, k64K / 2, std::span(wanted).first(k64K / 2)), 0);
    EXPECT_TRUE(shared.erased.empty());
    EXPECT_EQ(shared.bytes, before);
}

}  // namespace
}  // namespace qks
