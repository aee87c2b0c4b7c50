// Figures for the 64 KB programming paths on the emulator: commands sent,
// bytes moved and the hardware time the emulator's timing model gives,
// per flash vendor code; plus the host's own time per run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "device/block_transfers.h"
#include "device/clock.h"
#include "device/transport.h"
#include "emulator/platform.h"
#include "firmware/header_block.h"
#include "firmware/image_store.h"

namespace {

using namespace qks;

void UpdateFlashImageByVendor(benchmark::State& state) {
    const auto vendor = static_cast<int>(state.range(0));
    const auto image = EmbeddedImages().Find(kTargetImageName);
    uint64_t commands = 0, bytes = 0, micros = 0;
    for (auto _ : state) {
        VirtualClock clock;
        emu::EmulatorPlatform platform(clock, image);
        platform.AddBridge("q970:blockmode=1,vendor=" + std::to_string(vendor));
        const DevicePath path = platform.PathsOf(0).at(0);
        Transport transport(platform, clock);
        VendorCommandSet commandSet(transport);
        BlockTransfers blocks(commandSet, clock);
        HeaderBlock header{};
        std::memcpy(header.data(), image.data(), header.size());
        const int ok = blocks.UpdateFlashImage(path, true, true, header.data(), image);
        if (!ok) state.SkipWithError("UpdateFlashImage failed");
        commands = platform.CommandsSent();
        bytes = platform.BytesMoved();
        micros = clock.NowMicros();
    }
    state.counters["commands"] = static_cast<double>(commands);
    state.counters["bytes"] = static_cast<double>(bytes);
    state.counters["hw_ms"] = static_cast<double>(micros) / 1000.0;
}

BENCHMARK(UpdateFlashImageByVendor)->DenseRange(0, 9)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
