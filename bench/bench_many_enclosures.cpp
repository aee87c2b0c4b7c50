// Many emulated enclosures recovered at once, in real time (the emulator
// takes as long as the hardware would): wall time, its ratio to one
// enclosure, the host's CPU as a share of wall time, and peak memory.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/bench.h"
#include "device/clock.h"
#include "emulator/platform.h"
#include "firmware/image_store.h"
#include "operations/discovery.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Figures {
    double wall = 0, cpu = 0;
    int succeeded = 0;
};

Figures RecoverAtOnce(int enclosures) {
    using namespace qks;
    SystemClock clock;
    emu::EmulatorPlatform platform(clock, EmbeddedImages().Find(kTargetImageName));
    for (int i = 0; i < enclosures; ++i) platform.AddBridge("q970");
    DeviceServices services(platform, platform, clock, EmbeddedImages());
    SilentSink sink;
    // As `recover --all` finds them: every enclosure, however many.
    const Discovery found = Discover(services, DiscoveryOptions{}, sink);
    std::vector<IdentifyReport> devices;
    for (const size_t index : found.ListedEnclosures()) devices.push_back(found.devices[index]);

    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    const auto results = RecoverAll(services, devices, EngineOptions{}, nullptr);
    Figures f;
    f.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    f.cpu = CpuSeconds() - cpu0;
    for (const auto& r : results) f.succeeded += r.outcome.Ok() ? 1 : 0;
    return f;
}

}  // namespace

int main() {
    std::printf("| enclosures | succeeded | wall s | ratio to one | host CPU s | CPU share of wall |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|\n");
    double one = 0, last = 0;
    int failures = 0;
    for (int n : {1, 16, 64}) {
        const Figures f = RecoverAtOnce(n);
        if (n == 1) one = f.wall;
        last = f.wall;
        failures += n - f.succeeded;
        std::printf("| %d | %d | %.2f | %.2f | %.3f | %.2f %% |\n", n, f.succeeded, f.wall,
                    f.wall / one, f.cpu, 100.0 * f.cpu / f.wall);
    }
    if (last > 1.3 * one) std::printf("\n64 enclosures took %.2f times one enclosure's wall time (goal 1.3)\n", last / one);
    std::printf("\nPeak memory of the benchmark process (ru_maxrss): %ld KiB\n", PeakKiB());
    return failures == 0 ? 0 : 1;
}
