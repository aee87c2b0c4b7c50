#include "firmware/flash_backup.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "firmware/flash_maintenance.h"

namespace qks {

namespace fs = std::filesystem;

namespace {
constexpr const char* kSuffix = ".bin";

std::string Stamp(std::time_t when) {
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &when);
#else
    gmtime_r(&when, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}
}  // namespace

std::string BackupIdentity(const std::string& identity) {
    std::string safe;
    for (char c : identity) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        safe.push_back(plain ? c : '_');
    }
    return safe.empty() ? std::string("unknown") : safe;
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
    const std::string stem = BackupIdentity(identity) + "-" + Stamp(when);
    for (int n = 0; n < 1000; ++n) {
        const std::string name = stem + (n ? "-" + std::to_string(n) : std::string()) + kSuffix;
        const fs::path path = fs::path(folder) / name;
        if (fs::exists(path, ec)) continue;
        if (!WriteFileAtomically(path.string(), bytes)) {
            error = "cannot write the backup " + path.string();
            return std::nullopt;
        }
        return path.string();
    }
    error = "too many backups named " + stem + " in " + folder;
    return std::nullopt;
}

std::optional<HeaderBlock> FindSavedHeader(const std::string& folder, const std::string& identity) {
    std::error_code ec;
    const std::string prefix = BackupIdentity(identity) + "-";
    std::vector<fs::path> candidates;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && entry.path().extension() == kSuffix)
            candidates.push_back(entry.path());
    }
    // Names carry the UTC time, so the newest sorts last.
    std::sort(candidates.begin(), candidates.end());
    for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
        std::ifstream in(*it, std::ios::binary);
        HeaderBlock header{};
        in.read(reinterpret_cast<char*>(header.data()), header.size());
        if (in.gcount() == static_cast<std::streamsize>(header.size()) &&
            HasHeaderSignature(header.data(), header.size()))
            return header;
    }
    return std::nullopt;
}

}  // namespace qks
