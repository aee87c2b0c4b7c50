#include "device/flash_ready.h"

namespace qks {

namespace {
bool ReadsBusy(VendorCommandSet& commands, const DevicePath& path) {
    uint8_t status = 0;
    if (!commands.ReadFlashStatus(path, &status)) return true;
    return (status & 0x01) != 0;
}
}  // namespace

int WaitFlashReady(VendorCommandSet& commands, Clock& clock, const DevicePath& path) {
    if (!ReadsBusy(commands, path)) return 1;
    for (int reread = 1; reread <= kReadyRereadsMax; ++reread) {
        clock.SleepMs(kReadyPollMs);
        if (!ReadsBusy(commands, path)) return reread <= kReadyRereadsAccepted ? 1 : 0;
    }
    return 0;
}

}  // namespace qks
