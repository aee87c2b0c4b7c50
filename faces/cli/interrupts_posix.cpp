#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>

#include "faces/cli/interrupts.h"

namespace qks::cli {

namespace {

constexpr std::array<int, 3> kHeld = {SIGINT, SIGTERM, SIGHUP};

// The handler may only touch what is ready before it can run: the notice is
// formatted when the hold begins, and only written from the handler.
std::array<char, 4096> notice{};
std::atomic<size_t> noticeLength{0};
std::atomic<bool> received{false};
std::atomic<bool> everReceived{false};

std::mutex lock;
int holds = 0;
std::array<struct sigaction, kHeld.size()> previous{};

extern "C" void HoldInterrupt(int) {
    if (received.exchange(true)) return;
    everReceived.store(true);
    const size_t length = noticeLength.load();
    size_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(STDERR_FILENO, notice.data() + written, length - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
}

}  // namespace

InterruptHold::InterruptHold(const Notice& given) {
    const std::lock_guard<std::mutex> hold(lock);
    if (holds++ > 0) return;
    const std::string text = given.text + "\n";
    const size_t length = std::min(text.size(), notice.size());
    std::copy_n(text.begin(), length, notice.begin());
    noticeLength.store(length);
    received.store(false);
    everReceived.store(false);
    struct sigaction action {};
    action.sa_handler = HoldInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : kHeld) sigaddset(&action.sa_mask, signal);
    // No SA_RESTART: a wait the interrupt breaks returns, and the flow decides.
    action.sa_flags = 0;
    for (size_t i = 0; i < kHeld.size(); ++i) sigaction(kHeld[i], &action, &previous[i]);
}

InterruptHold::~InterruptHold() {
    const std::lock_guard<std::mutex> hold(lock);
    if (--holds > 0) return;
    for (size_t i = 0; i < kHeld.size(); ++i) sigaction(kHeld[i], &previous[i], nullptr);
}

bool InterruptHold::Interrupted() { return everReceived.load(); }

}  // namespace qks::cli
