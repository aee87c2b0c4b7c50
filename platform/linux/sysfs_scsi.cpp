#include "platform/linux/sysfs_scsi.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/linux/udev_ptr.h"

namespace qks {

namespace {

std::optional<unsigned long long> ParseNumber(const char* text, int base) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, base);
    if (errno != 0 || end == text) return std::nullopt;
    while (*end == '\n' || *end == ' ') ++end;
    if (*end != '\0') return std::nullopt;
    return value;
}

uint16_t HexId(udev_device* usb, const char* attribute) {
    const auto value = ParseNumber(udev_device_get_sysattr_value(usb, attribute), 16);
    return value && *value <= 0xFFFF ? static_cast<uint16_t>(*value) : 0;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// sysfs reports the limits in KiB or sectors; a transfer length is 32 bits.
uint32_t ClampBytes(unsigned long long bytes) {
    return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

udevptr::Device SgDeviceOfNode(udev* context, const std::string& node) {
    // /dev/sgN names its sysfs entry; a link (by-id and the like) is
    // followed next, and a renamed node is found by its device number.
    udevptr::Device device(udev_device_new_from_subsystem_sysname(
        context, "scsi_generic", BaseName(node).c_str()));
    if (device) return device;
    char resolved[PATH_MAX];
    if (realpath(node.c_str(), resolved) != nullptr) {
        device.reset(udev_device_new_from_subsystem_sysname(context, "scsi_generic",
                                                            BaseName(resolved).c_str()));
        if (device) return device;
    }
    struct stat info {};
    if (stat(node.c_str(), &info) == 0 && S_ISCHR(info.st_mode))
        device.reset(udev_device_new_from_devnum(context, 'c', info.st_rdev));
    if (device) {
        const char* subsystem = udev_device_get_subsystem(device.get());
        if (subsystem == nullptr || std::strcmp(subsystem, "scsi_generic") != 0)
            device.reset();
    }
    return device;
}

uint32_t LimitFromBlockQueue(udev* context, udev_device* scsiDevice) {
    udevptr::Enumerate children(udev_enumerate_new(context));
    if (!children) return 0;
    udev_enumerate_add_match_parent(children.get(), scsiDevice);
    udev_enumerate_add_match_subsystem(children.get(), "block");
    if (udev_enumerate_scan_devices(children.get()) < 0) return 0;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(children.get())) {
        udevptr::Device block(
            udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (!block) continue;
        const char* type = udev_device_get_devtype(block.get());
        if (type != nullptr && std::strcmp(type, "disk") != 0) continue;
        for (const char* attribute : {"queue/max_hw_sectors_kb", "queue/max_sectors_kb"}) {
            const auto kib =
                ParseNumber(udev_device_get_sysattr_value(block.get(), attribute), 10);
            if (kib && *kib > 0) return ClampBytes(*kib * 1024ull);
        }
    }
    return 0;
}

uint32_t LimitFromSgDriver(int fd) {
    // sg answers BLKSECTGET in bytes (a block node would answer in sectors).
    int bytes = 0;
    if (fd >= 0 && ioctl(fd, BLKSECTGET, &bytes) == 0 && bytes > 0)
        return static_cast<uint32_t>(bytes);
    return 0;
}

}  // namespace

std::optional<InterfaceClass> ClassOfScsiType(int peripheralType) {
    switch (peripheralType) {
    case 0x00:  // direct access
    case 0x07:  // optical memory
    case 0x0E:  // reduced block commands
        return InterfaceClass::Disk;
    case 0x05:  // CD/DVD
        return InterfaceClass::Cdrom;
    default:
        return std::nullopt;
    }
}

bool IsUsbStorageDriver(const char* driver) {
    return driver != nullptr &&
           (std::strcmp(driver, "usb-storage") == 0 || std::strcmp(driver, "uas") == 0 ||
            (std::strncmp(driver, "ums-", 4) == 0 && driver[4] != '\0'));
}

bool IsUsbStorageInterface(const SgNodeFacts& facts) {
    // A SCSI host below an interface means some driver made it.
    return IsUsbStorageDriver(facts.usbDriver.c_str()) ||
           (facts.usbInterfaceClass == kUsbMassStorageClass && !facts.usbDriver.empty());
}

ScsiAddress ParseScsiAddress(const char* text) {
    ScsiAddress address;
    if (text == nullptr) return address;
    uint64_t parts[4] = {};
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (*p < '0' || *p > '9') return address;
        char* end = nullptr;
        errno = 0;
        parts[i] = std::strtoull(p, &end, 10);
        if (errno != 0) return address;
        p = end;
        if (i < 3) {
            if (*p != ':') return address;
            ++p;
        }
    }
    if (*p != '\0') return address;
    address = {parts[0], parts[1], parts[2], parts[3], true};
    return address;
}

