// What the window model asks of a face (Qt, Win32, the command line). A face
// renders the model's state and forwards the user's events; it decides nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device/user_messages.h"
#include "resources/form_description.h"

namespace qks {

class WindowFace {
public:
    virtual ~WindowFace() = default;
    // The control's state changed; bring the native control up to date.
    virtual void ControlChanged(ControlId id) = 0;
    virtual void ClientHeightChanged(int height) = 0;
    // Paint this control now, without waiting for the event loop.
    virtual void RepaintNow(ControlId id) = 0;
    virtual void ProcessPendingEvents() = 0;
    virtual void ShowMessageBox(const std::string& text, const std::string& caption,
                                MessageIcon icon) = 0;
    virtual void DebugOutput(const std::string& text) = 0;
    // The file-open dialog; nothing when the user cancels.
    virtual std::optional<std::string> ChooseFile(const std::string& filter,
                                                  const std::string& initialFolder) = 0;
    // An explicit yes to a risk the user must accept; false unless confirmed.
    virtual bool ConfirmRisk(const std::string& text) = 0;
    // One of several choices, or nothing when the user declines them all.
    virtual std::optional<size_t> ChooseOne(const std::string& /*question*/,
                                            const std::vector<std::string>& /*choices*/) {
        return std::nullopt;
    }
    virtual void CloseWindow() = 0;
};

// A face that shows nothing: for headless use and tests that need none.
class NullFace : public WindowFace {
public:
    void ControlChanged(ControlId) override {}
    void ClientHeightChanged(int) override {}
    void RepaintNow(ControlId) override {}
    void ProcessPendingEvents() override {}
    void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override {}
    void DebugOutput(const std::string&) override {}
    std::optional<std::string> ChooseFile(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    bool ConfirmRisk(const std::string&) override { return false; }
    void CloseWindow() override {}
};

}  // namespace qks
