// What the operations need from the platform below them: the one way into
// the devices, shared by the window, the command line and the bench.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "device/clock.h"
#include "device/command_trace.h"
#include "device/disk_use.h"
#include "device/enumeration.h"
#include "device/pass_through.h"
#include "device/sleep_inhibitor.h"
#include "firmware/image_store.h"

namespace qks {

struct DeviceServices {
    DeviceServices(PassThrough& p, DeviceEnumerator& e, Clock& c, const ImageStore& i)
        : passThrough(p), enumerator(e), clock(c), images(i) {}
    // The same services listing devices through another enumerator.
    DeviceServices WithEnumerator(DeviceEnumerator& other) const {
        DeviceServices copy(passThrough, other, clock, images);
        copy.trace = trace;
        copy.programFolder = programFolder;
        copy.maxTransferBytes = maxTransferBytes;
        copy.backupFolder = backupFolder;
        copy.transferLimit = transferLimit;
        copy.sleepInhibitor = sleepInhibitor;
        copy.diskUsers = diskUsers;
        copy.forceInUse = forceInUse;
        copy.writerWaitMs = writerWaitMs;
        return copy;
    }
    // The largest data transfer the host moves to this device in one command.
    uint32_t TransferLimit(const DevicePath& path) const {
        if (transferLimit)
            if (const uint32_t limit = transferLimit(path)) return limit;
        return maxTransferBytes;
    }

    PassThrough& passThrough;
    DeviceEnumerator& enumerator;
    Clock& clock;
    const ImageStore& images;
    TraceSink* trace = nullptr;
    std::string programFolder;   // where the file dialog starts, with its separator
    uint32_t maxTransferBytes = 0;
    // Where copies of a flash are kept before it is written; empty: none kept.
    std::string backupFolder;
    // The host's transfer limit for one device, where it is known per device.
    std::function<uint32_t(const DevicePath&)> transferLimit;
    // Asked to keep the computer awake while a device is written; none: not asked.
    SleepInhibitor* sleepInhibitor = nullptr;
    // What of the host uses a device's disk; a write waits until nothing does.
    DiskUseProbe diskUsers;
    // Write even so (the user was told, and insisted).
    bool forceInUse = false;
    // How long a write waits for another write to the same enclosure (in
    // this program or another) before it gives up, nothing written.
    uint32_t writerWaitMs = 5 * 60 * 1000;
};

}  // namespace qks
