// Files the program writes: whole or not at all, never through a link.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

enum class Plant { LinkAtTemporary, LinkAtTarget, FileAtTarget, NoFolder };

TEST_F(DurableFile, WritesWholeFilesAndNeverFollowsALink) {
    struct Case {
        Plant plant;
        ExistingTarget existing;
        DurableWrite expected;
    };
    const std::vector<Case> cases = {
#ifndef _WIN32   // a Windows link needs a privilege a test cannot count on
        {Plant::LinkAtTemporary, ExistingTarget::Replace, DurableWrite::Written},
        {Plant::LinkAtTarget, ExistingTarget::Replace, DurableWrite::Written},
        {Plant::LinkAtTarget, ExistingTarget::Keep, DurableWrite::NameTaken},
#endif
        {Plant::FileAtTarget, ExistingTarget::Keep, DurableWrite::NameTaken},
        {Plant::NoFolder, ExistingTarget::Replace, DurableWrite::Failed},
    };
    const std::vector<uint8_t> bytes(70000, 0x5A);
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.plant));
        TearDown();
        SetUp();
        const fs::path target = folder / (c.plant == Plant::NoFolder ? "gone/copy.bin" : "copy.bin");
        if (c.plant == Plant::LinkAtTemporary) fs::create_symlink(victim, NextTemporaryName(target.string()));
        if (c.plant == Plant::LinkAtTarget) fs::create_symlink(victim, target);
        if (c.plant == Plant::FileAtTarget) std::ofstream(target) << "earlier";
        const auto before = fs::symlink_status(target).type();
        std::string error;
        EXPECT_EQ(WriteFileDurably(target.string(), bytes, c.existing, &error), c.expected);
        EXPECT_EQ(ReadAll(victim), victimText);
        EXPECT_EQ(Leftovers(), 0u) << "a temporary file was left behind";
        if (c.expected == DurableWrite::Written) {
            EXPECT_EQ(fs::symlink_status(target).type(), fs::file_type::regular);
            EXPECT_EQ(ReadAll(target), bytes);
        }
        if (c.expected == DurableWrite::NameTaken) {
            EXPECT_EQ(fs::symlink_status(target).type(), before) << "a kept name must stay as it was";
        }
        EXPECT_EQ(error.empty(), c.expected != DurableWrite::Failed) << error;
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
