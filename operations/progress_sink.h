// Where an operation reports while it runs: status texts (replaced, or rows
// of dots appended), progress steps, message boxes and diagnostics. The
// window turns them into its controls, the command line into lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/flash_progress.h"
#include "device/user_messages.h"

namespace qks {

// Phases and waits (FlashProgress) are for a face that shows them; the
// window keeps its designed bar and leaves them to the defaults.
class ProgressSink : public UserMessages, public FlashProgress {
public:
    virtual void Status(const std::string& text) = 0;
    virtual void AppendStatus(const std::string& more) = 0;
    virtual void RepaintStatus() {}
    virtual void Step(int32_t amount) = 0;
    // The flow pauses where the user may act (a window processes its events).
    virtual void LetEventsThrough() {}
    // Which of these saved copies holds the device's own header ("TIME  PATH"
    // each); nothing to take the image's header instead.
    virtual std::optional<size_t> ChooseSavedCopy(const std::string& /*question*/,
                                                  const std::vector<std::string>& /*copies*/) {
        return std::nullopt;
    }
    // A copy of the device's memory ("flash", "internal ROM") was kept
    // before anything is erased. It has a place of its own: the status
    // texts are the flow's, and a notice in their place would hide them.
    virtual void CopySaved(const std::string& /*memory*/, const std::string& /*path*/) {}
    // The operation waits for something outside it (another write to the
    // same enclosure); `text` says for what.
    virtual void Waiting(const std::string& /*text*/) {}
};

// How the copy's notice reads, wherever a face shows it.
inline std::string CopySavedNotice(const std::string& memory, const std::string& path) {
    return "Backup of the " + memory + " saved to " + path;
}

// Shows nothing; a caller that answers only the question derives from it.
class SilentSink : public ProgressSink {
public:
    void Status(const std::string&) override {}
    void AppendStatus(const std::string&) override {}
    void Step(int32_t) override {}
    void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override {}
    void DebugOutput(const std::string&) override {}
};

}  // namespace qks
