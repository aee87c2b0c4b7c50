#include "faces/qt/power_strip.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

#include "emulator/platform.h"
#include "faces/qt/native_style.h"

namespace qks::qt {

namespace {
constexpr int kSwitchesPerRow = 3;
}

PowerStrip::PowerStrip(emu::EmulatorPlatform& platform, DeviceNotifier& notices, QWidget* parent)
    : QWidget(parent), platform_(platform) {
    setObjectName(QStringLiteral("powerStrip"));
    setFont(FontFor(kWindowDescription.font));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 0, 6, 4);
    outer->setSpacing(3);
    // Set apart from the designed window: this is the emulator's, not the form's.
    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    outer->addWidget(rule);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(2);
    grid->addWidget(new QLabel(QStringLiteral("Enclosure power:"), this), 0, 0);
    for (size_t i = 0; i < platform_.BridgeCount(); ++i) {
        const auto name = platform_.Bridge(i).GetProfile().name;
        auto* power = new QCheckBox(
            QStringLiteral("%1 %2").arg(i).arg(QString::fromLatin1(name.data(),
                                                                      static_cast<qsizetype>(name.size()))),
            this);
        // Numbered from 0, as `qks970 list` numbers them.
        power->setObjectName(QStringLiteral("power%1").arg(i));
        power->setToolTip(QStringLiteral("Switch the AC adapter of emulated enclosure %1 off "
                                         "or on")
                              .arg(i));
        QObject::connect(power, &QCheckBox::clicked, this, [this, i](bool on) {
            if (on)
                platform_.Plug(i);
            else
                platform_.Unplug(i);
            Update();
        });
        const int at = static_cast<int>(i);
        grid->addWidget(power, at / kSwitchesPerRow, 1 + at % kSwitchesPerRow);
        switches_.push_back(power);
    }
    if (switches_.empty())
        grid->addWidget(new QLabel(QStringLiteral("(no emulated enclosure)"), this), 0, 1);
    grid->setColumnStretch(kSwitchesPerRow + 1, 1);
    outer->addLayout(grid);

    QPointer<PowerStrip> self(this);
    notices.Subscribe([self](uint32_t) {
        if (self) self->Update();
    });
    Update();
}

void PowerStrip::Update() {
    for (size_t i = 0; i < switches_.size(); ++i)
        switches_[i]->setChecked(platform_.Bridge(i).Present());
}

}  // namespace qks::qt
