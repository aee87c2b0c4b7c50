// The target's 64 KB update, as the host's block transfers perform it, must
// leave exactly the merged image in the flash whatever part is fitted; and a
// sequence that skips the erase must show as a wrong flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/block_transfers.h"
#include "tests/emulator/rig.h"

namespace qks::emu::test {
namespace {

class FullUpdate : public ::testing::TestWithParam<std::string> {};

TEST_P(FullUpdate, LeavesHeaderImageAndTailInPlace) {
    Rig rig;
    const DevicePath path = rig.Add("q970:" + GetParam());
    const std::vector<uint8_t> before(rig.Bridge().Flash().begin(), rig.Bridge().Flash().end());
    std::vector<uint8_t> header(before.begin(), before.begin() + 128);
    header[4] ^= 0xFF;   // whatever the merge chose, it must land as given

    struct Reads : TraceSink {
        int blocks = 0;
        void Record(const TraceRecord& r) override { blocks += r.cdb.size() == 12 && r.cdb[11] == 0xFA; }
    } reads;
    rig.transport.SetTrace(&reads);
    BlockTransfers blocks(rig.commands, rig.clock);
    ASSERT_EQ(blocks.UpdateFlashImage(path, true, true, header.data(), rig.image), 1);
    // The part erases the units the host divides its write into, so the
    // first attempt verifies: one read of the flash before, one after.
    EXPECT_EQ(reads.blocks, 16);

    const auto flash = rig.Bridge().Flash();
    EXPECT_TRUE(std::equal(header.begin(), header.end(), flash.begin()));
    EXPECT_TRUE(std::equal(rig.image.begin() + 128, rig.image.end(), flash.begin() + 128));
    EXPECT_TRUE(std::equal(before.begin() + rig.image.size(), before.begin() + 65536,
                           flash.begin() + rig.image.size()));
}

INSTANTIATE_TEST_SUITE_P(EveryMaker, FullUpdate,
                         ::testing::Values("vendor=0", "vendor=1", "vendor=2", "vendor=3",
                                           "vendor=4", "vendor=5", "vendor=6", "vendor=7",
                                           "vendor=8", "vendor=9", "vendor=10", "vendor=12",
                                           "vendor=15", "amic=1",
                                           "amic=4", "size=1M"));

TEST(FullUpdate, WritingWithoutEraseShowsAsAWrongFlash) {
    Rig rig;
    const DevicePath path = rig.Add("q970:vendor=6");
    BlockTransfers blocks(rig.commands, rig.clock);
    std::vector<uint8_t> image(65536);
    std::copy(rig.image.begin(), rig.image.end(), image.begin());
    ASSERT_EQ(blocks.WriteFlashBlocks(path, 0, image.data(), 65536, 0, 6), 1);
    std::vector<uint8_t> back(65536);
    ASSERT_EQ(blocks.ReadFlashBlocks(path, 0, back.data(), 65536), 1);
    EXPECT_NE(back, image);
}

}  // namespace
}  // namespace qks::emu::test
