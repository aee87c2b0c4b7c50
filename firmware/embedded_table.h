// The table the build generates from the embedded firmware files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qks {

struct EmbeddedImageEntry {
    const char* name;
    const uint8_t* data;
    size_t size;
};

extern const EmbeddedImageEntry kEmbeddedImageTable[];
extern const size_t kEmbeddedImageCount;

}  // namespace qks
