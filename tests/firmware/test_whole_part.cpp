// Where a part ends, found only by its reads wrapping, and what lies past
// the image put back without an erase ever reaching the image: on the
// emulated part, whose addresses wrap at its end as silicon's do.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/whole_part.h"
#include "support/recording_context.h"
#include "tests/emulator/rig.h"

namespace qks {
namespace {

constexpr uint32_t k64K = 65536;

std::vector<uint8_t> Data(uint32_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 16));
    return bytes;
}

struct SizeCase {
    const char* name;
    const char* bridge;
    std::vector<std::pair<uint32_t, uint32_t>> data;   // written over the content: at, length
    uint32_t kept;
};
class PartSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PartSize, KeepsUpToTheLastBlockHoldingDataWithinThePart) {
    const auto& c = GetParam();
    emu::test::Rig rig;
    const DevicePath path = rig.Add(c.bridge);
    for (const auto& [at, length] : c.data) rig.Bridge().WriteFlashDirect(at, Data(length, 0x21));
    MemoryImageStore images;
    test::RecordingContext window{rig.platform, images, rig.clock};
    const auto kept = ReadWholePart(window, path);
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->size(), c.kept);
    const auto flash = rig.Bridge().Flash();
    EXPECT_TRUE(std::equal(kept->begin(), kept->end(), flash.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, PartSize,
    ::testing::Values(
        SizeCase{"Only64K", "q970:size=64K", {}, k64K},
        SizeCase{"Full256K", "q970:size=256K", {}, 4 * k64K},
        SizeCase{"OneMegabyteWithDataAt512K", "q970:size=1M,content=blank",
                 {{0, 4096}, {8 * k64K, k64K}}, 9 * k64K},
        // Erased halves that read alike prove nothing: the search goes on.
        SizeCase{"BlankStartDataAbove", "q970:size=128K,content=blank", {{k64K, k64K}}, 2 * k64K},
        SizeCase{"AllBlank", "q970:size=256K,content=blank", {}, k64K}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RestorePart, WritesWhatDiffersPastTheImageAndNeverErasesIntoIt) {
    emu::test::Rig rig;
    const DevicePath path = rig.Add("q970:size=256K");
    MemoryImageStore images;
    test::RecordingContext window{rig.platform, images, rig.clock};
    const auto wanted = Data(3 * k64K, 0x40);
    // One block already holds what is wanted; the others need erasing first.
    rig.Bridge().WriteFlashDirect(2 * k64K, std::span(wanted).subspan(k64K, k64K));
    const std::vector<uint8_t> image(rig.Bridge().Flash().begin(), rig.Bridge().Flash().begin() + k64K);
    ASSERT_EQ(RestorePartFrom(window, path, k64K, wanted), 1);
    auto flash = rig.Bridge().Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_TRUE(std::equal(wanted.begin(), wanted.end(), flash.begin() + k64K));

    // A restore that starts inside a block may not erase it: the image shares it.
    const std::vector<uint8_t> before(flash.begin(), flash.end());
    EXPECT_EQ(RestorePartFrom(window, path, k64K / 2, Data(k64K / 2, 0x77)), 0);
    flash = rig.Bridge().Flash();
    EXPECT_TRUE(std::equal(before.begin(), before.end(), flash.begin()));
}

}  // namespace
}  // namespace qks
