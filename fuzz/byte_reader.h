// Reads a fuzz input from the front, field by field. Past the end every
// field reads as zero, so any input decodes to something and a run always
// ends: the reader says when it has nothing left.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qks::fuzz {

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return at_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - at_; }

    uint8_t U8() { return Empty() ? 0 : data_[at_++]; }
    uint16_t U16() {
        const uint16_t low = U8();
        return static_cast<uint16_t>(low | U8() << 8);
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | uint32_t{U16()} << 16;
    }
    // Up to `count` bytes, fewer when the input ends first.
    std::vector<uint8_t> Bytes(size_t count) {
        const size_t n = count < Left() ? count : Left();
        std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + n);
        at_ += n;
        return bytes;
    }
    std::string Text(size_t count) {
        const auto bytes = Bytes(count);
        return std::string(bytes.begin(), bytes.end());
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Reads every byte of [data, data + count) through the sanitizer's checked
// copy, as a driver may touch the whole buffer it was handed.
inline void TouchAll(const uint8_t* data, size_t count) {
    static std::vector<uint8_t> sink;
    if (count) sink.assign(data, data + count);
}

// Appends fields in the order ByteReader takes them, for seed inputs.
class ByteWriter {
public:
    void U8(uint8_t value) { bytes_.push_back(value); }
    void U16(uint16_t value) {
        U8(static_cast<uint8_t>(value));
        U8(static_cast<uint8_t>(value >> 8));
    }
    void U32(uint32_t value) {
        U16(static_cast<uint16_t>(value));
        U16(static_cast<uint16_t>(value >> 16));
    }
    void Bytes(const uint8_t* data, size_t count) { bytes_.insert(bytes_.end(), data, data + count); }
    void Bytes(const std::vector<uint8_t>& data) { Bytes(data.data(), data.size()); }
    const std::vector<uint8_t>& Result() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace qks::fuzz
