// Sleep held off through systemd-logind: an inhibitor lock of mode "block"
// on sleep and shutdown, held as long as the file descriptor logind hands
// out stays open.
#pragma once

#include "device/sleep_inhibitor.h"

namespace qks {

class LogindInhibitor final : public SleepInhibitor {
public:
    // The system bus; DBUS_SYSTEM_BUS_ADDRESS moves it (as for every sd-bus client).
    std::unique_ptr<Hold> HoldOff(const std::string& who, const std::string& why,
                                  std::string& error) override;
};

}  // namespace qks