SgNodeFacts FactsOfScsiDevice(udev_device* scsi) {
    SgNodeFacts facts;
    if (scsi == nullptr) return facts;
    facts.found = true;
    facts.scsiDevice = udev_device_get_sysname(scsi);
    facts.address = ParseScsiAddress(facts.scsiDevice.c_str());
    const auto type = ParseNumber(udev_device_get_sysattr_value(scsi, "type"), 10);
    if (type && *type <= 0x1F) facts.scsiType = static_cast<int>(*type);
    if (udev_device* interface =
            udev_device_get_parent_with_subsystem_devtype(scsi, "usb", "usb_interface")) {
        const char* driver = udev_device_get_driver(interface);
        facts.usbDriver = driver ? driver : "";
        const auto cls =
            ParseNumber(udev_device_get_sysattr_value(interface, "bInterfaceClass"), 16);
        if (cls && *cls <= 0xFF) facts.usbInterfaceClass = static_cast<int>(*cls);
    }
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(scsi, "usb", "usb_device")) {
        const char* serial = udev_device_get_sysattr_value(usb, "serial");
        facts.serial = serial ? serial : "";
        const char* syspath = udev_device_get_syspath(usb);
        facts.usbDevice = syspath ? syspath : "";
        facts.usbVendor = HexId(usb, "idVendor");
        facts.usbProduct = HexId(usb, "idProduct");
    }
    return facts;
}

SgNodeFacts FactsOfSgDevice(udev_device* sgDevice) {
    if (sgDevice == nullptr) return {};
    SgNodeFacts facts = FactsOfScsiDevice(
        udev_device_get_parent_with_subsystem_devtype(sgDevice, "scsi", "scsi_device"));
    facts.found = true;
    const char* devnode = udev_device_get_devnode(sgDevice);
    facts.node = devnode ? devnode : std::string("/dev/") + udev_device_get_sysname(sgDevice);
    return facts;
}

SgNodeFacts InspectSgNode(const std::string& node) {
    udevptr::Context context(udev_new());
    if (!context) return {};
    udevptr::Device device = SgDeviceOfNode(context.get(), node);
    return FactsOfSgDevice(device.get());
}

uint32_t MaxTransferBytes(const std::string& node, int openFd) {
    udevptr::Context context(udev_new());
    if (context) {
        udevptr::Device device = SgDeviceOfNode(context.get(), node);
        udev_device* scsi = device ? udev_device_get_parent_with_subsystem_devtype(
                                         device.get(), "scsi", "scsi_device")
                                   : nullptr;
        if (scsi != nullptr) {
            if (const uint32_t limit = LimitFromBlockQueue(context.get(), scsi)) return limit;
            // usb-storage publishes the queue's hardware limit, in sectors.
            const auto sectors =
                ParseNumber(udev_device_get_sysattr_value(scsi, "max_sectors"), 10);
            if (sectors && *sectors > 0) return ClampBytes(*sectors * 512ull);
        }
    }
    if (openFd >= 0) return LimitFromSgDriver(openFd);
    const int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    const uint32_t limit = LimitFromSgDriver(fd);
    close(fd);
    return limit;
}

uint32_t MaxTransferBytes(const std::string& node) { return MaxTransferBytes(node, -1); }

}  // namespace qks
