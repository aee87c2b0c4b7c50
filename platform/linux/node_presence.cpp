#include "platform/linux/node_presence.h"

#include "device/device_notifier.h"

namespace qks {

uint32_t NodePresence::Feed(std::string_view action, const std::string& node) {
    if (node.empty()) return 0;
    if (action == "add") return present_.insert(node).second ? kDeviceArrival : 0;
    if (action == "remove") return present_.erase(node) ? kDeviceRemoveComplete : 0;
    // After `udevadm trigger` only "change" comes, for nodes whose access may
    // just have been granted: worth a look, as a node that is new is.
    if (action == "change") {
        present_.insert(node);
        return kDeviceArrival;
    }
    // bind, unbind, move, online, offline: the node neither came nor went.
    return 0;
}

std::vector<uint32_t> NodePresence::FeedAll(const std::vector<NodeEvent>& events) {
    std::vector<uint32_t> notices;
    for (const NodeEvent& event : events)
        if (const uint32_t code = Feed(event.action, event.node)) notices.push_back(code);
    return notices;
}

std::vector<uint32_t> NodePresence::Reconcile(const std::set<std::string>& now) {
    std::vector<uint32_t> notices;
    for (const std::string& node : present_)
        if (!now.count(node)) notices.push_back(kDeviceRemoveComplete);
    for (const std::string& node : now)
        if (!present_.count(node)) notices.push_back(kDeviceArrival);
    present_ = now;
    return notices;
}

}  // namespace qks
