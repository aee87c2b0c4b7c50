// Image stores: the images a build embeds, and those held in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "firmware/header_block.h"
#include "firmware/image_store.h"

namespace qks {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(MemoryImageStore, FindsByExactNameAndReplaces) {
    MemoryImageStore store;
    store.Put("FW742A", Bytes("first"));
    store.Put("FW742B", Bytes("second"));
    store.Put("FW742A", Bytes("again"));
    const auto a = store.Find("FW742A");
    EXPECT_EQ(std::string(a.begin(), a.end()), "again");
    EXPECT_EQ(store.Find("FW742B").size(), 6u);
    EXPECT_TRUE(store.Find("FW742").empty());
    EXPECT_TRUE(store.Find("fw742a").empty());
    EXPECT_EQ(store.Names(), (std::vector<std::string>{"FW742A", "FW742B"}));
}

TEST(MemoryImageStore, FoundBytesOutliveLaterPuts) {
    MemoryImageStore store;
    store.Put("QKS958FW", std::vector<uint8_t>(4096, 0x5A));
    const auto image = store.Find("QKS958FW");
    for (int i = 0; i < 40; ++i) store.Put("extra" + std::to_string(i), std::vector<uint8_t>(64, 1));
    EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](uint8_t b) { return b == 0x5A; }));
}

TEST(ImageSummary, DigestsAndDevelopmentMarker) {
    EXPECT_EQ(Sha256Hex(Bytes("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    MemoryImageStore store;
    store.Put("dev", Bytes("header " + std::string(kDevelopmentMarker) + " body"));
    store.Put("real", Bytes("QKS970-RECOVERY DEVELOPMENT"));
    store.Put("empty", {});
    const auto summaries = SummarizeImages(store);
    ASSERT_EQ(summaries.size(), 3u);
    EXPECT_EQ(summaries[0].name, "dev");
    EXPECT_TRUE(summaries[0].development);
    EXPECT_FALSE(summaries[1].development);
    EXPECT_EQ(summaries[1].size, 27u);
    EXPECT_FALSE(summaries[2].development);
    EXPECT_EQ(summaries[2].size, 0u);
    EXPECT_EQ(summaries[2].sha256, Sha256Hex({}));
}

// A program's own store hands out only what fits the 64 KB buffers images
// are copied into, and more than a header.
TEST(LoadableImage, OnlySizesFromOneByteBeyondTheHeaderTo64K) {
    const std::vector<uint8_t> bytes(70000, 0x11);
    for (const auto& [size, loadable] : std::vector<std::pair<size_t, bool>>{
             {0, false}, {128, false}, {129, true}, {65536, true}, {65537, false}, {70000, false}}) {
        const auto image = LoadableImage(std::span(bytes).first(size));
        EXPECT_EQ(image.size(), loadable ? size : 0u) << size << " bytes";
    }
}

TEST(EmbeddedImages, HoldTheTargetImageWithASignedHeader) {
    const ImageStore& store = EmbeddedImages();
    for (const char* name : {kTargetImageName, kSerialFlashImageName, kRevisionAImageName,
                             kRevisionBImageName})
        EXPECT_FALSE(store.Find(name).empty()) << name;
    const auto target = store.Find(kTargetImageName);
    ASSERT_GT(target.size(), kHeaderBlockBytes);
    EXPECT_LE(target.size(), kMaxImageBytes);
    EXPECT_TRUE(HasHeaderSignature(target.data(), kHeaderBlockBytes));
    std::vector<uint8_t> dest(kMaxImageBytes, 0);
    EXPECT_EQ(LoadEmbeddedImage(store, dest.data(), 0, kHeaderBlockBytes), target.size());
}

}  // namespace
}  // namespace qks
