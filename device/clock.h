// Every wait in the program goes through a Clock, so tests and the emulator
// can run in virtual time while the program sleeps for real.
#pragma once

#include <atomic>
#include <cstdint>

namespace qks {

class Clock {
public:
    virtual ~Clock() = default;
    virtual void SleepMicros(uint64_t micros) = 0;
    virtual uint64_t NowMicros() const = 0;

    void SleepMs(uint32_t ms) { SleepMicros(uint64_t{ms} * 1000u); }
};

class SystemClock final : public Clock {
public:
    SystemClock();
    void SleepMicros(uint64_t micros) override;
    uint64_t NowMicros() const override;

private:
    uint64_t origin_;
};

// Time passes only when somebody sleeps in it.
// Time that passes only when someone sleeps; operations on several threads
// may share it.
class VirtualClock final : public Clock {
public:
    void SleepMicros(uint64_t micros) override { now_ += micros; }
    uint64_t NowMicros() const override { return now_; }

private:
    std::atomic<uint64_t> now_{0};
};

}  // namespace qks
