// Which volumes lie on the bridge's disk or CD drive: a disk's by their
// extents, a CD's by the drive's own number.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include "platform/windows/disk_use.h"

namespace qks::win {
namespace {

TEST(VolumeOnDevice, ByExtentsForADiskAndByNumberForACd) {
    const StorageNumber disk2{FILE_DEVICE_DISK, 2};
    const StorageNumber cd2{FILE_DEVICE_CD_ROM, 2};
    struct Case {
        StorageNumber device;
        std::vector<uint32_t> extents;
        std::optional<StorageNumber> volume;
        bool on;
    };
    const Case cases[] = {
        {disk2, {2}, StorageNumber{FILE_DEVICE_DISK, 2}, true},
        {disk2, {0, 2}, std::nullopt, true},     // spanned over two disks
        {disk2, {1}, StorageNumber{FILE_DEVICE_DISK, 1}, false},
        {disk2, {}, StorageNumber{FILE_DEVICE_CD_ROM, 2}, false},   // CD 2 is not disk 2
        {cd2, {}, StorageNumber{FILE_DEVICE_CD_ROM, 2}, true},
        {cd2, {2}, StorageNumber{FILE_DEVICE_DISK, 2}, false},
        {cd2, {}, std::nullopt, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(VolumeOnDevice(cases[i].device, cases[i].extents, cases[i].volume), cases[i].on)
            << "case " << i;
}

TEST(DiskUsersOf, APathThatCannotBeOpenedHasNone) {
    EXPECT_TRUE(DiskUsersOf("\\\\?\\usbstor#disk&ven_none#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")
                    .empty());
}

}  // namespace
}  // namespace qks::win
