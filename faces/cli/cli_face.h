// The window model's face on a terminal: status texts and debugger output
// as lines (with -v), the progress bar, message boxes as "[caption] text",
// and answers the model asks for that a terminal run gives up front.
#pragma once

#include <string>
#include <vector>

#include "app/window_face.h"
#include "faces/cli/console.h"

namespace qks {
class TQ71xFwTool;
}

namespace qks::cli {

struct FaceOptions {
    int verbosity = 0;
    bool allowDevelopmentImage = false;
    // JSON output: message boxes go into the document, never onto stdout.
    bool collectMessages = false;
};

struct ShownMessage {
    std::string caption;
    std::string text;
};

class CliFace final : public WindowFace {
public:
    CliFace(Console& console, FaceOptions options) : console_(console), options_(options) {}

    // The model calls the face while it is still being built, before its
    // state can be read; from here on control changes are followed.
    void Attach(const TQ71xFwTool& window);

    void ControlChanged(ControlId id) override;
    void ClientHeightChanged(int) override {}
    void RepaintNow(ControlId id) override;
    // One thread and no event loop: nothing is ever pending.
    void ProcessPendingEvents() override {}
    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override;
    void DebugOutput(const std::string& text) override;
    // File names are given on the command line and set as the field's text.
    std::optional<std::string> ChooseFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    bool ConfirmRisk(const std::string& text) override;
    void CloseWindow() override { closed_ = true; }

    const std::vector<ShownMessage>& Messages() const { return messages_; }
    // The risk the model asked about and the run did not accept; empty if none.
    const std::string& DeclinedRisk() const { return declinedRisk_; }
    bool Closed() const { return closed_; }

private:
    void FollowStatus();
    void FollowBar();

    Console& console_;
    FaceOptions options_;
    const TQ71xFwTool* window_ = nullptr;
    std::string shownStatus_;
    std::vector<ShownMessage> messages_;
    std::string declinedRisk_;
    bool closed_ = false;
};

}  // namespace qks::cli
