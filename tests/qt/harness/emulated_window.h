// The real Qt window over emulated bridges: the face, the model, the
// emulator and the queued notices, put together the way the program does,
// in virtual time. Modal dialogs are answered by the test instead of waiting
// for a person, so a test never hangs on a box nobody closes.
#pragma once

#include <QCoreApplication>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "device/clock.h"
#include "emulator/platform.h"
#include "faces/qt/qt_face.h"
#include "faces/qt/queued_notifier.h"
#include "firmware/image_store.h"

namespace qks::qt::test {

class AnsweringFace : public QtFace {
public:
    struct Message {
        std::string text, caption;
        MessageIcon icon;
    };
    std::vector<Message> messages;
    std::vector<std::string> risks;
    bool riskAnswer = false;
    std::optional<std::string> chosenFile;
    // Runs after each forced repaint, while the model is inside its operation.
    std::function<void(ControlId)> afterRepaint;

    void ShowMessageBox(const std::string& text, const std::string& caption,
                        MessageIcon icon) override {
        messages.push_back({text, caption, icon});
    }
    bool ConfirmRisk(const std::string& text) override {
        risks.push_back(text);
        return riskAnswer;
    }
    std::optional<std::string> ChooseFile(const std::string&, const std::string&) override {
        return chosenFile;
    }
    void RepaintNow(ControlId id) override {
        QtFace::RepaintNow(id);
        if (afterRepaint) afterRepaint(id);
    }
};

class EmulatedWindow {
public:
    // `backupFolder`: where copies are kept before a write; empty: none kept.
    explicit EmulatedWindow(const std::vector<std::string>& descriptions, bool show = true,
                            const std::string& backupFolder = {})
        : platform(clock, EmbeddedImages().Find(kTargetImageName)), notices(platform) {
        for (const std::string& description : descriptions) {
            const emu::AddedBridge added = platform.AddBridge(description);
            if (!added.ok()) throw std::invalid_argument(added.error);
        }
        DeviceServices services(platform, platform, clock, EmbeddedImages());
        services.backupFolder = backupFolder;
        model = std::make_unique<TQ71xFwTool>(services, face);
        face.Bind(model.get());
        model->FormCreate(&notices);
        if (show) face.show();
    }
    ~EmulatedWindow() {
        // The model first: its destruction still talks to the emulator.
        model.reset();
    }

    // Lets the event loop deliver what was posted (device notices).
    static void Deliver() { QCoreApplication::processEvents(); }

    Screen CurrentScreen() const { return model->CurrentScreen(); }

    VirtualClock clock;
    emu::EmulatorPlatform platform;
    QueuedNotifier notices;
    AnsweringFace face;
    std::unique_ptr<TQ71xFwTool> model;
};

}  // namespace qks::qt::test
