// The first run as an ordinary user meets a node owned by root and a group.
// What the user is told must name the node and a way in that works.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/node_access.h"
#include "platform/linux/sg_pass_through.h"

namespace qks {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

NodeOwnership DiskGroupNode() {
    NodeOwnership o;
    o.known = true;
    o.mode = 0660;
    o.ownerName = "root";
    o.groupName = "disk";
    o.gid = 6;
    return o;
}

TEST(AccessAdvice, GroupOwnedNodeOffersTheGroupAndARuleForThisDevice) {
    const std::string text = AccessAdviceText("/dev/sg2", DiskGroupNode(), 0x152d, 0x0578);
    EXPECT_THAT(text, AllOf(HasSubstr("/dev/sg2"), HasSubstr("owner root, group disk, mode 0660"),
                            HasSubstr("sudo usermod -aG disk $USER"),
                            HasSubstr("ATTRS{idVendor}==\"152d\""),
                            HasSubstr("ATTRS{idProduct}==\"0578\""),
                            HasSubstr("SUBSYSTEM==\"scsi_generic\""),
                            HasSubstr("udevadm control --reload")));
}

// The rule file is named wherever it stands; a line of its own is offered
// only for the ids it does not cover.
TEST(AccessAdvice, NamesTheUdevRuleFileAndWidensItOnlyForOtherIds) {
    struct Case {
        const char* what;
        uint16_t vendor;
        std::string installed;
        std::vector<std::string> says;
        std::string never;
    };
    const Case cases[] = {
        {"covered and installed", 0x1c5b, kPackagedUdevRule,
         {"installed udev rule /usr/lib/udev/rules.d/70-qks970.rules", "group plugdev",
          "udevadm control --reload-rules"},
         "ATTRS{idVendor}"},
        {"customised ids", 0x152d, "/usr/local/lib/udev/rules.d/70-qks970.rules",
         {"widening the installed udev rule /usr/local/lib/udev/rules.d/70-qks970.rules",
          "copy it to /etc/udev/rules.d/70-qks970.rules", "ATTRS{idVendor}==\"152d\""},
         "package"},
        {"not installed", 0x1c5b, "",
         {"rule of the qks970-recovery package (/usr/lib/udev/rules.d/70-qks970.rules)",
          "ATTRS{idVendor}==\"1c5b\"", "GROUP=\"plugdev\""},
         "widening"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NodeOwnership root = DiskGroupNode();
        root.groupName = "root";
        root.gid = 0;
        const std::string text = AccessAdviceText("/dev/sg2", root, c.vendor, 0x0970, c.installed);
        for (const auto& part : c.says) EXPECT_THAT(text, HasSubstr(part));
        EXPECT_THAT(text, Not(HasSubstr(c.never)));
    }
}

TEST(AccessAdvice, RootGroupIsNeverOfferedAsTheWayIn) {
    NodeOwnership o = DiskGroupNode();
    o.groupName = "root";
    o.gid = 0;
    const std::string text = AccessAdviceText("/dev/sg2", o, 0x152d, 0x0578);
    EXPECT_THAT(text, Not(HasSubstr("usermod")));
    EXPECT_THAT(text, HasSubstr("udev rule"));
}

TEST(AccessAdvice, GroupWithoutReadWriteBitsIsNoWayIn) {
    NodeOwnership o = DiskGroupNode();
    o.mode = 0600;
    const std::string text = AccessAdviceText("/dev/sg2", o, 0x152d, 0x0578);
    EXPECT_THAT(text, Not(HasSubstr("usermod")));
    EXPECT_THAT(text, HasSubstr("mode 0600"));
}

TEST(AccessAdvice, MemberWhoseLoginPredatesTheGroupIsToldToLogInAgain) {
    NodeOwnership o = DiskGroupNode();
    o.callerListedInGroup = true;
    o.callerHasGroup = false;
    const std::string text = AccessAdviceText("/dev/sg2", o, 0x152d, 0x0578);
    EXPECT_THAT(text, HasSubstr("log out and in again"));
    EXPECT_THAT(text, Not(HasSubstr("usermod")));
}

TEST(AccessAdvice, UnknownIdsGiveARuleForAnyUsbNode) {
    const std::string text = AccessAdviceText("/dev/sg7", DiskGroupNode(), 0, 0);
    EXPECT_THAT(text, HasSubstr("SUBSYSTEMS==\"usb\""));
    EXPECT_THAT(text, Not(HasSubstr("idVendor")));
}

TEST(AccessAdvice, NodeThatCannotBeStatedStillGetsTheRule) {
    const std::string text = AccessAdviceText("/dev/sg9", NodeOwnership{}, 0x152d, 0x0578);
    EXPECT_THAT(text, AllOf(HasSubstr("/dev/sg9: permission denied"), HasSubstr("udev rule"),
                            Not(HasSubstr("owner"))));
}

TEST(AccessAdvice, InspectionReadsTheNodesRealOwnership) {
    char path[] = "/tmp/qks-node-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(chmod(path, 0640), 0);
    const NodeOwnership o = InspectNodeOwnership(path);
    unlink(path);
    EXPECT_TRUE(o.known);
    EXPECT_EQ(o.mode, 0640u);
    EXPECT_EQ(o.gid, getegid());
    EXPECT_TRUE(o.callerHasGroup) << "our own file's group is our group";
    EXPECT_FALSE(InspectNodeOwnership("/nonexistent/qks-node").known);
}

// ---- opening real files ---------------------------------------------------

TEST(SgOpen, MissingNodeIsNotFoundAndNamed) {
    SgPassThrough passThrough;
    const OpenResult result = passThrough.Open("/dev/qks-no-such-sg", OpenMode::Shared);
    EXPECT_EQ(result.handle, nullptr);
    EXPECT_EQ(result.failure, OpenFailure::NotFound);
    EXPECT_EQ(result.osError, ENOENT);
    EXPECT_THAT(result.diagnostic, HasSubstr("/dev/qks-no-such-sg"));
}

// A node the caller may not open: as an ordinary user a mode-000 file does
// it; as root (CI) only a child that gave up root can meet EACCES.
TEST(SgOpen, ForbiddenNodeIsAccessDeniedWithAdvice) {
    char path[] = "/tmp/qks-forbidden-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(chmod(path, geteuid() == 0 ? 0600 : 0000), 0);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        if (geteuid() == 0) {
            const gid_t nogroup = 65534;
            if (setgroups(0, nullptr) != 0 || setgid(nogroup) != 0 || setuid(65534) != 0) {
                (void)!write(pipeFds[1], "S", 1);
                _exit(0);
            }
        }
        SgPassThrough passThrough;
        const OpenResult result = passThrough.Open(path, OpenMode::Exclusive);
        const std::string report =
            std::string(1, static_cast<char>('0' + static_cast<int>(result.failure))) +
            result.diagnostic;
        (void)!write(pipeFds[1], report.data(), report.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string report;
    char buffer[512];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) report.append(buffer, got);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(path);

    ASSERT_FALSE(report.empty());
    if (report == "S") GTEST_SKIP() << "this sandbox does not let a child drop root";
    EXPECT_EQ(report[0] - '0', static_cast<int>(OpenFailure::AccessDenied));
    EXPECT_THAT(report.substr(1), AllOf(HasSubstr(path), HasSubstr("permission denied"),
                                        HasSubstr("udev rule")));
}

}  // namespace
}  // namespace qks
