// What the device commands share: the sink that shows an operation's
// progress on a terminal, one identification of every device, and the one
// numbering `--device` takes everywhere.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "faces/cli/cli.h"
#include "faces/cli/commands.h"
#include "faces/cli/console.h"
#include "faces/cli/interrupts.h"
#include "faces/cli/json_documents.h"
#include "operations/discovery.h"
#include "operations/operations.h"

#include <nlohmann/json.hpp>

namespace qks::cli {

class CliSink final : public ProgressSink {
public:
    CliSink(Console& console, int verbosity, bool collectMessages)
        : console_(console), verbosity_(verbosity), collect_(collectMessages) {}
    void Status(const std::string& text) override;
    void AppendStatus(const std::string& more) override { status_ += more; }
    void Step(int32_t amount) override;
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override;
    void DebugOutput(const std::string& text) override;
    void Waiting(const std::string& text) override;
    // Kept right before the first erase: from here to the end of the
    // command an interrupt is held, and the way back is on screen.
    void CopySaved(const std::string& memory, const std::string& path) override;
    // The phase, its bytes and the time left after the bar, on a terminal;
    // the time comes from `clock`, the one the flow's waits pass in.
    void Phase(PhaseKind phase, uint32_t done, uint32_t total) override;
    void WaitingForFlash(uint64_t waitedMs) override;
    void UseClock(const Clock& clock) { clock_ = &clock; }

    void StartProgress(int percent);
    void EndProgress();
    const std::string& LastStatus() const { return status_; }
    const std::vector<ShownMessage>& Messages() const { return messages_; }

private:
    Console& console_;
    int verbosity_;
    bool collect_;
    std::string status_;
    int percent_ = 0;
    bool bar_ = false;
    std::vector<ShownMessage> messages_;
    std::unique_ptr<InterruptHold> hold_;

    void DrawLabel();
    const Clock* clock_ = nullptr;
    std::optional<PhaseKind> phase_;
    uint32_t phaseDone_ = 0;
    uint32_t phaseTotal_ = 0;
    uint64_t bytesBefore_ = 0;   // of the phases already left
    uint64_t startedMicros_ = 0;
    std::optional<uint64_t> waitedMs_;
};

// "write 24/64 KB, about 3 s left": what is left of this phase, then the
// write and the verify that end every flow at the rate seen so far.
std::string PhaseLabel(PhaseKind phase, uint32_t done, uint32_t total, uint64_t bytesBefore,
                       uint64_t elapsedMicros);

// The device --device names (its number in `list`, its path or its USB
// serial), or the first one `wanted` accepts. A key that fits devices of
// two enclosures names none; an error text says why when none is picked.
const IdentifyReport* PickDevice(const Discovery& list, const std::optional<std::string>& device,
                                 bool (*wanted)(const IdentifyReport&), std::string& error);

// The window's line for a screen, without its leading blanks.
std::string ScreenText(DiscoveredScreen screen);

// Writing commands ask first; without a terminal only --yes answers. The
// exit status when neither can, before anything is built or sent.
std::optional<int> RefuseUnanswered(Console& console, const std::string& command,
                                    const RecoverOptions& options,
                                    const CliEnvironment& environment);
// A question answered on the terminal, or by --yes.
bool AskYesNo(Console& console, const std::string& question, bool yes,
              const CliEnvironment& environment);
// "Device N: SERIES at PATH (serial S)".
std::string DeviceLine(const IdentifyReport& device);

}  // namespace qks::cli
