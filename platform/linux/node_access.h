// Advice for a device node the user may not open. The bridge sits behind a
// node that distributions give to root and a group, so the first run as an
// ordinary user ends here; the text must say how to get in, not just "no".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace qks {

// What the advice is built from, gathered once so the wording can be
// checked without touching the system's users and groups.
struct NodeOwnership {
    bool known = false;           // stat() of the node succeeded
    mode_t mode = 0;              // permission bits only
    std::string ownerName;        // or the number, when no name exists
    std::string groupName;        // likewise
    gid_t gid = 0;
    bool callerListedInGroup = false;  // /etc/group names the caller...
    bool callerHasGroup = false;       // ...and the running process has it
};

NodeOwnership InspectNodeOwnership(const std::string& node);

// The udev rule the package installs (resources/udev/70-qks970.rules): the
// user at the seat and group plugdev get the sg nodes of this USB vendor.
inline constexpr const char* kPackagedUdevRule = "/usr/lib/udev/rules.d/70-qks970.rules";
inline constexpr const char* kLocalUdevRule = "/etc/udev/rules.d/70-qks970.rules";
inline constexpr uint16_t kUdevRuleUsbVendor = 0x1c5b;

// Where the rule is in effect from: the administrator's copy, the package's,
// or cmake --install's under /usr/local. Empty when it is nowhere.
std::string InstalledUdevRule();

// A one-paragraph explanation naming the node, its owner, group and mode,
// and both ways in: the owning group (unless that is root's) and the udev
// rule, `installedRule` when there is one (see InstalledUdevRule), widened
// to the USB ids when the rule does not cover them (0 = unknown).
std::string AccessAdviceText(const std::string& node, const NodeOwnership& ownership,
                             uint16_t usbVendor, uint16_t usbProduct,
                             const std::string& installedRule = {});

// InspectNodeOwnership plus AccessAdviceText, with the USB ids looked up
// from sysfs for an sg node.
std::string AccessAdvice(const std::string& node);
std::string AccessAdvice(const std::string& node, uint16_t usbVendor, uint16_t usbProduct);

}  // namespace qks
