#include "app/bench.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace qks {

namespace {

// One device's progress: the bar's percentage, as the window would move it.
class DeviceSink final : public ProgressSink {
public:
    DeviceSink(size_t index, std::mutex& lock, const BenchObserver& observer)
        : index_(index), lock_(lock), observer_(observer) {}
    void Status(const std::string&) override {}
    void AppendStatus(const std::string&) override {}
    void Step(int32_t amount) override {
        progress_.percent = std::min(progress_.percent + amount, 100);
        Tell(BenchState::Working);
    }
    // Only a change of phase is told: the rows show the phase, not its bytes.
    void Phase(PhaseKind phase, uint32_t, uint32_t) override {
        // A write tried again after its verify stays under the verify.
        const bool later = !progress_.phase || phase > *progress_.phase;
        if (!later && !progress_.waitedMs) return;
        if (later) progress_.phase = phase;
        progress_.waitedMs.reset();
        Tell(BenchState::Working);
    }
    void WaitingForFlash(uint64_t waitedMs) override {
        progress_.waitedMs = waitedMs;
        Tell(BenchState::Working);
    }
    void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override {}
    void DebugOutput(const std::string&) override {}
    void CopySaved(const std::string&, const std::string& path) override {
        progress_.copyPath = path;
        Tell(BenchState::Working);
    }

    void Tell(BenchState state) {
        progress_.state = state;
        if (state != BenchState::Working) progress_.waitedMs.reset();
        if (!observer_) return;
        const std::lock_guard<std::mutex> hold(lock_);
        observer_(index_, progress_);
    }
    void Start() {
        progress_.percent = 20;
        Tell(BenchState::Working);
    }

private:
    size_t index_;
    std::mutex& lock_;
    const BenchObserver& observer_;
    BenchProgress progress_;
};

}  // namespace

const char* BenchStateName(BenchState state) {
    static constexpr const char* kNames[] = {"waiting", "working", "succeeded", "failed"};
    return kNames[static_cast<int>(state)];
}

std::vector<BenchResult> RecoverAll(const DeviceServices& services,
                                    const std::vector<IdentifyReport>& devices,
                                    const EngineOptions& options, const BenchObserver& observer) {
    std::vector<BenchResult> results(devices.size());
    std::mutex lock;
    std::vector<std::thread> workers;
    workers.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        results[i].device = devices[i];
        workers.emplace_back([&, i] {
            DeviceSink sink(i, lock, observer);
            sink.Start();
            const auto started = std::chrono::steady_clock::now();
            results[i].outcome = RecoverDevice(services, devices[i].Ref(), options, sink);
            results[i].seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            sink.Tell(results[i].outcome.Ok() ? BenchState::Succeeded : BenchState::Failed);
        });
    }
    for (auto& worker : workers) worker.join();
    return results;
}

}  // namespace qks
