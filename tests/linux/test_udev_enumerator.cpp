// Enumeration over fake sysfs trees: which SCSI generic nodes count as USB
// mass storage, in which order they come, and what is said about nodes the
// user may not open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "platform/linux/sysfs_scsi.h"
#include "platform/linux/udev_enumerator.h"
#include "umockdev_bed.h"

namespace qks {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using test::BlockRecord;
using test::ScsiDevicePath;
using test::ScsiDeviceRecord;
using test::SgRecord;
using test::Testbed;
using test::UsbDeviceRecord;
using test::UsbInterfaceRecord;

const std::string kXhci = "/devices/pci0000:00/0000:00:14.0";

std::vector<std::string> Paths(const std::vector<InterfaceInfo>& list) {
    std::vector<std::string> paths;
    for (const auto& info : list) paths.push_back(info.path);
    return paths;
}

// A USB device with one mass-storage interface bound to `driver`.
std::string UsbStorage(const std::string& port, uint16_t vendor, uint16_t product,
                       const std::string& serial, const std::string& driver,
                       std::string* interfacePath) {
    const std::string device = kXhci + "/usb1/" + port;
    *interfacePath = device + "/" + port + ":1.0";
    return UsbDeviceRecord(device, vendor, product, serial) +
           UsbInterfaceRecord(*interfacePath, driver);
}

constexpr int kDisk = 0;
constexpr int kCdrom = 5;
constexpr int kEnclosure = 13;
constexpr int kNoSg = -1;

// Appends SCSI device host:0:0:lun of `type` below `parent` and, unless
// `sg` is kNoSg, its sg node; returns the device's sysfs path.
std::string AddLun(std::string& records, const std::string& parent, int host, int lun,
                   int type, int sg, const std::string& extraLines = "") {
    const std::string path = ScsiDevicePath(parent, host, 0, lun);
    records += ScsiDeviceRecord(path, type, extraLines);
    if (sg != kNoSg) records += SgRecord(path, sg);
    return path;
}

class UdevEnumeratorTest : public ::testing::Test {
protected:
    void SetUp() override {
        QKS_REQUIRE_UMOCKDEV();
        bed = std::make_unique<Testbed>();
    }

    // The machine most listing tests start from, added out of address order.
    void AddMixedMachine() {
        std::string records, intf;
        // usb-storage disk on host 10
        records += UsbStorage("1-1", 0x152d, 0x0578, "TAVREL0001", "usb-storage", &intf);
        AddLun(records, intf, 10, 0, kDisk, 2);
        // UAS disk on host 9, which sorts first although "10" < "9" as text,
        // with an enclosure-services LUN beside it that is no disk
        records += UsbStorage("1-4", 0x174c, 0x55aa, "UAS42", "uas", &intf);
        AddLun(records, intf, 9, 0, kDisk, 3);
        AddLun(records, intf, 9, 1, kEnclosure, 8);
        // SATA disk and DVD drive on the chipset: not USB
        AddLun(records, "/devices/pci0000:00/0000:00:17.0/ata1", 0, 0, kDisk, 0);
        AddLun(records, "/devices/pci0000:00/0000:00:17.0/ata2", 1, 0, kCdrom, 1);
        // USB CD-ROM (a bridge's virtual CD) without a serial number
        records += UsbStorage("1-2", 0x13fd, 0x0840, "", "usb-storage", &intf);
        AddLun(records, intf, 11, 0, kCdrom, 4);
        // card reader with two LUNs whose sg numbers run against the LUNs
        records += UsbStorage("1-3", 0x0bda, 0x0158, "MULTI", "usb-storage", &intf);
        AddLun(records, intf, 12, 1, kDisk, 5);
        AddLun(records, intf, 12, 0, kDisk, 6);
        // USB disk whose interface no storage driver has bound
        records += UsbStorage("1-5", 0x1234, 0x5678, "LOOSE", "", &intf);
        AddLun(records, intf, 13, 0, kDisk, 7);
        bed->Add(records);
    }

