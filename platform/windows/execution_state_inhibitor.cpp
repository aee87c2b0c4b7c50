#include "platform/windows/execution_state_inhibitor.h"

#include <windows.h>

#include "platform/windows/win_error.h"

namespace qks::win {

namespace {
class ThreadHold final : public SleepInhibitor::Hold {
public:
    ~ThreadHold() override { ::SetThreadExecutionState(ES_CONTINUOUS); }
};
}  // namespace

std::unique_ptr<SleepInhibitor::Hold> ExecutionStateInhibitor::HoldOff(const std::string&,
                                                                       const std::string&,
                                                                       std::string& error) {
    if (::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
        error = "Windows refused to keep the system awake (" + Win32ErrorText(::GetLastError()) + ")";
        return nullptr;
    }
    return std::make_unique<ThreadHold>();
}

}  // namespace qks::win
