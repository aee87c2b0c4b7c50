#include "operations/saved_writes.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "firmware/flash_backup.h"
#include "operations/journal.h"
#include "operations/operations.h"

namespace qks {

namespace fs = std::filesystem;

namespace {

// Serials are compared without regard to case, as the copies' names are.
std::string EnclosureKey(const std::string& identity) {
    std::string key = BackupIdentity(identity);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

// "SERIAL-20261210T013000Z[-N].bin": the identity before the time.
std::string IdentityOfCopy(const fs::path& file) {
    const std::string stem = file.stem().string();
    const size_t t = stem.rfind('T');
    if (t == std::string::npos || t < 9) return {};
    return stem.substr(0, t - 9);
}

}  // namespace

const char* SavedWriteStateName(SavedWrite::State state) {
    return state == SavedWrite::State::Copy ? "copy" : "unfinished write";
}

std::vector<SavedWrite> SavedWrites(const DeviceServices& services) {
    const std::string& copiesFolder = services.backupFolder;
    std::vector<SavedWrite> found;
    if (copiesFolder.empty()) return found;
    std::error_code ec;
    std::set<std::string> identities;
    for (const auto& item : fs::directory_iterator(copiesFolder, ec))
        if (item.is_regular_file(ec) && !SavedCopyTime(item.path().string()).empty())
            if (const std::string identity = IdentityOfCopy(item.path()); !identity.empty())
                identities.insert(identity);
    std::set<std::string> seen;
    for (const auto& identity : identities) {
        const auto copies = SavedCopiesOf(copiesFolder, identity);
        // Newest first already, so that copies made within one second keep their order.
        for (auto it = copies.rbegin(); it != copies.rend(); ++it) {
            const std::string& path = *it;
            // Identities differing in case name the same copies.
            if (!seen.insert(path).second) continue;
            SavedWrite copy;
            copy.enclosure = identity;
            copy.time = SavedCopyTime(path);
            copy.size = fs::file_size(path, ec);
            copy.path = path;
            found.push_back(std::move(copy));
        }
    }
    const Journal journal(JournalFolder(services));
    if (fs::is_directory(journal.Folder(), ec)) {
        const Journal::Lock lock(journal);
        for (auto& entry : journal.Pending()) {
            SavedWrite write;
            write.enclosure = entry.identity;
            write.time = entry.created;
            write.size = entry.before.size();
            write.state = SavedWrite::State::UnfinishedWrite;
            write.path = entry.file;
            write.flow = entry.flow;
            found.push_back(std::move(write));
        }
    }
    // One name per enclosure: an entry's identity is the serial as the
    // device gave it, a copy's name its file-name-safe form.
    std::map<std::string, std::string> names;
    for (const auto& write : found)
        if (write.state == SavedWrite::State::UnfinishedWrite || !names.count(EnclosureKey(write.enclosure)))
            names[EnclosureKey(write.enclosure)] = write.enclosure;
    for (auto& write : found) write.enclosure = names[EnclosureKey(write.enclosure)];
    // Times are "YYYY-MM-DD HH:MM:SS UTC": as text they sort as times.
    std::stable_sort(found.begin(), found.end(), [](const SavedWrite& a, const SavedWrite& b) {
        const std::string ka = EnclosureKey(a.enclosure), kb = EnclosureKey(b.enclosure);
        if (ka != kb) return ka < kb;
        return a.time > b.time;
    });
    return found;
}

}  // namespace qks
