// What YES costs on the QKS970/958 (chip type 10), through the window model
// as a user meets it: the window over emulated bridges on a virtual clock,
// one click on the update button. Per recovery path and flash vendor code it
// reports the emulated hardware time, the least time the same timing model
// allows for the work the flow must do, their ratio, the commands sent and
// the host's own CPU time; and what one refresh costs with 16 bridges.
//
//   bench_recovery [benchmark options] [--markdown=FILE]
//
// --markdown writes the figures as tables (scripts/perf.sh puts them into
// docs/performance.md).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "app/window_face.h"
#include "device/clock.h"
#include "emulator/bridge.h"
#include "emulator/erase_map.h"
#include "emulator/platform.h"
#include "emulator/timing.h"
#include "firmware/image_store.h"

namespace {

using namespace qks;

// ---- the least time the timing model allows -------------------------------

constexpr uint32_t kFlashImageBytes = 65536;
// The flows' own waits: the programming path settles this long after its
// writes before reading back.
constexpr uint64_t kSettleAfterWriteMicros = 500'000;
constexpr uint32_t kMxicPrewriteBytes = 4096;
constexpr uint8_t kMxicVendor = 5;

struct Bound {
    uint64_t erase = 0;
    uint64_t program = 0;
    uint64_t bulk = 0;
    uint64_t sleeps = 0;
    uint64_t Total() const { return erase + program + bulk + sleeps; }
};

// Erase the 64 KB in the part's large units (what the flows ask for), page-
// program all of it, move it out once and back once for the verify, and
// wait where the flow must. The MXIC block path also sends the first 4 KB
// ahead of the image; the bridge refuses that block (its erase lacks the
// 0x80 flag), so only its transfer counts and the flow skips the settle.
Bound DeviceBound(bool blockPath, uint8_t vendor) {
    const uint32_t unit = emu::VendorEraseUnits(vendor).large;
    Bound bound;
    bound.erase = (kFlashImageBytes + unit - 1) / unit * emu::UnitEraseMicros(unit);
    bound.program = emu::ProgramMicros(0, kFlashImageBytes);
    bound.bulk = 2 * emu::BulkMicros(kFlashImageBytes);
    if (!blockPath) bound.sleeps = kSettleAfterWriteMicros;
    if (blockPath && vendor == kMxicVendor) bound.bulk += emu::BulkMicros(kMxicPrewriteBytes);
    return bound;
}

// ---- what was sent ---------------------------------------------------------

enum class Kind : uint8_t { Poll, Read, Write, Erase, Identify, Other, Count };
constexpr const char* kKindNames[] = {"status polls", "reads", "writes", "erases",
                                      "identification", "other"};

Kind KindOf(const TraceRecord& r) {
    const auto& c = r.cdb;
    if (c.size() >= 3 && c[0] == 0xFF && c[1] == 0x04) {
        switch (c[2]) {
            case 0x12: return Kind::Poll;
            case 0x10: return Kind::Read;
            case 0x11: return Kind::Write;
            case 0x13: case 0x14: return Kind::Erase;
            case 0x30: return Kind::Identify;
            default: return Kind::Other;
        }
    }
    if (c.size() >= 12 && c[0] == 0xDF) {
        switch (c[11]) {
            case 0xFA: return Kind::Read;
            case 0xFB: return Kind::Write;
            case 0xFD: case 0xFF: return Kind::Identify;
            default: return Kind::Other;
        }
    }
    if (!c.empty() && (c[0] == 0x12 || c[0] == 0xE0)) return Kind::Identify;
    return Kind::Other;
}

class CommandLog final : public TraceSink {
public:
    void Record(const TraceRecord& record) override { records.push_back(record); }
    std::vector<TraceRecord> records;
};

struct Share {
    uint64_t commands = 0;
    uint64_t micros = 0;
};

struct Breakdown {
    Share kinds[static_cast<size_t>(Kind::Count)];
    uint64_t commandMicros = 0;
    Share repeatedIdentification;   // the same identification command again, same path
    std::map<std::string, uint64_t> inquiriesByPath;
};

Breakdown Analyse(const std::vector<TraceRecord>& records) {
    Breakdown b;
    std::set<std::pair<std::string, std::vector<uint8_t>>> identified;
    for (const TraceRecord& r : records) {
        const Kind kind = KindOf(r);
        Share& share = b.kinds[static_cast<size_t>(kind)];
        ++share.commands;
        share.micros += r.durationMicros;
        b.commandMicros += r.durationMicros;
        if (kind == Kind::Identify && !identified.insert({r.path, r.cdb}).second) {
            ++b.repeatedIdentification.commands;
            b.repeatedIdentification.micros += r.durationMicros;
        }
        if (!r.cdb.empty() && r.cdb[0] == 0x12) ++b.inquiriesByPath[r.path];
    }
    return b;
}

uint64_t ThreadCpuMicros() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000 + static_cast<uint64_t>(t.tv_nsec) / 1000;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// ---- the scenarios ---------------------------------------------------------

struct RecoveryFigures {
    bool blockPath = false;
    int vendor = 0;
    bool success = false;
    uint64_t hwMicros = 0;
    Bound bound;
    uint64_t commands = 0;
    uint64_t bytes = 0;
    uint64_t cpuMicros = 0;   // the click alone, best of the iterations
    Breakdown breakdown;
};

// A window over one emulated bridge, its refresh done: the Confirm screen.
struct Scene {
    explicit Scene(const std::vector<std::string>& bridges, const std::string& backupFolder = {})
        : platform(clock, EmbeddedImages().Find(kTargetImageName)) {
        for (const auto& text : bridges) {
            const auto added = platform.AddBridge(text);
            if (!added.ok()) throw std::runtime_error(added.error);
        }
        DeviceServices services(platform, platform, clock, EmbeddedImages());
        services.trace = &log;
        services.backupFolder = backupFolder;
        window = std::make_unique<TQ71xFwTool>(services, face);
        window->FormCreate(&platform);
    }
    VirtualClock clock;
    emu::EmulatorPlatform platform;
    CommandLog log;
    NullFace face;
    std::unique_ptr<TQ71xFwTool> window;
};

RecoveryFigures RunRecovery(bool blockPath, int vendor) {
    const std::string description = std::string(blockPath ? "q970:blockmode=1," : "q970:") +
                                    "vendor=" + std::to_string(vendor);
    Scene scene({description});
    RecoveryFigures f;
    f.blockPath = blockPath;
    f.vendor = vendor;
    f.bound = DeviceBound(blockPath, static_cast<uint8_t>(vendor));
    if (scene.window->CurrentScreen() != Screen::Confirm) return f;
    scene.log.records.clear();
    const uint64_t t0 = scene.clock.NowMicros();
    const uint64_t c0 = scene.platform.CommandsSent();
    const uint64_t b0 = scene.platform.BytesMoved();
    const uint64_t cpu0 = ThreadCpuMicros();
    scene.window->Click(ControlId::EraseButton);
    f.cpuMicros = ThreadCpuMicros() - cpu0;
    f.success = scene.window->CurrentScreen() == Screen::Success;
    f.hwMicros = scene.clock.NowMicros() - t0;
    f.commands = scene.platform.CommandsSent() - c0;
    f.bytes = scene.platform.BytesMoved() - b0;
    f.breakdown = Analyse(scene.log.records);
    return f;
}

// What the copy and the journal add to one recovery of a 64 KB part: the
// emulated hardware time plus the host's wall time (files flushed to disk
// included), with and without a folder to keep them in.
struct JournalFigures {
    uint64_t withoutMicros = 0, withMicros = 0;
    uint64_t withoutCommands = 0, withCommands = 0;
    bool success = false;
};

JournalFigures RunJournalCost(bool blockPath) {
    const std::string description = blockPath ? "q970:blockmode=1,vendor=6" : "q970:vendor=6";
    const std::string folder = std::filesystem::temp_directory_path().string() + "/qks-bench-journal-" +
                               std::to_string(::getpid());
    JournalFigures f;
    f.success = true;
    for (const bool kept : {false, true}) {
        std::filesystem::remove_all(folder);
        Scene scene({description}, kept ? folder : std::string());
        if (scene.window->CurrentScreen() != Screen::Confirm) return {};
        const uint64_t t0 = scene.clock.NowMicros();
        const uint64_t c0 = scene.platform.CommandsSent();
        const auto wall0 = std::chrono::steady_clock::now();
        scene.window->Click(ControlId::EraseButton);
        const auto wall = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - wall0)
                              .count();
        f.success = f.success && scene.window->CurrentScreen() == Screen::Success;
        (kept ? f.withMicros : f.withoutMicros) =
            scene.clock.NowMicros() - t0 + static_cast<uint64_t>(wall);
        (kept ? f.withCommands : f.withoutCommands) = scene.platform.CommandsSent() - c0;
    }
    std::filesystem::remove_all(folder);
    return f;
}

