#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "faces/cli/interrupts.h"

namespace qks::cli {

namespace {

std::mutex lock;
int holds = 0;
std::string notice;
std::atomic<bool> received{false};
std::atomic<bool> everReceived{false};
// Set while no hold lives: a console closing then waits for nothing.
HANDLE released = nullptr;

BOOL WINAPI HoldControlEvent(DWORD event) {
    if (!received.exchange(true)) {
        everReceived.store(true);
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), notice.data(), static_cast<DWORD>(notice.size()),
                  &written, nullptr);
    }
    // Closing the console, logging off or shutting down ends the process once
    // this returns: wait for the write to end first, as long as the system lets us.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(released, INFINITE);
    return TRUE;
}

}  // namespace

InterruptHold::InterruptHold(const Notice& given) {
    const std::lock_guard<std::mutex> hold(lock);
    if (holds++ > 0) return;
    if (!released) released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(released);
    notice = given.text + "\r\n";
    received.store(false);
    everReceived.store(false);
    SetConsoleCtrlHandler(HoldControlEvent, TRUE);
}

InterruptHold::~InterruptHold() {
    const std::lock_guard<std::mutex> hold(lock);
    if (--holds > 0) return;
    SetConsoleCtrlHandler(HoldControlEvent, FALSE);
    SetEvent(released);
}

bool InterruptHold::Interrupted() { return everReceived.load(); }

}  // namespace qks::cli
