#include "firmware/durable_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qks {

namespace fs = std::filesystem;

namespace {

std::atomic<uint64_t> gTemporaryCount{0};

unsigned long ProcessNumber() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

// Unique across threads (the count) and the processes running at one time
// (the process number); a name left by a crash, or planted, is passed over.
std::string TemporaryName(const std::filesystem::path& folder, uint64_t count) {
    const std::string name =
        ".qks-" + std::to_string(ProcessNumber()) + "-" + std::to_string(count) + ".partial";
    return (folder / name).string();
}

fs::path FolderOf(const std::string& target) {
    const fs::path folder = fs::path(target).parent_path();
    return folder.empty() ? fs::path(".") : folder;
}

void Say(std::string* error, const std::string& text) {
    if (error) *error = text;
}

#ifdef _WIN32

std::string SystemText(DWORD code) { return "system error " + std::to_string(code); }

// The temporary name beside a target whose path is near the system's limit
// (MAX_PATH) passes it: such a path goes to the system's wide functions in
// its long form, which they take past that limit.
std::wstring SystemPath(const std::string& path) {
    const fs::path given(path);
    if (path.size() < MAX_PATH - 12) return given.wstring();
    std::error_code ec;
    fs::path absolute = fs::absolute(given, ec);
    if (ec) return given.wstring();
    return L"\\\\?\\" + absolute.make_preferred().wstring();
}

DurableWrite WriteOnce(const std::string& target, const std::string& temporary,
                       std::span<const uint8_t> bytes, ExistingTarget existing,
                       std::string* error, bool& nameClash) {
    const std::wstring targetPath = SystemPath(target);
    const std::wstring temporaryPath = SystemPath(temporary);
    // CREATE_NEW fails on any name that exists, a link included.
    HANDLE file = CreateFileW(temporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        nameClash = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        Say(error, "cannot create " + temporary + ": " + SystemText(code));
        return DurableWrite::Failed;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        ok = WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    if (!ok) Say(error, "cannot write " + temporary + ": " + SystemText(GetLastError()));
    if (ok && !FlushFileBuffers(file)) {
        ok = false;
        Say(error, "cannot flush " + temporary + ": " + SystemText(GetLastError()));
    }
    if (!CloseHandle(file) && ok) {
        ok = false;
        Say(error, "cannot close " + temporary);
    }
    if (!ok) {
        DeleteFileW(temporaryPath.c_str());
        return DurableWrite::Failed;
    }
    DWORD flags = MOVEFILE_WRITE_THROUGH;
    if (existing == ExistingTarget::Replace) flags |= MOVEFILE_REPLACE_EXISTING;
    if (!MoveFileExW(temporaryPath.c_str(), targetPath.c_str(), flags)) {
        const DWORD code = GetLastError();
        DeleteFileW(temporaryPath.c_str());
        if (existing == ExistingTarget::Keep &&
            (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS))
            return DurableWrite::NameTaken;
        Say(error, "cannot rename " + temporary + " to " + target + ": " + SystemText(code));
        return DurableWrite::Failed;
    }
    return DurableWrite::Written;
}

#else

std::string SystemText(int code) { return std::strerror(code); }

bool WriteAll(int fd, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Without replacing: renameat2's no-replace where the file system has it,
// else a hard link, which fails on an existing name just the same.
int RenameKeeping(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
#endif
    if (::link(from.c_str(), to.c_str()) != 0) return -1;
    ::unlink(from.c_str());
    return 0;
}

bool SyncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL;   // some file systems cannot
    ::close(fd);
    return ok;
}

DurableWrite WriteOnce(const std::string& target, const std::string& temporary,
                       std::span<const uint8_t> bytes, ExistingTarget existing,
                       std::string* error, bool& nameClash) {
    const int fd = ::open(temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        nameClash = errno == EEXIST;
        Say(error, "cannot create " + temporary + ": " + SystemText(errno));
        return DurableWrite::Failed;
    }
    bool ok = WriteAll(fd, bytes);
    if (!ok) Say(error, "cannot write " + temporary + ": " + SystemText(errno));
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        Say(error, "cannot flush " + temporary + " to disk: " + SystemText(errno));
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        Say(error, "cannot close " + temporary + ": " + SystemText(errno));
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return DurableWrite::Failed;
    }
    const int renamed = existing == ExistingTarget::Replace
                            ? ::rename(temporary.c_str(), target.c_str())
                            : RenameKeeping(temporary, target);
    if (renamed != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        if (code == EEXIST) return DurableWrite::NameTaken;
        Say(error, "cannot rename " + temporary + " to " + target + ": " + SystemText(code));
        return DurableWrite::Failed;
    }
    if (!SyncFolder(FolderOf(target))) {
        // The file is complete under its name; only its entry may not yet be on disk.
        Say(error, "cannot flush the folder of " + target + " to disk: " + SystemText(errno));
        return DurableWrite::Failed;
    }
    return DurableWrite::Written;
}

#endif

}  // namespace

