// The user's interrupts, in the two places they meet the program: the
// loops that wait for notices, and the writes that must not be cut short.
#pragma once

#include <memory>
#include <string>

namespace qks::cli {

// Ctrl+C and a termination request for the loops of `watch` and station
// mode: the handler only sets a flag the loop looks at. No system call is
// restarted behind its back (a wait returns early and the loop decides);
// the pass-through itself keeps signals out of a command in flight, so an
// interrupted command is never sent twice.
class InterruptHandlers {
public:
    using Handler = void (*)(int);
    explicit InterruptHandlers(Handler handler);   // SIGINT and SIGTERM
    ~InterruptHandlers();                          // the previous ones again
    InterruptHandlers(const InterruptHandlers&) = delete;
    InterruptHandlers& operator=(const InterruptHandlers&) = delete;

private:
    struct Previous;
    std::unique_ptr<Previous> previous_;
};

// What the first held interrupt prints.
inline std::string InterruptNotice(const std::string& copyPath) {
    return "qks970: finishing the write; the copy is at " + copyPath;
}

// From the first erase to the outcome, the user's own interrupt (Ctrl+C,
// a terminal closed, a polite kill) must not cut a write short: that is the
// one way this program can leave an enclosure half written. While a hold
// lives, SIGINT, SIGTERM and SIGHUP (console control events on Windows) are
// held: the first one says where the copy is, and the flow ends on its own.
class InterruptHold {
public:
    // Writes to several enclosures at once: `notice` says where their
    // copies are named.
    struct Notice {
        std::string text;
    };
    explicit InterruptHold(const Notice& notice);
    // `copyPath`: the copy of the flash kept before the write.
    explicit InterruptHold(const std::string& copyPath)
        : InterruptHold(Notice{InterruptNotice(copyPath)}) {}
    ~InterruptHold();
    InterruptHold(const InterruptHold&) = delete;
    InterruptHold& operator=(const InterruptHold&) = delete;

    // An interrupt arrived while a hold lived.
    static bool Interrupted();
};

}  // namespace qks::cli
