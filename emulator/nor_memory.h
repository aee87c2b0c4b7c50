// A NOR flash array: programming can only clear bits, only an erase sets
// them again, and an erase keeps the part busy for a while after the command
// that started it has returned. Serial flash and the parallel ROM share it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "emulator/erase_map.h"

namespace qks::emu {

class NorMemory {
public:
    explicit NorMemory(std::vector<uint8_t> initial) : bytes_(std::move(initial)) {}

    uint32_t Size() const { return static_cast<uint32_t>(bytes_.size()); }
    std::span<const uint8_t> Bytes() const { return bytes_; }

    // Addresses wrap at the end of the array, as the part has no higher
    // address lines.
    void Read(uint32_t address, std::span<uint8_t> out) const;
    void Program(uint32_t address, std::span<const uint8_t> data);   // old & data
    void Overwrite(uint32_t address, std::span<const uint8_t> data);  // no NOR rule
    void Erase(Region region);

    // An erase that finishes at `readyAt`. Its bytes read as erased at once;
    // the part still counts as busy, and a power cut before `readyAt` keeps
    // only the share of the region that the time elapsed had reached.
    void StartErase(Region region, uint64_t now, uint64_t readyAt);
    bool Busy(uint64_t now) const { return now < readyAt_; }
    uint64_t ReadyAt() const { return readyAt_; }
    void CutPower(uint64_t now);

    // Bytes changed since the last call, for writing them back to a file.
    std::optional<Region> TakeChanged();

private:
    struct RunningErase {
        Region region;
        uint64_t began = 0;
        std::vector<uint8_t> before;
    };

    void MarkChanged(uint32_t index);

    std::vector<uint8_t> bytes_;
    uint64_t readyAt_ = 0;
    std::optional<RunningErase> running_;
    std::optional<Region> changed_;
};

}  // namespace qks::emu
