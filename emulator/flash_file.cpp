#include "emulator/flash_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace qks::emu {

namespace {
std::string CreateFile(const std::string& path, const std::vector<uint8_t>& flash) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()),
              static_cast<std::streamsize>(flash.size()));
    out.close();
    if (!out) return "cannot create flash file '" + path + "'";
    return {};
}
}  // namespace

std::string LoadOrCreateFlashFile(const std::string& path, std::vector<uint8_t>& flash) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return CreateFile(path, flash);
    const auto size = std::filesystem::file_size(path, error);
    if (error) return "cannot read flash file '" + path + "': " + error.message();
    if (size != flash.size())
        return "flash file '" + path + "' holds " + std::to_string(size) + " bytes, the flash " +
               std::to_string(flash.size());
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    if (!in) return "cannot read flash file '" + path + "'";
    return {};
}

bool WriteBackFlashFile(const std::string& path, std::span<const uint8_t> flash, Region region) {
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!file) return false;
    file.seekp(region.start);
    file.write(reinterpret_cast<const char*>(flash.data() + region.start),
               static_cast<std::streamsize>(region.length));
    file.close();
    return !file.fail();
}

}  // namespace qks::emu
