// The two enumeration passes share the caller's 16 slots: disks first,
// CD-ROMs behind them.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "device/enumeration.h"

namespace qks {
namespace {

class ListedInterfaces : public DeviceEnumerator {
public:
    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass cls) override {
        ++calls[cls];
        std::vector<InterfaceInfo> list;
        for (const auto& path : cls == InterfaceClass::Disk ? disks : cdroms) {
            InterfaceInfo info;
            info.path = path;
            list.push_back(info);
        }
        return list;
    }
    std::vector<std::string> disks, cdroms;
    std::map<InterfaceClass, int> calls;
};

std::vector<std::string> Kept(const PathSlots& slots) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < slots.used; ++i) paths.push_back(slots.slot[i].path);
    return paths;
}

TEST(Enumeration, NothingPresent) {
    ListedInterfaces interfaces;
    PathSlots slots;
    const int disks = EnumerateUsbDisks(interfaces, slots);
    EXPECT_EQ(disks, 0);
    EXPECT_EQ(EnumerateUsbCdroms(interfaces, slots, disks), 0);
    EXPECT_EQ(slots.used, 0u);
    EXPECT_EQ(interfaces.calls[InterfaceClass::Disk], 1);
    EXPECT_EQ(interfaces.calls[InterfaceClass::Cdrom], 1);
}

TEST(Enumeration, CdromsFollowTheDisks) {
    ListedInterfaces interfaces;
    interfaces.disks = {"disk-a", "disk-b"};
    interfaces.cdroms = {"cdrom-a"};
    PathSlots slots;
    const int disks = EnumerateUsbDisks(interfaces, slots);
    const int cdroms = EnumerateUsbCdroms(interfaces, slots, disks);
    EXPECT_EQ(disks, 2);
    EXPECT_EQ(cdroms, 1);
    EXPECT_EQ(Kept(slots), (std::vector<std::string>{"disk-a", "disk-b", "cdrom-a"}));
}

// A bench has more enclosures than any fixed count: every path is kept.
TEST(Enumeration, KeepsEveryPathThatFitsItsSlot) {
    ListedInterfaces interfaces;
    for (int i = 0; i < 12; ++i) interfaces.disks.push_back("disk-" + std::to_string(i));
    interfaces.disks.insert(interfaces.disks.begin() + 3, std::string(256, 'x'));
    interfaces.disks.push_back(std::string(255, 'y'));
    for (int i = 0; i < 6; ++i) interfaces.cdroms.push_back("cdrom-" + std::to_string(i));
    PathSlots slots;
    const int disks = EnumerateUsbDisks(interfaces, slots);
    EXPECT_EQ(disks, 13) << "an over-long path is skipped, the pass goes on";
    EXPECT_EQ(slots.slot[3].path, "disk-3");
    EXPECT_EQ(slots.slot[12].path, std::string(255, 'y'));
    EXPECT_EQ(EnumerateUsbCdroms(interfaces, slots, disks), 6);
    EXPECT_EQ(slots.used, 19u);
    EXPECT_EQ(slots.slot[18].path, "cdrom-5");
}

}  // namespace
}  // namespace qks
