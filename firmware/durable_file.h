// Files the program writes: copies of a device's memory, records of
// unfinished writes, `backup FILE` and the trace. A crash, a full disk or a
// link planted in the folder must never leave a file that looks complete
// and is not, nor send the program's bytes into some other file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace qks {

enum class DurableWrite : uint8_t {
    Written,
    NameTaken,   // Keep was asked and the target already exists
    Failed,
};

enum class ExistingTarget : uint8_t { Replace, Keep };

// Writes `bytes` under a temporary name of its own in the target's folder,
// created exclusively and never through a link, flushes it to disk, renames
// it to `target` and flushes the folder. With Keep an existing target is
// left alone. Anything but Written leaves the folder as it was, with `error`
// (when given) saying which step failed.
DurableWrite WriteFileDurably(const std::string& target, std::span<const uint8_t> bytes,
                              ExistingTarget existing, std::string* error = nullptr);

// The name the next write from this process tries first for `target`.
std::string NextTemporaryName(const std::string& target);

// The common case: all bytes under the name, replacing what was there.
bool WriteFileAtomically(const std::string& target, std::span<const uint8_t> bytes);

// An append stream whose every line reaches the file as it is written, so
// it survives a crash of the program. The name is opened without following
// a link and truncated.
class LineFile {
public:
    static std::unique_ptr<LineFile> Create(const std::string& path, std::string& error);
    ~LineFile();
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    // The line and a newline, whole; false once a write has failed.
    bool WriteLine(std::string_view line);

private:
    LineFile() = default;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    bool failed_ = false;
};

}  // namespace qks
