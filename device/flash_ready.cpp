#include "device/flash_ready.h"

namespace qks {

namespace {
enum class Poll { Ready, Busy, Gone };

Poll ReadStatus(VendorCommandSet& commands, const DevicePath& path) {
    uint8_t status = 0;
    if (commands.ReadFlashStatus(path, &status)) return (status & 0x01) ? Poll::Busy : Poll::Ready;
    // A refused read counts as busy; a device that is no longer there will
    // answer none of the polls left, so the wait ends at once.
    return commands.GetTransport().LastCommandFoundNoDevice() ? Poll::Gone : Poll::Busy;
}
}  // namespace

int WaitFlashReady(VendorCommandSet& commands, Clock& clock, const DevicePath& path,
                   FlashProgress* progress) {
    Poll poll = ReadStatus(commands, path);
    if (poll != Poll::Busy) return poll == Poll::Ready ? 1 : 0;
    const uint64_t started = clock.NowMicros();
    uint64_t nextReportMs = 1000;
    for (int reread = 1; reread <= kReadyRereadsMax; ++reread) {
        clock.SleepMs(kReadyPollMs);
        const uint64_t waitedMs = (clock.NowMicros() - started) / 1000;
        if (progress && waitedMs >= nextReportMs) {
            progress->WaitingForFlash(waitedMs);
            nextReportMs = (waitedMs / 1000 + 1) * 1000;
        }
        poll = ReadStatus(commands, path);
        if (poll == Poll::Gone) return 0;
        if (poll == Poll::Ready) return reread <= kReadyRereadsAccepted ? 1 : 0;
    }
    return 0;
}

}  // namespace qks
