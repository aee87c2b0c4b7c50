// Every flow, with every fault kind at every command it sends: no run may
// claim a success the flash does not hold, a second attempt after any fault
// must succeed, no run may touch flash outside what its flow owns, and a
// run whose device vanished must end within a second. Then programs saving
// copies into one folder at once: none may lose or swap another's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "app/model_fixture.h"
#include "firmware/flash_backup.h"
#include "firmware/header_block.h"

namespace qks::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    bool claimedSuccess = false;
    bool alreadyUpdated = false;   // the refresh found the image in place
};

struct Flow {
    std::string name;
    std::string bridge;                       // without the fault key
    bool engineering = false;
    std::function<void(TQ71xFwTool&, const fs::path& work)> prepare;
    std::function<Outcome(TQ71xFwTool&)> act;
    // True when the memory holds what a successful run must leave.
    std::function<bool(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after)> holds;
    uint32_t ownedBytes = 65536;
    bool rom = false;
};

std::vector<uint8_t> MergedHeader(const std::vector<uint8_t>& deviceFlash) {
    HeaderBlock device{}, image{};
    std::copy_n(deviceFlash.begin(), 128, device.begin());
    std::copy_n(ModelFixture::Image().begin(), 128, image.begin());
    MergeHeaderBlock(device, image);
    return {device.begin(), device.end()};
}

bool HoldsTargetImage(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                      bool zeroTail) {
    const auto image = ModelFixture::Image();
    if (!std::equal(image.begin() + 128, image.end(), after.begin() + 128)) return false;
    const auto header = MergedHeader(before);
    if (!std::equal(header.begin(), header.end(), after.begin())) return false;
    if (zeroTail)
        return std::all_of(after.begin() + static_cast<long>(image.size()), after.begin() + 65536,
                           [](uint8_t b) { return b == 0; });
    return true;
}

// A bridge that a fault left fully programmed shows as already updated on
// the next refresh: that is the recovery's success too.
Outcome ClickYes(TQ71xFwTool& w) {
    if (w.CurrentScreen() == Screen::AlreadyUpdated) return {true, true};
    if (w.CurrentScreen() != Screen::Confirm) return {};
    w.Click(ControlId::EraseButton);
    return {w.CurrentScreen() == Screen::Success};
}

Outcome Run(TQ71xFwTool& w) {
    if (!w.Control(ControlId::UpdateBtn).enabled) return {};
    w.Click(ControlId::UpdateBtn);
    return {w.LastRunResult() != 0};
}

