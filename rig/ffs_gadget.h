// The FunctionFS side of the gadget: ep0 (descriptors, events, class
// requests) on its own thread, Bulk-Only on the calling thread. The target
// decides every reply; this only moves bytes and follows the bus state.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "rig/bot.h"

namespace qks::rig {

class Log {
public:
    explicit Log(std::FILE* out) : out_(out) {}
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::FILE* out_;
    std::mutex mutex_;
};

enum class GadgetEnd { Stopped, Vanished, Failed };

class FfsGadget {
public:
    FfsGadget(std::string folder, Log& log) : folder_(std::move(folder)), log_(log) {}
    ~FfsGadget();

    // Writes descriptors and strings and opens the bulk endpoints; after it,
    // the UDC may be bound. False with `error` naming the file.
    bool Open(std::string& error);

    // Serves commands until stopped or the device vanishes. `onReplug` runs
    // on this thread before the first command after the host saw the device
    // go and come back (the bridge's power cycle).
    GadgetEnd Serve(BotTarget& target, const std::function<void()>& onReplug);

    static void RequestStop();

private:
    void Ep0Loop();
    bool HoldFor(uint32_t ms, uint64_t resetsBefore);
    bool ReadAll(uint8_t* data, size_t length);
    bool WriteAll(const uint8_t* data, size_t length);

    std::string folder_;
    Log& log_;
    int ep0_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::atomic<uint64_t> resets_{0};    // Bulk-Only resets, disables, unbinds
    std::atomic<uint64_t> replugs_{0};   // binds after an unbind
    std::atomic<bool> bound_{false};
    std::atomic<uint8_t> maxLun_{0};
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace qks::rig