    std::unique_ptr<Testbed> bed;
};

TEST_F(UdevEnumeratorTest, DiskPassListsUsbStorageDisksByScsiAddress) {
    AddMixedMachine();
    UdevEnumerator enumerator;
    const auto disks = enumerator.ListUsbStorage(InterfaceClass::Disk);
    // host 9 (uas), host 10 (usb-storage), host 12 LUN 0, host 12 LUN 1.
    EXPECT_THAT(Paths(disks), ElementsAre("/dev/sg3", "/dev/sg2", "/dev/sg6", "/dev/sg5"));
    ASSERT_EQ(disks.size(), 4u);
    EXPECT_EQ(disks[0].serial, "UAS42");
    EXPECT_EQ(disks[0].usbVendor, 0x174c);
    EXPECT_EQ(disks[0].usbProduct, 0x55aa);
    EXPECT_EQ(disks[1].serial, "TAVREL0001");
    EXPECT_EQ(disks[1].usbVendor, 0x152d);
    EXPECT_EQ(disks[1].usbProduct, 0x0578);
    EXPECT_EQ(disks[2].serial, "MULTI") << "both LUNs carry their device's identity";
    EXPECT_EQ(disks[3].serial, "MULTI");
    for (const auto& info : disks) EXPECT_FALSE(info.emulated);
    EXPECT_THAT(enumerator.TakeProblems(), ElementsAre());
}

TEST_F(UdevEnumeratorTest, CdromPassListsOnlyUsbCdroms) {
    AddMixedMachine();
    UdevEnumerator enumerator;
    const auto cdroms = enumerator.ListUsbStorage(InterfaceClass::Cdrom);
    EXPECT_THAT(Paths(cdroms), ElementsAre("/dev/sg4"));
    ASSERT_EQ(cdroms.size(), 1u);
    EXPECT_EQ(cdroms[0].serial, "") << "a device without a serial number has none";
    EXPECT_EQ(cdroms[0].usbVendor, 0x13fd);
    EXPECT_EQ(cdroms[0].usbProduct, 0x0840);
}

TEST_F(UdevEnumeratorTest, RepeatedListingsKeepTheirOrder) {
    AddMixedMachine();
    UdevEnumerator enumerator;
    const auto first = Paths(enumerator.ListUsbStorage(InterfaceClass::Disk));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Paths(enumerator.ListUsbStorage(InterfaceClass::Disk)), first);
}

TEST_F(UdevEnumeratorTest, OneDeviceWithDiskAndCdromYieldsOnePathPerPass) {
    std::string intf;
    std::string records = UsbStorage("2-1", 0x152d, 0x0578, "COMBO", "usb-storage", &intf);
    AddLun(records, intf, 6, 0, kDisk, 1);
    AddLun(records, intf, 6, 1, kCdrom, 2);
    bed->Add(records);
    UdevEnumerator enumerator;
    EXPECT_THAT(Paths(enumerator.ListUsbStorage(InterfaceClass::Disk)), ElementsAre("/dev/sg1"));
    EXPECT_THAT(Paths(enumerator.ListUsbStorage(InterfaceClass::Cdrom)), ElementsAre("/dev/sg2"));
}

TEST_F(UdevEnumeratorTest, NothingPresentListsNothingAndComplainsOfNothing) {
    UdevEnumerator enumerator;
    EXPECT_TRUE(enumerator.ListUsbStorage(InterfaceClass::Disk).empty());
    EXPECT_TRUE(enumerator.ListUsbStorage(InterfaceClass::Cdrom).empty());
    EXPECT_TRUE(enumerator.TakeProblems().empty());
}

