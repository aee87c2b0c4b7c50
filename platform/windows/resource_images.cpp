#include "platform/windows/resource_images.h"

namespace qks::win {

ResourceImageStore::ResourceImageStore(HMODULE module)
    : module_(module ? module : GetModuleHandleA(nullptr)) {}

std::span<const uint8_t> ResourceImageStore::Find(std::string_view name) const {
    if (name.empty()) return {};
    const std::string key(name);
    const HRSRC found = FindResourceA(module_, key.c_str(), kImageResourceType);
    if (found == nullptr) return {};
    const DWORD size = SizeofResource(module_, found);
    const HGLOBAL loaded = LoadResource(module_, found);
    if (loaded == nullptr) return {};
    const void* bytes = LockResource(loaded);
    if (bytes == nullptr) return {};
    return LoadableImage({static_cast<const uint8_t*>(bytes), size});
}

namespace {
BOOL CALLBACK AddName(HMODULE, LPCSTR, LPSTR name, LONG_PTR names) {
    // Numbered resources have no name to look them up by.
    if (!IS_INTRESOURCE(name)) reinterpret_cast<std::vector<std::string>*>(names)->emplace_back(name);
    return TRUE;
}
}  // namespace

std::vector<std::string> ResourceImageStore::Names() const {
    std::vector<std::string> names;
    EnumResourceNamesA(module_, kImageResourceType, AddName, reinterpret_cast<LONG_PTR>(&names));
    return names;
}

}  // namespace qks::win

namespace qks {

const ImageStore& EmbeddedImages() {
    static const win::ResourceImageStore store;
    return store;
}

}  // namespace qks
