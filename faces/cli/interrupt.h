// Ctrl+C and a termination request for the loops of `watch` and station
// mode: the handler only sets a flag the loop looks at. No system call is
// restarted behind its back (a wait returns early and the loop decides);
// the pass-through itself keeps signals out of a command in flight, so an
// interrupted command is never sent twice.
#pragma once

#include <memory>

namespace qks::cli {

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

}  // namespace qks::cli
