// The one seam between the portable core and an operating system's SCSI
// pass-through. A platform layer (Linux SG_IO, Windows SPTD, the emulator)
// implements PassThrough; everything above it is portable and testable.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qks {

// A zero-terminated device interface path as enumeration produces it.
using DevicePath = std::string;

enum class DataDirection : uint8_t { In, Out };

// Data-in shares the device with other users; data-out holds it alone for
// the one command, so a write never races another handle.
enum class OpenMode : uint8_t { Shared, Exclusive };

struct ScsiCommand {
    const uint8_t* cdb = nullptr;
    uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::In;
    uint8_t* data = nullptr;      // may be null when length is 0
    uint32_t length = 0;          // bytes asked of the driver
    uint32_t timeoutSeconds = 0;
};

// What one command came back with. `delivered` is the control call itself;
// a command also needs GOOD status and clean host and driver states to count.
struct ScsiOutcome {
    bool delivered = false;
    int osError = 0;
    uint8_t scsiStatus = 0;
    uint8_t hostStatus = 0;
    uint8_t driverStatus = 0;
    std::vector<uint8_t> sense;
    uint32_t transferred = 0;
    std::string diagnostic;   // free text for the trace: limits, OS error text
    // The back-end's own codes say the device went away during the command;
    // only it can tell, as the OS error numbers mean different things per system.
    bool deviceGone = false;

    bool Good() const {
        return delivered && osError == 0 && scsiStatus == 0 && hostStatus == 0 &&
               driverStatus == 0;
    }
};

enum class OpenFailure : uint8_t { None, NotFound, AccessDenied, Busy, Other };

class DeviceHandle {
public:
    virtual ~DeviceHandle() = default;
    virtual ScsiOutcome Execute(const ScsiCommand& command) = 0;
};

struct OpenResult {
    std::unique_ptr<DeviceHandle> handle;
    OpenFailure failure = OpenFailure::None;
    int osError = 0;
    std::string diagnostic;   // which node, why, and what grants access
};

class PassThrough {
public:
    virtual ~PassThrough() = default;
    // Closing is the handle's destruction.
    virtual OpenResult Open(const DevicePath& path, OpenMode mode) = 0;
};

}  // namespace qks
