#include "platform/linux/node_access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/linux/sysfs_scsi.h"

namespace qks {

namespace {

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string CallerName() {
    if (const passwd* entry = getpwuid(geteuid())) return entry->pw_name;
    return {};
}

bool ProcessHasGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = getgroups(count, groups.data());
    if (got < 0) return false;
    groups.resize(static_cast<size_t>(got));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

}  // namespace

NodeOwnership InspectNodeOwnership(const std::string& node) {
    NodeOwnership ownership;
    struct stat info {};
    if (stat(node.c_str(), &info) != 0) return ownership;
    ownership.known = true;
    ownership.mode = info.st_mode & 07777;
    ownership.gid = info.st_gid;
    if (const passwd* owner = getpwuid(info.st_uid))
        ownership.ownerName = owner->pw_name;
    else
        ownership.ownerName = std::to_string(info.st_uid);
    const std::string caller = CallerName();
    if (const group* entry = getgrgid(info.st_gid)) {
        ownership.groupName = entry->gr_name;
        for (char** member = entry->gr_mem; member && *member; ++member)
            if (!caller.empty() && caller == *member) ownership.callerListedInGroup = true;
    } else {
        ownership.groupName = std::to_string(info.st_gid);
    }
    ownership.callerHasGroup = ProcessHasGroup(info.st_gid);
    return ownership;
}

std::string InstalledUdevRule() {
    for (const char* path : {kLocalUdevRule, kPackagedUdevRule, "/lib/udev/rules.d/70-qks970.rules",
                             "/usr/local/lib/udev/rules.d/70-qks970.rules"})
        if (::access(path, F_OK) == 0) return path;
    return {};
}

std::string AccessAdviceText(const std::string& node, const NodeOwnership& ownership,
                             uint16_t usbVendor, uint16_t usbProduct,
                             const std::string& installedRule) {
    std::string text = node + ": permission denied";
    if (ownership.known) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(ownership.mode));
        text += " (owner " + ownership.ownerName + ", group " + ownership.groupName +
                ", mode " + mode + ")";
    }
    text += ".";
    // Joining root's group is no answer; every other owning group is.
    const bool groupHelps = ownership.known && ownership.gid != 0 &&
                            (ownership.mode & 0060) == 0060;
    if (groupHelps) {
        if (ownership.callerListedInGroup && !ownership.callerHasGroup) {
            text += " You are a member of group '" + ownership.groupName +
                    "', but this login started before you were added: log out and in again.";
        } else {
            text += " Either add your user to group '" + ownership.groupName +
                    "' (sudo usermod -aG " + ownership.groupName +
                    " $USER, then log out and in again), or grant";
        }
    } else {
        text += " Grant";
    }
    if (!(groupHelps && ownership.callerListedInGroup && !ownership.callerHasGroup)) {
        const std::string reload = "sudo udevadm control --reload-rules && sudo udevadm trigger";
        if (!installedRule.empty() && usbVendor == kUdevRuleUsbVendor) {
            text += " access with the installed udev rule " + installedRule +
                    ", which gives the user at the seat and group plugdev this node (after"
                    " installing or changing it, run: " + reload + ")";
        } else {
            std::string line = "SUBSYSTEM==\"scsi_generic\", ";
            if (usbVendor != 0 || usbProduct != 0)
                line += "ATTRS{idVendor}==\"" + Hex4(usbVendor) + "\", ATTRS{idProduct}==\"" +
                        Hex4(usbProduct) + "\", ";
            else
                line += "SUBSYSTEMS==\"usb\", ";
            line += "MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"";
            if (!installedRule.empty())
                text += " access by widening the installed udev rule " + installedRule +
                        " to this enclosure: copy it to " + kLocalUdevRule + " and add the line ";
            else
                text += std::string(" access with the udev rule of the qks970-recovery package (") +
                        kPackagedUdevRule + "), or with a udev rule in " + kLocalUdevRule + ": ";
            text += line + " (then run: " + reload + ")";
        }
        text += ", or run this program as root.";
    }
    return text;
}

std::string AccessAdvice(const std::string& node, uint16_t usbVendor, uint16_t usbProduct) {
    return AccessAdviceText(node, InspectNodeOwnership(node), usbVendor, usbProduct,
                            InstalledUdevRule());
}

std::string AccessAdvice(const std::string& node) {
    const SgNodeFacts facts = InspectSgNode(node);
    return AccessAdvice(node, facts.usbVendor, facts.usbProduct);
}

}  // namespace qks
