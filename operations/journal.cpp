#include "operations/journal.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "firmware/durable_file.h"
#include "firmware/flash_backup.h"
#include "firmware/image_store.h"
#include "firmware/whole_part.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace qks {

namespace fs = std::filesystem;

namespace {
constexpr const char* kMagic = "qks970 journal entry 1";
constexpr const char* kSuffix = ".entry";


std::string Hex(uint32_t value) {
    std::ostringstream out;
    out << std::hex << value;
    return out.str();
}
}  // namespace

std::string JournalEntry::Describe() const { return created + "  " + file; }

bool ExplainsFlash(std::span<const uint8_t> before, std::span<const uint8_t> after,
                   std::span<const uint8_t> flash, uint32_t unit) {
    const size_t length = std::min({before.size(), after.size(), flash.size()});
    if (length == 0 || unit == 0) return false;
    // An erase cut off halfway leaves some of a unit's bytes as they were and
    // the rest erased; a program cut off halfway, erased bytes among new ones.
    auto unitIs = [&](size_t start, size_t end, std::span<const uint8_t> image) {
        for (size_t i = start; i < end; ++i)
            if (flash[i] != 0xFF && flash[i] != image[i]) return false;
        return true;
    };
    for (size_t start = 0; start < length; start += unit) {
        const size_t end = std::min(length, start + unit);
        if (!unitIs(start, end, before) && !unitIs(start, end, after)) return false;
    }
    return true;
}

Journal::Lock::Lock(const Journal& journal) {
    if (!journal.Kept()) return;
    std::error_code ec;
    fs::create_directories(journal.Folder(), ec);
    const std::string name = (fs::path(journal.Folder()) / "lock").string();
#ifdef _WIN32
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    OVERLAPPED whole{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
        CloseHandle(h);
        return;
    }
    handle_ = h;
#else
    fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    int rc;
    do rc = ::flock(fd_, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
#endif
    held_ = true;
}

Journal::Lock::~Lock() {
#ifdef _WIN32
    if (handle_) {
        OVERLAPPED whole{};
        UnlockFileEx(handle_, 0, 1, 0, &whole);
        CloseHandle(handle_);
    }
#else
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
#endif
}

namespace {
// A file name for any enclosure key (a sysfs path, a device instance): the
// readable part for whoever looks into the folder, the hash to keep keys
// apart that read alike.
std::string WriterLockName(const std::string& key) {
    uint32_t hash = 2166136261u;
    std::string readable;
    for (const char c : key) {
        hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (readable.size() < 48) readable += plain ? c : '_';
    }
    return "writer-" + readable + "-" + Hex(hash) + ".lock";
}

#ifdef _WIN32
// Far past the pid the file holds, so that a waiter can still read it.
constexpr DWORD kWriterLockOffset = 0x7FFFFFFF;
#endif
}  // namespace

Journal::WriterLock::WriterLock(const Journal& journal, const std::string& enclosureKey,
                                uint32_t waitMs,
                                const std::function<void(const std::string&)>& waiting,
                                const std::function<void()>& meanwhile) {
    if (!journal.Kept()) {
        held_ = true;
        return;
    }
    std::error_code ec;
    fs::create_directories(journal.Folder(), ec);
    file_ = (fs::path(journal.Folder()) / WriterLockName(enclosureKey)).string();
    // A folder where the lock cannot be made cannot keep the copy and the
    // entry either: those steps stop the write, with their own cause.
#ifdef _WIN32
    HANDLE h = CreateFileA(file_.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        held_ = true;
        return;
    }
    handle_ = h;
#else
    fd_ = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        held_ = true;
        return;
    }
#endif
    if (TryTake()) return;
    holder_ = ReadHolder();
    if (waiting) waiting(holder_);
    // Real time, not the operation's clock: the other writer runs in real
    // time, in another thread or program.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (meanwhile) meanwhile();
        if (TryTake()) return;
    }
    holder_ = ReadHolder();
}

bool Journal::WriterLock::TryTake() {
#ifdef _WIN32
    OVERLAPPED at{};
    at.Offset = kWriterLockOffset;
    if (!LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return false;
    const std::string pid = std::to_string(GetCurrentProcessId());
    ::SetFilePointer(handle_, 0, nullptr, FILE_BEGIN);
    DWORD wrote = 0;
    ::WriteFile(handle_, pid.data(), static_cast<DWORD>(pid.size()), &wrote, nullptr);
    ::SetEndOfFile(handle_);
#else
    int rc;
    do rc = ::flock(fd_, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) return false;
    const std::string pid = std::to_string(::getpid());
    if (::ftruncate(fd_, 0) == 0) {
        [[maybe_unused]] const ssize_t wrote = ::pwrite(fd_, pid.data(), pid.size(), 0);
    }
#endif
    held_ = true;
    holder_.clear();
    return true;
}

std::string Journal::WriterLock::ReadHolder() const {
    std::ifstream in(file_);
    std::string pid;
    in >> pid;
    return pid.empty() ? "unknown" : pid;
}

Journal::WriterLock::~WriterLock() {
#ifdef _WIN32
    if (handle_) {
        if (held_) {
            OVERLAPPED at{};
            at.Offset = kWriterLockOffset;
            UnlockFileEx(handle_, 0, 1, 0, &at);
        }
        CloseHandle(handle_);
    }
#else
    if (fd_ >= 0) {
        if (held_) ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
#endif
}

std::vector<std::string> Journal::EntryFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(folder_, ec))
        if (item.path().extension() == kSuffix && item.is_regular_file(ec))
            files.push_back(item.path().string());
    // Names begin with the identity and the UTC time: oldest first per device.
    std::sort(files.begin(), files.end());
    return files;
}

