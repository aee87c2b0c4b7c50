// The embedded image's header block: loading ranges of the image, the
// signature test and the merge that keeps a device's own settings.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "firmware/header_block.h"

namespace qks {
namespace {

const std::set<size_t> kFromImage = {4,   5,   9,   11,  13,  46,  47,  49,  81,  82,  83, 85,
                                     117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127};

HeaderBlock Filled(uint8_t base) {
    HeaderBlock block{};
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(base + i);
    return block;
}

TEST(HeaderMergeMask, MarksTheImagePositions) {
    ASSERT_EQ(kFromImage.size(), 23u);
    for (size_t i = 0; i < kHeaderBlockBytes; ++i) {
        if (kFromImage.count(i)) EXPECT_LT(HeaderMergeMask[i], 256) << "position " << i;
        else EXPECT_EQ(HeaderMergeMask[i], 4095) << "position " << i;
    }
}

TEST(MergeHeaderBlock, SignedDeviceKeepsItsOwnBytesOutsideTheMask) {
    HeaderBlock device = Filled(0x10);
    device[126] = 'Q';
    device[127] = 'K';
    const HeaderBlock original = device;
    HeaderBlock image = Filled(0x90);
    image[126] = 'Q';
    image[127] = 'K';
    MergeHeaderBlock(device, image);
    for (size_t i = 0; i < kHeaderBlockBytes; ++i)
        EXPECT_EQ(device[i], kFromImage.count(i) ? image[i] : original[i]) << "position " << i;
    // The identifiers and the first name text stay the device's.
    for (size_t i : {0u, 1u, 2u, 3u, 14u, 30u, 45u, 50u, 80u, 86u, 116u})
        EXPECT_EQ(device[i], original[i]) << "position " << i;
}

TEST(MergeHeaderBlock, UnsignedDeviceTakesTheWholeImageHeader) {
    const HeaderBlock image = Filled(0x40);
    HeaderBlock blank;
    blank.fill(0xFF);
    HeaderBlock swapped = Filled(0x01);
    swapped[126] = 'K';
    swapped[127] = 'Q';
    HeaderBlock halfSigned = Filled(0x01);
    halfSigned[126] = 'Q';
    halfSigned[127] = 'k';
    for (HeaderBlock device : {blank, swapped, halfSigned, DefaultHeaderBlock}) {
        MergeHeaderBlock(device, image);
        EXPECT_EQ(device, image);
    }
}

TEST(HasHeaderSignature, LooksAtTheLastTwoBytes) {
    std::vector<uint8_t> block(128, 0);
    EXPECT_FALSE(HasHeaderSignature(block.data(), 128));
    block[126] = 'Q';
    block[127] = 'K';
    EXPECT_TRUE(HasHeaderSignature(block.data(), 128));
    EXPECT_FALSE(HasHeaderSignature(block.data(), 127));
    EXPECT_TRUE(HasHeaderSignature(block.data() + 126, 2));
    block[127] = 'k';
    EXPECT_FALSE(HasHeaderSignature(block.data(), 128));
}

class LoadImage : public ::testing::Test {
protected:
    void SetUp() override {
        image.resize(51208);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 3 + 1);
        store.Put("QKS958FW", image);
        store.Put("FW719", std::vector<uint8_t>(1000, 0x19));
    }
    std::vector<uint8_t> image;
    MemoryImageStore store;
    std::vector<uint8_t> dest = std::vector<uint8_t>(65536, 0xEE);
};

TEST_F(LoadImage, HeaderOnlyReturnsTheImageSize) {
    EXPECT_EQ(LoadEmbeddedImage(store, dest.data(), 0, 128), 51208u);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 128, dest.begin()));
    EXPECT_EQ(dest[128], 0xEE);
}

TEST_F(LoadImage, WholeImage) {
    EXPECT_EQ(LoadEmbeddedImage(store, dest.data(), 0, 0), 51208u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), dest.begin()));
    EXPECT_EQ(dest[51208], 0xEE);
}

TEST_F(LoadImage, BodyLandsBehindAHeaderAlreadyThere) {
    EXPECT_EQ(LoadEmbeddedImage(store, dest.data(), 128, 0), 51208u);
    EXPECT_TRUE(std::all_of(dest.begin(), dest.begin() + 128, [](uint8_t b) { return b == 0xEE; }));
    EXPECT_TRUE(std::equal(image.begin() + 128, image.end(), dest.begin() + 128));
    EXPECT_EQ(dest[51208], 0xEE);
}

TEST_F(LoadImage, RangePastTheEndStopsAtTheEnd) {
    EXPECT_EQ(LoadEmbeddedImage(store, dest.data(), 51200, 100), 51208u);
    EXPECT_TRUE(std::equal(image.begin() + 51200, image.end(), dest.begin() + 51200));
    EXPECT_EQ(dest[51208], 0xEE);
    EXPECT_EQ(dest[51199], 0xEE);
}

TEST_F(LoadImage, MissingImageCopiesNothing) {
    MemoryImageStore other;
    other.Put("FW719", image);
    EXPECT_EQ(LoadEmbeddedImage(other, dest.data(), 0, 0), 0u);
    EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint8_t b) { return b == 0xEE; }));
}

}  // namespace
}  // namespace qks
