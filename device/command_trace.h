// A record of every command sent to a device, for real devices and the
// emulator alike: one JSON object per line.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/pass_through.h"

namespace qks {

struct TraceRecord {
    uint64_t seq = 0;
    DevicePath path;
    DataDirection direction = DataDirection::In;
    std::vector<uint8_t> cdb;
    uint32_t length = 0;        // requested by the caller
    bool opened = false;
    bool ok = false;
    uint8_t status = 0;
    uint8_t hostStatus = 0;
    uint8_t driverStatus = 0;
    std::vector<uint8_t> sense;
    uint32_t transferred = 0;
    uint64_t timeMicros = 0;
    uint64_t durationMicros = 0;
    std::string error;
};

class TraceSink {
public:
    virtual ~TraceSink() = default;
    virtual void Record(const TraceRecord& record) = 0;
    // One numbering for every command a trace holds, whichever operation
    // (and transport) sent it.
    uint64_t NextSequence() { return ++sequence_; }

private:
    std::atomic<uint64_t> sequence_{0};
};

std::string HexBytes(const uint8_t* bytes, size_t count);
std::string TraceLine(const TraceRecord& record);

// Writes TraceLine per record and flushes, so a trace survives a crash.
// Operations on several threads share one trace: each line is written whole.
class JsonLinesTrace final : public TraceSink {
public:
    explicit JsonLinesTrace(std::ostream& out) : out_(out) {}
    void Record(const TraceRecord& record) override;

private:
    std::ostream& out_;
    std::mutex lock_;
};

// Several sinks at once, e.g. a trace file and the command line's -v.
class TraceFanOut final : public TraceSink {
public:
    void Add(TraceSink* sink) {
        const std::lock_guard<std::mutex> hold(lock_);
        sinks_.push_back(sink);
    }
    // One record reaches every sink before the next one starts, so all
    // sinks see the commands of several threads in the same order.
    void Record(const TraceRecord& record) override {
        const std::lock_guard<std::mutex> hold(lock_);
        for (auto* sink : sinks_) sink->Record(record);
    }

private:
    std::vector<TraceSink*> sinks_;
    std::mutex lock_;
};

}  // namespace qks