TEST_F(UdevEnumeratorTest, ForbiddenNodeStaysListedAndIsReportedOnceWithTheFix) {
    AddMixedMachine();
    UdevEnumerator enumerator(
        [](const std::string& node) { return node == "/dev/sg2" ? EACCES : 0; });
    const auto first = enumerator.ListUsbStorage(InterfaceClass::Disk);
    enumerator.ListUsbStorage(InterfaceClass::Cdrom);
    enumerator.ListUsbStorage(InterfaceClass::Disk);   // a second refresh before anyone asked
    EXPECT_THAT(Paths(first), ::testing::Contains("/dev/sg2"));
    const auto problems = enumerator.TakeProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_THAT(problems[0], AllOf(HasSubstr("/dev/sg2"), HasSubstr("permission denied"),
                                   HasSubstr("ATTRS{idVendor}==\"152d\""),
                                   HasSubstr("ATTRS{idProduct}==\"0578\""),
                                   HasSubstr("udev rule")));
    EXPECT_TRUE(enumerator.TakeProblems().empty()) << "taking the problems clears them";
}

TEST_F(UdevEnumeratorTest, MissingNodeIsReported) {
    AddMixedMachine();
    UdevEnumerator enumerator(
        [](const std::string& node) { return node == "/dev/sg4" ? ENOENT : 0; });
    enumerator.ListUsbStorage(InterfaceClass::Cdrom);
    EXPECT_THAT(enumerator.TakeProblems(),
                ElementsAre(AllOf(HasSubstr("/dev/sg4"), HasSubstr("13fd:0840"),
                                  HasSubstr("does not exist"))));
}

TEST_F(UdevEnumeratorTest, UsbDiskWithoutAnSgNodeAsksForTheSgDriver) {
    std::string intf;
    std::string records = UsbStorage("3-1", 0x152d, 0x0578, "NOSG", "uas", &intf);
    const std::string scsi = AddLun(records, intf, 4, 0, kDisk, kNoSg);
    records += BlockRecord(scsi, "sdb", 120);
    bed->Add(records);
    UdevEnumerator enumerator;
    EXPECT_TRUE(enumerator.ListUsbStorage(InterfaceClass::Disk).empty());
    EXPECT_THAT(enumerator.TakeProblems(),
                ElementsAre(AllOf(HasSubstr("4:0:0:0"), HasSubstr("modprobe sg"))));
    enumerator.ListUsbStorage(InterfaceClass::Cdrom);
    EXPECT_TRUE(enumerator.TakeProblems().empty()) << "a disk is no CD-ROM's problem";
}

TEST_F(UdevEnumeratorTest, NodeNotYetCreatedWhileSgIsLoadedIsNoProblem) {
    AddMixedMachine();   // sg is loaded: other devices have their nodes
    std::string intf;
    std::string records = UsbStorage("3-1", 0x152d, 0x0578, "LATE", "uas", &intf);
    AddLun(records, intf, 4, 0, kDisk, kNoSg);
    bed->Add(records);
    UdevEnumerator enumerator;
    EXPECT_EQ(enumerator.ListUsbStorage(InterfaceClass::Disk).size(), 4u);
    EXPECT_TRUE(enumerator.TakeProblems().empty()) << "a plug in progress, not a missing driver";
}

// ---- what sysfs says about one node ---------------------------------------

TEST_F(UdevEnumeratorTest, NodeFactsComeFromTheAncestors) {
    AddMixedMachine();
    const SgNodeFacts facts = InspectSgNode("/dev/sg5");
    ASSERT_TRUE(facts.found);
    EXPECT_EQ(facts.scsiDevice, "12:0:0:1");
    EXPECT_EQ(facts.scsiType, 0);
    EXPECT_EQ(facts.usbDriver, "usb-storage");
    EXPECT_EQ(facts.usbInterfaceClass, 0x08);
    EXPECT_EQ(facts.serial, "MULTI");
    EXPECT_EQ(facts.usbVendor, 0x0bda);
    const SgNodeFacts ata = InspectSgNode("/dev/sg0");
    ASSERT_TRUE(ata.found);
    EXPECT_EQ(ata.usbDriver, "");
    EXPECT_EQ(ata.usbVendor, 0);
    EXPECT_FALSE(InspectSgNode("/dev/sg99").found);
}

