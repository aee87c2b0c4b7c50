// What sysfs tells about one SCSI generic node: the SCSI device behind it,
// the USB device and interface driver above it, and the host's transfer
// limit. Read through libudev from /sys alone, so it holds whether or not
// udevd runs (no ID_* properties, which only udevd's database carries).
#pragma once

#include <libudev.h>

#include <cstdint>
#include <optional>
#include <string>

#include "device/enumeration.h"

namespace qks {

// Peripheral device types the two enumeration passes stand for: what the
// sd driver takes (direct access, optical memory, RBC) is a disk, what sr
// takes (CD/DVD) is a CD-ROM. Everything else (enclosures, tapes) is neither.
std::optional<InterfaceClass> ClassOfScsiType(int peripheralType);

// The interface drivers of USB mass storage: Bulk-Only, UAS, and the
// sub-drivers usb-storage hands odd bridges to (ums-alauda, ums-realtek, ...).
bool IsUsbStorageDriver(const char* driver);

// The USB mass-storage interface class, whatever driver has it.
inline constexpr int kUsbMassStorageClass = 0x08;

// host:channel:target:lun, compared numerically; host 10 comes after host 9.
struct ScsiAddress {
    uint64_t host = 0, channel = 0, target = 0, lun = 0;
    bool valid = false;
    auto operator<=>(const ScsiAddress&) const = default;
};
ScsiAddress ParseScsiAddress(const char* text);

struct SgNodeFacts {
    bool found = false;            // sysfs knows this node
    std::string node;              // /dev/sgN
    std::string scsiDevice;        // "H:C:T:L"
    ScsiAddress address;
    int scsiType = -1;             // peripheral type, -1 when unreadable
    std::string usbDriver;         // empty when not behind a USB interface
    int usbInterfaceClass = -1;    // bInterfaceClass, -1 when not behind one
    std::string serial;
    std::string usbDevice;         // sysfs path of the USB device it belongs to
    uint16_t usbVendor = 0;
    uint16_t usbProduct = 0;
};

// Behind a USB mass-storage interface: by its driver, or by its class
// when some driver has it.
bool IsUsbStorageInterface(const SgNodeFacts& facts);

// Facts for a scsi_generic udev device (borrowed, not consumed).
SgNodeFacts FactsOfSgDevice(udev_device* sgDevice);

// The same facts, less the node, for a scsi_device udev device.
SgNodeFacts FactsOfScsiDevice(udev_device* scsiDevice);

// Facts for a node path such as /dev/sg3 (or a link to one).
SgNodeFacts InspectSgNode(const std::string& node);

// The largest single transfer the host adapter takes through this node, in
// bytes; 0 when it cannot be learned. Passthrough requests are held to the
// queue's hardware limit, which is read first; usb-storage's own max_sectors
// and the sg driver's BLKSECTGET answer serve when no block driver is bound.
uint32_t MaxTransferBytes(const std::string& node);

// As above, with an open descriptor of the node for the last resort.
uint32_t MaxTransferBytes(const std::string& node, int openFd);

}  // namespace qks
