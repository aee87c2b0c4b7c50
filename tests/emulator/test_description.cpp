#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "emulator/description.h"

namespace qks::emu {
namespace {

struct GoodCase {
    std::string text;
    std::function<void(const BridgeDescription&)> check;
};
void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.text; }

class GoodDescription : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodDescription, ParsesToTheFieldsItNames) {
    const DescriptionParse parsed = ParseDescription(GetParam().text);
    ASSERT_TRUE(parsed.description) << parsed.error;
    EXPECT_TRUE(parsed.error.empty());
    GetParam().check(*parsed.description);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, GoodDescription,
    ::testing::Values(
        GoodCase{"q970",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.profile->chipType, 10);
                     EXPECT_EQ(d.content, FlashContent::Old);
                     EXPECT_EQ(d.flashSize, 65536u);
                     EXPECT_EQ(d.interfaces, InterfaceSet::Disk);
                     EXPECT_EQ(d.amic, kNoAmic);
                     EXPECT_EQ(d.revision, 0);
                     EXPECT_EQ(d.failAt + d.unplugAt + d.powerLossAt, 0u);
                     EXPECT_FALSE(d.busyStuck || d.lateRevision || d.blockMode);
                     EXPECT_TRUE(d.inquiryCode);
                     EXPECT_FALSE(d.flipAddress);
                     EXPECT_EQ(d.shortAt, 0u);
                     EXPECT_FALSE(d.serial);
                     EXPECT_FALSE(d.lenient) << "a bridge is strict unless told otherwise";
                 }},
        GoodCase{"q970:vendor=5,content=old,flash=/tmp/f.bin,fail=12",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.vendor, 5);
                     EXPECT_EQ(d.flashFile, "/tmp/f.bin");
                     EXPECT_EQ(d.failAt, 12u);
                 }},
        GoodCase{"Q970:Content=Updated,VENDOR=0",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.profile->name, "q970");
                     EXPECT_EQ(d.content, FlashContent::Updated);
                     EXPECT_EQ(d.vendor, 0);
                 }},
        GoodCase{"q970:amic=4",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.amic, 4);
                     EXPECT_EQ(d.vendor, 7) << "an AMIC part reports the AMIC maker";
                 }},
        GoodCase{"q970:amic=3,vendor=2",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.amic, 3);
                     EXPECT_EQ(d.vendor, 2);
                 }},
        GoodCase{"q970:amic=none", [](const BridgeDescription& d) { EXPECT_EQ(d.amic, kNoAmic); }},
        GoodCase{"q970:size=1M,flip=0x1234",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.flashSize, 1048576u);
                     EXPECT_EQ(d.flipAddress, 0x1234u);
                 }},
        GoodCase{"q970:flip=4660", [](const BridgeDescription& d) { EXPECT_EQ(d.flipAddress, 4660u); }},
        GoodCase{"q970:iface=both,late=1,blockmode=1,busy=stuck,unplug=3,powerloss=9,inqcode=0",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.interfaces, InterfaceSet::Both);
                     EXPECT_TRUE(d.lateRevision);
                     EXPECT_TRUE(d.blockMode);
                     EXPECT_TRUE(d.busyStuck);
                     EXPECT_EQ(d.unplugAt, 3u);
                     EXPECT_EQ(d.powerLossAt, 9u);
                     EXPECT_FALSE(d.inquiryCode);
                 }},
        GoodCase{"q970:short=7,serial=Shared 01,lenient=1",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.shortAt, 7u);
                     EXPECT_EQ(d.serial, "Shared 01");
                     EXPECT_TRUE(d.lenient);
                 }},
        GoodCase{"plain:serial=,short=1",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.serial, "") << "an empty serial is a bridge that reports none";
                     EXPECT_EQ(d.shortAt, 1u);
                 }},
        GoodCase{"q715:rev=3", [](const BridgeDescription& d) { EXPECT_EQ(d.revision, 3); }},
        GoodCase{"q715", [](const BridgeDescription& d) { EXPECT_EQ(d.revision, 1); }},
        GoodCase{"q743:rev=2", [](const BridgeDescription& d) { EXPECT_EQ(d.revision, 2); }},
        GoodCase{"q716:rom=1,content=blank",
                 [](const BridgeDescription& d) {
                     EXPECT_EQ(d.romType, 1);
                     EXPECT_EQ(d.content, FlashContent::Blank);
                 }},
        GoodCase{"qk60716u:rom=2", [](const BridgeDescription& d) { EXPECT_EQ(d.romType, 2); }},
        GoodCase{"q958", [](const BridgeDescription& d) { EXPECT_EQ(d.flashSize, 512u * 1024); }},
        GoodCase{"plain:iface=cdrom,fail=2",
                 [](const BridgeDescription& d) {
                     EXPECT_FALSE(d.profile->tavrel);
                     EXPECT_EQ(d.interfaces, InterfaceSet::Cdrom);
                     EXPECT_EQ(d.failAt, 2u);
                 }}));

