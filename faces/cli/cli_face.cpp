#include "faces/cli/cli_face.h"

#include <algorithm>

#include "app/tq71x_fw_tool.h"

namespace qks::cli {

namespace {
// The paged operations append a dot per page to the same text; on a
// terminal that is what the bar shows, so only the first text is a line.
bool OnlyMoreDots(const std::string& shown, const std::string& text) {
    if (shown.empty() || text.size() <= shown.size() || text.compare(0, shown.size(), shown) != 0)
        return false;
    return std::all_of(text.begin() + static_cast<long>(shown.size()), text.end(),
                       [](char c) { return c == '.'; });
}
}  // namespace

void CliFace::Attach(const TQ71xFwTool& window) {
    window_ = &window;
    FollowStatus();
    FollowBar();
}

void CliFace::ControlChanged(ControlId id) {
    if (window_ == nullptr) return;
    if (id == ControlId::StatusEdit) FollowStatus();
    if (id == ControlId::FwUpdatBar) FollowBar();
}

void CliFace::RepaintNow(ControlId id) {
    if (window_ != nullptr && id == ControlId::FwUpdatBar) FollowBar();
}

void CliFace::FollowStatus() {
    const std::string& text = window_->Control(ControlId::StatusEdit).text;
    if (text.empty()) {
        shownStatus_.clear();
        return;
    }
    if (text == shownStatus_ || OnlyMoreDots(shownStatus_, text)) {
        shownStatus_ = text;
        return;
    }
    shownStatus_ = text;
    if (options_.verbosity >= 1) console_.Err("status: " + Trimmed(text));
}

void CliFace::FollowBar() {
    const ControlState& bar = window_->Control(ControlId::FwUpdatBar);
    if (bar.visible)
        console_.ShowProgress(bar.position);
    else
        console_.HideProgress();
}

void CliFace::ShowMessageBox(const std::string& text, const std::string& caption, MessageIcon) {
    messages_.push_back({caption, text});
    // A modal box on a terminal has nobody to wait for: it is answered OK.
    if (!options_.collectMessages) console_.Out("[" + caption + "] " + Trimmed(text));
}

void CliFace::DebugOutput(const std::string& text) {
    if (options_.verbosity >= 1) console_.Err("debug: " + Trimmed(text));
}

bool CliFace::ConfirmRisk(const std::string& text) {
    if (options_.allowDevelopmentImage) {
        console_.Err("warning: " + Trimmed(text));
        console_.Err("warning: accepted by --allow-development-image");
        return true;
    }
    declinedRisk_ = text;
    return false;
}

}  // namespace qks::cli
