// The disks behind an sg node, found in a sysfs tree and a mountinfo of the
// test's own: what is mounted from the disk or its partitions, and what
// other block device holds them, each with how to free it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/disk_use.h"

namespace qks {
namespace {

namespace fs = std::filesystem;

struct UseCase {
    const char* name;
    std::vector<std::string> mountInfo;     // lines
    std::vector<std::string> holders;       // of sdb1
    std::vector<std::string> expected;      // node|mount point|holder
};
void PrintTo(const UseCase& c, std::ostream* os) { *os << c.name; }

class DiskUse : public ::testing::TestWithParam<UseCase> {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("qks-disk-use-" + std::to_string(::getpid()) + "-" + GetParam().name);
        fs::remove_all(root_);
        // sg2 is 2:0:0:0, whose sd disk sdb has partitions sdb1 and sdb2;
        // sg3 (another device) has sdc.
        Make("devices/2:0:0:0/block/sdb/dev", "8:16");
        Make("devices/2:0:0:0/block/sdb/sdb1/dev", "8:17");
        Make("devices/2:0:0:0/block/sdb/sdb1/partition", "1");
        Make("devices/2:0:0:0/block/sdb/sdb2/dev", "8:18");
        Make("devices/2:0:0:0/block/sdb/sdb2/partition", "2");
        Make("devices/2:0:0:0/block/sdb/queue/max_sectors_kb", "120");
        Make("devices/3:0:0:0/block/sdc/dev", "8:32");
        fs::create_directories(root_ / "class/scsi_generic/sg2");
        fs::create_directories(root_ / "class/scsi_generic/sg3");
        fs::create_directory_symlink(root_ / "devices/2:0:0:0", root_ / "class/scsi_generic/sg2/device");
        fs::create_directory_symlink(root_ / "devices/3:0:0:0", root_ / "class/scsi_generic/sg3/device");
        fs::create_directories(root_ / "devices/2:0:0:0/block/sdb/sdb1/holders");
        for (const auto& holder : GetParam().holders)
            Make("devices/2:0:0:0/block/sdb/sdb1/holders/" + holder + "/dev", "254:0");
        std::ofstream info(root_ / "mountinfo");
        for (const auto& line : GetParam().mountInfo) info << line << "\n";
    }
    void TearDown() override { fs::remove_all(root_); }
    void Make(const std::string& file, const std::string& text) {
        fs::create_directories((root_ / file).parent_path());
        std::ofstream(root_ / file) << text << "\n";
    }
    fs::path root_;
};

TEST_P(DiskUse, NamesWhatUsesTheDisk) {
    std::vector<std::string> found;
    for (const auto& user :
         DiskUsersOfSgNode("/dev/sg2", root_.string(), (root_ / "mountinfo").string())) {
        found.push_back(user.node + "|" + user.mountPoint + "|" + user.holder);
        EXPECT_FALSE(user.howToFree.empty());
        if (!user.mountPoint.empty()) {
            EXPECT_EQ(user.howToFree, "udisksctl unmount -b " + user.node + " or umount " +
                                          user.mountPoint);
        }
    }
    EXPECT_EQ(found, GetParam().expected);
}

constexpr const char* kRoot = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw";

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskUse,
    ::testing::Values(
        UseCase{"NothingMounted", {kRoot}, {}, {}},
        UseCase{"APartitionWithABlankInItsMountPoint",
                {kRoot, "97 22 8:17 / /media/u/MY\\040DISK rw,nosuid shared:50 - vfat /dev/sdb1 rw"},
                {},
                {"/dev/sdb1|/media/u/MY DISK|"}},
        UseCase{"TheWholeDiskAndAnotherDevicesDisk",
                {kRoot, "98 22 8:16 / /mnt/raw rw - ext4 /dev/sdb rw",
                 "99 22 8:32 / /mnt/other rw - ext4 /dev/sdc rw"},
                {},
                {"/dev/sdb|/mnt/raw|"}},
        UseCase{"HeldByDeviceMapper", {kRoot}, {"dm-0"}, {"/dev/sdb1||dm-0"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MountField, OctalEscapesBecomeCharacters) {
    EXPECT_EQ(UnescapeMountField("/a\\040b\\011c\\134d"), "/a b\tc\\d");
    EXPECT_EQ(UnescapeMountField("/a\\04"), "/a\\04");   // cut short: kept as written
}

}  // namespace
}  // namespace qks
