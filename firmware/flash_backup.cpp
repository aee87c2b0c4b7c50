#include "firmware/flash_backup.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

#include "firmware/durable_file.h"

namespace qks {

namespace fs = std::filesystem;

namespace {
constexpr const char* kSuffix = ".bin";
}  // namespace

std::string UtcStamp(std::time_t when, const char* format) {
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &when);
#else
    gmtime_r(&when, &parts);
#endif
    char text[40];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

std::string BackupIdentity(const std::string& identity) {
    std::string safe;
    for (char c : identity) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        safe.push_back(plain ? c : '_');
    }
    return safe.empty() ? std::string("unknown") : safe;
}

bool SameSerial(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::string> SaveFlashBackup(const std::string& folder, const std::string& identity,
                                           std::span<const uint8_t> bytes, std::time_t when,
                                           std::string& error) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        error = "cannot create the backup folder " + folder + ": " + ec.message();
        return std::nullopt;
    }
    const std::string stem = BackupIdentity(identity) + "-" + UtcStamp(when, "%Y%m%dT%H%M%SZ");
    for (int n = 0; n < 1000; ++n) {
        std::string name = stem;
        if (n) name.append("-").append(std::to_string(n));
        name.append(kSuffix);
        const fs::path path = fs::path(folder) / name;
        if (fs::exists(path, ec)) continue;
        // Another program saving the same device in the same second may take
        // the name between the look and the rename: its copy stays, this one
        // moves on to the next number.
        std::string why;
        const DurableWrite written = WriteFileDurably(path.string(), bytes, ExistingTarget::Keep, &why);
        if (written == DurableWrite::NameTaken) continue;
        if (written != DurableWrite::Written) {
            error = "cannot write the backup " + path.string() + ": " + why;
            return std::nullopt;
        }
        return path.string();
    }
    error = "too many backups named " + stem + " in " + folder;
    return std::nullopt;
}

namespace {
// What follows the identity in a backup's name: the UTC time as Stamp
// writes it, then ".bin" or "-N.bin". Checking it keeps the copies of a
// device whose identity merely begins with another's ("ABC" and "ABC-2",
// or a device's ROM copies) out of that other device's.
bool IsStampedRest(const std::string& rest) {
    static constexpr const char kShape[] = "dddddddd" "T" "dddddd" "Z";
    constexpr size_t kStampLength = sizeof kShape - 1;
    if (rest.size() < kStampLength) return false;
    for (size_t i = 0; i < kStampLength; ++i) {
        const char c = rest[i];
        if (kShape[i] == 'd' ? (c < '0' || c > '9') : c != kShape[i]) return false;
    }
    std::string tail = rest.substr(kStampLength);
    if (tail == kSuffix) return true;
    if (tail.size() <= 1 + std::char_traits<char>::length(kSuffix) || tail[0] != '-') return false;
    tail = tail.substr(1, tail.size() - 1 - std::char_traits<char>::length(kSuffix));
    // SaveFlashBackup numbers at most 999 copies a second; a longer number
    // is some other file, and would not fit the number the sort reads.
    return tail.size() <= 3 &&
           std::all_of(tail.begin(), tail.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Backups of one identity, oldest first: names carry the UTC time.
std::vector<fs::path> BackupsOf(const std::string& folder, const std::string& identity) {
    std::error_code ec;
    const std::string prefix = BackupIdentity(identity) + "-";
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > prefix.size() && SameSerial(name.substr(0, prefix.size()), prefix) &&
            entry.path().extension() == kSuffix &&
            IsStampedRest(name.substr(prefix.size())))
            found.push_back(entry.path());
    }
    // By time, then by the number a second copy within the same second
    // gets: "-1.bin" sorts before ".bin" as text, yet it is the newer one.
    auto key = [&](const fs::path& path) {
        const std::string rest = path.filename().string().substr(prefix.size());
        const std::string stamp = rest.substr(0, 16);
        const size_t dash = rest.find('-', 16);
        const long n = dash == std::string::npos ? 0 : std::stol(rest.substr(dash + 1));
        return std::pair(stamp, n);
    };
    std::sort(found.begin(), found.end(),
              [&](const fs::path& a, const fs::path& b) { return key(a) < key(b); });
    return found;
}

std::optional<std::vector<uint8_t>> NewestStart(const std::string& folder, const std::string& identity,
                                                uint32_t length,
                                                bool (*accept)(const std::vector<uint8_t>&)) {
    const auto backups = BackupsOf(folder, identity);
    for (auto it = backups.rbegin(); it != backups.rend(); ++it) {
        std::ifstream in(*it, std::ios::binary);
        std::vector<uint8_t> start(length, 0);
        in.read(reinterpret_cast<char*>(start.data()), length);
        if (in.gcount() == static_cast<std::streamsize>(length) && accept(start)) return start;
    }
    return std::nullopt;
}
}  // namespace

std::vector<std::string> SavedCopiesOf(const std::string& folder, const std::string& identity) {
    std::vector<std::string> paths;
    for (const auto& path : BackupsOf(folder, identity)) paths.push_back(path.string());
    return paths;
}

std::string SavedCopyTime(const std::string& path) {
    // NAME-YYYYMMDDTHHMMSSZ[-N].bin
    const std::string name = fs::path(path).stem().string();
    const size_t t = name.rfind('T');
    if (t == std::string::npos || t < 8 || name.size() < t + 8) return {};
    const std::string date = name.substr(t - 8, 8), time = name.substr(t + 1, 6);
    return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2) + " " +
           time.substr(0, 2) + ":" + time.substr(2, 2) + ":" + time.substr(4, 2) + " UTC";
}

std::optional<HeaderBlock> FindSavedHeader(const std::string& folder, const std::string& identity) {
    const auto start = NewestStart(folder, identity, kHeaderBlockBytes, [](const std::vector<uint8_t>& b) {
        return HasHeaderSignature(b.data(), b.size());
    });
    if (!start) return std::nullopt;
    HeaderBlock header{};
    std::copy(start->begin(), start->end(), header.begin());
    return header;
}

std::optional<std::vector<uint8_t>> FindSavedStart(const std::string& folder,
                                                   const std::string& identity, uint32_t length) {
    return NewestStart(folder, identity, length, [](const std::vector<uint8_t>& b) {
        return !std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0xFF; });
    });
}

std::optional<std::vector<uint8_t>> ReadBackupStart(const std::string& path, uint32_t length) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> start(length, 0);
    in.read(reinterpret_cast<char*>(start.data()), length);
    if (in.gcount() != static_cast<std::streamsize>(length)) return std::nullopt;
    return start;
}

}  // namespace qks