std::optional<JournalEntry> Journal::Load(const std::string& file) {
    std::error_code ec;
    if (fs::symlink_status(file, ec).type() != fs::file_type::regular) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!std::getline(in, line) || line != kMagic) return std::nullopt;
    JournalEntry entry;
    entry.file = file;
    size_t length = 0;
    std::string afterSum;
    while (std::getline(in, line) && !line.empty()) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) return std::nullopt;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "identity") entry.identity = value;
        else if (key == "chip") entry.chip = static_cast<ChipIdValue>(std::stoul(value, nullptr, 16));
        else if (key == "flow") entry.flow = value;
        else if (key == "enclosure") entry.enclosure = value;
        else if (key == "copy") entry.copy = value;
        else if (key == "created") entry.created = value;
        else if (key == "fingerprint") entry.fingerprint = value;
        else if (key == "after") afterSum = value;
        else if (key == "length") length = std::stoul(value, nullptr, 16);
    }
    if (length == 0 || length > kLargestPart) return std::nullopt;
    entry.before.resize(length);
    entry.after.resize(length);
    in.read(reinterpret_cast<char*>(entry.before.data()), static_cast<std::streamsize>(length));
    in.read(reinterpret_cast<char*>(entry.after.data()), static_cast<std::streamsize>(length));
    // An entry that is not whole is no authority on anything.
    if (!in || Sha256Hex(entry.before) != entry.fingerprint || Sha256Hex(entry.after) != afterSum)
        return std::nullopt;
    return entry;
}

std::vector<JournalEntry> Journal::Matching(const std::string& identity, ChipIdValue chip,
                                            std::span<const uint8_t> flash,
                                            const std::string& flow,
                                            const std::string& enclosure) const {
    std::vector<JournalEntry> found;
    if (!Kept()) return found;
    const bool blank = std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; });
    const std::string prefix = BackupIdentity(identity) + "-";
    for (const auto& file : EntryFiles()) {
        // Serials match without regard to case: Windows and Linux have
        // spelled one enclosure's serial differently.
        const std::string name = fs::path(file).filename().string();
        if (name.size() < prefix.size() || !SameSerial(name.substr(0, prefix.size()), prefix))
            continue;
        auto entry = Load(file);
        if (!entry || !SameSerial(entry->identity, identity) || entry->chip != chip) continue;
        if (!flow.empty() && entry->flow != flow) continue;
        if (blank && !enclosure.empty() && !entry->enclosure.empty() && entry->enclosure != enclosure)
            continue;
        if (ExplainsFlash(entry->before, entry->after, flash)) found.push_back(std::move(*entry));
    }
    return found;
}

std::vector<JournalEntry> Journal::Pending() const {
    std::vector<JournalEntry> found;
    if (!Kept()) return found;
    for (const auto& file : EntryFiles())
        if (auto entry = Load(file)) found.push_back(std::move(*entry));
    return found;
}

namespace {
std::vector<uint8_t> EntryBytes(JournalEntry& entry) {
    entry.fingerprint = Sha256Hex(entry.before);
    std::string text = std::string(kMagic) + "\nidentity=" + entry.identity +
                       "\nchip=" + Hex(entry.chip) + "\nflow=" + entry.flow +
                       "\nenclosure=" + entry.enclosure +
                       "\ncopy=" + entry.copy + "\ncreated=" + entry.created +
                       "\nfingerprint=" + entry.fingerprint + "\nafter=" + Sha256Hex(entry.after) +
                       "\nlength=" + Hex(static_cast<uint32_t>(entry.before.size())) + "\n\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.insert(bytes.end(), entry.before.begin(), entry.before.end());
    bytes.insert(bytes.end(), entry.after.begin(), entry.after.end());
    return bytes;
}
}  // namespace

bool Journal::Rewrite(JournalEntry& entry, std::string& error) const {
    std::string why;
    if (WriteFileDurably(entry.file, EntryBytes(entry), ExistingTarget::Replace, &why) ==
        DurableWrite::Written)
        return true;
    error = "cannot write the journal entry " + entry.file + ": " + why;
    return false;
}

bool Journal::Create(JournalEntry& entry, std::string& error) const {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec) {
        error = "cannot create the journal folder " + folder_ + ": " + ec.message();
        return false;
    }
    const std::time_t now = std::time(nullptr);
    entry.created = UtcStamp(now, "%Y-%m-%d %H:%M:%S UTC");
    const std::vector<uint8_t> bytes = EntryBytes(entry);
    const std::string stem = BackupIdentity(entry.identity) + "-" + UtcStamp(now, "%Y%m%dT%H%M%SZ");
    for (int n = 0; n < 1000; ++n) {
        const std::string name = stem + "-" + std::to_string(1000 + n).substr(1) + kSuffix;
        const std::string file = (fs::path(folder_) / name).string();
        std::string why;
        const DurableWrite written = WriteFileDurably(file, bytes, ExistingTarget::Keep, &why);
        if (written == DurableWrite::NameTaken) continue;
        if (written != DurableWrite::Written) {
            error = "cannot write the journal entry " + file + ": " + why;
            return false;
        }
        entry.file = file;
        return true;
    }
    error = "too many journal entries named " + stem + " in " + folder_;
    return false;
}

void Journal::Close(const JournalEntry& entry) const {
    std::error_code ec;
    if (!entry.file.empty()) fs::remove(entry.file, ec);
}

}  // namespace qks
