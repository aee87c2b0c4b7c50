// Firmware images as resources of type "FW" in a module, found by name with
// FindResourceA and read in place: the system maps them with the module, so
// they stay valid as long as it is loaded and are never copied or released.
// A Windows build's EmbeddedImages() is this store over the program itself.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/image_store.h"

namespace qks::win {

inline constexpr const char* kImageResourceType = "FW";

class ResourceImageStore final : public ImageStore {
public:
    // nullptr: the program's own module.
    explicit ResourceImageStore(HMODULE module = nullptr);

    std::span<const uint8_t> Find(std::string_view name) const override;
    // The module's "FW" resource names, in the order the module lists them.
    std::vector<std::string> Names() const override;

private:
    HMODULE module_;
};

}  // namespace qks::win
