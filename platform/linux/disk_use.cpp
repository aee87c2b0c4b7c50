#include "platform/linux/disk_use.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

namespace qks {

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string SgName(const std::string& node) {
    // A by-id link names the node it points at.
    char resolved[PATH_MAX];
    const std::string real = realpath(node.c_str(), resolved) ? resolved : node;
    return fs::path(real).filename().string();
}

std::vector<fs::path> Entries(const fs::path& dir) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        found.push_back(it->path());
    return found;
}

struct BlockNode {
    std::string name;   // sdb, sdb1, sr0
    fs::path dir;
};

// The disk itself and each of its partitions (a partition is a child
// folder that has a `partition` file).
std::vector<BlockNode> BlockNodesOf(const fs::path& scsiDevice) {
    std::vector<BlockNode> nodes;
    for (const auto& disk : Entries(scsiDevice / "block")) {
        nodes.push_back({disk.filename().string(), disk});
        for (const auto& child : Entries(disk))
            if (fs::exists(child / "partition"))
                nodes.push_back({child.filename().string(), child});
    }
    return nodes;
}

}  // namespace

std::string UnescapeMountField(const std::string& field) {
    const auto octal = [&](size_t at) { return field[at] >= '0' && field[at] <= '7'; };
    std::string plain;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 4 <= field.size() && octal(i + 1) && octal(i + 2) &&
            octal(i + 3)) {
            plain += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                       (field[i + 3] - '0'));
            i += 3;
        } else {
            plain += field[i];
        }
    }
    return plain;
}

std::vector<DiskUser> DiskUsersOfSgNode(const std::string& node, const std::string& sysRoot,
                                        const std::string& mountInfo) {
    const fs::path scsiDevice = fs::path(sysRoot) / "class/scsi_generic" / SgName(node) / "device";
    std::map<std::string, std::string> byNumber;   // "8:17" -> sdb1
    std::vector<DiskUser> users;
    for (const auto& block : BlockNodesOf(scsiDevice)) {
        const std::string number = FirstLine(block.dir / "dev");
        if (!number.empty()) byNumber[number] = block.name;
        for (const auto& holder : Entries(block.dir / "holders")) {
            const std::string name = holder.filename().string();
            users.push_back({"/dev/" + block.name, "", name,
                             "stop what uses /dev/" + name + " (umount, then dmsetup remove or mdadm --stop)"});
        }
    }
    if (byNumber.empty()) return users;
    std::ifstream in(mountInfo);
    for (std::string line; std::getline(in, line);) {
        // id parent major:minor root mount-point ...
        std::istringstream fields(line);
        std::string id, parent, number, root, mountPoint;
        if (!(fields >> id >> parent >> number >> root >> mountPoint)) continue;
        const auto found = byNumber.find(number);
        if (found == byNumber.end()) continue;
        const std::string device = "/dev/" + found->second;
        users.push_back({device, UnescapeMountField(mountPoint), "",
                         "udisksctl unmount -b " + device + " or umount " +
                             UnescapeMountField(mountPoint)});
    }
    return users;
}

}  // namespace qks
