// Every enclosure on the bench at once: each operation on its own thread,
// each with its own copy and record, one failing among them.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "app/bench.h"
#include "app/model_fixture.h"

namespace qks::test {
namespace {

namespace fs = std::filesystem;

TEST(Bench, EveryEnclosureAtOnceAndOneFailureLeavesTheOthersRecovered) {
    const fs::path folder = fs::temp_directory_path() / ("qks-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    ModelFixture fx({"q970", "q970", "q970:flip=0x2000", "q970:blockmode=1", "q970", "q970"});
    const DeviceServices services = fx.Services(folder.string());
    SilentSink sink;
    std::vector<IdentifyReport> devices;
    for (const auto& info : fx.platform->ListUsbStorage(InterfaceClass::Disk))
        devices.push_back(Identify(services, info, InterfaceClass::Disk, sink));
    ASSERT_EQ(devices.size(), 6u);

    std::mutex seen;
    std::vector<int> lastPercent(devices.size(), 0);
    std::vector<std::optional<PhaseKind>> lastPhase(devices.size());
    bool wentBack = false;
    const auto results = RecoverAll(services, devices, {}, [&](size_t i, const BenchProgress& progress) {
        const std::lock_guard<std::mutex> hold(seen);   // the bench serialises; this proves it
        wentBack = wentBack || progress.percent < lastPercent[i] ||
                   (progress.phase && lastPhase[i] && *progress.phase < *lastPhase[i]);
        lastPercent[i] = progress.percent;
        lastPhase[i] = progress.phase;
    });
    ASSERT_EQ(results.size(), devices.size());
    EXPECT_FALSE(wentBack);
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i].device.info.path, devices[i].info.path);
        if (i == 2) {
            ASSERT_FALSE(results[i].outcome.Ok());
            EXPECT_FALSE(results[i].outcome.CauseText().empty());
            continue;
        }
        EXPECT_TRUE(results[i].outcome.Ok()) << results[i].outcome.CauseText();
        EXPECT_FALSE(results[i].outcome.backupPath.empty());
        EXPECT_TRUE(HoldsEmbeddedFirmware(services, devices[i].info.path));
    }
    // Each copy is its own device's: six copies, none overwritten.
    size_t copies = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        copies += entry.path().extension() == ".bin";
    EXPECT_EQ(copies, devices.size());

    fs::remove_all(folder);
}

}  // namespace
}  // namespace qks::test
