#include "operations/operations.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "device/block_transfers.h"
#include "firmware/flash_maintenance.h"
#include "firmware/header_block.h"
#include "firmware/internal_rom_engine.h"
#include "firmware/nvram_update.h"
#include "firmware/serial_flash_engine.h"
#include "firmware/whole_part.h"
#include "firmware/flash_backup.h"
#include "operations/device_texts.h"
#include "operations/journal.h"
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

// A backup that would overwrite a copy, or a file the user did not give up,
// is refused before anything is read.
std::optional<Outcome> RefuseBackupTarget(const DeviceServices& services,
                                          const EngineOptions& options, Choice choice,
                                          const std::string& operation) {
    if (choice != Choice::BackupOnly) return std::nullopt;
    const std::string problem = BackupTargetProblem(
        BackupTargetOf(services.backupFolder, options.backupFile), options.replaceBackupFile);
    if (problem.empty()) return std::nullopt;
    return Outcome::Fail(FailureKind::File, problem + "; nothing was read or written")
        .Within(operation);
}

Outcome RunSerialFlash(const DeviceServices& services, const DeviceRef& device,
                       const EngineOptions& options, ProgressSink& sink, Choice choice,
                       const std::string& operation) {
    if (auto refused = RefuseBackupTarget(services, options, choice, operation)) return *refused;
    OperationContext context(services, device, options, sink, choice);
    const bool writes = choice != Choice::BackupOnly;
    int result = 0;
    if (!writes || (context.ConfirmSameDevice() &&
                    context.ReadFlashAsItIs(SerialCopyLength(options), false) &&
                    context.FindUnfinishedWrite(choice == Choice::EraseOnly ? "erase" : "run")))
        result = UpdateSerialFlash(context, device.path);
    if (writes) context.EndWrite(result != 0);
    Outcome outcome = context.Conclude(result, operation);
    if (!writes && outcome.Ok())
        outcome.backupPath = options.backupFile.empty() ? kDefaultBackupName : options.backupFile;
    return outcome;
}

Outcome RunInternalRomEngine(const DeviceServices& services, const DeviceRef& device,
                             const EngineOptions& options, ProgressSink& sink, Choice choice,
                             const std::string& operation) {
    if (auto refused = RefuseBackupTarget(services, options, choice, operation)) return *refused;
    OperationContext context(services, device, options, sink, choice);
    int result = 0;
    if (choice == Choice::BackupOnly || context.ConfirmSameDevice())
        result = ProgramInternalRom(context, device.path, options.romType);
    if (choice != Choice::BackupOnly) context.EndWrite(result != 0);
    Outcome outcome = context.Conclude(result, operation);
    if (choice == Choice::BackupOnly && outcome.Ok())
        outcome.backupPath = options.backupFile.empty() ? kDefaultBackupName : options.backupFile;
    return outcome;
}

}  // namespace

std::vector<uint8_t> RecoveryAfterImage(const ImageStore& images, HeaderBlock header,
                                        bool blockPath, std::span<const uint8_t> flash) {
    HeaderBlock imageHeader{};
    LoadEmbeddedImage(images, imageHeader.data(), 0, kHeaderBlockBytes);
    MergeHeaderBlock(header, imageHeader);
    if (!blockPath) return ComposeEmbeddedImage(images, header);
    const auto body = images.Find(kTargetImageName);
    if (body.size() <= kHeaderBytes || body.size() > kImageBytes || flash.size() < kImageBytes)
        return {};
    std::vector<uint8_t> after(flash.begin(), flash.begin() + kImageBytes);
    std::copy(header.begin(), header.end(), after.begin());
    std::copy(body.begin() + kHeaderBytes, body.end(), after.begin() + kHeaderBytes);
    return after;
}