TEST_F(UdevEnumeratorTest, TransferLimitPrefersTheQueuesHardwareLimit) {
    std::string intf;
    std::string records = UsbStorage("4-1", 0x152d, 0x0578, "LIM", "usb-storage", &intf);
    const std::string withBlock = AddLun(records, intf, 5, 0, kDisk, 1);
    records += BlockRecord(withBlock, "sdc", 120);
    AddLun(records, intf, 5, 1, kDisk, 2, "A: max_sectors=240\n");
    AddLun(records, intf, 5, 2, kDisk, 3);
    bed->Add(records);
    bed->EmulateSg("/dev/sg3", nullptr, 65536);

    EXPECT_EQ(MaxTransferBytes("/dev/sg1"), 120u * 1024) << "max_hw_sectors_kb, not max_sectors_kb";
    EXPECT_EQ(MaxTransferBytes("/dev/sg2"), 240u * 512) << "usb-storage's max_sectors";
    EXPECT_EQ(MaxTransferBytes("/dev/sg3"), 65536u) << "the sg driver's BLKSECTGET";
    EXPECT_EQ(MaxTransferBytes("/dev/sg77"), 0u) << "unknown";
}

// ---- pure pieces ----------------------------------------------------------

TEST(ScsiTypes, EachPassTakesWhatItsClassDriverTakes) {
    EXPECT_EQ(ClassOfScsiType(0x00), InterfaceClass::Disk);
    EXPECT_EQ(ClassOfScsiType(0x07), InterfaceClass::Disk);
    EXPECT_EQ(ClassOfScsiType(0x0E), InterfaceClass::Disk);
    EXPECT_EQ(ClassOfScsiType(0x05), InterfaceClass::Cdrom);
    for (int type : {-1, 0x01, 0x03, 0x08, 0x0C, 0x0D, 0x11, 0x1F})
        EXPECT_EQ(ClassOfScsiType(type), std::nullopt) << "type " << type;
}

// usb-storage, UAS and usb-storage's sub-drivers, or any driver on an
// interface of the mass-storage class.
TEST(ScsiTypes, OnlyMassStorageInterfacesCount) {
    struct Case {
        const char* driver;
        int interfaceClass;
        bool storage;
    };
    for (const Case c : {Case{"usb-storage", 8, true}, Case{"uas", 8, true},
                         Case{"ums-realtek", 8, true}, Case{"ums-alauda", -1, true},
                         Case{"ums-", -1, false}, Case{"usb-storage2", -1, false},
                         Case{"usbfs", -1, false}, Case{"usbfs", 8, true},
                         Case{"", 8, false}, Case{"", -1, false}}) {
        SgNodeFacts facts;
        facts.usbDriver = c.driver;
        facts.usbInterfaceClass = c.interfaceClass;
        EXPECT_EQ(IsUsbStorageInterface(facts), c.storage) << c.driver << " class " << c.interfaceClass;
    }
    EXPECT_FALSE(IsUsbStorageDriver(nullptr));
}

TEST(ScsiAddresses, ParseAndCompareNumerically) {
    const ScsiAddress a = ParseScsiAddress("9:0:0:1");
    const ScsiAddress b = ParseScsiAddress("10:0:0:0");
    ASSERT_TRUE(a.valid);
    ASSERT_TRUE(b.valid);
    EXPECT_EQ(a.host, 9u);
    EXPECT_EQ(a.lun, 1u);
    EXPECT_LT(a, b);
    EXPECT_LT(ParseScsiAddress("10:0:0:0"), ParseScsiAddress("10:0:0:2"));
    EXPECT_LT(ParseScsiAddress("10:0:1:0"), ParseScsiAddress("10:1:0:0"));
    EXPECT_EQ(ParseScsiAddress("2:0:0:281474976710656").lun, 281474976710656u);
    for (const char* bad : {"", "1:0:0", "1:0:0:0:0", "a:0:0:0", "1:0:0:0x", "host1", "-1:0:0:0"})
        EXPECT_FALSE(ParseScsiAddress(bad).valid) << bad;
    EXPECT_FALSE(ParseScsiAddress(nullptr).valid);
}

}  // namespace
}  // namespace qks
