// Sleep held off from the first command that changes a device until the
// operation's outcome, for every flow that writes; a hold the system
// refuses is a note on the outcome, and the write goes on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/model_fixture.h"
#include "operations/operations.h"

namespace qks::test {
namespace {

// Where in the trace the hold began and ended.
class RecordingInhibitor final : public SleepInhibitor {
public:
    explicit RecordingInhibitor(const RecordingTrace& trace) : trace_(trace) {}

    std::unique_ptr<Hold> HoldOff(const std::string& who, const std::string& why,
                                  std::string& error) override {
        if (!refusal.empty()) {
            error = refusal;
            return nullptr;
        }
        holds.push_back({who, why, trace_.records.size(), std::nullopt});
        return std::make_unique<Recorded>(*this, holds.size() - 1);
    }

    struct Span {
        std::string who;
        std::string why;
        size_t takenAt;
        std::optional<size_t> releasedAt;
    };
    std::vector<Span> holds;
    std::string refusal;

private:
    class Recorded final : public Hold {
    public:
        Recorded(RecordingInhibitor& owner, size_t index) : owner_(owner), index_(index) {}
        ~Recorded() override {
            owner_.holds[index_].releasedAt = owner_.trace_.records.size();
        }

    private:
        RecordingInhibitor& owner_;
        size_t index_;
    };
    const RecordingTrace& trace_;
};

std::vector<size_t> ModifyingAt(const RecordingTrace& trace) {
    std::vector<size_t> found;
    for (size_t i = 0; i < trace.records.size(); ++i) {
        const auto& cdb = trace.records[i].cdb;
        if (SummarizeCommand(cdb.data(), static_cast<uint8_t>(cdb.size())).modifiesMemory)
            found.push_back(i);
    }
    return found;
}

struct Flow {
    const char* name;
    const char* bridge;
    Outcome (*run)(const DeviceServices&, const DeviceRef&, const std::string& scratch);
    bool writes;
};

const Flow kFlows[] = {
    {"recover", "q970",
     [](const DeviceServices& s, const DeviceRef& d, const std::string&) {
         SilentSink sink;
         return RecoverDevice(s, d, EngineOptions{}, sink);
     },
     true},
    {"erase", "q719",
     [](const DeviceServices& s, const DeviceRef& d, const std::string&) {
         SilentSink sink;
         return EraseFlash(s, d, EngineOptions{}, sink);
     },
     true},
    {"restore", "q970",
     [](const DeviceServices& s, const DeviceRef& d, const std::string& scratch) {
         const auto image = ModelFixture::Image();
         std::vector<char> bytes(65536, '\xff');
         std::copy(image.begin(), image.end(), bytes.begin());
         std::ofstream(scratch, std::ios::binary).write(bytes.data(), 65536);
         SilentSink sink;
         return RestoreFlash(s, d, scratch, sink);
     },
     true},
    {"backup", "q719",
     [](const DeviceServices& s, const DeviceRef& d, const std::string& scratch) {
         EngineOptions options;
         options.backupFile = scratch;
         SilentSink sink;
         return BackupFlash(s, d, options, sink);
     },
     false},
};

TEST(SleepHold, HeldFromTheFirstChangeUntilTheOutcomeAndOnlyWhenWriting) {
    const std::string scratch =
        (std::filesystem::temp_directory_path() / "qks970-sleep-hold.bin").string();
    for (const Flow& flow : kFlows) {
        SCOPED_TRACE(flow.name);
        std::filesystem::remove(scratch);   // a backup never replaces a file unasked
        ModelFixture fx({flow.bridge});
        RecordingInhibitor inhibitor(fx.trace);
        DeviceServices services = fx.Services();
        services.sleepInhibitor = &inhibitor;
        const DeviceRef ref = fx.RefOf(0, services);
        fx.trace.records.clear();
        const Outcome outcome = flow.run(services, ref, scratch);
        ASSERT_TRUE(outcome.Ok()) << outcome.CauseText();
        const auto modifying = ModifyingAt(fx.trace);
        if (!flow.writes) {
            EXPECT_TRUE(inhibitor.holds.empty());
            EXPECT_TRUE(modifying.empty());
            continue;
        }
        ASSERT_EQ(inhibitor.holds.size(), 1u);
        ASSERT_FALSE(modifying.empty());
        const auto& hold = inhibitor.holds[0];
        EXPECT_LE(hold.takenAt, modifying.front());
        ASSERT_TRUE(hold.releasedAt.has_value()) << "still held after the outcome";
        EXPECT_GT(*hold.releasedAt, modifying.back());
        EXPECT_EQ(hold.who, "qks970-recovery");
        EXPECT_NE(hold.why.find(ref.path), std::string::npos) << hold.why;
        EXPECT_NE(hold.why.find(ref.serial), std::string::npos) << hold.why;
    }
    std::filesystem::remove(scratch);
}

TEST(SleepHold, ARefusedHoldIsANoteAndTheWriteGoesOn) {
    ModelFixture fx({"q970"});
    RecordingInhibitor inhibitor(fx.trace);
    inhibitor.refusal = "the system bus cannot be reached (No such file or directory)";
    DeviceServices services = fx.Services();
    services.sleepInhibitor = &inhibitor;
    SilentSink sink;
    const Outcome outcome = RecoverDevice(services, fx.RefOf(0, services), EngineOptions{}, sink);
    ASSERT_TRUE(outcome.Ok()) << outcome.CauseText();
    ASSERT_EQ(outcome.notes.size(), 1u);
    EXPECT_NE(outcome.notes[0].find("may still sleep during this write: " + inhibitor.refusal),
              std::string::npos)
        << outcome.notes[0];
}

}  // namespace
}  // namespace qks::test
