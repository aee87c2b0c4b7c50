// The journal of every write: before a flow erases anything it records who
// the enclosure is, every byte the flow may change as it was, and every byte
// as the flow will leave it. A write cut off at any moment is finished from
// that entry, never re-derived from what the cut left on the flash.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/chip_id.h"

namespace qks {

// The smallest erase unit any supported flash has: the granularity at which
// a cut-off write leaves the flash old, erased, or (partly) new.
inline constexpr uint32_t kJournalUnit = 4096;

struct JournalEntry {
    std::string file;          // where the entry is kept
    std::string identity;      // the USB serial, or the path when there is none
    std::string enclosure;     // the USB device it was (its port), where known
    ChipIdValue chip = 0;
    std::string flow;          // "recover", "run", ...
    std::string copy;          // the saved copy of the flash taken with it
    std::string created;       // "2026-12-10 01:30:00 UTC"
    std::string fingerprint;   // SHA-256 of the flash as read
    std::vector<uint8_t> before;   // from address 0
    std::vector<uint8_t> after;    // the same length

    // "2026-12-10 01:30:00 UTC  FILE": how the user is shown it.
    std::string Describe() const;
};

// Whether `flash` is what a write from `before` to `after`, cut off at any
// moment, leaves: in each unit every byte is as before or erased (an erase
// cut off), or every byte is erased or the after-image's (a program cut
// off). Compared over the shorter of the lengths.
bool ExplainsFlash(std::span<const uint8_t> before, std::span<const uint8_t> after,
                   std::span<const uint8_t> flash, uint32_t unit = kJournalUnit);

class Journal {
public:
    // An empty folder keeps no journal: every call does nothing.
    explicit Journal(std::string folder) : folder_(std::move(folder)) {}
    bool Kept() const { return !folder_.empty(); }
    const std::string& Folder() const { return folder_; }

    // Held while entries are created, matched or closed, across threads and
    // programs; released at once after.
    class Lock {
    public:
        explicit Lock(const Journal& journal);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        bool Held() const { return held_; }

    private:
#ifdef _WIN32
        void* handle_ = nullptr;
#else
        int fd_ = -1;
#endif
        bool held_ = false;
    };

    // The pending entries of this enclosure (identity and chip) and flow
    // (any when empty) that explain its flash as read now, oldest first.
    // A blank flash says nothing of whose write it was: there an entry
    // begun on another USB device (`enclosure`, when both are known) is
    // that device's, and a blank enclosure sharing its serial is its own.
    std::vector<JournalEntry> Matching(const std::string& identity, ChipIdValue chip,
                                       std::span<const uint8_t> flash,
                                       const std::string& flow = {},
                                       const std::string& enclosure = {}) const;
    // Creates the entry durably; false with `error` set when it could not
    // be made to last, and the write it announces must not begin.
    bool Create(JournalEntry& entry, std::string& error) const;
    // Replaces a created entry's file with the entry as it is now, durably:
    // a write that learns of more bytes it may change keeps them first.
    bool Rewrite(JournalEntry& entry, std::string& error) const;
    // Closes an entry: only the success of the write that began from it or
    // used it does this.
    void Close(const JournalEntry& entry) const;
    static std::optional<JournalEntry> Load(const std::string& file);
    // Every entry not yet closed, whole, of any enclosure: the unfinished writes.
    std::vector<JournalEntry> Pending() const;

    // One enclosure, one writer: held by a write from before the flash is
    // read for its copy until its outcome, across threads and programs.
    // Unlike the folder's lock it is held for a whole write, so another
    // writer is told whom it waits for and gives up after a while.
    class WriterLock {
    public:
        // Waits up to `waitMs` for the enclosure's current writer; `waiting`
        // is called once, with that writer's process id, when there is one,
        // and `meanwhile` (when given) at every look while it waits.
        WriterLock(const Journal& journal, const std::string& enclosureKey, uint32_t waitMs,
                   const std::function<void(const std::string& holderPid)>& waiting,
                   const std::function<void()>& meanwhile = {});
        ~WriterLock();
        WriterLock(const WriterLock&) = delete;
        WriterLock& operator=(const WriterLock&) = delete;
        // Taken, or no journal is kept (nothing to serialize through), or
        // its folder cannot hold the lock (nor then the write's entry).
        bool Held() const { return held_; }
        // The writer that still held it when the wait ended.
        const std::string& Holder() const { return holder_; }

    private:
        bool TryTake();
        std::string ReadHolder() const;
#ifdef _WIN32
        void* handle_ = nullptr;
#else
        int fd_ = -1;
#endif
        std::string file_;
        std::string holder_;
        bool held_ = false;
    };

private:
    std::vector<std::string> EntryFiles() const;
    std::string folder_;
};

}  // namespace qks
