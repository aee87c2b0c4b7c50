// The chip-family table's shape, and the operations' outcomes: what they
// refuse before sending anything, the cause a failure carries, and the
// check that the device is still the one they started on.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <unistd.h>

#include "app/model_fixture.h"
#include "operations/operations.h"

namespace qks::test {
namespace {

TEST(ChipFamilies, OneRowPerChipTypeAndEveryRowConsistent) {
    ASSERT_EQ(kChipFamilies.size(), ChipSeriesNames.size());
    int targets = 0;
    for (size_t type = 0; type < kChipFamilies.size(); ++type) {
        const ChipFamily& f = kChipFamilies[type];
        const auto chip = MakeChipId(static_cast<uint8_t>(type), 1);
        EXPECT_STREQ(f.series, ChipSeriesNames[type]) << type;
        EXPECT_LT(std::strlen(f.series), kNameFieldBytes) << type;
        // A family whose flows write has an image to write, and only then.
        EXPECT_EQ(f.run != RunAction::None, *RunImageFor(chip) != '\0') << type;
        EXPECT_EQ(f.yes != YesAction::None, *YesImageFor(chip) != '\0') << type;
        // The ROM options belong to the ROM engine; the 4 KB box to its update.
        EXPECT_EQ(f.romTypeList, f.run == RunAction::InternalRom) << type;
        EXPECT_EQ(f.configurationBox, f.run == RunAction::KeepConfigurationUpdate) << type;
        if (f.sizeList) {
            EXPECT_TRUE(OffersEraseAndBackup(chip)) << type;
        }
        targets += f.yes == YesAction::RecoverTarget;
    }
    EXPECT_EQ(targets, 1);
    EXPECT_TRUE(IsTarget(MakeChipId(kTargetChipType, 0)));
    EXPECT_STREQ(RunImageFor(MakeChipId(6, 2)), kRevisionBImageName);
    EXPECT_STREQ(RunImageFor(MakeChipId(6, 3)), "");
    EXPECT_EQ(&FamilyOf(MakeChipId(200, 0)), &kChipFamilies[0]);
}

class Operations : public ::testing::Test {
protected:
    DeviceRef Ref(ModelFixture& fx, size_t bridge) { return fx.RefOf(bridge, fx.Services()); }
    DeviceServices Services(ModelFixture& fx) { return fx.Services(); }
    SilentSink sink;
};

// Actions a family does not offer are refused before anything is sent.
TEST_F(Operations, WhatTheFamilyDoesNotOfferIsRefusedWithoutACommand) {
    struct Case {
        std::string bridge;
        Outcome (*operation)(const DeviceServices&, const DeviceRef&, EngineOptions, ProgressSink&);
    };
    const Case cases[] = {{"q742", EraseFlash}, {"q742", BackupFlash}, {"q970", RunUpdate},
                          {"q970", EraseFlash}, {"q709", RecoverDevice}};
    for (const auto& c : cases) {
        ModelFixture fx({c.bridge});
        const DeviceRef ref = Ref(fx, 0);
        const auto flash = fx.Flash();
        fx.trace.records.clear();
        const Outcome outcome = c.operation(Services(fx), ref, EngineOptions{}, sink);
        ASSERT_FALSE(outcome.Ok()) << c.bridge;
        EXPECT_EQ(outcome.failure->kind, FailureKind::NotOffered) << c.bridge;
        EXPECT_TRUE(fx.trace.records.empty()) << c.bridge;
        EXPECT_EQ(fx.Flash(), flash) << c.bridge;
    }
}

// A refused write names itself, its address and the device's answer; a
// device that went away says so; either way under the operation's name.
// The cause names the command, never a status text, and ends in what became
// of the enclosure: a refused first erase left it as it was.
TEST_F(Operations, AFailureCarriesItsCauseChain) {
    struct Case {
        const char* fault;
        const char* command;
        const char* expected;
        bool changed;
    };
    for (const Case c : {Case{"fail", "erase", "recover: erase at 0x0 refused", false},
                         Case{"fail", "write", "recover: write at 0x", true},
                         Case{"unplug", "write", "device went away", true}}) {
        uint64_t first = 0;
        {
            ModelFixture counting({"q970"});
            const DeviceRef ref = Ref(counting, 0);
            counting.trace.records.clear();
            ASSERT_TRUE(RecoverDevice(Services(counting), ref, {}, sink).Ok());
            for (const auto& r : counting.trace.records)
                if (SummarizeCommand(r.cdb.data(), r.cdb.size()).name == c.command) {
                    first = r.seq;
                    break;
                }
        }
        // Trace numbers count from the identification on, as the emulator does.
        ModelFixture faulty({std::string("q970:") + c.fault + "=" + std::to_string(first)});
        const DeviceRef faultyRef = Ref(faulty, 0);
        const Outcome outcome = RecoverDevice(Services(faulty), faultyRef, {}, sink);
        ASSERT_FALSE(outcome.Ok()) << c.fault;
        const std::string text = outcome.CauseText();
        EXPECT_NE(text.find(c.expected), std::string::npos) << text;
        EXPECT_EQ(outcome.failure->chain.front(), "recover");
        EXPECT_EQ(outcome.failure->deviceChanged, c.changed) << text;
        const std::string ending = c.changed ? FlashChangedText(outcome.backupPath) : kNothingWritten;
        EXPECT_EQ(text.substr(text.size() - std::min(text.size(), ending.size())), ending) << text;
        if (std::string(c.fault) == "fail") {
            ASSERT_TRUE(outcome.failure->answer.has_value());
            EXPECT_NE(outcome.failure->answer->decoded.find("CHECK CONDITION"), std::string::npos);
            EXPECT_TRUE(outcome.failure->address.has_value());
            EXPECT_EQ(outcome.failure->kind, FailureKind::Refused);
        } else {
            EXPECT_EQ(outcome.failure->kind, FailureKind::DeviceGone);
        }
    }
}

// Whether the bridge takes block updates decides which bytes the write keeps:
// a refused or short answer ends the recovery with its cause, nothing erased.
TEST_F(Operations, AnUnansweredBlockModeReadStopsTheRecovery) {
    uint64_t blockModeRead = 0;
    {
        ModelFixture counting({"q970:blockmode=1"});
        const DeviceRef ref = Ref(counting, 0);
        counting.trace.records.clear();
        ASSERT_TRUE(RecoverDevice(Services(counting), ref, {}, sink).Ok());
        blockModeRead = counting.trace.records.front().seq;
    }
    for (const char* fault : {"fail", "short"}) {
        ModelFixture faulty({std::string("q970:blockmode=1,") + fault + "=" + std::to_string(blockModeRead)});
        const auto before = faulty.Flash();
        const Outcome outcome = RecoverDevice(Services(faulty), Ref(faulty, 0), {}, sink);
        ASSERT_FALSE(outcome.Ok()) << fault;
        EXPECT_NE(outcome.CauseText().find("whether the bridge takes block updates"), std::string::npos)
            << outcome.CauseText();
        EXPECT_FALSE(outcome.failure->deviceChanged) << fault;
        EXPECT_EQ(faulty.Flash(), before) << fault;
    }
}

// Another bridge at the operation's path, or none, stops it before its
// first erase: nothing is written anywhere.
TEST_F(Operations, AnotherDeviceAtThePathIsNeverWritten) {
    struct Case {
        const char* what;
        std::function<void(ModelFixture&, DeviceRef&)> change;
        FailureKind kind;
    };
    const Case cases[] = {
        {"another serial answers", [](ModelFixture&, DeviceRef& ref) { ref.serial = "SOMEONE-ELSE"; },
         FailureKind::DeviceChanged},
        {"the device went away", [](ModelFixture& fx, DeviceRef&) { fx.platform->Unplug(0); },
         FailureKind::DeviceGone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ModelFixture fx({"q970", "q970:content=updated"});
        DeviceRef ref = Ref(fx, 0);
        const auto own = fx.Flash(0), other = fx.Flash(1);
        c.change(fx, ref);
        const Outcome outcome = RecoverDevice(Services(fx), ref, {}, sink);
        ASSERT_FALSE(outcome.Ok());
        EXPECT_EQ(outcome.failure->kind, c.kind) << outcome.CauseText();
        EXPECT_EQ(fx.Flash(0), own);
        EXPECT_EQ(fx.Flash(1), other);
    }
}

// The status line as a window would show it, and the copies announced apart from it.
class LineSink final : public SilentSink {
public:
    void Status(const std::string& text) override { Show(text); }
    void AppendStatus(const std::string& more) override { Show(line + more); }
    void CopySaved(const std::string& memory, const std::string& path) override {
        copies.push_back(CopySavedNotice(memory, path));
    }
    void Show(const std::string& text) {
        line = text;
        history.push_back(text);
    }
    std::string line;
    std::vector<std::string> history;
    std::vector<std::string> copies;
};

// The copy's notice never stands in the place of the flow's own texts.
TEST(CopyNotice, LeavesTheStatusLineToTheFlow) {
    struct Case {
        const char* what;
        std::string bridge;
        Outcome (*operation)(const DeviceServices&, const DeviceRef&, EngineOptions, ProgressSink&);
        const char* refused;   // the command refused, by its trace name
        std::string finalLine;
        bool dots;             // pages append their dots to the flow's own text
    };
    const Case cases[] = {
        {"serial-flash update", "q719", RunUpdate, "", "Programming Success!!", true},
        {"4 KB-keeping update", "q742:rev=1", RunUpdate, "", "", false},
        {"ROM erase-only, erase refused", "q716", EraseFlash, "ROM erase", "Start Erase only!", false},
    };
    const auto folder = std::filesystem::temp_directory_path() /
                        ("qks-copy-notice-" + std::to_string(::getpid()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(folder);
        std::string bridge = c.bridge;
        if (*c.refused) {
            ModelFixture counting({c.bridge});
            const DeviceRef ref = counting.RefOf(0, counting.Services());
            SilentSink silent;
            (void)c.operation(counting.Services(folder.string()), ref, {}, silent);
            uint64_t seq = 0;
            for (const auto& r : counting.trace.records)
                if (SummarizeCommand(r.cdb.data(), r.cdb.size()).name == c.refused) seq = r.seq;
            ASSERT_NE(seq, 0u);
            bridge += std::string(c.bridge.find(':') == std::string::npos ? ":" : ",") +
                      "fail=" + std::to_string(seq);
            std::filesystem::remove_all(folder);
        }
        ModelFixture fx({bridge});
        const DeviceRef ref = fx.RefOf(0, fx.Services());
        LineSink line;
        const Outcome outcome = c.operation(fx.Services(folder.string()), ref, {}, line);
        EXPECT_EQ(line.line, c.finalLine) << outcome.CauseText();
        ASSERT_EQ(line.copies.size(), 1u);
        EXPECT_EQ(line.copies[0], "Backup of the " +
                                      std::string(*c.refused ? "internal ROM" : "flash") +
                                      " saved to " + outcome.backupPath);
        EXPECT_TRUE(std::filesystem::exists(outcome.backupPath));
        for (const auto& text : line.history)
            EXPECT_EQ(text.find("Backup of"), std::string::npos) << text;
        const bool dotted = std::any_of(line.history.begin(), line.history.end(), [](const auto& t) {
            return !t.empty() && t.find_first_not_of('.') == std::string::npos;
        });
        EXPECT_EQ(dotted, c.dots);
    }
    std::filesystem::remove_all(folder);
}

// Gone is the back-end's verdict: the same OS error number is a refusal on
// one system (19, write protect on Windows) and gone on another.
TEST(FailureFromTransport, GoneIsTheBackEndsFlagNotAnErrorNumber) {
    struct Case {
        int osError;
        bool gone;
        bool openFailed;
        FailureKind kind;
    };
    for (const Case c : {Case{19, false, false, FailureKind::Refused},
                         Case{1167, true, false, FailureKind::DeviceGone},
                         Case{2, true, true, FailureKind::DeviceGone},
                         Case{5, false, true, FailureKind::Refused}}) {
        TransferFailure f;
        f.any = true;
        f.osError = c.osError;
        f.deviceGone = c.gone;
        f.openFailed = c.openFailed;
        EXPECT_EQ(FailureFromTransport(f).kind, c.kind) << c.osError;
    }
}

}  // namespace
}  // namespace qks::test