std::map<bool, JournalFigures> g_journal;

void JournalCost(benchmark::State& state) {
    const bool blockPath = state.range(0) != 0;
    JournalFigures best;
    bool first = true;
    for (auto _ : state) {
        JournalFigures f = RunJournalCost(blockPath);
        if (!f.success) {
            state.SkipWithError("the recovery did not succeed");
            return;
        }
        if (first || f.withMicros < best.withMicros) best = f;
        first = false;
    }
    const double cost = 100.0 * (static_cast<double>(best.withMicros) -
                                 static_cast<double>(best.withoutMicros)) /
                        static_cast<double>(best.withoutMicros);
    state.counters["cost_percent"] = cost;
    state.counters["extra_commands"] =
        static_cast<double>(best.withCommands) - static_cast<double>(best.withoutCommands);
    std::printf("journal cost, %s path, 64 KB: %.2f %% of the recovery's time, %lld more commands\n",
                blockPath ? "block" : "programming", cost,
                static_cast<long long>(best.withCommands) - static_cast<long long>(best.withoutCommands));
    g_journal[blockPath] = best;
}

// Sixteen bridges, one per path slot: eight targets in every state the
// window meets, and the other families and an ordinary disk.
const std::vector<std::string> kSixteen = {
    "q970",           "q970:vendor=5",  "q970:blockmode=1,vendor=6", "q970:late=1",
    "q970:vendor=3",  "q970:content=blank", "q970:content=updated",  "q970:inqcode=0",
    "q742",           "q743:rev=2",     "q719",                      "q861",
    "q958",           "qk60717w",       "qk60716u",                  "plain",
};

