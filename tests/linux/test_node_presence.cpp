// The window refreshes once per notice, so a plug must give one notice per
// node that came or went, whatever repeats the event sources add.
#include <gtest/gtest.h>

#include "device/device_notifier.h"
#include "platform/linux/node_presence.h"

namespace qks {
namespace {

constexpr uint32_t kIn = kDeviceArrival;
constexpr uint32_t kOut = kDeviceRemoveComplete;
using Codes = std::vector<uint32_t>;

struct SequenceCase {
    const char* name;
    std::set<std::string> present;
    std::vector<NodeEvent> events;
    Codes notices;
    std::set<std::string> after;
};
void PrintTo(const SequenceCase& c, std::ostream* os) { *os << c.name; }

class NodeEventSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(NodeEventSequence, GivesOneNoticePerNodeThatCameOrWent) {
    const SequenceCase& c = GetParam();
    NodePresence presence(c.present);
    EXPECT_EQ(presence.FeedAll(c.events), c.notices);
    EXPECT_EQ(presence.Present(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, NodeEventSequence,
    ::testing::Values(
        SequenceCase{"Plug", {}, {{"add", "/dev/sg2"}}, {kIn}, {"/dev/sg2"}},
        SequenceCase{"Unplug", {"/dev/sg2"}, {{"remove", "/dev/sg2"}}, {kOut}, {}},
        SequenceCase{"RepeatedAddOfOnePlug",
                     {},
                     {{"add", "/dev/sg2"}, {"add", "/dev/sg2"}},
                     {kIn},
                     {"/dev/sg2"}},
        SequenceCase{"AddOfANodeKnownAtStart", {"/dev/sg2"}, {{"add", "/dev/sg2"}}, {}, {"/dev/sg2"}},
        SequenceCase{"RemoveOfAnUnknownNode", {}, {{"remove", "/dev/sg5"}}, {}, {}},
        SequenceCase{"BindAndMoveAreNoPlug",
                     {"/dev/sg2"},
                     {{"bind", "/dev/sg2"}, {"unbind", "/dev/sg2"},
                      {"move", "/dev/sg2"}, {"offline", "/dev/sg2"}},
                     {},
                     {"/dev/sg2"}},
        SequenceCase{"ChangeAfterATriggerIsWorthALook",
                     {"/dev/sg2"},
                     {{"change", "/dev/sg2"}, {"change", "/dev/sg7"}},
                     {kIn, kIn},
                     {"/dev/sg2", "/dev/sg7"}},
        SequenceCase{"TwoLunsAreTwoNodes",
                     {},
                     {{"add", "/dev/sg5"}, {"add", "/dev/sg6"}, {"add", "/dev/sg5"}},
                     {kIn, kIn},
                     {"/dev/sg5", "/dev/sg6"}},
        SequenceCase{"PowerCycleIsOutThenIn",
                     {"/dev/sg2"},
                     {{"remove", "/dev/sg2"}, {"remove", "/dev/sg2"}, {"add", "/dev/sg2"}},
                     {kOut, kIn},
                     {"/dev/sg2"}},
        SequenceCase{"EventWithoutANode", {}, {{"add", ""}, {"remove", ""}}, {}, {}},
        SequenceCase{"EventWithoutAnAction", {}, {{"", "/dev/sg2"}}, {}, {}},
        SequenceCase{"OtherNodesStayUntouched",
                     {"/dev/sg0", "/dev/sg1"},
                     {{"remove", "/dev/sg1"}, {"add", "/dev/sg3"}},
                     {kOut, kIn},
                     {"/dev/sg0", "/dev/sg3"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NodePresenceReconcile, LostEventsAreMadeGoodFromAFreshListing) {
    NodePresence presence({"/dev/sg1", "/dev/sg2"});
    EXPECT_EQ(presence.Reconcile({"/dev/sg2", "/dev/sg3", "/dev/sg4"}),
              (Codes{kOut, kIn, kIn}));
    EXPECT_EQ(presence.Present(), (std::set<std::string>{"/dev/sg2", "/dev/sg3", "/dev/sg4"}));
    EXPECT_EQ(presence.Reconcile({"/dev/sg2", "/dev/sg3", "/dev/sg4"}), Codes{})
        << "nothing changed since";
    // Events that arrive after the resync are judged against it.
    EXPECT_EQ(presence.Feed("add", "/dev/sg3"), 0u);
    EXPECT_EQ(presence.Feed("remove", "/dev/sg1"), 0u);
}

}  // namespace
}  // namespace qks
