// Identification over a device that answers anything: GetChipId, then the
// firmware-version text the window and the command line show for it. Any
// answer must leave a chip type the name tables can show, send nothing to
// the device, and read or write nothing outside the buffers the commands
// were given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "operations/device_texts.h"
#include "byte_reader.h"
#include "device/chip_id.h"
#include "device/clock.h"
#include "device/transport.h"
#include "device/vendor_commands.h"
#include "device_script.h"

namespace {

using namespace qks;

class CountingMessages final : public UserMessages {
public:
    void ShowMessageBox(const std::string& text, const std::string&, MessageIcon) override {
        // Identification has one message of its own and no other.
        if (text != kChipInfoFailText) std::abort();
        ++boxes;
    }
    void DebugOutput(const std::string&) override {}
    int boxes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ByteReader input(data, size);
    fuzz::ScriptedDevice device(input);
    VirtualClock clock;
    Transport transport(device, clock);
    VendorCommandSet commands(transport);
    CountingMessages messages;
    const DevicePath path = "emu:usbstor#disk&ven_tavrel&prod_fuzz#0";

    const ChipIdValue id = GetChipId(commands, messages, path);
    const uint8_t type = ChipTypeOf(id);
    if (type >= kChipTypeCount) std::abort();
    if (messages.boxes > 1) std::abort();

    const auto version = FirmwareVersionText(commands, path, type);
    if (version && version->empty()) std::abort();
    // Asking a device what it is must never change it.
    if (device.dataOut != 0) std::abort();
    return 0;
}
