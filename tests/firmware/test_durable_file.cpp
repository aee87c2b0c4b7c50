// Files the program writes: whole or not at all, never through a link.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "firmware/durable_file.h"

namespace qks {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class DurableFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("qks-durable-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
        victim = folder / "victim";
        std::ofstream(victim) << "a stranger's file";
        victimText = ReadAll(victim);
    }
    void TearDown() override { fs::remove_all(folder); }
    // Temporary files a write left behind.
    size_t Leftovers() const {
        size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.path().filename().string().rfind(".qks-", 0) == 0 &&
                entry.symlink_status().type() == fs::file_type::regular)
                ++count;
        return count;
    }
    fs::path folder;
    fs::path victim;
    std::vector<uint8_t> victimText;
};

struct Case {
    std::string what;
    ExistingTarget existing;
    // Prepares the folder; answers the result the write must have.
    std::function<DurableWrite(const fs::path& target, const fs::path& victim)> plant;
};

TEST_F(DurableFile, WritesWholeFilesAndNeverFollowsALink) {
    const std::vector<uint8_t> bytes(70000, 0x5A);
    const std::vector<Case> cases = {
#ifndef _WIN32   // a Windows link needs a privilege a test cannot count on
        {"a link at the name it tries first", ExistingTarget::Replace,
         [](const fs::path& target, const fs::path& victim) {
             fs::create_symlink(victim, NextTemporaryName(target.string()));
             return DurableWrite::Written;
         }},
        {"a link at the target", ExistingTarget::Replace,
         [](const fs::path& target, const fs::path& victim) {
             fs::create_symlink(victim, target);
             return DurableWrite::Written;
         }},
#endif
        {"a target that must be kept", ExistingTarget::Keep,
         [](const fs::path& target, const fs::path&) {
             std::ofstream(target) << "earlier";
             return DurableWrite::NameTaken;
         }},
#ifndef _WIN32
        {"a link at a target that must be kept", ExistingTarget::Keep,
         [](const fs::path& target, const fs::path& victim) {
             fs::create_symlink(victim, target);
             return DurableWrite::NameTaken;
         }},
#endif
        {"a folder that does not exist", ExistingTarget::Replace,
         [](const fs::path&, const fs::path&) { return DurableWrite::Failed; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        const bool missingFolder = c.what == "a folder that does not exist";
        const fs::path target = missingFolder ? folder / "gone" / "copy.bin" : folder / "copy.bin";
        const DurableWrite expected = c.plant(target, victim);
        const bool targetWasLink = fs::is_symlink(target);
        std::string error;
        EXPECT_EQ(WriteFileDurably(target.string(), bytes, c.existing, &error), expected);
        EXPECT_EQ(ReadAll(victim), victimText);
        EXPECT_EQ(Leftovers(), 0u) << "a temporary file was left behind";
        if (expected == DurableWrite::Written) {
            EXPECT_FALSE(fs::is_symlink(target));
            EXPECT_EQ(ReadAll(target), bytes);
        } else if (expected == DurableWrite::NameTaken) {
            EXPECT_EQ(fs::is_symlink(target), targetWasLink) << "a kept name must stay as it was";
        }
        if (expected == DurableWrite::Failed) {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST_F(DurableFile, ATraceLineIsInTheFileAsSoonAsItIsWritten) {
    const fs::path path = folder / "trace.jsonl";
    std::string error;
    auto file = LineFile::Create(path.string(), error);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->WriteLine("{\"seq\":1}"));
    EXPECT_EQ(ReadAll(path), std::vector<uint8_t>({'{', '"', 's', 'e', 'q', '"', ':', '1', '}', '\n'}));

#ifndef _WIN32
    const fs::path link = folder / "linked.jsonl";
    fs::create_symlink(victim, link);
    EXPECT_FALSE(LineFile::Create(link.string(), error));
    EXPECT_NE(error.find("link"), std::string::npos) << error;
    EXPECT_EQ(ReadAll(victim), victimText) << "the link's target must not be truncated";
#endif
}

}  // namespace
}  // namespace qks
