// Finding the bridges: both enumeration passes, each path identified once,
// the target filter, the "already updated" test and vendor mode in the
// order the window's refresh sends them. The window, the command line and
// the bench all start from its reports, so they list, number and skip
// devices alike.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "operations/device_texts.h"
#include "operations/operations.h"

namespace qks {

// The screen the window shows after a refresh.
enum class DiscoveredScreen : uint8_t { Confirm, AlreadyUpdated, NoDevice };

struct DiscoveryOptions {
    // The engineering panel works on every identified bridge, updated or
    // not; the recovery window lists the targets waiting for the firmware.
    bool engineering = false;
    // Flash maker and firmware version of every identified device (the
    // command line shows them all); the window asks only for the selected
    // one, with ReadDetails.
    bool details = true;
    // Paths not to ask at all (a station keeps what it has seen).
    std::function<bool(const InterfaceInfo&)> skip;
};

struct Discovery {
    // Every path found, disk pass first, numbered by position as `list`
    // prints them (skipped paths are left out).
    std::vector<IdentifyReport> devices;
    size_t diskCount = 0;
    // The window's list, in its order: indexes into `devices`.
    std::vector<size_t> listed;
    // Listed rows of the CD-ROM pass: put in vendor mode again and to be
    // released with ExitVendorMode when the window closes or the command
    // ends.
    std::vector<size_t> releaseOnExit;
    DiscoveredScreen screen = DiscoveredScreen::NoDevice;
    // The recovery window's screen, whatever the mode.
    DiscoveredScreen recoveryScreen = DiscoveredScreen::NoDevice;
    // Nodes that may not be opened, and why.
    std::vector<std::string> problems;

    // The first listed interface of each enclosure, in list order: what a
    // bench writes, each enclosure once.
    std::vector<size_t> ListedEnclosures() const;
    size_t EnclosureCount() const;
};

// A target whose flash does not yet hold the embedded firmware: the one
// place that skips the targets already updated.
bool IsWaitingTarget(const IdentifyReport& report);

Discovery Discover(const DeviceServices& services, const DiscoveryOptions& options,
                   UserMessages& messages);

// What the selection check shows of one device: the AMIC probe and the
// flash maker where the family shows them, and the firmware version.
struct DeviceDetails {
    int32_t amicFlashCode = 0;
    std::optional<uint8_t> flashVendor;
    FirmwareVersionReading version;
};
DeviceDetails ReadDetails(const DeviceServices& services, const DevicePath& path,
                          ChipIdValue chip, bool flashVendorOfEveryFamily);

// The interfaces a discovery put in vendor mode and marked for release:
// ExitVendorMode goes to each once, when this ends.
class VendorModeRelease {
public:
    explicit VendorModeRelease(const DeviceServices& services) : services_(services) {}
    ~VendorModeRelease() { Release(); }
    VendorModeRelease(const VendorModeRelease&) = delete;
    VendorModeRelease& operator=(const VendorModeRelease&) = delete;

    void Take(const Discovery& discovery);
    // A new refresh stands for the devices present: earlier marks go.
    void Forget() { paths_.clear(); }
    // Sends the exits now; a gone device simply fails its command.
    void Release();

private:
    const DeviceServices& services_;
    std::vector<DevicePath> paths_;
};

}  // namespace qks