struct RefreshFigures {
    size_t bridges = 0;
    size_t targets = 0;
    int listed = 0;
    uint64_t hwMicros = 0;
    uint64_t commands = 0;
    uint64_t bytes = 0;
    uint64_t cpuMicros = 0;
    Breakdown breakdown;
};

RefreshFigures RunRefresh(const std::vector<std::string>& bridges) {
    Scene scene(bridges);
    RefreshFigures f;
    f.bridges = bridges.size();
    for (const auto& text : bridges) f.targets += text.rfind("q970", 0) == 0 ? 1 : 0;
    scene.log.records.clear();
    const uint64_t t0 = scene.clock.NowMicros();
    const uint64_t c0 = scene.platform.CommandsSent();
    const uint64_t b0 = scene.platform.BytesMoved();
    const uint64_t cpu0 = ThreadCpuMicros();
    scene.window->RefreshBtnClick();
    f.cpuMicros = ThreadCpuMicros() - cpu0;
    f.hwMicros = scene.clock.NowMicros() - t0;
    f.commands = scene.platform.CommandsSent() - c0;
    f.bytes = scene.platform.BytesMoved() - b0;
    f.listed = static_cast<int>(scene.window->Control(ControlId::DeviceList).items.size());
    f.breakdown = Analyse(scene.log.records);
    return f;
}

