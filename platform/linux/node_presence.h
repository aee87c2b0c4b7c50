// Which SCSI generic nodes exist, kept so that the notices the window gets
// are one per node that appears or goes, or changes (a "change" after
// `udevadm trigger` may bring the access a node lacked). The kernel and
// udevd can say the same thing more than once (a re-triggered "add"), and a
// lost batch of events is made good by comparing with a fresh listing.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qks {

struct NodeEvent {
    std::string action;   // the uevent's ACTION: add, remove, change, ...
    std::string node;     // the device node, such as /dev/sg2
};

class NodePresence {
public:
    NodePresence() = default;
    explicit NodePresence(std::set<std::string> present) : present_(std::move(present)) {}

    // kDeviceArrival for a node not known before, kDeviceRemoveComplete for
    // a known node that goes, and 0 for anything that changes nothing.
    uint32_t Feed(std::string_view action, const std::string& node);

    // The notices a sequence of events stands for, in order, repeats dropped.
    std::vector<uint32_t> FeedAll(const std::vector<NodeEvent>& events);

    // After events were lost: removals for known nodes missing from `now`,
    // then arrivals for new ones.
    std::vector<uint32_t> Reconcile(const std::set<std::string>& now);

    const std::set<std::string>& Present() const { return present_; }

private:
    std::set<std::string> present_;
};

}  // namespace qks
