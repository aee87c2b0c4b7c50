#include "device/clock.h"

#include <chrono>
#include <thread>

namespace qks {

namespace {
uint64_t SteadyMicros() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

SystemClock::SystemClock() : origin_(SteadyMicros()) {}

void SystemClock::SleepMicros(uint64_t micros) {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

uint64_t SystemClock::NowMicros() const { return SteadyMicros() - origin_; }

}  // namespace qks
