#include "operations/operations.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "device/block_transfers.h"
#include "firmware/flash_maintenance.h"
#include "firmware/header_block.h"
#include "firmware/internal_rom_engine.h"
#include "firmware/nvram_update.h"
#include "firmware/serial_flash_engine.h"
#include "operations/device_texts.h"
#include "operations/image_refusal.h"
#include "operations/operation_context.h"

namespace qks {

namespace {

using Choice = OperationContext::Choice;

constexpr const char* kDevelopmentImageRisk =
    "The firmware built into this program is a development image, not vendor firmware.\n"
    "Writing it to a real bridge leaves the enclosure unusable until real firmware is "
    "written back.\n\nWrite the development image to this device anyway?";

std::string SeriesOf(ChipIdValue chip) {
    return std::string(FamilyOf(chip).series) + " (chip type " +
           std::to_string(ChipTypeOf(chip)) + ")";
}

Outcome NotOffered(const std::string& operation, const std::string& what, ChipIdValue chip) {
    return Outcome::Fail(FailureKind::NotOffered, "the " + SeriesOf(chip) + " offers no " + what)
        .Within(operation);
}

std::optional<Outcome> RefuseUnacceptedImage(const DeviceServices& services,
                                             const DeviceRef& device, Flow flow,
                                             const EngineOptions& options,
                                             const std::string& operation) {
    if (auto refused = RefusedImageFile(services, device, flow, operation)) return refused;
    if (options.developmentImageAccepted || !DevelopmentImageRisk(services, device, flow))
        return std::nullopt;
    return Outcome::Fail(FailureKind::Declined,
                         "the built-in image is a development image and writing it to a real "
                         "bridge was not accepted; nothing written")
        .Within(operation);
}

// The serial-flash families: the copy before writing covers what the
// panel's size asks, and at least the 64 KB a recovery later reads back.
uint32_t SerialCopyLength(const EngineOptions& options) {
    return std::max<uint32_t>(kImageBytes, options.firmwareSize);
}

Outcome RunSerialFlash(const DeviceServices& services, const DeviceRef& device,
                       const EngineOptions& options, ProgressSink& sink, Choice choice,
                       const std::string& operation) {
    OperationContext context(services, device, options, sink, choice);
    const bool writes = choice != Choice::BackupOnly;
    int result = 0;
    if (!writes || context.KeepFlashCopy(SerialCopyLength(options), false))
        result = UpdateSerialFlash(context, device.path);
    if (writes) context.FinishWrite(result != 0);
    Outcome outcome = context.Conclude(result, operation);
    if (!writes && outcome.Ok())
        outcome.backupPath = options.backupFile.empty() ? kDefaultBackupName : options.backupFile;
    return outcome;
}

Outcome RunInternalRomEngine(const DeviceServices& services, const DeviceRef& device,
                             const EngineOptions& options, ProgressSink& sink, Choice choice,
                             const std::string& operation) {
    OperationContext context(services, device, options, sink, choice);
    const int result = ProgramInternalRom(context, device.path, options.romType);
    Outcome outcome = context.Conclude(result, operation);
    if (choice == Choice::BackupOnly && outcome.Ok())
        outcome.backupPath = options.backupFile.empty() ? kDefaultBackupName : options.backupFile;
    return outcome;
}

Outcome RecoverTarget(const DeviceServices& services, const DeviceRef& device,
                      const EngineOptions& options, ProgressSink& sink) {
    OperationContext context(services, device, options, sink, Choice::Update);
    VendorCommandSet& commands = context.Commands();
    BlockTransfers blocks(commands, services.clock);
    const DevicePath& path = device.path;
    const int blockMode = commands.IsBlockUpdateMode(path);
    commands.VendorCommand25(path);
    HeaderBlock imageHeader{};
    LoadEmbeddedImage(services.images, imageHeader.data(), 0, kHeaderBlockBytes);
    HeaderBlock header = DefaultHeaderBlock;
    // Without the device's header the write would replace its identity with
    // zeros: stop before anything is written.
    if (!blocks.ReadFlashBlocks(path, 0, header.data(), kHeaderBlockBytes)) {
        context.DebugOutput("cannot read the device header: " +
                            context.GetTransport().LastFailure().Describe());
        return context.Conclude(0, "recover");
    }
    // An interrupted earlier attempt may have left the flash without the
    // device's header: a saved copy may stand in, by the rule of the context.
    const auto standIn = context.ResolveUnsignedHeader(header);
    if (!services.backupFolder.empty() && !context.KeepFlashCopy(kImageBytes, true))
        return context.Conclude(0, "recover");
    MergeHeaderBlock(header, imageHeader);
    int result = 0;
    if (blockMode || ChipRevisionOf(device.id.chip) == kLateRevision)
        result = blocks.UpdateFlashImage(path, true, true, header.data(),
                                         services.images.Find(kTargetImageName),
                                         standIn ? std::span<const uint8_t>(*standIn)
                                                 : std::span<const uint8_t>());
    else
        result = ProgramEmbeddedImage(context, path, header);
    context.FinishWrite(result != 0, &header);
    return context.Conclude(result, "recover");
}

}  // namespace

std::optional<std::string> DevelopmentImageRisk(const DeviceServices& services,
                                                const DeviceRef& device, Flow flow) {
    if (device.emulated) return std::nullopt;
    const char* image = flow == Flow::Recover ? YesImageFor(device.id.chip)
                        : flow == Flow::Run   ? RunImageFor(device.id.chip)
                                              : "";
    if (*image == '\0' || !IsDevelopmentImage(services.images.Find(image))) return std::nullopt;
    return std::string(kDevelopmentImageRisk) + "\n\n" + ImageConfirmationText(services.images, image);
}

Outcome RecoverDevice(const DeviceServices& services, const DeviceRef& device,
                      EngineOptions options, ProgressSink& sink) {
    if (auto refused = RefuseUnacceptedImage(services, device, Flow::Recover, options, "recover"))
        return *refused;
    switch (FamilyOf(device.id.chip).yes) {
        case YesAction::RecoverTarget:
            return RecoverTarget(services, device, options, sink);
        case YesAction::SerialFlashUpdate:
            return RunSerialFlash(services, device, options, sink, Choice::Update, "recover");
        case YesAction::None:
            break;
    }
    return NotOffered("recover", "recovery", device.id.chip);
}

Outcome RunUpdate(const DeviceServices& services, const DeviceRef& device, EngineOptions options,
                  ProgressSink& sink) {
    if (auto refused = RefuseUnacceptedImage(services, device, Flow::Run, options, "run"))
        return *refused;
    switch (FamilyOf(device.id.chip).run) {
        case RunAction::SerialFlashUpdate:
            return RunSerialFlash(services, device, options, sink, Choice::Update, "run");
        case RunAction::KeepConfigurationUpdate: {
            OperationContext context(services, device, options, sink, Choice::Update);
            int result = 0;
            if (context.KeepFlashCopy(SerialCopyLength(options), false))
                result = UpdateFlashPreservingNvram(context, device.path);
            context.FinishWrite(result != 0);
            return context.Conclude(result, "run");
        }
        case RunAction::InternalRom:
            return RunInternalRomEngine(services, device, options, sink, Choice::Update, "run");
        case RunAction::None:
            break;
    }
    return NotOffered("run", "engineering update", device.id.chip);
}

namespace {
// Erase-only and backup-only: the panel's choices the serial-flash and ROM
// engines take.
Outcome RunPanelChoice(const DeviceServices& services, const DeviceRef& device,
                       const EngineOptions& options, ProgressSink& sink, Choice choice,
                       const char* operation, const char* what) {
    switch (FamilyOf(device.id.chip).run) {
        case RunAction::SerialFlashUpdate:
            return RunSerialFlash(services, device, options, sink, choice, operation);
        case RunAction::InternalRom:
            return RunInternalRomEngine(services, device, options, sink, choice, operation);
        default:
            break;
    }
    return NotOffered(operation, what, device.id.chip);
}
}  // namespace

Outcome EraseFlash(const DeviceServices& services, const DeviceRef& device, EngineOptions options,
                   ProgressSink& sink) {
    return RunPanelChoice(services, device, options, sink, Choice::EraseOnly, "erase",
                          "erase-only action");
}

Outcome BackupFlash(const DeviceServices& services, const DeviceRef& device,
                    EngineOptions options, ProgressSink& sink) {
    return RunPanelChoice(services, device, options, sink, Choice::BackupOnly, "backup",
                          "backup-only action");
}

Outcome RestoreFlash(const DeviceServices& services, const DeviceRef& device,
                     const std::string& file, ProgressSink& sink) {
    if (!IsTarget(device.id.chip)) {
        sink.Status("Restore is for QKS970/958 bridges only!!");
        return NotOffered("restore", "restore of a saved flash", device.id.chip);
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> saved(kImageBytes + 1, 0);
    in.read(reinterpret_cast<char*>(saved.data()), static_cast<std::streamsize>(saved.size()));
    if (in.bad() || in.gcount() != static_cast<std::streamsize>(kImageBytes)) {
        const bool opened = in.gcount() > 0 || in;
        sink.Status(opened ? "Restore file must hold 65536 bytes!!" : "Open Restore File Error!!");
        sink.DebugOutput("cannot restore from " + file);
        return Outcome::Fail(FailureKind::File,
                             opened ? file + " does not hold 65536 bytes"
                                    : "cannot open " + file)
            .Within("restore");
    }
    saved.resize(kImageBytes);
    EngineOptions options;
    OperationContext context(services, device, options, sink, Choice::Update);
    if (!services.backupFolder.empty() && !context.KeepFlashCopy(kImageBytes, true)) {
        context.SetStatusText("Backup of the flash failed, nothing written");
        return context.Conclude(0, "restore");
    }
    context.ShowStatus("Restore ...");
    BlockTransfers blocks(context.Commands(), services.clock);
    const int result = blocks.WriteVerifyFlashImage(device.path, saved.data(), kImageBytes);
    context.FinishWrite(result != 0);
    context.ShowStatus(result ? "Restore success!!" : "Restore fail!!");
    return context.Conclude(result, "restore");
}

DeviceRef IdentifyReport::Ref() const {
    DeviceRef ref;
    ref.path = info.path;
    ref.serial = info.serial;
    ref.emulated = info.emulated;
    ref.iface = iface;
    ref.id = id;
    return ref;
}

ChipIdValue IdentifyChip(const DeviceServices& services, const DevicePath& path,
                         UserMessages& messages) {
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    return GetChipId(commands, messages, path);
}

bool HoldsEmbeddedFirmware(const DeviceServices& services, VendorCommandSet& commands,
                           const DevicePath& path) {
    const auto image = services.images.Find(kTargetImageName);
    // An image the flash cannot hold is never "already there".
    if (image.size() <= kHeaderBytes || image.size() > kImageBytes) return false;
    std::vector<uint8_t> device(kImageBytes, 0);
    BlockTransfers blocks(commands, services.clock);
    if (!blocks.ReadFlashBlocks(path, 0, device.data(), kImageBytes)) return false;
    return std::equal(image.begin() + kHeaderBytes, image.end(), device.begin() + kHeaderBytes);
}

bool HoldsEmbeddedFirmware(const DeviceServices& services, const DevicePath& path) {
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    return HoldsEmbeddedFirmware(services, commands, path);
}

IdentifyReport Identify(const DeviceServices& services, const InterfaceInfo& info,
                        InterfaceClass iface, ProgressSink& sink) {
    IdentifyReport report;
    report.info = info;
    report.iface = iface;
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    const DevicePath& path = info.path;
    report.id.chip = GetChipId(commands, sink, path);
    if (!IsIdentified(report.id.chip)) return report;
    const ChipFamily& family = FamilyOf(report.id.chip);
    // The serial-flash engine erases AMIC parts by their own sectors.
    if (family.flashType == FlashTypeShown::SerialFlashMaker)
        report.id.amicFlashCode = commands.DetectAmicFlash(path);
    uint8_t vendor[4] = {};
    if (commands.ReadFlashVendor(path, vendor)) report.flashVendor = vendor[0];
    const FirmwareVersionReading version =
        ReadFirmwareVersion(commands, path, ChipTypeOf(report.id.chip));
    report.version = version.numbers;
    report.versionText = version.text;
    report.target = IsTarget(report.id.chip);
    report.updated = report.target && HoldsEmbeddedFirmware(services, commands, path);
    return report;
}

}  // namespace qks
