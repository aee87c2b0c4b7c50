// Hot-plug through a udev monitor on an emulated machine, from both event
// sources: each SCSI generic node that comes or goes is one notice, and the
// other subsystems' events of the same plug are none.
#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "device/device_notifier.h"
#include "platform/linux/udev_notifier.h"
#include "umockdev_bed.h"

namespace qks {
namespace {

using test::Testbed;
using Codes = std::vector<uint32_t>;
using Source = UdevNotifier::Source;

const std::string kInterface = "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0";

class UdevNotifierTest : public ::testing::TestWithParam<Source> {
protected:
    void SetUp() override {
        QKS_REQUIRE_UMOCKDEV();
        bed = std::make_unique<Testbed>();
    }

    void Start() {
        notifier = std::make_unique<UdevNotifier>(GetParam());
        ASSERT_TRUE(notifier->Ok()) << notifier->Error();
        ASSERT_GE(notifier->Fd(), 0);
        EXPECT_EQ(notifier->ActiveSource(), GetParam());
        notifier->Subscribe([this](uint32_t code) { heard.push_back(code); });
    }

    // Returns the sg node's sysfs path; umockdev announces each added device.
    std::string PlugDisk(int host, int lun, int sgIndex) {
        const std::string scsi = test::ScsiDevicePath(kInterface, host, 0, lun);
        bed->Add(test::ScsiDeviceRecord(scsi, 0) + test::SgRecord(scsi, sgIndex) +
                 test::BlockRecord(scsi, "sd" + std::to_string(sgIndex), 120));
        return "/sys" + scsi + "/scsi_generic/sg" + std::to_string(sgIndex);
    }

    void Unplug(const std::string& sgSyspath) {
        bed->Uevent(sgSyspath, "remove");
        bed->Remove(sgSyspath);
    }

    Codes Drain() {
        heard.clear();
        notifier->Dispatch();
        return heard;
    }

    std::unique_ptr<Testbed> bed;
    std::unique_ptr<UdevNotifier> notifier;
    Codes heard;
};

TEST_P(UdevNotifierTest, PlugAndUnplugAreOneNoticeEach) {
    Start();
    const std::string sg = PlugDisk(6, 0, 2);
    struct pollfd ready = {notifier->Fd(), POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 0), 1) << "the descriptor wakes a poll() loop";
    EXPECT_EQ(Drain(), Codes{kDeviceArrival}) << "the block device's event is no notice";
    Unplug(sg);
    EXPECT_EQ(Drain(), Codes{kDeviceRemoveComplete});
    EXPECT_EQ(Drain(), Codes{}) << "nothing left over";
}

TEST_P(UdevNotifierTest, RepeatedEventsOfOneNodeAreOneNotice) {
    Start();
    const std::string sg = PlugDisk(6, 0, 2);
    bed->Uevent(sg, "add");      // udevadm trigger --action=add, say
    bed->Uevent(sg, "change");
    EXPECT_EQ(Drain(), Codes{kDeviceArrival});
    bed->Uevent(sg, "change");   // udevadm trigger: access may have come
    EXPECT_EQ(Drain(), Codes{kDeviceArrival});
    bed->Uevent(sg, "remove");
    Unplug(sg);                  // the remove comes twice
    EXPECT_EQ(Drain(), Codes{kDeviceRemoveComplete});
}

// The nodes of one plug, even when the second comes a moment later, are
// one refresh; an unplug and a plug in one batch are one arrival.
TEST_P(UdevNotifierTest, TheNodesOfOnePlugAreOneNotice) {
    Start();
    PlugDisk(7, 0, 3);
    std::thread late([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(kNoticeSettleMillis / 3));
        PlugDisk(7, 1, 4);
    });
    EXPECT_EQ(Drain(), (Codes{kDeviceArrival}));
    late.join();
    EXPECT_EQ(Drain(), Codes{}) << "the late node was in the batch";
}

TEST_P(UdevNotifierTest, NodePresentAtStartIsNoArrival) {
    const std::string sg = PlugDisk(6, 0, 2);
    Start();
    bed->Uevent(sg, "add");
    EXPECT_EQ(Drain(), Codes{});
    Unplug(sg);
    EXPECT_EQ(Drain(), Codes{kDeviceRemoveComplete}) << "but its removal is news";
}

TEST_P(UdevNotifierTest, WithoutAListenerEventsAreStillConsumed) {
    Start();
    notifier->Subscribe(nullptr);
    PlugDisk(6, 0, 2);
    EXPECT_EQ(notifier->Dispatch(), 1u);
    struct pollfd ready = {notifier->Fd(), POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 0), 0) << "a readable descriptor left behind would spin the loop";
}

INSTANTIATE_TEST_SUITE_P(Sources, UdevNotifierTest,
                         ::testing::Values(Source::Udev, Source::Kernel),
                         [](const auto& info) {
                             return std::string(info.param == Source::Udev ? "Udev" : "Kernel");
                         });

}  // namespace
}  // namespace qks
