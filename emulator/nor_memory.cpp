#include "emulator/nor_memory.h"

#include <algorithm>

namespace qks::emu {

void NorMemory::Read(uint32_t address, std::span<uint8_t> out) const {
    if (bytes_.empty()) return;
    for (size_t i = 0; i < out.size(); ++i) out[i] = bytes_[(address + i) % bytes_.size()];
}

void NorMemory::Program(uint32_t address, std::span<const uint8_t> data) {
    if (bytes_.empty()) return;
    for (size_t i = 0; i < data.size(); ++i) {
        const uint32_t at = static_cast<uint32_t>((address + i) % bytes_.size());
        bytes_[at] &= data[i];
        MarkChanged(at);
    }
}

void NorMemory::Overwrite(uint32_t address, std::span<const uint8_t> data) {
    if (bytes_.empty()) return;
    for (size_t i = 0; i < data.size(); ++i) {
        const uint32_t at = static_cast<uint32_t>((address + i) % bytes_.size());
        bytes_[at] = data[i];
        MarkChanged(at);
    }
}

void NorMemory::Erase(Region region) {
    const uint32_t end = std::min<uint32_t>(region.start + region.length, Size());
    if (region.start >= end) return;
    std::fill(bytes_.begin() + region.start, bytes_.begin() + end, 0xFF);
    MarkChanged(region.start);
    MarkChanged(end - 1);
}

void NorMemory::StartErase(Region region, uint64_t now, uint64_t readyAt) {
    const uint32_t end = std::min<uint32_t>(region.start + region.length, Size());
    if (region.start >= end) return;
    RunningErase erase;
    erase.region = {region.start, end - region.start};
    erase.began = now;
    erase.before.assign(bytes_.begin() + region.start, bytes_.begin() + end);
    running_ = std::move(erase);
    readyAt_ = readyAt;
    Erase(region);
}

void NorMemory::CutPower(uint64_t now) {
    if (running_ && now < readyAt_) {
        const RunningErase& erase = *running_;
        const uint64_t span = readyAt_ - erase.began;
        const uint64_t done = span == 0 ? erase.region.length
                                        : erase.region.length * (now - erase.began) / span;
        const uint32_t kept = static_cast<uint32_t>(done);
        std::copy(erase.before.begin() + kept, erase.before.end(),
                  bytes_.begin() + erase.region.start + kept);
        MarkChanged(erase.region.start);
        MarkChanged(erase.region.start + erase.region.length - 1);
    }
    running_.reset();
    readyAt_ = 0;
}

std::optional<Region> NorMemory::TakeChanged() {
    std::optional<Region> changed = changed_;
    changed_.reset();
    return changed;
}

void NorMemory::MarkChanged(uint32_t index) {
    if (!changed_) {
        changed_ = Region{index, 1};
        return;
    }
    const uint32_t first = std::min(changed_->start, index);
    const uint32_t last = std::max(changed_->start + changed_->length - 1, index);
    changed_ = Region{first, last - first + 1};
}

}  // namespace qks::emu
