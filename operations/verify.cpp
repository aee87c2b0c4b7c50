#include "operations/verify.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "device/block_transfers.h"
#include "operations/journal.h"

namespace qks {

namespace {
constexpr uint32_t kPageBytes = 16384;


Outcome TransportCause(const Transport& transport, const std::string& what) {
    Outcome cause;
    if (transport.LastCommandFailed())
        cause.failure = FailureFromTransport(transport.LastFailure());
    else
        cause = Outcome::Fail(FailureKind::Refused, "the reply was shorter than asked");
    return cause.Within(what).Within("verify");
}

// What a recovery of this device would write, from its flash as read;
// a failure in `report` when it cannot be told.
std::vector<uint8_t> RecoveryWouldLeave(const DeviceServices& services, VendorCommandSet& commands,
                                        const Transport& transport, const DeviceRef& device,
                                        const std::vector<uint8_t>& flash, VerifyReport& report) {
    const Journal journal(JournalFolder(services));
    std::error_code missing;
    // A look must not create the folder a write would.
    if (journal.Kept() && std::filesystem::is_directory(journal.Folder(), missing)) {
        std::vector<JournalEntry> found;
        {
            const Journal::Lock lock(journal);
            found = journal.Matching(JournalIdentity(device), device.id.chip, flash, "recover");
        }
        if (found.size() > 1) {
            std::string names;
            for (const auto& entry : found) names += (names.empty() ? "" : "; ") + entry.file;
            report.outcome = Outcome::Fail(FailureKind::Ambiguous,
                                           std::to_string(found.size()) +
                                               " unfinished writes match this enclosure, and a "
                                               "recovery finishes the one named with --journal: " +
                                               names)
                                 .Within("verify");
            return {};
        }
        if (found.size() == 1) {
            report.journalEntry = found.front().file;
            report.outcome.notes.push_back("a recovery finishes the unfinished write " +
                                           found.front().Describe());
            // Past 64 KB an entry holds what a chip erase took: a recovery
            // writes that back too, so it is compared as well.
            return found.front().after;
        }
    }
    // The mode decides which bytes past the image a recovery keeps.
    bool answered = false;
    const int blockMode = commands.IsBlockUpdateMode(device.path, &answered);
    if (!answered) {
        report.outcome = TransportCause(transport, "reading whether the bridge takes block updates");
        return {};
    }
    const bool blockPath = blockMode || ChipRevisionOf(device.id.chip) == kLateRevision;
    HeaderBlock header{};
    std::copy_n(flash.begin(), header.size(), header.begin());
    if (!HasHeaderSignature(header.data(), header.size()))
        report.outcome.notes.push_back(
            "the device's header is not signed: a recovery takes the image's header (or a saved "
            "copy's, with recover --header-from)");
    auto after = RecoveryAfterImage(services.images, header, blockPath, flash);
    if (after.size() != kImageBytes)
        report.outcome = Outcome::Fail(FailureKind::File, std::string("the image ") +
                                                              kTargetImageName +
                                                              " does not fit the 64 KB flash")
                             .Within("verify");
    return after;
}

}  // namespace

std::string SavedFlashProblem(const std::string& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error) return "cannot read " + file + ": " + error.message();
    if (!IsSavedFlashSize(size))
        return file + " holds " + std::to_string(size) +
               " bytes, not the 65536 of a saved flash (nor a whole part: a multiple of 65536 "
               "up to 16 MB)";
    return {};
}

VerifyReport VerifyFlash(const DeviceServices& services, const DeviceRef& device,
                         const std::optional<std::string>& file) {
    VerifyReport report;
    report.against = file;
    const auto image = services.images.Find(kTargetImageName);
    report.imageEnd = static_cast<uint32_t>(std::min<size_t>(image.size(), kImageBytes));
    if (!IsTarget(device.id.chip)) {
        report.outcome = Outcome::Fail(FailureKind::NotOffered,
                                       "only a QKS970/958 bridge's flash is compared")
                             .Within("verify");
        return report;
    }
    std::vector<uint8_t> expected;
    if (file) {
        if (const std::string problem = SavedFlashProblem(*file); !problem.empty()) {
            report.outcome = Outcome::Fail(FailureKind::File, problem).Within("verify");
            return report;
        }
        std::ifstream in(*file, std::ios::binary);
        std::error_code error;
        expected.assign(std::filesystem::file_size(*file, error), 0);
        in.read(reinterpret_cast<char*>(expected.data()), static_cast<std::streamsize>(expected.size()));
        if (error || in.gcount() != static_cast<std::streamsize>(expected.size())) {
            report.outcome = Outcome::Fail(FailureKind::File, "cannot read " + *file).Within("verify");
            return report;
        }
    }
    Transport transport(services.passThrough, services.clock, services.trace);
    VendorCommandSet commands(transport);
    BlockTransfers blocks(commands, services.clock);
    std::vector<uint8_t> flash(kImageBytes, 0);
    if (!blocks.ReadFlashBlocks(device.path, 0, flash.data(), kImageBytes)) {
        report.outcome = TransportCause(transport, "reading the flash");
        return report;
    }
    if (!file) expected = RecoveryWouldLeave(services, commands, transport, device, flash, report);
    if (!report.outcome.Ok() || expected.size() < kImageBytes) return report;
    // A whole part saved before a chip erase: the rest is read as it is.
    flash.resize(expected.size());
    const uint32_t limit = services.TransferLimit(device.path);
    const uint32_t piece = limit != 0 && limit < kPageBytes ? limit : kPageBytes;
    for (uint32_t at = kImageBytes; at < flash.size(); at += piece) {
        if (!commands.ReadFlash(device.path, at, flash.data() + at, piece)) {
            report.outcome = TransportCause(transport, "reading the flash past 64 KB");
            return report;
        }
    }
    for (uint32_t i = 0; i < flash.size(); ++i) {
        if (flash[i] == expected[i]) continue;
        if (!report.firstDifference) report.firstDifference = i;
        if (i < kHeaderBlockBytes && HeaderMergeMask[i] >= 256)
            ++report.differing.header;
        else if (i < report.imageEnd)
            ++report.differing.image;
        else
            ++report.differing.beyond;
    }
    return report;
}

}  // namespace qks
