// From the first erase to the outcome, the user's own interrupt (Ctrl+C,
// a terminal closed, a polite kill) must not cut a write short: that is the
// one way this program can leave an enclosure half written. While a hold
// lives, SIGINT, SIGTERM and SIGHUP (console control events on Windows) are
// held: the first one says where the copy is, and the flow ends on its own.
#pragma once

#include <string>

namespace qks::cli {

class InterruptHold {
public:
    // `copyPath`: the copy of the flash kept before the write.
    explicit InterruptHold(const std::string& copyPath);
    ~InterruptHold();
    InterruptHold(const InterruptHold&) = delete;
    InterruptHold& operator=(const InterruptHold&) = delete;

    // An interrupt arrived while a hold lived.
    static bool Interrupted();
};

// What the first held interrupt prints.
std::string InterruptNotice(const std::string& copyPath);

}  // namespace qks::cli