void WriteFile(const fs::path& path, std::span<const uint8_t> bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<Flow> Flows() {
    std::vector<Flow> flows;
    for (int vendor = 0; vendor <= 9; ++vendor) {
        const std::string v = std::to_string(vendor);
        flows.push_back({"recover-block-vendor" + v, "q970:size=128K,blockmode=1,vendor=" + v, false,
                         nullptr, ClickYes,
                         [](const auto& b, const auto& a) { return HoldsTargetImage(b, a, false); }});
    }
    for (int vendor : {0, 3, 5}) {
        const std::string v = std::to_string(vendor);
        flows.push_back({"recover-program-vendor" + v, "q970:size=128K,vendor=" + v, false, nullptr,
                         ClickYes,
                         [](const auto& b, const auto& a) { return HoldsTargetImage(b, a, true); }});
    }
    // Its boot sectors leave data that only the chip erase clears: the whole
    // part comes back, not only the image's 64 KB.
    flows.push_back({"recover-program-amic-128k", "q970:amic=1,size=128K", false, nullptr, ClickYes,
                     [](const auto& b, const auto& a) {
                         return HoldsTargetImage(b, a, true) &&
                                std::equal(b.begin() + 65536, b.end(), a.begin() + 65536);
                     },
                     131072});
    const auto fw719 = EmbeddedImages().Find(kSerialFlashImageName);
    flows.push_back({"serial-flash-update", "q719:size=128K", true,
                     [fw719](TQ71xFwTool& w, const fs::path& work) {
                         WriteFile(work / "fw719.bin", fw719);
                         w.UserSetText(ControlId::FwFilenameEdit, (work / "fw719.bin").string());
                         w.UserEndEdit(ControlId::FwFilenameEdit);
                     },
                     Run,
                     [fw719](const auto&, const auto& a) {
                         return std::equal(fw719.begin(), fw719.end(), a.begin());
                     }});
    const auto fw742a = EmbeddedImages().Find(kRevisionAImageName);
    flows.push_back({"keep-4k-update", "q742:rev=1,size=128K", true,
                     [fw742a](TQ71xFwTool& w, const fs::path& work) {
                         WriteFile(work / "fw742a.bin", fw742a);
                         w.UserSetText(ControlId::FwFilenameEdit, (work / "fw742a.bin").string());
                         w.UserEndEdit(ControlId::FwFilenameEdit);
                     },
                     Run,
                     [fw742a](const auto& b, const auto& a) {
                         return std::equal(b.begin(), b.begin() + 4096, a.begin()) &&
                                std::equal(fw742a.begin() + 4096, fw742a.end(), a.begin() + 4096);
                     },
                     65536});
    flows.push_back({"erase-only", "q719:size=128K", true,
                     [](TQ71xFwTool& w, const fs::path&) {
                         w.UserSetChecked(ControlId::RdCheckBox, true);
                         w.UserSetChecked(ControlId::EraseOnlyCheck, true);
                     },
                     Run,
                     [](const auto&, const auto& a) {
                         return std::all_of(a.begin(), a.begin() + 65536, [](uint8_t x) { return x == 0xFF; });
                     }});
    const auto rom = EmbeddedImages().Find(kSerialFlashImageName);
    flows.push_back({"internal-rom", "q716", true,
                     [](TQ71xFwTool& w, const fs::path& work) {
                         const uint8_t tag[10] = {0x55, 0xAA, 0xAA, 0x55, 'r', 'o', 'm', '0', 0, 0};
                         WriteFile(work / "rom.bin", tag);
                         w.UserSetText(ControlId::FwFilenameEdit, (work / "rom.bin").string());
                         w.UserEndEdit(ControlId::FwFilenameEdit);
                     },
                     Run,
                     [rom](const auto&, const auto& a) { return std::equal(rom.begin(), rom.end(), a.begin()); },
                     65536, true});
    return flows;
}

void PrintTo(const Flow& flow, std::ostream* out) { *out << flow.name; }

struct Tally {
    int runs = 0;
    int falseSuccesses = 0;
    int unrecoverable = 0;
    int outsideWrites = 0;
    int slowToFail = 0;
};

// A device that vanished is known gone at the next command: polls, retries
// and settling waits after it only delay the Failure screen.
constexpr uint64_t kGoneBudgetMicros = 1'000'000;

class Campaign : public ::testing::TestWithParam<Flow> {
protected:
    void SetUp() override {
        work = fs::temp_directory_path() / ("qks-campaign-" + std::to_string(::getpid()));
        fs::create_directories(work);
    }
    void TearDown() override { fs::remove_all(work); }

    std::vector<uint8_t> Memory(ModelFixture& fx) const {
        auto bytes = GetParam().rom ? fx.platform->Bridge(0).Rom() : fx.platform->Bridge(0).Flash();
        return {bytes.begin(), bytes.end()};
    }

    // One run, with or without a fault; returns the fixture for a second try.
    std::unique_ptr<ModelFixture> RunOnce(const std::string& fault, Outcome& outcome) {
        const Flow& flow = GetParam();
        auto fx = std::make_unique<ModelFixture>(
            std::vector<std::string>{fault.empty() ? flow.bridge
                                     : flow.bridge + (flow.bridge.find(':') == std::string::npos ? ":" : ",") + fault});
        fx->backupFolder = (work / "backups").string();
        auto& w = fx->Open();
        if (flow.engineering) w.EnableEngineeringMode();
        if (flow.prepare) flow.prepare(w, work);
        vanishedAt.reset();
        ModelFixture* bench = fx.get();
        fx->platform->Subscribe([this, bench](uint32_t code) {
            if (code == kDeviceRemoveComplete && !vanishedAt) vanishedAt = bench->clock.NowMicros();
        });
        outcome = flow.act(w);
        return fx;
    }

    fs::path work;
    std::optional<uint64_t> vanishedAt;   // virtual time the device went, in the last run
};

TEST_P(Campaign, NoFaultLeavesAFalseSuccessOrAnUnrecoverableDevice) {
    const Flow& flow = GetParam();
    Outcome clean;
    auto reference = RunOnce("", clean);
    ASSERT_TRUE(clean.claimedSuccess) << flow.name << " fails without a fault";
    const uint64_t commands = reference->platform->CommandsSent(0);
    ASSERT_GT(commands, 0u);
    // Cut-off equivalence: what one uninterrupted run leaves, byte for byte.
    const auto want = Memory(*reference);

    Tally tally;
    for (const char* kind : {"fail", "unplug", "powerloss", "short"}) {
        int kindRuns = 0, notEquivalent = 0, exceptions = 0;
        for (uint64_t n = 1; n <= commands; ++n) {
            ++kindRuns;
            fs::remove_all(work / "backups");
            Outcome outcome;
            const std::string fault = std::string(kind) + "=" + std::to_string(n);
            auto fx = RunOnce(fault, outcome);
            ++tally.runs;
            if (vanishedAt && fx->clock.NowMicros() - *vanishedAt > kGoneBudgetMicros) {
                ++tally.slowToFail;
                ADD_FAILURE() << flow.name << " " << fault << " took "
                              << (fx->clock.NowMicros() - *vanishedAt) / 1000
                              << " ms to give up on a vanished device";
            }
            // What the flow started from: the same profile without the fault.
            ModelFixture pristine({flow.bridge});
            const auto before = Memory(pristine);
            const auto after = Memory(*fx);
            if (!std::equal(before.begin() + flow.ownedBytes, before.end(),
                            after.begin() + flow.ownedBytes)) {
                ++tally.outsideWrites;
                ADD_FAILURE() << flow.name << " " << fault << " wrote outside its range";
            }
            if (outcome.claimedSuccess && !outcome.alreadyUpdated && after != want) {
                ++notEquivalent;
                ADD_FAILURE() << flow.name << " " << fault << " said success with another flash";
            }
            if (outcome.claimedSuccess && !flow.holds(before, after)) {
                ++tally.falseSuccesses;
                ADD_FAILURE() << flow.name << " " << fault << " claimed success falsely";
            }
            // A person re-plugs the enclosure and tries again.
            fx->platform->PowerCycle(0);
            auto& w = *fx->window;
            if (flow.engineering && flow.prepare) flow.prepare(w, work);
            Outcome retry;
            try {
                retry = flow.act(w);
            } catch (...) {
                ++exceptions;
                ADD_FAILURE() << flow.name << " " << fault << ": the retry threw";
            }
            const auto retried = Memory(*fx);
            if (retried != want) {
                ++notEquivalent;
                ADD_FAILURE() << flow.name << " " << fault
                              << ": the retry left a flash other than one uninterrupted run's";
            }
            // Found already updated, the bytes past the image are not what
            // the refresh judges by; the header and the image are.
            const bool holds = retry.alreadyUpdated ? HoldsTargetImage(before, retried, false)
                                                    : flow.holds(before, retried);
            if (!retry.claimedSuccess || !holds) {
                ++tally.unrecoverable;
                ADD_FAILURE() << flow.name << " " << fault << " did not recover on a second attempt ("
                              << (retry.claimedSuccess ? "claimed success, memory differs" : "no success")
                              << ", screen " << ScreenName(w.CurrentScreen()) << ", status '"
                              << w.Control(ControlId::StatusEdit).text << "')";
            }
        }
        std::printf("cut-off %-26s %-9s runs %5d  not equivalent %d  exceptions %d\n",
                    flow.name.c_str(), kind, kindRuns, notEquivalent, exceptions);
    }
    std::printf("campaign %-26s runs %5d  false successes %d  unrecoverable %d  outside writes %d"
                "  slow to fail %d\n",
                flow.name.c_str(), tally.runs, tally.falseSuccesses, tally.unrecoverable,
                tally.outsideWrites, tally.slowToFail);
}

INSTANTIATE_TEST_SUITE_P(Flows, Campaign, ::testing::ValuesIn(Flows()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// ---- programs saving into one folder at once ------------------------------

// The copy writer `writer` saves in round `round`: every byte names both, so
// a copy holding another's bytes, or a mix, is seen at once.
std::vector<uint8_t> CopyOf(int writer, int round) {
    std::vector<uint8_t> bytes(65536);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(writer * 37 + round * 11 + (i % 2 ? writer : round));
    return bytes;
}

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

constexpr int kRounds = 16;
constexpr const char* kSharedSerial = "0123456789AB";
constexpr std::time_t kSameSecond = 1765195200;

// Saves kRounds copies as `writer`, all with one serial and one time, so
// every save contends for the same names. Answers the copies that do not
// hold this writer's bytes under the name it was told.
int SaveRounds(const fs::path& folder, int writer) {
    int wrong = 0;
    std::vector<std::pair<std::string, int>> saved;
    for (int round = 0; round < kRounds; ++round) {
        std::string error;
        const auto path =
            SaveFlashBackup(folder.string(), kSharedSerial, CopyOf(writer, round), kSameSecond, error);
        if (!path) {
            ++wrong;
            continue;
        }
        saved.emplace_back(*path, round);
    }
    for (const auto& [path, round] : saved)
        if (ReadAll(path) != CopyOf(writer, round)) ++wrong;
    return wrong;
}

TEST(ConcurrentSaves, ProgramsSavingIntoOneFolderKeepEveryCopyWhole) {
    const fs::path folder =
        fs::temp_directory_path() / ("qks-campaign-concurrent-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    int swapped = 0;
#ifdef _WIN32
    // One process with four threads where there is no fork.
    int wrong[4] = {};
    std::vector<std::thread> writers;
    for (int writer = 0; writer < 4; ++writer)
        writers.emplace_back([&, writer] { wrong[writer] = SaveRounds(folder, writer); });
    for (auto& writer : writers) writer.join();
    for (int w : wrong) swapped += w;
#else
    // Two processes, each with two threads: four writers at once.
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const int firstWriter = child == 0 ? 2 : 0;
    int wrong[2] = {0, 0};
    {
        std::thread a([&] { wrong[0] = SaveRounds(folder, firstWriter); });
        std::thread b([&] { wrong[1] = SaveRounds(folder, firstWriter + 1); });
        a.join();
        b.join();
    }
    if (child == 0) ::_exit(std::min(wrong[0] + wrong[1], 100));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    swapped = wrong[0] + wrong[1] + WEXITSTATUS(status);
#endif

    // Every save is there exactly once, whole, and nothing else is.
    std::set<std::pair<int, int>> found;
    int strays = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const auto bytes = ReadAll(entry.path());
        bool known = false;
        for (int writer = 0; writer < 4 && !known; ++writer)
            for (int round = 0; round < kRounds && !known; ++round)
                if (bytes == CopyOf(writer, round)) known = found.insert({writer, round}).second;
        if (!known) ++strays;
    }
    const int runs = 4 * kRounds;
    const int lost = runs - static_cast<int>(found.size());
    std::printf("campaign %-26s runs %5d  lost %d  swapped %d  strays %d\n", "concurrent-saves", runs,
                lost, swapped, strays);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(swapped, 0);
    EXPECT_EQ(strays, 0) << "a copy twice, a mix of two, or a temporary file left behind";
    fs::remove_all(folder);
}

}  // namespace
}  // namespace qks::test

namespace qks::test {
namespace {

// Two enclosures that report one serial: A is cut off at every third command
// of its recovery, then B is recovered, then A again. B's own bytes never
// change to A's, A never takes B's identity, and no run claims a success its
// flash does not hold.
TEST(SharedSerialCampaign, NoEnclosureIsWrittenWithAnothersBytes) {
    const std::string bridge = "q970:serial=SAME";
    auto ownHeader = [](std::span<const uint8_t> a, std::span<const uint8_t> b) {
        for (size_t i = 0; i < kHeaderBlockBytes; ++i)
            if (HeaderMergeMask[i] >= 256 && a[i] != b[i]) return false;
        return true;
    };
    uint64_t identified = 0, commands = 0;
    {
        ModelFixture counting({bridge});
        const auto services = counting.Services();
        const DeviceRef a = counting.RefOf(0, services);
        identified = counting.platform->CommandsSent();
        SilentSink silent;
        ASSERT_TRUE(RecoverDevice(services, a, {}, silent).Ok());
        commands = counting.platform->CommandsSent() - identified;
    }
    const auto folder = std::filesystem::temp_directory_path() / ("qks-shared-" + std::to_string(::getpid()));
    int runs = 0, falseSuccesses = 0, otherBytesWritten = 0, identityTaken = 0;
    for (const char* fault : {"unplug", "powerloss"}) {
        for (uint64_t n = 1; n <= commands; n += 3) {
            std::filesystem::create_directories(folder);
            ModelFixture fx({bridge + "," + fault + "=" + std::to_string(identified + n), bridge});
            fx.platform->Bridge(1).WriteFlashDirect(14, std::vector<uint8_t>(32, 'B'));
            const auto originalA = fx.Flash(0), originalB = fx.Flash(1);
            const DeviceServices services = fx.Services(folder.string());
            SilentSink silent;
            ++runs;
            const qks::Outcome first = RecoverDevice(services, fx.RefOf(0, services), {}, silent);
            fx.platform->Plug(0);
            if (first.Ok() && !HoldsEmbeddedFirmware(services, fx.platform->PathsOf(0).at(0)))
                ++falseSuccesses;
            const qks::Outcome b = RecoverDevice(services, fx.RefOf(1, services), {}, silent);
            if (!b.Ok() || !ownHeader(fx.Flash(1), originalB)) ++otherBytesWritten;
            const qks::Outcome again = RecoverDevice(services, fx.RefOf(0, services), {}, silent);
            if (again.Ok() && ownHeader(fx.Flash(0), originalB) && !ownHeader(originalA, originalB))
                ++identityTaken;
            std::filesystem::remove_all(folder);
        }
    }
    std::printf("campaign %-26s runs %5d  false successes %d  bytes of another enclosure written %d"
                "  identities taken %d\n",
                "shared-serial", runs, falseSuccesses, otherBytesWritten, identityTaken);
    EXPECT_GT(runs, 0);
    EXPECT_EQ(falseSuccesses + otherBytesWritten + identityTaken, 0);
}

// ---- one enclosure, one writer ----------------------------------------------

// Says when a copy was kept (the write holds its enclosure from then on) and
// whom it waited for.
class WriterSink : public SilentSink {
public:
    std::function<void()> onCopy;
    std::string waited;
    std::atomic<bool> saidWaiting{false};
    void CopySaved(const std::string&, const std::string&) override {
        if (onCopy) onCopy();
    }
    void Waiting(const std::string& text) override {
        waited = text;
        saidWaiting = true;
    }
};

// A second write to the enclosure starts while the first holds it (its copy
// kept, nothing erased yet): it waits and then writes, or gives up at once
// when it may not wait; either way the flash ends as one run leaves it.
TEST(OneWriterPerEnclosure, ASecondWriteWaitsForTheFirstOrGivesUpWithNothingSent) {
    const std::string bridge = "q970:serial=ONE";
    std::vector<uint8_t> oneRun;
    {
        ModelFixture clean({bridge});
        SilentSink silent;
        const auto services = clean.Services();
        ASSERT_TRUE(RecoverDevice(services, clean.RefOf(0, services), {}, silent).Ok());
        oneRun = clean.Flash(0);
    }
    struct Case {
        const char* what;
        uint32_t waitMs;
        bool secondWrites;
    };
    for (const Case& c : {Case{"waits", 60'000, true}, Case{"gives up", 0, false}}) {
        SCOPED_TRACE(c.what);
        const fs::path folder =
            fs::temp_directory_path() / ("qks-writer-" + std::to_string(::getpid()));
        fs::remove_all(folder);
        ModelFixture fx({bridge});
        const DeviceServices services = fx.Services(folder.string());
        DeviceServices second = services;
        second.writerWaitMs = c.waitMs;
        const DeviceRef device = fx.RefOf(0, services);
        WriterSink firstSink, secondSink;
        qks::Outcome secondOutcome;
        std::thread other;
        firstSink.onCopy = [&] {
            other = std::thread(
                [&] { secondOutcome = RecoverDevice(second, device, {}, secondSink); });
            for (int i = 0; i < 1000 && !secondSink.saidWaiting; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        };
        const qks::Outcome first = RecoverDevice(services, device, {}, firstSink);
        if (other.joinable()) other.join();
        EXPECT_TRUE(first.Ok()) << first.CauseText();
        EXPECT_NE(secondSink.waited.find("waiting for the other write to ONE at " + device.path +
                                         " (pid " + std::to_string(::getpid()) + ") to finish"),
                  std::string::npos)
            << secondSink.waited;
        if (c.secondWrites) {
            EXPECT_TRUE(secondOutcome.Ok()) << secondOutcome.CauseText();
        } else {
            ASSERT_FALSE(secondOutcome.Ok());
            EXPECT_EQ(secondOutcome.failure->kind, FailureKind::Busy);
            EXPECT_FALSE(secondOutcome.failure->deviceChanged);
        }
        EXPECT_EQ(fx.Flash(0), oneRun);
        fs::remove_all(folder);
    }
}


// ---- enclosures that share a serial, or show two interfaces ----------------

// A bridge's interface of class `cls` as identification hands it over.
DeviceRef RefOfInterface(ModelFixture& fx, size_t bridge, InterfaceClass cls,
                         const DeviceServices& services) {
    const auto paths = fx.platform->PathsOf(bridge);
    SilentSink silent;
    for (const auto& info : fx.platform->ListUsbStorage(cls))
        if (std::find(paths.begin(), paths.end(), info.path) != paths.end())
            return Identify(services, info, cls, silent).Ref();
    return {};
}

// Each scenario recovers its enclosures, one of them cut off at a command,
// then recovers that one again: every enclosure's whole part must end as one
// uninterrupted run of its own leaves it.
TEST(SharedEnclosureCampaign, EveryEnclosureEndsAsItsOwnUninterruptedRunLeavesIt) {
    struct Scenario {
        const char* name;
        std::vector<std::string> bridges;   // without the fault key
        size_t cut;                          // the bridge cut off
        bool together;                       // recovered on two threads at once
        bool twoInterfaces;                  // one bridge, written through both of its interfaces
    };
    const std::vector<Scenario> scenarios = {
        {"shared-serial, A cut", {"q970:serial=SAME", "q970:serial=SAME"}, 0, true, false},
        {"shared-serial, B cut", {"q970:serial=SAME", "q970:serial=SAME"}, 1, true, false},
        {"blank on a cut serial", {"q970:serial=SAME", "q970:serial=SAME,content=blank"}, 0, false, false},
        {"two interfaces", {"q970:serial=BOTH,iface=both"}, 0, true, true},
    };
    auto distinguish = [](ModelFixture& fx, const Scenario& s) {
        // The second enclosure's own bytes differ from the first's.
        if (s.bridges.size() > 1 && s.bridges[1].find("blank") == std::string::npos)
            fx.platform->Bridge(1).WriteFlashDirect(14, std::vector<uint8_t>(32, 'B'));
    };
    const fs::path folder =
        fs::temp_directory_path() / ("qks-enclosures-" + std::to_string(::getpid()));
    for (const Scenario& s : scenarios) {
        std::vector<std::vector<uint8_t>> oneRun;
        uint64_t identified = 0, commands = 0;
        {
            ModelFixture clean(s.bridges);
            distinguish(clean, s);
            const auto services = clean.Services();
            SilentSink silent;
            for (size_t i = 0; i < s.bridges.size(); ++i) {
                const DeviceRef ref = clean.RefOf(i, services);
                if (i == s.cut) identified = clean.platform->CommandsSent();
                ASSERT_TRUE(RecoverDevice(services, ref, {}, silent).Ok()) << s.name;
                if (i == s.cut) commands = clean.platform->CommandsSent() - identified;
                oneRun.push_back(clean.Flash(i));
            }
        }
        int runs = 0, wrong = 0, exceptions = 0;
        for (const char* fault : {"unplug", "powerloss"}) {
            for (uint64_t n = 1; n <= commands; n += 5) {
                fs::remove_all(folder);
                std::vector<std::string> bridges = s.bridges;
                bridges[s.cut] += std::string(",") + fault + "=" + std::to_string(identified + n);
                ++runs;
                try {
                    ModelFixture fx(bridges);
                    distinguish(fx, s);
                    const DeviceServices services = fx.Services(folder.string());
                    std::vector<DeviceRef> refs;
                    if (s.twoInterfaces) {
                        refs = {RefOfInterface(fx, 0, InterfaceClass::Disk, services),
                                RefOfInterface(fx, 0, InterfaceClass::Cdrom, services)};
                    } else {
                        for (size_t i = 0; i < s.bridges.size(); ++i) refs.push_back(fx.RefOf(i, services));
                    }
                    auto recover = [&](const DeviceRef& ref) {
                        SilentSink silent;
                        (void)RecoverDevice(services, ref, {}, silent);
                    };
                    if (s.together) {
                        std::vector<std::thread> writers;
                        for (const auto& ref : refs) writers.emplace_back(recover, ref);
                        for (auto& w : writers) w.join();
                    } else {
                        for (const auto& ref : refs) recover(ref);
                    }
                    fx.platform->Plug(s.cut);
                    // The cut one's next recovery, as `recover` would find it.
                    SilentSink silent;
                    const DeviceRef again = fx.RefOf(s.cut, services);
                    Transport transport(services.passThrough, services.clock, services.trace);
                    VendorCommandSet commands(transport);
                    if (!IsAlreadyUpdated(services, commands, again))
                        (void)RecoverDevice(services, again, {}, silent);
                    for (size_t i = 0; i < s.bridges.size(); ++i)
                        if (fx.Flash(i) != oneRun[i]) ++wrong;
                } catch (const std::exception&) {
                    ++exceptions;
                }
            }
        }
        fs::remove_all(folder);
        std::printf("campaign %-26s runs %5d  wrong %d  exceptions %d\n", s.name, runs, wrong,
                    exceptions);
        EXPECT_GT(runs, 0) << s.name;
        EXPECT_EQ(wrong + exceptions, 0) << s.name;
    }
}

}  // namespace
}  // namespace qks::test
