// One operation per flow, each on one device: it takes the device as a
// reference, its options by value and a sink for its progress, keeps
// nothing between calls, and returns a typed outcome with its cause.
#pragma once

#include <cstdint>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/chip_id.h"
#include "device/enumeration.h"
#include "firmware/header_block.h"
#include "operations/chip_family.h"
#include "operations/outcome.h"
#include "operations/progress_sink.h"
#include "operations/services.h"

namespace qks {

// What identification found out about a device, as the flows need it.
struct Identification {
    ChipIdValue chip = 0;
    // The AMIC probe's answer, asked only of the families whose flash maker
    // is shown; 0 until then, which the serial-flash engine refuses.
    int32_t amicFlashCode = 0;
};

// One device as an operation is given it. Before its first erase or write
// an operation checks that the same device (path, serial, chip) still
// answers there, and refuses otherwise.
struct DeviceRef {
    DevicePath path;
    std::string serial;
    bool emulated = false;
    InterfaceClass iface = InterfaceClass::Disk;
    Identification id;
    // Which enclosure the path belongs to (the key its interfaces share);
    // empty: the serial and chip, or the path, stand in for it.
    std::string enclosure;
};

// The engineering panel's settings, by value.
struct EngineOptions {
    uint32_t firmwareSize = 65536;
    uint32_t transferPageSize = 16384;
    std::string backupFile;   // empty: the default name, after its notice
    bool a1Chip = false;
    int32_t romType = 0;
    // The user accepted writing a built-in development image to a real bridge.
    bool developmentImageAccepted = false;
    // A saved copy whose header stands in for an unsigned one (the command
    // line's --header-from); empty: as the saved copies allow, or asked.
    std::string headerFrom;
    // YES while the panel is open with "Backup Old Firmware Only" ticked:
    // the serial-flash families then back their flash up and write nothing.
    bool backupOnly = false;
    // The user said an existing backup file may be replaced.
    bool replaceBackupFile = false;
    // The journal entry to finish when several match the enclosure (the
    // command line's --journal); empty: the one that matches, or asked.
    std::string journalEntry;
};

// Where a backup-only run puts its file (the named one, or the default
// name), and what stands in its way: an existing file is replaced only
// when the user says so; the folder of the copies kept before writing
// never takes a backup, so no copy is ever overwritten.
struct BackupTarget {
    std::string path;
    bool exists = false;
    bool inCopiesFolder = false;
};
BackupTarget BackupTargetOf(const std::string& copiesFolder, const std::string& backupFile);
// Why this target cannot take the backup; empty when it can.
std::string BackupTargetProblem(const BackupTarget& target, bool replace);

// The sizes a saved flash has: the image's 64 KB, or the whole part a
// chip erase took (whole 64 KB blocks, up to the largest part).
bool IsSavedFlashSize(uint64_t size);
// What restore checks of a file before any question or device command:
// a saved flash's size, a signed header. Empty when it will do.
std::string RestoreFileProblem(const std::string& file);
// The question to ask when the file's header carries another enclosure's
// own bytes (its identifiers, names, serial) than the device's; nothing
// when they agree or the device's header cannot tell.
std::optional<std::string> RestoreIdentityQuestion(const DeviceServices& services,
                                                   const DeviceRef& device,
                                                   const std::string& file);

// YES takes a backup only, nothing written, for this device and these options.
bool YesBacksUpOnly(const DeviceRef& device, const EngineOptions& options);

// The question to ask before this flow writes a built-in development image
// to a bridge that is not emulated; nothing when none needs asking.
enum class Flow : uint8_t { Recover, Run, Erase, Backup, Restore };
std::optional<std::string> DevelopmentImageRisk(const DeviceServices& services,
                                                const DeviceRef& device, Flow flow);

// The 64 KB a recovery leaves: the device's header merged with the image's,
// the image behind it, and past the image's end the device's own bytes
// (`flash`, as read) on the block path or zeros on the programming path.
// Empty: the image does not fit.
std::vector<uint8_t> RecoveryAfterImage(const ImageStore& images, HeaderBlock header,
                                        bool blockPath, std::span<const uint8_t> flash);

// YES on the Confirm screen.
Outcome RecoverDevice(const DeviceServices& services, const DeviceRef& device,
                      EngineOptions options, ProgressSink& sink);
// The panel's Run: the engine the chip's family takes, as a full update.
Outcome RunUpdate(const DeviceServices& services, const DeviceRef& device, EngineOptions options,
                  ProgressSink& sink);
// The panel's erase-only and backup-only actions.
Outcome EraseFlash(const DeviceServices& services, const DeviceRef& device, EngineOptions options,
                   ProgressSink& sink);
Outcome BackupFlash(const DeviceServices& services, const DeviceRef& device,
                    EngineOptions options, ProgressSink& sink);
// A saved 64 KB flash written back to a QKS970/958 through the verified writer.
Outcome RestoreFlash(const DeviceServices& services, const DeviceRef& device,
                     const std::string& file, ProgressSink& sink);

// Identification of one device, everything the window and the list show.
struct IdentifyReport {
    InterfaceInfo info;
    InterfaceClass iface = InterfaceClass::Disk;
    Identification id;
    std::optional<uint8_t> flashVendor;
    // The chip record's version as numbers, and as the window shows it.
    std::optional<std::array<uint8_t, 3>> version;   // major, minor, build (0 when absent)
    std::optional<std::string> versionText;
    bool target = false;
    bool updated = false;
    // The INQUIRY vendor and product text (24 characters at most), as the
    // window's list item shows it.
    std::string name;
    // Its number in `list`, and its enclosure's: interfaces of one USB
    // device share the enclosure, numbered in order of first appearance.
    size_t number = 0;
    size_t enclosure = 0;
    std::string enclosureKey;

    DeviceRef Ref() const;
    // "NAME (serial S, SERIES)": which enclosure a question is about.
    std::string HumanName() const;
};
// One path as a discovery asks it: the chip, vendor mode, the "already
// updated" test and the details.
IdentifyReport Identify(const DeviceServices& services, const InterfaceInfo& info,
                        InterfaceClass iface, ProgressSink& sink);
// The chip alone: what a refresh asks of every path.
ChipIdValue IdentifyChip(const DeviceServices& services, const DevicePath& path,
                         UserMessages& messages);
// The target chip's flash holds the embedded image from byte 128 on.
bool HoldsEmbeddedFirmware(const DeviceServices& services, const DevicePath& path);
// A write to this enclosure began and did not finish: the journal holds an
// entry its flash (as read now, or read here when not given) is what that
// write, cut off, left. Such a device is not "already updated".
bool HasUnfinishedWrite(const DeviceServices& services, const DeviceRef& device,
                        std::span<const uint8_t> flash = {});
// Holds the embedded firmware and no unfinished write: what the list and
// the window call "already updated".
bool IsAlreadyUpdated(const DeviceServices& services, VendorCommandSet& commands,
                      const DeviceRef& device);
// Whose copies and journal entries a device's are: its USB serial, or its path.
std::string JournalIdentity(const DeviceRef& device);
// The USB device a path belongs to, as writes are kept apart by: the
// platform's key, else the serial and chip, else the path.
std::string EnclosureKey(const DeviceRef& device);
// Where the journal is kept beside the copies; empty when none are kept.
std::string JournalFolder(const DeviceServices& services);
bool HoldsEmbeddedFirmware(const DeviceServices& services, VendorCommandSet& commands,
                           const DevicePath& path);

}  // namespace qks
