// Sleep held off on Windows: the calling thread tells the power manager the
// system is required until the hold ends. The state belongs to the thread,
// so the hold is taken and dropped on the thread that writes.
#pragma once

#include "device/sleep_inhibitor.h"

namespace qks::win {

class ExecutionStateInhibitor final : public SleepInhibitor {
public:
    std::unique_ptr<Hold> HoldOff(const std::string& who, const std::string& why,
                                  std::string& error) override;
};

}  // namespace qks::win
