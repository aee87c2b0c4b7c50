// Every screen of the window rendered to PNG files in a folder, driving the
// real widgets over emulated bridges: Confirm, Working (captured while the
// recovery runs), Success, NoDevice, AlreadyUpdated, Failure and the box
// with its cause, the open
// engineering panel and the emulator's power strip, and the program icon.
#pragma once

#include <filesystem>

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <string>
#include <vector>

#include "faces/qt/power_strip.h"
#include "faces/qt/program_icon.h"
#include "qt/harness/emulated_window.h"

namespace qks::qt::test {

struct Rendering {
    std::vector<std::string> written;   // file names, in order
    std::vector<std::string> problems;  // one line each; empty when all went well
};

class ScreenRenderer {
public:
    explicit ScreenRenderer(QDir folder) : folder_(std::move(folder)) {}

    Rendering Run() {
        RecoveryCycle();
        FailedRecovery();
        EngineeringPanel();
        EmulatorStrip();
        Save(QPixmap::fromImage(ProgramIconImage(256)), "icon");
        return std::move(result_);
    }

private:
    void Fail(const std::string& what) { result_.problems.push_back(what); }

    bool Save(const QPixmap& pixmap, const char* name) {
        const QString path = folder_.filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
        if (pixmap.isNull() || !pixmap.save(path)) {
            Fail("cannot write " + path.toStdString());
            return false;
        }
        result_.written.push_back(std::string(name) + ".png");
        return true;
    }

    // Saves the window when it shows `screen`; says what it shows otherwise.
    void SaveScreen(EmulatedWindow& window, Screen screen, const char* name) {
        if (window.CurrentScreen() != screen) {
            Fail(std::string(name) + ": the window shows " + ScreenName(window.CurrentScreen()) +
                 ", not " + ScreenName(screen));
            return;
        }
        Save(window.face.grab(), name);
    }

    static void Click(EmulatedWindow& window, ControlId id) {
        static_cast<QAbstractButton*>(window.face.Native(id))->click();
    }

    // The ordinary cycle: Confirm, Working, Success, then the enclosure's
    // power off (NoDevice) and on again (AlreadyUpdated).
    void RecoveryCycle() {
        EmulatedWindow window({"q970"});
        SaveScreen(window, Screen::Confirm, "confirm");

        // Half-way is where a reader sees both the bar and what is left of it.
        bool working = false;
        window.face.afterRepaint = [&](ControlId id) {
            if (working || id != ControlId::FwUpdatBar) return;
            if (window.model->Control(ControlId::FwUpdatBar).position < 50) return;
            working = Save(window.face.grab(), "working");
        };
        Click(window, ControlId::EraseButton);
        window.face.afterRepaint = nullptr;
        if (!working) Fail("working: the progress bar never passed half-way");
        SaveScreen(window, Screen::Success, "success");

        window.platform.Unplug(0);
        window.Deliver();
        SaveScreen(window, Screen::NoDevice, "no-device");

        window.platform.Plug(0);
        window.Deliver();
        SaveScreen(window, Screen::AlreadyUpdated, "already-updated");
    }

    // A bit that will not erase: the flow fails, and the box after the
    // Failure screen says why, what became of the flash and where the old
    // flash went.
    void FailedRecovery() {
        const std::string copies = "/tmp/qks970-screens/backups";
        std::filesystem::remove_all(copies);
        EmulatedWindow window({"q970:flip=0x2000"}, true, copies);
        Click(window, ControlId::EraseButton);
        SaveScreen(window, Screen::Failure, "failure");
        if (window.face.messages.empty()) {
            Fail("failure: no box told the cause");
            return;
        }
        const auto& cause = window.face.messages.back();
        QMessageBox box(QMessageBox::Critical, QString::fromStdString(cause.caption),
                        QString::fromStdString(cause.text), QMessageBox::Ok);
        box.show();
        Save(box.grab(), "failure-cause");
    }

    // An older family, so the panel's fields have something to show.
    void EngineeringPanel() {
        EmulatedWindow window({"q719"});
        window.model->EnableEngineeringMode();
        Click(window, ControlId::RdCheckBox);
        if (!window.model->Control(ControlId::RdPanel).visible) {
            Fail("engineering: the panel did not open");
            return;
        }
        Save(window.face.grab(), "engineering");
    }

    // With the emulator the window gets the enclosures' power switches below
    // the designed area; here the second enclosure is switched off.
    void EmulatorStrip() {
        EmulatedWindow window({"q970", "q970:content=updated"});
        auto* strip = new PowerStrip(window.platform, window.notices);
        window.face.SetStrip(strip);
        strip->Switch(1)->click();
        window.Deliver();
        SaveScreen(window, Screen::Confirm, "emulator-strip");
    }

    QDir folder_;
    Rendering result_;
};

inline Rendering RenderScreens(const QDir& folder) { return ScreenRenderer(folder).Run(); }

}  // namespace qks::qt::test
