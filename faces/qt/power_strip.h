// The emulated enclosures' power switches, shown below the designed window
// when the program runs against the emulator. Switching one off and on is
// what the Success screen asks the user to do with the AC adapter; the
// platform's removal and arrival notices then refresh the window.
#pragma once

#include <QWidget>
#include <vector>

class QCheckBox;

namespace qks {
class DeviceNotifier;
}
namespace qks::emu {
class EmulatorPlatform;
}

namespace qks::qt {

class PowerStrip final : public QWidget {
public:
    // `notices` tells the strip when a bridge came or went by itself (an
    // injected fault), so its switches follow.
    PowerStrip(emu::EmulatorPlatform& platform, DeviceNotifier& notices,
               QWidget* parent = nullptr);

    QCheckBox* Switch(size_t bridge) const { return switches_.at(bridge); }
    // Brings every switch to its bridge's presence.
    void Update();

private:
    emu::EmulatorPlatform& platform_;
    std::vector<QCheckBox*> switches_;
};

}  // namespace qks::qt
