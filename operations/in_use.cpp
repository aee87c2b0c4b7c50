#include "operations/in_use.h"

namespace qks {

std::string DescribeDiskUse(const std::vector<DiskUser>& users) {
    std::string uses, frees;
    for (const auto& user : users) {
        if (!uses.empty()) uses += "; ";
        if (!user.mountPoint.empty())
            uses += user.node + " is mounted at " + user.mountPoint;
        else
            uses += user.node + " is held by " + user.holder;
        if (!user.howToFree.empty() && frees.find(user.howToFree) == std::string::npos)
            frees += (frees.empty() ? "" : "; ") + user.howToFree;
    }
    return uses + (frees.empty() ? "" : " (" + frees + ")");
}

std::string CheckNotInUse(const DeviceServices& services, const DevicePath& path,
                          const std::function<void(const std::string&)>& note) {
    if (!services.diskUsers) return {};
    const auto users = services.diskUsers(path);
    if (users.empty()) return {};
    const std::string uses = DescribeDiskUse(users);
    if (services.forceInUse) {
        note("the device's disk is in use (" + uses + "); written anyway, as asked");
        return {};
    }
    return "the device's disk is in use, nothing was erased: " + uses +
           "; free it and try again";
}

}  // namespace qks