namespace {

// The device's header as the write keeps it: its own while signed; an
// unsigned one is replaced by a named copy's header, or by the image's.
void ChooseHeader(OperationContext& context, const EngineOptions& options, HeaderBlock& header) {
    if (HasHeaderSignature(header.data(), header.size())) return;
    if (!options.headerFrom.empty()) {
        const auto copy = ReadBackupStart(options.headerFrom, kHeaderBlockBytes);
        if (copy && HasHeaderSignature(copy->data(), kHeaderBlockBytes)) {
            std::copy(copy->begin(), copy->end(), header.begin());
            context.Note("the device's header was taken from the copy " + options.headerFrom);
            return;
        }
    }
    context.Note("the device's header is not signed and no unfinished write of it is in the "
                 "journal; taking the image's header");
}

Outcome RecoverTarget(const DeviceServices& services, const DeviceRef& device,
                      const EngineOptions& options, ProgressSink& sink) {
    OperationContext context(services, device, options, sink, Choice::Update);
    VendorCommandSet& commands = context.Commands();
    BlockTransfers blocks(commands, services.clock, &context);
    const DevicePath& path = device.path;
    // Another write to this enclosure would change the mode and the header
    // under the reads below.
    if (!context.HoldEnclosure()) return context.Conclude(0, "recover");
    // The mode decides which bytes the write keeps: a read that did not
    // answer in full cannot decide it, and guessing loses the bytes past the image.
    bool answered = false;
    const int blockMode = commands.IsBlockUpdateMode(path, &answered);
    if (!answered) {
        Outcome cause;
        if (context.GetTransport().LastCommandFailed())
            cause.failure = FailureFromTransport(context.GetTransport().LastFailure());
        else
            cause = Outcome::Fail(FailureKind::Refused, "the reply was shorter than asked");
        context.SetCause(cause.Within("reading whether the bridge takes block updates"));
        return context.Conclude(0, "recover");
    }
    commands.VendorCommand25(path);
    HeaderBlock header = DefaultHeaderBlock;
    // Without the device's header the write would replace its identity with
    // zeros: stop before anything is written.
    if (!blocks.ReadFlashBlocks(path, 0, header.data(), kHeaderBlockBytes)) {
        context.DebugOutput("cannot read the device header: " +
                            context.GetTransport().LastFailure().Describe());
        return context.Conclude(0, "recover");
    }
    // The device that answers now is the one whose flash is copied and journaled.
    if (!context.ConfirmSameDevice()) return context.Conclude(0, "recover");
    const bool blockPath = blockMode || ChipRevisionOf(device.id.chip) == kLateRevision;
    // The block path writes back what it read past the image: it needs the
    // flash whether or not a copy is kept.
    std::vector<uint8_t> flash;
    if (!services.backupFolder.empty()) {
        if (!context.ReadFlashAsItIs(kImageBytes, true) || !context.FindUnfinishedWrite("recover"))
            return context.Conclude(0, "recover");
        flash = context.FlashAsRead();
    } else if (blockPath) {
        flash.assign(kImageBytes, 0);
        if (!blocks.ReadFlashBlocks(path, 0, flash.data(), kImageBytes))
            return context.Conclude(0, "recover");
    }
    std::vector<uint8_t> after;
    if (const JournalEntry* earlier = context.UnfinishedWrite()) {
        // Past the image the entry may hold the whole part: the engine
        // writes that back itself after the image.
        after.assign(earlier->after.begin(),
                     earlier->after.begin() +
                         static_cast<std::ptrdiff_t>(std::min<size_t>(earlier->after.size(), kImageBytes)));
    } else {
        ChooseHeader(context, options, header);
        after = RecoveryAfterImage(services.images, header, blockPath, flash);
    }
    if (after.size() != kImageBytes) return context.Conclude(0, "recover");
    if (!context.BeginWrite(after, "recover")) return context.Conclude(0, "recover");
    const int result = blockPath ? blocks.WriteVerifyFlashImage(path, after.data(), kImageBytes)
                                 : ProgramFlashVerified(context, path, after.data(), kImageBytes);
    // Every block command answered: the last read-back differed.
    if (blockPath && !result && !context.GetTransport().LastCommandFailed())
        context.Fault(EngineStage::Verify, std::nullopt,
                      "the flash read back differs from what was written");
    context.EndWrite(result != 0);
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

BackupTarget BackupTargetOf(const std::string& copiesFolder, const std::string& backupFile) {
    namespace fs = std::filesystem;
    BackupTarget target;
    target.path = backupFile.empty() ? kDefaultBackupName : backupFile;
    std::error_code error;
    target.exists = fs::exists(target.path, error);
    if (!copiesFolder.empty()) {
        const fs::path folder = fs::weakly_canonical(fs::absolute(copiesFolder, error), error);
        const fs::path file = fs::weakly_canonical(fs::absolute(target.path, error), error);
        const fs::path inside = file.lexically_relative(folder);
        target.inCopiesFolder = !inside.empty() && *inside.begin() != "..";
    }
    return target;
}

std::string BackupTargetProblem(const BackupTarget& target, bool replace) {
    if (target.inCopiesFolder)
        return target.path + " is in the folder of the copies kept before writing, and a backup "
                             "never replaces one; choose another file";
    if (target.exists && !replace) return target.path + " already exists";
    return {};
}

bool IsSavedFlashSize(uint64_t size) {
    return size >= kImageBytes && size <= kLargestPart && size % kPartBlock == 0;
}

namespace {
std::vector<uint8_t> ReadSavedFlash(const std::string& file, bool& opened) {
    std::ifstream in(file, std::ios::binary);
    opened = static_cast<bool>(in);
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    // One byte past the largest part tells a file too large from one that fits.
    std::vector<uint8_t> bytes(
        error ? kImageBytes + 1 : static_cast<size_t>(std::min<uintmax_t>(size, kLargestPart)) + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(in.bad() ? 0 : static_cast<size_t>(in.gcount()));
    return bytes;
}

std::string SavedFlashProblem(const std::string& file, bool opened, std::span<const uint8_t> bytes) {
    if (!opened) return "cannot open " + file;
    if (!IsSavedFlashSize(bytes.size()))
        return file + " does not hold 65536 bytes (nor a whole part saved before a chip erase, "
                      "a multiple of 65536 bytes up to 16 MB)";
    // A file of zeros, or anything but a saved flash, has no signed header.
    if (!HasHeaderSignature(bytes.data(), kHeaderBlockBytes))
        return file + " holds no saved flash: its header does not end in the signature QK";
    return {};
}
}  // namespace

std::string RestoreFileProblem(const std::string& file) {
    bool opened = false;
    const auto bytes = ReadSavedFlash(file, opened);
    return SavedFlashProblem(file, opened, bytes);
}

std::optional<std::string> RestoreIdentityQuestion(const DeviceServices& services,
                                                   const DeviceRef& device,
                                                   const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    HeaderBlock saved{};
    in.read(reinterpret_cast<char*>(saved.data()), static_cast<std::streamsize>(saved.size()));
    if (in.gcount() != static_cast<std::streamsize>(saved.size())) return std::nullopt;
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    BlockTransfers blocks(commands, services.clock);
    HeaderBlock own{};
    if (!blocks.ReadFlashBlocks(device.path, 0, own.data(), kHeaderBlockBytes) ||
        !HasHeaderSignature(own.data(), kHeaderBlockBytes))
        return std::nullopt;
    for (size_t i = 0; i < kHeaderBlockBytes; ++i)
        if (HeaderMergeMask[i] >= 256 && own[i] != saved[i])
            return file + " was saved from another enclosure: its header's identifiers differ "
                          "from this device's (first at byte " + std::to_string(i) +
                   "). Writing it gives this enclosure the other one's identity.";
    return std::nullopt;
}

bool YesBacksUpOnly(const DeviceRef& device, const EngineOptions& options) {
    return options.backupOnly && FamilyOf(device.id.chip).yes == YesAction::SerialFlashUpdate;
}

Outcome RecoverDevice(const DeviceServices& services, const DeviceRef& device,
                      EngineOptions options, ProgressSink& sink) {
    if (YesBacksUpOnly(device, options))
        return RunSerialFlash(services, device, options, sink, Choice::BackupOnly, "recover");
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
            if (context.ConfirmSameDevice() &&
                context.ReadFlashAsItIs(SerialCopyLength(options), false) &&
                context.FindUnfinishedWrite("run"))
                result = UpdateFlashPreservingNvram(context, device.path);
            context.EndWrite(result != 0);
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
    bool opened = false;
    std::vector<uint8_t> saved = ReadSavedFlash(file, opened);
    if (const std::string problem = SavedFlashProblem(file, opened, saved); !problem.empty()) {
        const bool sized = IsSavedFlashSize(saved.size());
        sink.Status(!opened ? "Open Restore File Error!!"
                    : sized ? "Restore file holds no saved flash!!"
                            : "Restore file must hold 65536 bytes!!");
        sink.DebugOutput("cannot restore from " + file);
        return Outcome::Fail(FailureKind::File, problem + "; nothing was written").Within("restore");
    }
    EngineOptions options;
    OperationContext context(services, device, options, sink, Choice::Update);
    const auto length = static_cast<uint32_t>(saved.size());
    if (!context.ConfirmSameDevice()) return context.Conclude(0, "restore");
    // A whole part goes back only to a part at least as large: past its end
    // the writes would wrap onto the image.
    if (length > kImageBytes) {
        uint32_t partSize = 0;
        if (!ReadWholePart(context, device.path, &partSize)) return context.Conclude(0, "restore");
        if (partSize < length) {
            sink.Status("Restore fail!!");
            return Outcome::Fail(FailureKind::File,
                                 file + " holds " + std::to_string(length) +
                                     " bytes and this enclosure's flash only " +
                                     std::to_string(partSize) + " bytes")
                .Within("restore");
        }
    }
    if (!context.ReadFlashAsItIs(length, length == kImageBytes) ||
        !context.BeginWrite(saved, "restore")) {
        context.SetStatusText("Backup of the flash failed, nothing written");
        return context.Conclude(0, "restore");
    }
    context.ShowStatus("Restore ...");
    BlockTransfers blocks(context.Commands(), services.clock, &context);
    int result = blocks.WriteVerifyFlashImage(device.path, saved.data(), kImageBytes);
    if (result && length > kImageBytes)
        result = RestorePartFrom(context, device.path, kImageBytes,
                                 std::span<const uint8_t>(saved).subspan(kImageBytes));
    context.EndWrite(result != 0);
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
    // A report identified outside a discovery carries the platform's own key.
    ref.enclosure = !enclosureKey.empty()   ? enclosureKey
                    : !info.enclosure.empty() ? "usb " + info.enclosure
                                              : std::string();
    return ref;
}

ChipIdValue IdentifyChip(const DeviceServices& services, const DevicePath& path,
                         UserMessages& messages) {
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    return GetChipId(commands, messages, path);
}

namespace {
// The flash as read holds the embedded image from byte 128 on; nothing when
// it cannot be read.
std::optional<std::vector<uint8_t>> ReadWhenHoldingImage(const DeviceServices& services,
                                                         VendorCommandSet& commands,
                                                         const DevicePath& path) {
    const auto image = services.images.Find(kTargetImageName);
    // An image the flash cannot hold is never "already there".
    if (image.size() <= kHeaderBytes || image.size() > kImageBytes) return std::nullopt;
    std::vector<uint8_t> device(kImageBytes, 0);
    BlockTransfers blocks(commands, services.clock);
    if (!blocks.ReadFlashBlocks(path, 0, device.data(), kImageBytes)) return std::nullopt;
    if (!std::equal(image.begin() + kHeaderBytes, image.end(), device.begin() + kHeaderBytes))
        return std::nullopt;
    return device;
}
}  // namespace

bool HoldsEmbeddedFirmware(const DeviceServices& services, VendorCommandSet& commands,
                           const DevicePath& path) {
    return ReadWhenHoldingImage(services, commands, path).has_value();
}

bool IsAlreadyUpdated(const DeviceServices& services, VendorCommandSet& commands,
                      const DeviceRef& device) {
    // An unfinished write is finished, even where the image already landed.
    const auto flash = ReadWhenHoldingImage(services, commands, device.path);
    return flash && !HasUnfinishedWrite(services, device, *flash);
}

bool HoldsEmbeddedFirmware(const DeviceServices& services, const DevicePath& path) {
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    return HoldsEmbeddedFirmware(services, commands, path);
}

std::string JournalIdentity(const DeviceRef& device) {
    if (!device.serial.empty()) return device.serial;
    return "path-" + device.path;
}

std::string EnclosureKey(const DeviceRef& device) {
    if (!device.enclosure.empty()) return device.enclosure;
    if (device.serial.empty()) return "path " + device.path;
    return "serial " + device.serial + " chip " + std::to_string(ChipTypeOf(device.id.chip));
}

std::string JournalFolder(const DeviceServices& services) {
    if (services.backupFolder.empty()) return {};
    return services.backupFolder + "/journal";
}

bool HasUnfinishedWrite(const DeviceServices& services, const DeviceRef& device,
                        std::span<const uint8_t> flash) {
    const Journal journal(JournalFolder(services));
    std::error_code missing;
    // A look must not create the folder a write would.
    if (!journal.Kept() || !std::filesystem::is_directory(journal.Folder(), missing)) return false;
    std::vector<uint8_t> read;
    if (flash.empty()) {
        Transport transport(services.passThrough, services.clock, services.trace);
        VendorCommandSet commands(transport);
        BlockTransfers blocks(commands, services.clock);
        read.assign(kImageBytes, 0);
        if (!blocks.ReadFlashBlocks(device.path, 0, read.data(), kImageBytes)) return false;
        flash = read;
    }
    const Journal::Lock lock(journal);
    return !journal
                .Matching(JournalIdentity(device), device.id.chip, flash, "recover", EnclosureKey(device))
                .empty();
}

}  // namespace qks