// ---- the benchmarks --------------------------------------------------------

std::map<std::pair<bool, int>, RecoveryFigures> g_recoveries;
std::map<size_t, RefreshFigures> g_refreshes;

void Recovery(benchmark::State& state, bool blockPath) {
    const int vendor = static_cast<int>(state.range(0));
    RecoveryFigures best;
    bool first = true;
    for (auto _ : state) {
        RecoveryFigures f = RunRecovery(blockPath, vendor);
        if (!f.success) {
            state.SkipWithError("the recovery did not succeed");
            break;
        }
        if (first || f.cpuMicros < best.cpuMicros) best = f;
        first = false;
    }
    if (first) return;
    state.counters["hw_ms"] = static_cast<double>(best.hwMicros) / 1000.0;
    state.counters["bound_ms"] = static_cast<double>(best.bound.Total()) / 1000.0;
    state.counters["ratio"] =
        static_cast<double>(best.hwMicros) / static_cast<double>(best.bound.Total());
    state.counters["commands"] = static_cast<double>(best.commands);
    state.counters["click_cpu_ms"] = static_cast<double>(best.cpuMicros) / 1000.0;
    g_recoveries[{blockPath, vendor}] = best;
}

void BlockUpdatePath(benchmark::State& state) { Recovery(state, true); }
void ProgrammingPath(benchmark::State& state) { Recovery(state, false); }

void Refresh(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    const std::vector<std::string> bridges(kSixteen.begin(), kSixteen.begin() + static_cast<long>(count));
    RefreshFigures best;
    bool first = true;
    for (auto _ : state) {
        RefreshFigures f = RunRefresh(bridges);
        if (first || f.cpuMicros < best.cpuMicros) best = f;
        first = false;
    }
    state.counters["hw_ms"] = static_cast<double>(best.hwMicros) / 1000.0;
    state.counters["commands"] = static_cast<double>(best.commands);
    state.counters["listed"] = best.listed;
    g_refreshes[count] = best;
}

BENCHMARK(BlockUpdatePath)->DenseRange(0, 9)->Unit(benchmark::kMillisecond);
BENCHMARK(ProgrammingPath)->DenseRange(0, 9)->Unit(benchmark::kMillisecond);
BENCHMARK(Refresh)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(JournalCost)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

// ---- the tables ------------------------------------------------------------

std::string Ms(uint64_t micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(micros) / 1000.0);
    return text;
}

std::string ShareText(const Share& s) {
    return std::to_string(s.commands) + " / " + Ms(s.micros);
}

