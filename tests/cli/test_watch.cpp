// `watch`: the screen after every refresh, for as long as asked. Emulated
// bridges change only when the run changes them, so there the first
// refresh is all; with the system's devices the command waits for the
// system's notices (a descriptor on Linux, a window of its own on Windows).
#include <atomic>
#include <chrono>
#include <thread>

#include "cli/cli_harness.h"
#include "faces/cli/interrupts.h"

#ifndef _WIN32
#include <signal.h>
#endif

#ifdef _WIN32
#include <windows.h>
#include <dbt.h>

#include "platform/windows/notice_window.h"
#endif

namespace qks::cli::test {
namespace {

// Nothing plugged in, and how many listing passes the model made.
class CountingEnumerator final : public DeviceEnumerator {
public:
    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass) override {
        ++passes;
        return {};
    }
    std::atomic<int> passes{0};
};

class WatchTest : public CliTest {
protected:
    struct Timed {
        CliResult result;
        double seconds = 0;
    };
    Timed RunTimed(std::vector<std::string> args, RunSettings settings = {}) {
        const auto started = std::chrono::steady_clock::now();
        Timed timed{Run(std::move(args), std::move(settings)), 0};
        timed.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return timed;
    }
    // The system's devices, none of them plugged in: nothing is ever sent.
    RunSettings SystemWithNothingPlugged() {
        RunSettings settings;
        auto counter = counter_;
        settings.adaptServices = [counter](DeviceServices services) {
            return services.WithEnumerator(*counter);
        };
        return settings;
    }
    // Some systems here (a container without udev's netlink, say) give no
    // notices at all; the command then says so, and there is nothing to time.
    bool NoticesUnavailable(const CliResult& result) const {
        return result.err.find("device notices unavailable") != std::string::npos;
    }

    std::shared_ptr<CountingEnumerator> counter_ = std::make_shared<CountingEnumerator>();
};

TEST_F(WatchTest, EmulatedBridgesShowTheFirstRefreshAndEndAtOnce) {
    struct Case {
        std::vector<std::string> args;
        std::string screen;
        std::string item;   // a row the screen lists, or empty
    };
    const Case cases[] = {
        {{"watch", "--emulate", "q970"}, "[Confirm] ", "QKS970 USB Disk"},
        {{"watch", "--for", "30", "--emulate", "q970:content=updated"}, "[AlreadyUpdated] ", ""},
        {{"watch", "--for", "30", "--emulate", "plain"}, "[NoDevice] ", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        const Timed run = RunTimed(c.args);
        EXPECT_EQ(run.result.status, kExitSuccess) << run.result.err;
        EXPECT_EQ(run.result.out.rfind(c.screen, 0), 0u) << run.result.out;
        if (!c.item.empty()) {
            EXPECT_NE(run.result.out.find(c.item), std::string::npos) << run.result.out;
        }
        EXPECT_NE(run.result.err.find("no device notices here"), std::string::npos)
            << run.result.err;
        EXPECT_LT(run.seconds, 10.0) << "waited for notices that never come";
    }
}

// --json: each refresh one document on one line, with the screen and what
// the one discovery found.
TEST_F(WatchTest, JsonIsOneDocumentPerRefreshOnOneLine) {
    const Timed run = RunTimed({"watch", "--json", "--emulate", "q970", "--emulate", "plain"});
    EXPECT_EQ(run.result.status, kExitSuccess) << run.result.err;
    ASSERT_EQ(CountLines(run.result.out), 1u) << run.result.out;
    const auto document = nlohmann::json::parse(run.result.out);
    EXPECT_EQ(document.at("screen"), "Confirm");
    EXPECT_EQ(document.at("listed"), nlohmann::json::array({0}));
    EXPECT_EQ(document.at("devices").size(), 2u);
}

TEST_F(WatchTest, WithTheSystemsNoticesItWaitsAsLongAsAsked) {
    const Timed run = RunTimed({"watch", "--for", "0.6"}, SystemWithNothingPlugged());
    if (NoticesUnavailable(run.result)) GTEST_SKIP() << run.result.err;
    EXPECT_EQ(run.result.status, kExitSuccess) << run.result.err;
    EXPECT_EQ(run.result.out.rfind("[NoDevice] ", 0), 0u) << run.result.out;
    EXPECT_EQ(CountLines(run.result.out), 1u) << run.result.out;
    EXPECT_EQ(run.result.err.find("no device notices"), std::string::npos) << run.result.err;
    EXPECT_GE(run.seconds, 0.55);
    EXPECT_LT(run.seconds, 10.0);
    EXPECT_GT(counter_->passes.load(), 0);
}

#ifdef _WIN32
// What the system does when an enclosure is plugged in: WM_DEVICECHANGE,
// sent to the window that registered for it. The watch refreshes once the
// notices of the plug have settled.
TEST_F(WatchTest, ANoticeFromTheSystemRefreshesTheWindow) {
    std::atomic<bool> sent{false};
    std::atomic<int> passesBefore{0};
    std::thread system([&] {
        HWND target = nullptr;
        for (int i = 0; i < 500 && !target; ++i) {
            target = FindWindowExA(HWND_MESSAGE, nullptr, win::kNoticeWindowClass, nullptr);
            if (!target) Sleep(10);
        }
        if (!target) return;
        passesBefore = counter_->passes.load();
        DWORD_PTR ignored = 0;
        sent = SendMessageTimeoutA(target, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, SMTO_NORMAL,
                                   5000, &ignored) != 0;
    });
    const Timed run = RunTimed({"watch", "--for", "3"}, SystemWithNothingPlugged());
    system.join();
    EXPECT_EQ(run.result.status, kExitSuccess) << run.result.err;
    ASSERT_TRUE(sent) << "no notice window appeared while watching: " << run.result.err;
    EXPECT_GT(counter_->passes.load(), passesBefore.load()) << "the notice did not refresh";
}
#endif

#ifndef _WIN32
// watch and station mode take Ctrl+C without restarting system calls, and
// give the previous handlers back when they end.
void Ignore(int) {}
TEST(InterruptHandlers, InstallWithoutRestartAndRestoreThePrevious) {
    struct sigaction before {};
    sigaction(SIGINT, nullptr, &before);
    {
        const InterruptHandlers handlers(Ignore);
        for (int signal : {SIGINT, SIGTERM}) {
            struct sigaction now {};
            sigaction(signal, nullptr, &now);
            EXPECT_EQ(now.sa_handler, &Ignore);
            EXPECT_EQ(now.sa_flags & SA_RESTART, 0);
        }
    }
    struct sigaction after {};
    sigaction(SIGINT, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}
#endif

}  // namespace
}  // namespace qks::cli::test
