// The firmware-file check reads a file the user picked. The first two input
// bytes are the chip identity (type, revision); the rest is the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "device/firmware_file_check.h"

namespace {

using namespace qks;

// The check reads records at 0, 0x1000 and 0x4000, 10 bytes each.
constexpr size_t kLastByteRead = 0x4000 + 10;

class NoMessages final : public UserMessages {
public:
    void ShowMessageBox(const std::string&, const std::string&, MessageIcon) override {
        // Only a file that cannot be opened has a message, and ours opens.
        std::abort();
    }
    void DebugOutput(const std::string&) override {}
};

const std::string& ScratchFile() {
    static const std::string name = [] {
        const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(folder) + "/qks-fuzz-firmware-" + std::to_string(getpid()) + ".bin";
    }();
    return name;
}

int CheckBytes(const uint8_t* data, size_t size, ChipIdValue id) {
    FILE* file = std::fopen(ScratchFile().c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    NoMessages messages;
    return CheckFirmwareFile(messages, ScratchFile(), id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const ChipIdValue id = MakeChipId(data[0], data[1]);
    const int fits = CheckBytes(data + 2, size - 2, id);
    if (fits != 0 && fits != 1) std::abort();
    // Nothing past the last record decides: the file cut there fits alike.
    if (size - 2 > kLastByteRead && CheckBytes(data + 2, kLastByteRead, id) != fits) std::abort();
    std::remove(ScratchFile().c_str());
    return 0;
}
