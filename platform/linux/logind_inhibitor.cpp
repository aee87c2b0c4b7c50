#include "platform/linux/logind_inhibitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <systemd/sd-bus.h>

namespace qks {

namespace {
// logind answers at once; a bus that does not must not hold up the write.
constexpr uint64_t kCallTimeoutMicros = 5'000'000;

class FdHold final : public SleepInhibitor::Hold {
public:
    explicit FdHold(int fd) : fd_(fd) {}
    ~FdHold() override { ::close(fd_); }
    FdHold(const FdHold&) = delete;
    FdHold& operator=(const FdHold&) = delete;

private:
    int fd_;
};

struct BusCall {
    sd_bus* bus = nullptr;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusCall() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(call);
        sd_bus_flush_close_unref(bus);
    }
};

std::string ErrnoText(int r) { return std::strerror(r < 0 ? -r : r); }
}  // namespace

std::unique_ptr<SleepInhibitor::Hold> LogindInhibitor::HoldOff(const std::string& who,
                                                               const std::string& why,
                                                               std::string& error) {
    BusCall c;
    int r = sd_bus_open_system(&c.bus);
    if (r < 0) {
        error = "the system bus cannot be reached (" + ErrnoText(r) + ")";
        return nullptr;
    }
    r = sd_bus_message_new_method_call(c.bus, &c.call, "org.freedesktop.login1",
                                       "/org/freedesktop/login1",
                                       "org.freedesktop.login1.Manager", "Inhibit");
    if (r >= 0)
        r = sd_bus_message_append(c.call, "ssss", "sleep:shutdown", who.c_str(), why.c_str(),
                                  "block");
    if (r < 0) {
        error = "the request to logind cannot be made (" + ErrnoText(r) + ")";
        return nullptr;
    }
    r = sd_bus_call(c.bus, c.call, kCallTimeoutMicros, &c.error, &c.reply);
    if (r < 0) {
        error = std::string("logind refused to hold off sleep (") +
                (sd_bus_error_is_set(&c.error) && c.error.message ? c.error.message
                                                                   : ErrnoText(r)) +
                ")";
        return nullptr;
    }
    int fd = -1;
    r = sd_bus_message_read(c.reply, "h", &fd);
    if (r < 0) {
        error = "logind's answer holds no lock (" + ErrnoText(r) + ")";
        return nullptr;
    }
    // The message owns the descriptor it carried; the lock lives in our copy.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) {
        error = "logind's lock cannot be kept (" + ErrnoText(errno) + ")";
        return nullptr;
    }
    return std::make_unique<FdHold>(own);
}

}  // namespace qks
