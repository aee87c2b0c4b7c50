// Image files over the built-in images: where they are looked for, which
// file wins, and every reason a file is refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "firmware/image_files.h"

namespace qks {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

ImageSearchPlaces Places(std::map<std::string, std::string> variables, bool windows = false,
                         std::string programFolder = {}) {
    ImageSearchPlaces places;
    places.variable = [variables](const std::string& name) {
        const auto found = variables.find(name);
        return found == variables.end() ? std::string() : found->second;
    };
    places.windows = windows;
    places.programFolder = std::move(programFolder);
    return places;
}

TEST(ImageSearchFolders, ChosenFolderFirstThenThePlatformsDataFolders) {
    struct Case {
        const char* what;
        std::string chosen;
        ImageSearchPlaces places;
        std::vector<std::string> folders;
    };
    const Case cases[] = {
        {"both variables set", "/opt/imgs",
         Places({{"XDG_DATA_HOME", "/h/data"}, {"XDG_DATA_DIRS", "/a:/b/"}, {"HOME", "/home/u"}}),
         {"/opt/imgs", "/h/data/qks970-recovery/images", "/a/qks970-recovery/images",
          "/b/qks970-recovery/images"}},
        {"defaults", "", Places({{"HOME", "/home/u"}}),
         {"/home/u/.local/share/qks970-recovery/images",
          "/usr/local/share/qks970-recovery/images", "/usr/share/qks970-recovery/images"}},
        {"relative and empty entries are ignored", "",
         Places({{"XDG_DATA_HOME", "rel"}, {"HOME", "/home/u"}, {"XDG_DATA_DIRS", "::x:/c"}}),
         {"/home/u/.local/share/qks970-recovery/images", "/c/qks970-recovery/images"}},
        {"windows", "D:\\imgs",
         Places({{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"}, {"XDG_DATA_HOME", "/h"}}, true,
                "C:\\Program Files\\qks970\\"),
         {"D:\\imgs", "C:\\Users\\u\\AppData\\Local\\qks970-recovery\\images",
          "C:\\Program Files\\qks970\\images"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ImageSearchFolders(c.chosen, c.places), c.folders);
    }
}

class ImageFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("qks970-image-files-") + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "first");
        fs::create_directories(dir_ / "second");
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string Folder(const char* name) const { return (dir_ / name).string(); }
    std::string Put(const char* folder, const std::string& name, const Bytes& bytes) const {
        const fs::path path = dir_ / folder / (name + ".bin");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    static Bytes BuiltIn(const char* name) {
        const auto image = EmbeddedImages().Find(name);
        return {image.begin(), image.end()};
    }
    // The folders given and nothing else: the machine's own stay out.
    static std::unique_ptr<LayeredImageStore> Open(const std::vector<std::string>& folders) {
        auto store = std::make_unique<LayeredImageStore>(EmbeddedImages());
        store->Load(folders);
        return store;
    }

    fs::path dir_;
};

TEST_F(ImageFiles, FirstFolderWinsAndTheBuiltInImageFillsTheRest) {
    Bytes vendor = BuiltIn(kTargetImageName);
    std::fill(vendor.begin() + 144, vendor.begin() + 144 + kDevelopmentMarker.size(), 0x20);
    const std::string winner = Put("first", kTargetImageName, vendor);
    // A later folder's file for a name already found is not even checked.
    Put("second", kTargetImageName, Bytes(3, 0));
    const std::string fw719 = Put("second", kSerialFlashImageName, BuiltIn(kSerialFlashImageName));

    const auto store = Open({Folder("first"), Folder("second")});
    EXPECT_TRUE(store->RefusedFiles().empty());
    const auto target = store->Find(kTargetImageName);
    EXPECT_EQ(Bytes(target.begin(), target.end()), vendor);
    EXPECT_EQ(store->SourceOf(kTargetImageName), winner);
    EXPECT_EQ(store->SourceOf(kSerialFlashImageName), fw719);
    EXPECT_EQ(store->SourceOf(kRevisionAImageName), "");
    EXPECT_EQ(store->Find(kRevisionAImageName).data(),
              EmbeddedImages().Find(kRevisionAImageName).data());

    const auto summaries = SummarizeImages(*store);
    ASSERT_EQ(summaries.size(), 4u);
    EXPECT_EQ(summaries[0].source, winner);
    EXPECT_FALSE(summaries[0].development);   // the marker was wiped
    EXPECT_TRUE(summaries[1].development);    // a file carrying the marker
    EXPECT_EQ(summaries[2].source, "");

    const std::string line = ImageConfirmationText(*store, kTargetImageName);
    EXPECT_NE(line.find("QKS958FW"), std::string::npos) << line;
    EXPECT_NE(line.find(winner), std::string::npos) << line;
    EXPECT_NE(line.find(Sha256Hex(vendor)), std::string::npos) << line;
    EXPECT_NE(ImageConfirmationText(*store, kRevisionAImageName).find("built in"),
              std::string::npos);
}

// A refused file takes its image out, and only that one: the built-in image
// does not stand in for the file the user chose, and the other images stay.
TEST_F(ImageFiles, EveryRefusalNamesTheFileAndTheReasonAndTakesOutOnlyItsImage) {
    Bytes unsigned958 = BuiltIn(kTargetImageName);
    unsigned958[127] = 'X';
    Bytes untagged719 = BuiltIn(kSerialFlashImageName);
    untagged719[6] = '8';   // "7180": another chip's tag
    const Bytes shortFw742a = BuiltIn(kRevisionAImageName);
    struct Case {
        std::string name;
        Bytes bytes;
        std::string reason;
    };
    const Case cases[] = {
        {kTargetImageName, Bytes(128, 0), "128 bytes; QKS958FW must be 129 to 65536"},
        {kTargetImageName, Bytes(65537, 0), "65537 bytes; QKS958FW must be at most 65536"},
        {kTargetImageName, unsigned958, "no signature \"QK\" at bytes 126-127"},
        {kSerialFlashImageName, untagged719, "firmware tag of the QK60719"},
        {kSerialFlashImageName, {}, "0 bytes; FW719 must be 1 to 65536"},
        // Each QKB742 revision takes its own image only.
        {kRevisionAImageName, BuiltIn(kRevisionBImageName), "firmware tag of the QKB742 revision 1"},
        {kRevisionBImageName, BuiltIn(kRevisionAImageName), "firmware tag of the QKB742 revision 2"},
        {kRevisionAImageName, Bytes(shortFw742a.begin(), shortFw742a.begin() + 4096),
         "4096 bytes; FW742A must be 4097 to 65536"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + ": " + c.reason);
        fs::remove_all(dir_ / "first");
        fs::create_directories(dir_ / "first");
        const std::string path = Put("first", c.name, c.bytes);
        const auto store = Open({Folder("first")});
        const std::string error = store->RefusalOf(c.name);
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_TRUE(store->Find(c.name).empty());
        ASSERT_EQ(store->RefusedFiles().size(), 1u);
        for (const char* other : kImageNames) {
            if (other == c.name) continue;
            EXPECT_TRUE(store->RefusalOf(other).empty()) << other;
            EXPECT_EQ(store->Find(other).data(), EmbeddedImages().Find(other).data()) << other;
        }
        EXPECT_NE(ImageConfirmationText(*store, c.name).find("refused: " + error), std::string::npos);
    }

    fs::remove_all(dir_ / "first");
    fs::create_directories(dir_ / "first" / "FW742B.bin");
    EXPECT_NE(Open({Folder("first")})->RefusalOf(kRevisionBImageName).find("FW742B.bin': it is a folder"),
              std::string::npos);

    // --images names a folder: a file there, or nothing, is told apart.
    std::string error;
    EXPECT_FALSE(OpenImages(Folder("missing"), Places({}), EmbeddedImages(), error));
    EXPECT_NE(error.find("missing': there is no such folder"), std::string::npos) << error;
    const std::string file = Put("first", "plain", Bytes(4, 0));
    EXPECT_FALSE(OpenImages(file, Places({}), EmbeddedImages(), error));
    EXPECT_NE(error.find("plain.bin': it is a file, not a folder"), std::string::npos) << error;
}

}  // namespace
}  // namespace qks