DurableWrite WriteFileDurably(const std::string& target, std::span<const uint8_t> bytes,
                              ExistingTarget existing, std::string* error) {
    const fs::path folder = FolderOf(target);
    // A name someone else holds (another program's temporary file, or a
    // link planted there) is passed over for a fresh one, never opened.
    std::string why;
    for (int attempt = 0; attempt < 16; ++attempt) {
        bool nameClash = false;
        why.clear();
        const DurableWrite result =
            WriteOnce(target, TemporaryName(folder, gTemporaryCount.fetch_add(1)), bytes,
                      existing, &why, nameClash);
        if (nameClash) continue;
        if (result == DurableWrite::Failed && error) *error = why;
        return result;
    }
    if (error) *error = why;
    return DurableWrite::Failed;
}

std::string NextTemporaryName(const std::string& target) {
    return TemporaryName(FolderOf(target), gTemporaryCount.load());
}

bool WriteFileAtomically(const std::string& target, std::span<const uint8_t> bytes) {
    return WriteFileDurably(target, bytes, ExistingTarget::Replace) == DurableWrite::Written;
}

// ---- the append stream -----------------------------------------------------

#ifdef _WIN32

std::unique_ptr<LineFile> LineFile::Create(const std::string& path, std::string& error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = path + " is a link; the program does not write through links";
        return nullptr;
    }
    // Opening the reparse point itself: a link planted after the check is
    // overwritten, not followed.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot create " + path + ": " + SystemText(GetLastError());
        return nullptr;
    }
    std::unique_ptr<LineFile> file(new LineFile());
    file->handle_ = handle;
    return file;
}

LineFile::~LineFile() {
    if (handle_) CloseHandle(static_cast<HANDLE>(handle_));
}

bool LineFile::WriteLine(std::string_view line) {
    if (failed_) return false;
    std::string whole(line);
    whole.push_back('\n');
    size_t done = 0;
    while (done < whole.size()) {
        DWORD written = 0;
        if (!WriteFile(static_cast<HANDLE>(handle_), whole.data() + done,
                       static_cast<DWORD>(whole.size() - done), &written, nullptr) ||
            written == 0) {
            failed_ = true;
            return false;
        }
        done += written;
    }
    return true;
}

#else

std::unique_ptr<LineFile> LineFile::Create(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno == ELOOP ? path + " is a link; the program does not write through links"
                               : "cannot create " + path + ": " + SystemText(errno);
        return nullptr;
    }
    std::unique_ptr<LineFile> file(new LineFile());
    file->fd_ = fd;
    return file;
}

LineFile::~LineFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool LineFile::WriteLine(std::string_view line) {
    if (failed_) return false;
    std::string whole(line);
    whole.push_back('\n');
    failed_ = !WriteAll(fd_, {reinterpret_cast<const uint8_t*>(whole.data()), whole.size()});
    return !failed_;
}

#endif

}  // namespace qks