void WriteMarkdown(std::ostream& out) {
    const char* kVendorNames[] = {"Unknown", "PMC", "SST", "ST/EON/MXIC", "ATMEL",
                                  "MXIC", "WINBOND", "AMIC", "EON", "(9)"};
    out << "### Recovery (YES on the Confirm screen), per path and flash vendor code\n\n"
        << "| path | vendor | emulated ms | bound ms | ratio | commands | bytes moved | "
           "host CPU ms |\n"
        << "|---|---|---:|---:|---:|---:|---:|---:|\n";
    for (const auto& [key, f] : g_recoveries) {
        char ratio[16];
        std::snprintf(ratio, sizeof ratio, "%.2f",
                      static_cast<double>(f.hwMicros) / static_cast<double>(f.bound.Total()));
        char cpu[16];
        std::snprintf(cpu, sizeof cpu, "%.2f", static_cast<double>(f.cpuMicros) / 1000.0);
        out << "| " << (f.blockPath ? "block update" : "programming") << " | " << f.vendor << " "
            << kVendorNames[f.vendor] << " | " << Ms(f.hwMicros) << " | " << Ms(f.bound.Total())
            << " | " << ratio << " | " << f.commands << " | " << f.bytes << " | " << cpu << " |\n";
    }
    out << "\n### Where the emulated time goes (commands / emulated ms)\n\n"
        << "| path | vendor | bound: erase + program + bulk + sleeps ms |";
    for (const char* name : kKindNames) out << " " << name << " |";
    out << " host sleeps ms |\n|---|---|---|";
    for (size_t i = 0; i < std::size(kKindNames); ++i) out << "---:|";
    out << "---:|\n";
    for (const auto& [key, f] : g_recoveries) {
        out << "| " << (f.blockPath ? "block update" : "programming") << " | " << f.vendor << " | "
            << Ms(f.bound.erase) << " + " << Ms(f.bound.program) << " + " << Ms(f.bound.bulk)
            << " + " << Ms(f.bound.sleeps) << " |";
        for (const Share& s : f.breakdown.kinds) out << " " << ShareText(s) << " |";
        out << " " << Ms(f.hwMicros - f.breakdown.commandMicros) << " |\n";
    }
    out << "\n### One refresh (Refresh button or a device notice)\n\n"
        << "| bridges | of them QKS970 | listed | emulated ms | commands | bytes moved | host CPU ms "
           "| INQUIRY per bridge | repeated identification (commands / ms) |\n"
        << "|---:|---:|---:|---:|---:|---:|---:|---|---:|\n";
    for (const auto& [count, f] : g_refreshes) {
        uint64_t least = UINT64_MAX, most = 0;
        for (const auto& [path, n] : f.breakdown.inquiriesByPath) {
            least = std::min(least, n);
            most = std::max(most, n);
        }
        char cpu[16];
        std::snprintf(cpu, sizeof cpu, "%.2f", static_cast<double>(f.cpuMicros) / 1000.0);
        out << "| " << f.bridges << " | " << f.targets << " | " << f.listed << " | "
            << Ms(f.hwMicros) << " | " << f.commands << " | " << f.bytes << " | " << cpu << " | "
            << least << "-" << most << " | " << ShareText(f.breakdown.repeatedIdentification)
            << " |\n";
    }
    out << "\n| refresh of 16: kind | commands / emulated ms |\n|---|---:|\n";
    if (const auto it = g_refreshes.find(16); it != g_refreshes.end()) {
        for (size_t i = 0; i < std::size(kKindNames); ++i)
            out << "| " << kKindNames[i] << " | " << ShareText(it->second.breakdown.kinds[i])
                << " |\n";
        out << "| host sleeps | " << Ms(it->second.hwMicros - it->second.breakdown.commandMicros)
            << " |\n";
    }
    out << "\n### The copy and the journal (64 KB part, vendor 6)\n\n"
        << "| path | without ms | with ms | cost | extra commands |\n|---|---:|---:|---:|---:|\n";
    for (const auto& [block, f] : g_journal) {
        char cost[16];
        std::snprintf(cost, sizeof cost, "%.2f %%",
                      100.0 * (static_cast<double>(f.withMicros) - static_cast<double>(f.withoutMicros)) /
                          static_cast<double>(f.withoutMicros));
        out << "| " << (block ? "block update" : "programming") << " | " << Ms(f.withoutMicros)
            << " | " << Ms(f.withMicros) << " | " << cost << " | "
            << static_cast<long long>(f.withCommands) - static_cast<long long>(f.withoutCommands)
            << " |\n";
    }
    out << "\nPeak memory of the benchmark process (ru_maxrss): " << PeakRssKiB() << " KiB\n";
}

}  // namespace

int main(int argc, char** argv) {
    std::string markdown;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--markdown=", 0) == 0) markdown = arg.substr(std::strlen("--markdown="));
        else args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("peak memory (ru_maxrss): %ld KiB\n", PeakRssKiB());
    if (!markdown.empty()) {
        std::ofstream out(markdown, std::ios::trunc);
        WriteMarkdown(out);
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", markdown.c_str());
            return 1;
        }
    }
    return 0;
}
