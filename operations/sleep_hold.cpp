#include "operations/sleep_hold.h"

#include "operations/chip_family.h"

namespace qks {

namespace {
constexpr const char* kProgram = "qks970-recovery";
}

std::unique_ptr<SleepInhibitor::Hold> HoldOffSleep(const DeviceServices& services,
                                                   const DeviceRef& device,
                                                   const std::function<void(const std::string&)>& note) {
    if (services.sleepInhibitor == nullptr) return nullptr;
    std::string why = std::string("Writing the firmware of the ") + FamilyOf(device.id.chip).series +
                      " enclosure at " + device.path;
    if (!device.serial.empty()) why += " (serial " + device.serial + ")";
    why += "; a sleep now would leave it without firmware";
    std::string error;
    auto hold = services.sleepInhibitor->HoldOff(kProgram, why, error);
    if (!hold && note)
        note("the computer may still sleep during this write: " + error +
             "; keep it awake until the write ends");
    return hold;
}

}  // namespace qks
