// The recovery dialog driven through the real widgets over emulated
// bridges: YES, NO and EXIT clicked with the mouse, device notices arriving
// through the event loop, the progress bar during the run.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>

#include "faces/qt/power_strip.h"
#include "qt/harness/emulated_window.h"

namespace qks::qt {
namespace {

using test::EmulatedWindow;

void ClickWidget(QWidget* widget) {
    ASSERT_TRUE(widget->isVisible());
    QTest::mouseClick(widget, Qt::LeftButton);
}

QString LabelText(EmulatedWindow& window, ControlId id) {
    return static_cast<QLabel*>(window.face.Native(id))->text();
}

QColor LabelColor(EmulatedWindow& window, ControlId id) {
    return window.face.Native(id)->palette().color(QPalette::WindowText);
}

// Which of the recovery controls a person can see.
struct Shown {
    bool devLable, yes, no, exit, replug1, replug2, bar;
    bool operator==(const Shown&) const = default;
};
Shown Visible(EmulatedWindow& window) {
    auto on = [&](ControlId id) { return window.face.Native(id)->isVisible(); };
    return {on(ControlId::devLable),     on(ControlId::EraseButton),  on(ControlId::ExitBtn),
            on(ControlId::ExtBtn),       on(ControlId::replugLable1), on(ControlId::replugLable2),
            on(ControlId::FwUpdatBar)};
}
void PrintTo(const Shown& s, std::ostream* os) {
    *os << "{devLable " << s.devLable << ", YES " << s.yes << ", NO " << s.no << ", EXIT "
        << s.exit << ", replug " << s.replug1 << s.replug2 << ", bar " << s.bar << "}";
}

constexpr Shown kConfirm{true, true, true, false, false, false, false};
constexpr Shown kOnlyExitAndMessage{true, false, false, true, false, false, false};
constexpr Shown kSuccess{false, false, false, true, true, true, false};

bool FlashHoldsImageBody(const emu::EmulatedBridge& bridge) {
    const auto image = EmbeddedImages().Find(kTargetImageName);
    const auto flash = bridge.Flash();
    return flash.size() >= image.size() &&
           std::equal(image.begin() + 128, image.end(), flash.begin() + 128);
}

TEST(RecoveryCycle, YesRecoversTheBridgeAndPowerCyclingEndsInAlreadyUpdated) {
    EmulatedWindow window({"q970"});
    ASSERT_EQ(window.CurrentScreen(), Screen::Confirm);
    EXPECT_EQ(Visible(window), kConfirm);
    EXPECT_EQ(LabelText(window, ControlId::devLable), QString::fromLatin1(kConfirmText));
    EXPECT_EQ(LabelColor(window, ControlId::devLable), QColor(Qt::black));
    ASSERT_FALSE(FlashHoldsImageBody(window.platform.Bridge(0)));

    ClickWidget(window.face.Native(ControlId::EraseButton));
    ASSERT_EQ(window.CurrentScreen(), Screen::Success);
    EXPECT_EQ(Visible(window), kSuccess);
    EXPECT_EQ(LabelText(window, ControlId::replugLable1),
              QStringLiteral("Please un-plug AC adapter "));
    EXPECT_EQ(LabelText(window, ControlId::replugLable2), QStringLiteral("and plug it again"));
    EXPECT_TRUE(FlashHoldsImageBody(window.platform.Bridge(0)));
    // YES is enabled again behind the scenes, ready for the next refresh.
    EXPECT_TRUE(window.face.Native(ControlId::EraseButton)->isEnabledTo(window.face.ClientArea()));

    window.platform.Unplug(0);
    window.Deliver();
    EXPECT_EQ(window.CurrentScreen(), Screen::NoDevice);
    window.platform.Plug(0);
    window.Deliver();
    ASSERT_EQ(window.CurrentScreen(), Screen::AlreadyUpdated);
    EXPECT_EQ(Visible(window), kOnlyExitAndMessage);
    EXPECT_EQ(LabelText(window, ControlId::devLable), QString::fromLatin1(kAlreadyUpdatedText));
    EXPECT_EQ(LabelColor(window, ControlId::devLable), QColor(Qt::red));
    EXPECT_TRUE(window.face.messages.empty());
}

TEST(RecoveryCycle, AVerifyFailureShowsTheFailureScreen) {
    EmulatedWindow window({"q970:flip=0x2000"});
    ClickWidget(window.face.Native(ControlId::EraseButton));
    ASSERT_EQ(window.CurrentScreen(), Screen::Failure);
    EXPECT_EQ(Visible(window), kOnlyExitAndMessage);
    EXPECT_EQ(LabelText(window, ControlId::devLable), QString::fromLatin1(kFailureText));
    EXPECT_EQ(LabelColor(window, ControlId::devLable), QColor(Qt::red));
}

// The bar is forced to paint mid-run; what it paints must be the model's
// position at that moment, rising from 20, and it must go away at the end.
TEST(RecoveryCycle, TheProgressBarShowsTheModelsPositionAtEveryForcedRepaint) {
    EmulatedWindow window({"q970"});
    auto* bar = static_cast<QProgressBar*>(window.face.Native(ControlId::FwUpdatBar));
    std::vector<int> painted;
    window.face.afterRepaint = [&](ControlId id) {
        if (id != ControlId::FwUpdatBar) return;
        EXPECT_TRUE(bar->isVisible());
        EXPECT_EQ(bar->value(), window.model->Control(ControlId::FwUpdatBar).position);
        EXPECT_FALSE(window.face.Native(ControlId::devLable)->isVisible());
        EXPECT_FALSE(window.face.Native(ControlId::EraseButton)->isEnabled());
        EXPECT_TRUE(window.face.Native(ControlId::ExitBtn)->isEnabled());
        painted.push_back(bar->value());
    };
    ClickWidget(window.face.Native(ControlId::EraseButton));
    ASSERT_GE(painted.size(), 2u);
    EXPECT_EQ(painted.front(), 20);
    EXPECT_TRUE(std::is_sorted(painted.begin(), painted.end()));
    EXPECT_TRUE(std::any_of(painted.begin(), painted.end(), [](int v) { return v > 20 && v < 100; }));
    EXPECT_FALSE(bar->isVisible());
}

TEST(Closing, NoInConfirmClosesTheWindow) {
    EmulatedWindow window({"q970"});
    ClickWidget(window.face.Native(ControlId::ExitBtn));
    EXPECT_FALSE(window.face.isVisible());
    EXPECT_TRUE(window.model->CloseRequested());
}

TEST(Closing, ExitInNoDeviceClosesTheWindow) {
    EmulatedWindow window({});
    ASSERT_EQ(window.CurrentScreen(), Screen::NoDevice);
    EXPECT_EQ(Visible(window), kOnlyExitAndMessage);
    EXPECT_EQ(LabelText(window, ControlId::devLable), QString::fromLatin1(kNoDeviceText));
    ClickWidget(window.face.Native(ControlId::ExtBtn));
    EXPECT_FALSE(window.face.isVisible());
}

// NO stays clickable while the recovery lets events through; the close waits
// for the write to finish instead of cutting it off.
TEST(Closing, NoOrTheCloseBoxDuringTheRunClosesOnceTheRunIsOver) {
    for (bool closeBox : {false, true}) {
        SCOPED_TRACE(closeBox ? "close box" : "NO");
        EmulatedWindow window({"q970"});
        bool asked = false;
        window.face.afterRepaint = [&](ControlId) {
            if (asked || window.model->Control(ControlId::FwUpdatBar).position <= 20) return;
            asked = true;
            if (closeBox)
                window.face.close();
            else
                QTest::mouseClick(window.face.Native(ControlId::ExitBtn), Qt::LeftButton);
            EXPECT_TRUE(window.face.isVisible());
            EXPECT_TRUE(window.model->CloseRequested());
        };
        ClickWidget(window.face.Native(ControlId::EraseButton));
        ASSERT_TRUE(asked);
        EXPECT_FALSE(window.face.isVisible());
        EXPECT_TRUE(FlashHoldsImageBody(window.platform.Bridge(0)));
    }
}

TEST(DeviceNotices, AnUnplugArrivesThroughTheEventLoopAndShowsNoDevice) {
    EmulatedWindow window({"q970"});
    ASSERT_EQ(window.CurrentScreen(), Screen::Confirm);
    window.platform.Unplug(0);
    // Posted, not run inside the platform's call.
    EXPECT_EQ(window.CurrentScreen(), Screen::Confirm);
    EXPECT_TRUE(window.face.Native(ControlId::EraseButton)->isVisible());
    window.Deliver();
    ASSERT_EQ(window.CurrentScreen(), Screen::NoDevice);
    EXPECT_EQ(Visible(window), kOnlyExitAndMessage);
    EXPECT_EQ(LabelText(window, ControlId::devLable), QString::fromLatin1(kNoDeviceText));
    EXPECT_EQ(LabelColor(window, ControlId::devLable), QColor(Qt::red));

    window.platform.Plug(0);
    window.Deliver();
    EXPECT_EQ(window.CurrentScreen(), Screen::Confirm);
    EXPECT_EQ(Visible(window), kConfirm);
    EXPECT_EQ(LabelColor(window, ControlId::devLable), QColor(Qt::black));
}

TEST(DeviceNotices, NoticesStillQueuedWhenTheNotifierGoesAreDropped) {
    VirtualClock clock;
    emu::EmulatorPlatform platform(clock, EmbeddedImages().Find(kTargetImageName));
    ASSERT_TRUE(platform.AddBridge("q970").ok());
    int delivered = 0;
    {
        QueuedNotifier notices(platform);
        notices.Subscribe([&](uint32_t) { ++delivered; });
        platform.Unplug(0);
    }
    platform.Plug(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(delivered, 0);
}

// The emulator's power switches stand in for the AC adapter: the whole
// cycle from Success through NoDevice to AlreadyUpdated, by clicks alone.
TEST(EmulatorPowerStrip, SwitchingAnEnclosureOffAndOnRunsTheCycle) {
    EmulatedWindow window({"q970"});
    auto* strip = new PowerStrip(window.platform, window.notices);
    window.face.SetStrip(strip);
    // Below the designed client area, which keeps its size.
    EXPECT_EQ(strip->y(), window.model->ClientHeight());
    EXPECT_EQ(window.face.ClientArea()->height(), window.model->ClientHeight());
    EXPECT_EQ(window.face.height(), window.model->ClientHeight() + strip->height());
    QCheckBox* power = strip->Switch(0);
    ASSERT_TRUE(power->isChecked());

    ClickWidget(window.face.Native(ControlId::EraseButton));
    ASSERT_EQ(window.CurrentScreen(), Screen::Success);
    power->click();
    EXPECT_FALSE(window.platform.Bridge(0).Present());
    window.Deliver();
    EXPECT_EQ(window.CurrentScreen(), Screen::NoDevice);
    power->click();
    window.Deliver();
    EXPECT_EQ(window.CurrentScreen(), Screen::AlreadyUpdated);
    EXPECT_TRUE(power->isChecked());

    // A bridge that goes by itself turns its switch off.
    window.platform.Unplug(0);
    window.Deliver();
    EXPECT_FALSE(power->isChecked());
}

// The engineering list and fields are ordinary widgets once reachable: a
// keyboard choice in the device list and typing in the file field reach the
// model, and what the model then says comes back.
TEST(EngineeringControls, ListChoicesAndTypedTextReachTheModel) {
    EmulatedWindow window({"q970", "q719"});
    window.model->EnableEngineeringMode();
    auto* list = static_cast<QComboBox*>(window.face.Native(ControlId::DeviceList));
    ASSERT_TRUE(list->isVisible());
    ASSERT_EQ(list->count(), 2);
    ASSERT_EQ(list->currentIndex(), 0);
    auto* chip = static_cast<QLineEdit*>(window.face.Native(ControlId::ChipLabelEdit));
    EXPECT_EQ(chip->text(), QStringLiteral("QKS970/958 Series"));

    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(window.model->Control(ControlId::DeviceList).selected, 1);
    EXPECT_EQ(chip->text(), QStringLiteral("QK60719 Series"));

    auto* file = static_cast<QLineEdit*>(window.face.Native(ControlId::FwFilenameEdit));
    ASSERT_TRUE(file->isEnabled());
    const size_t before = window.face.messages.size();
    QTest::keyClicks(file, "xy");
    EXPECT_EQ(window.model->Control(ControlId::FwFilenameEdit).text, "xy");
    // The path is checked once the typing ends, not at each key.
    EXPECT_EQ(window.face.messages.size(), before);
    QTest::keyClick(file, Qt::Key_Return);
    // A file that cannot be opened does not match: the model says so in a box.
    ASSERT_EQ(window.face.messages.size(), before + 2);
    EXPECT_EQ(window.face.messages.back().text, kMismatchText);
    EXPECT_EQ(window.face.messages.back().caption, "Message");
    EXPECT_FALSE(window.face.Native(ControlId::UpdateBtn)->isEnabled());
}

}  // namespace
}  // namespace qks::qt