struct BadCase {
    std::string text;
    std::string errorPart;
};
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.text; }

class BadDescription : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadDescription, IsRefusedWithAOneLineReason) {
    const DescriptionParse parsed = ParseDescription(GetParam().text);
    EXPECT_FALSE(parsed.description);
    EXPECT_NE(parsed.error.find(GetParam().errorPart), std::string::npos) << parsed.error;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, BadDescription,
    ::testing::Values(BadCase{"q999", "unknown profile 'q999'"},
                      BadCase{"", "unknown profile ''"},
                      BadCase{"q970:colour=red", "unknown key 'colour'"},
                      BadCase{"q970:vendor=16", "bad value '16' for key 'vendor'"},
                      BadCase{"q970:vendor=x", "bad value 'x' for key 'vendor'"},
                      BadCase{"q970:vendor=-1", "bad value '-1'"},
                      BadCase{"q970:late=2", "bad value '2' for key 'late'"},
                      BadCase{"q970:amic=2", "bad value '2' for key 'amic'"},
                      BadCase{"q970:size=96K", "bad value '96K' for key 'size'"},
                      BadCase{"q970:content=new", "for key 'content'"},
                      BadCase{"q970:iface=usb", "for key 'iface'"},
                      BadCase{"q970:fail=0", "bad value '0' for key 'fail'"},
                      BadCase{"q970:unplug=two", "for key 'unplug'"},
                      BadCase{"q970:busy=slow", "for key 'busy'"},
                      BadCase{"q970:short=0", "bad value '0' for key 'short'"},
                      BadCase{"q970:lenient=yes", "for key 'lenient'"},
                      BadCase{"plain:lenient=1", "does not apply to profile plain"},
                      BadCase{"q970:flip=0xZZ", "for key 'flip'"},
                      BadCase{"q970:flash=", "for key 'flash'"},
                      BadCase{"q970:late", "has no '='"},
                      BadCase{"q970:", "empty setting"},
                      BadCase{"q970:late=1,", "empty setting"},
                      BadCase{"q970:vendor=1,vendor=2", "'vendor' given twice"},
                      BadCase{"q970:rom=1", "internal ROM"},
                      BadCase{"q716:rom=3", "for key 'rom'"},
                      BadCase{"q717:rev=1", "for key 'rev'"},
                      BadCase{"q715:rev=0", "for key 'rev'"},
                      BadCase{"q743:rev=10", "for key 'rev'"},
                      BadCase{"plain:vendor=3", "does not apply to profile plain"},
                      BadCase{"plain:flash=/tmp/x.bin", "does not apply to profile plain"},
                      BadCase{"q970:flip=0x10000", "beyond"},
                      BadCase{"q970:size=128K,flip=131072", "beyond"}));

TEST(FlashSizeText, AcceptsTheFiveSizes) {
    EXPECT_EQ(ParseFlashSize("64K"), 65536u);
    EXPECT_EQ(ParseFlashSize("128k"), 131072u);
    EXPECT_EQ(ParseFlashSize("256K"), 262144u);
    EXPECT_EQ(ParseFlashSize("512K"), 524288u);
    EXPECT_EQ(ParseFlashSize("1M"), 1048576u);
    EXPECT_FALSE(ParseFlashSize("2M"));
    EXPECT_FALSE(ParseFlashSize("65536"));
}

}  // namespace
}  // namespace qks::emu
