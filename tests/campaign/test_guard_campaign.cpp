// Every point where a flow lets the face process events (and the question it
// asks first) gets every event a user or the system can send there. No
// second operation may start inside the first, no command may reach a
// device other than the operation's, and the operation's outcome is what
// the window shows once it returns.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "app/model_fixture.h"

namespace qks::test {
namespace {

// Fires the event at the n-th point where the flow lets events through.
class CampaignFace final : public RecordingFace {
public:
    void ProcessPendingEvents() override { Point(); }
    bool ConfirmRisk(const std::string&) override {
        Point();
        return true;
    }
    void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override { Point(); }

    int target = -1;
    int points = 0;
    std::function<void()> event;
    bool fired = false;

private:
    void Point() {
        if (points++ != target || !event) return;
        fired = true;
        event();
    }
};

enum class Event { Arrival, Removal, Yes, No, Refresh, RdShortcut, Run, ListChange, OptionChange };
constexpr Event kEvents[] = {Event::Arrival, Event::Removal,    Event::Yes,
                             Event::No,      Event::Refresh,    Event::RdShortcut,
                             Event::Run,     Event::ListChange, Event::OptionChange};

struct Flow {
    const char* name;
    std::vector<std::string> bridges;   // bridge 0 is the one worked on; the last starts unplugged
    bool engineering;
    bool realLooking;                   // asks about the development image first
    std::function<void(TQ71xFwTool&)> start;
};

std::vector<Flow> Flows() {
    const auto yes = [](TQ71xFwTool& w) { w.Click(ControlId::EraseButton); };
    const auto eraseOnly = [](TQ71xFwTool& w) {
        w.UserSetChecked(ControlId::RdCheckBox, true);
        w.UserSetChecked(ControlId::EraseOnlyCheck, true);
        w.Click(ControlId::UpdateBtn);
    };
    return {
        {"recover", {"q970", "q970:content=updated", "q970"}, false, false, yes},
        {"recover, real bridge", {"q970", "q970:content=updated", "q970"}, false, true, yes},
        {"panel erase", {"q719", "q719", "q719"}, true, false, eraseOnly},
    };
}

struct Totals {
    int runs = 0, nested = 0, stray = 0, wrongScreen = 0;
};

// One run of a flow with `event` at point `point` (none: -1); the number of
// points the flow passed.
int RunFlow(const Flow& flow, int point, Event event, Totals& totals) {
    ModelFixture fx(flow.bridges);
    fx.platform->Unplug(flow.bridges.size() - 1);
    CampaignFace face;
    RealLookingEnumerator real(*fx.platform);
    DeviceServices services(*fx.platform,
                            flow.realLooking ? static_cast<DeviceEnumerator&>(real) : *fx.platform,
                            fx.clock, EmbeddedImages());
    services.trace = &fx.trace;
    TQ71xFwTool w(services, face);
    w.FormCreate(fx.platform.get());
    if (flow.engineering) w.EnableEngineeringMode();
    const std::string ownPath = w.SelectedRow() ? w.SelectedRow()->Path : "";
    std::vector<std::vector<uint8_t>> before;
    for (size_t b = 1; b + 1 < flow.bridges.size(); ++b) before.push_back(fx.Flash(b));
    bool commandsDuringEvent = false;
    face.target = point;
    face.event = [&] {
        const size_t sent = fx.trace.records.size();
        switch (event) {
            case Event::Arrival: fx.platform->Plug(flow.bridges.size() - 1); break;
            case Event::Removal: fx.platform->Unplug(1); break;
            case Event::Yes: w.Click(ControlId::EraseButton); break;
            case Event::No: w.Click(ControlId::ExitBtn); break;
            case Event::Refresh: w.Click(ControlId::RefreshBtn); break;
            case Event::RdShortcut: w.EngineeringShortcut(); break;
            case Event::Run: w.Click(ControlId::UpdateBtn); break;
            case Event::ListChange: w.UserSelect(ControlId::DeviceList, 1); break;
            case Event::OptionChange: w.UserSelect(ControlId::FwPgSizeCheck, 3); break;
        }
        commandsDuringEvent = fx.trace.records.size() != sent;
    };
    fx.trace.records.clear();
    face.points = 0;
    flow.start(w);
    if (point < 0 || !face.fired) return face.points;
    ++totals.runs;
    if (commandsDuringEvent) ++totals.nested;
    for (const auto& r : fx.trace.records)
        if (SummarizeCommand(r.cdb.data(), r.cdb.size()).modifiesMemory && r.path != ownPath)
            ++totals.stray;
    for (size_t b = 1; b + 1 < flow.bridges.size(); ++b)
        if (event != Event::Removal && fx.Flash(b) != before[b - 1]) ++totals.stray;
    // Only the events that ask for a refresh may move the window on.
    const bool refreshes = event == Event::Refresh || event == Event::RdShortcut ||
                           event == Event::ListChange || event == Event::No;
    if (!flow.engineering && !refreshes &&
        w.CurrentScreen() != (w.LastOutcome().Ok() ? Screen::Success : Screen::Failure)) {
        ++totals.wrongScreen;
        ADD_FAILURE() << flow.name << " point " << point << " event " << static_cast<int>(event)
                      << ": " << ScreenName(w.CurrentScreen());
    }
    return face.points;
}

TEST(GuardCampaign, NoEventStartsASecondOperationOrReachesAnotherDevice) {
    Totals totals;
    for (const auto& flow : Flows()) {
        const int points = RunFlow(flow, -1, Event::Yes, totals);
        ASSERT_GT(points, 0) << flow.name;
        for (int point = 0; point < points; ++point)
            for (Event event : kEvents) RunFlow(flow, point, event, totals);
    }
    std::printf("guard campaign: %d runs, %d nested operations, %d stray commands, %d wrong screens\n",
                totals.runs, totals.nested, totals.stray, totals.wrongScreen);
    EXPECT_GT(totals.runs, 0);
    EXPECT_EQ(totals.nested + totals.stray + totals.wrongScreen, 0);
}

}  // namespace
}  // namespace qks::test
