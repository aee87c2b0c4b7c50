// logind's inhibitor over sd-bus, against python3-dbusmock's logind
// template (tests/sleep/logind_mock.sh puts it on a bus of its own): held
// while a recovery writes, released when it ends; no bus is a note.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <systemd/sd-bus.h>

#include "app/model_fixture.h"
#include "operations/operations.h"
#include "platform/linux/logind_inhibitor.h"

namespace qks::test {
namespace {

struct Inhibitor {
    std::string what, who, why, mode;
};

// What logind lists now; nothing when it cannot be asked.
std::optional<std::vector<Inhibitor>> ListInhibitors() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return std::nullopt;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::optional<std::vector<Inhibitor>> listed;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", &error, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        listed.emplace();
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            listed->push_back({what, who, why, mode});
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(bus);
    return listed;
}

// Asks logind what it holds at every step of the flow.
class LookingSink final : public SilentSink {
public:
    void Step(int32_t) override {
        if (auto listed = ListInhibitors())
            for (const auto& i : *listed) seen.push_back(i);
    }
    std::vector<Inhibitor> seen;
};

class LogindInhibitorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The mock starts beside the test; give it a moment to take its name.
        for (int i = 0; i < 100 && !ListInhibitors(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    LogindInhibitor logind;
};

TEST_F(LogindInhibitorTest, HeldWhileARecoveryWritesAndReleasedAfter) {
    ASSERT_TRUE(ListInhibitors()) << "no logind on the bus: run under tests/sleep/logind_mock.sh";
    ModelFixture fx({"q970"});
    DeviceServices services = fx.Services();
    services.sleepInhibitor = &logind;
    const DeviceRef ref = fx.RefOf(0, services);
    LookingSink sink;
    const Outcome outcome = RecoverDevice(services, ref, EngineOptions{}, sink);
    ASSERT_TRUE(outcome.Ok()) << outcome.CauseText();
    EXPECT_TRUE(outcome.notes.empty());

    ASSERT_FALSE(sink.seen.empty()) << "nothing was held while the flash was written";
    const Inhibitor& held = sink.seen.front();
    EXPECT_EQ(held.what, "sleep:shutdown");
    EXPECT_EQ(held.mode, "block");
    EXPECT_EQ(held.who, "qks970-recovery");
    EXPECT_NE(held.why.find(ref.path), std::string::npos) << held.why;

    // logind drops a lock when its descriptor closes, on its own time.
    std::optional<std::vector<Inhibitor>> after;
    for (int i = 0; i < 40; ++i) {
        after = ListInhibitors();
        if (after && after->empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->empty()) << "still held after the outcome: " << after->front().why;
}

TEST_F(LogindInhibitorTest, NoBusIsANoteAndTheRecoveryStillWrites) {
    const char* saved = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string restore = saved ? saved : "";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/qks970-no-bus", 1);
    ModelFixture fx({"q970"});
    const auto before = fx.Flash();
    DeviceServices services = fx.Services();
    services.sleepInhibitor = &logind;
    SilentSink sink;
    const Outcome outcome = RecoverDevice(services, fx.RefOf(0, services), EngineOptions{}, sink);
    if (saved) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", restore.c_str(), 1);
    else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ASSERT_TRUE(outcome.Ok()) << outcome.CauseText();
    EXPECT_NE(fx.Flash(), before);
    ASSERT_EQ(outcome.notes.size(), 1u);
    EXPECT_NE(outcome.notes[0].find("may still sleep during this write: the system bus cannot be "
                                    "reached"),
              std::string::npos)
        << outcome.notes[0];
}

}  // namespace
}  // namespace qks::test
