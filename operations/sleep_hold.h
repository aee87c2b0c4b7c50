// The hold on sleep an operation takes before it first changes a device.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "device/sleep_inhibitor.h"
#include "operations/operations.h"

namespace qks {

// Held until the returned object is dropped, which the operation does when
// its outcome is known. A hold that cannot be taken does not stop the
// write: `note` is told why, and the user sees it among the outcome's notes.
std::unique_ptr<SleepInhibitor::Hold> HoldOffSleep(const DeviceServices& services,
                                                   const DeviceRef& device,
                                                   const std::function<void(const std::string&)>& note);

}  // namespace qks
