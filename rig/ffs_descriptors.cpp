#include "rig/ffs_descriptors.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <cstring>
#include <string_view>

namespace qks::rig {

namespace {
void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void SetLength(std::vector<uint8_t>& out) {
    const uint32_t length = static_cast<uint32_t>(out.size());
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(length >> (8 * i));
}

void PutSpeed(std::vector<uint8_t>& out, uint16_t packet) {
    const uint8_t interface[] = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2,
                                 kMassStorageClass, kScsiTransparentSubclass,
                                 kBulkOnlyProtocol, 1};
    out.insert(out.end(), std::begin(interface), std::end(interface));
    for (uint8_t address : {uint8_t{1 | USB_DIR_IN}, uint8_t{2 | USB_DIR_OUT}}) {
        out.push_back(USB_DT_ENDPOINT_SIZE);
        out.push_back(USB_DT_ENDPOINT);
        out.push_back(address);
        out.push_back(USB_ENDPOINT_XFER_BULK);
        Put16(out, packet);
        out.push_back(0);   // bInterval: bulk endpoints do not NAK-limit
    }
}
}  // namespace

std::vector<uint8_t> FunctionDescriptors() {
    std::vector<uint8_t> out;
    Put32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    Put32(out, 0);   // length, set below
    Put32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    Put32(out, 3);   // full speed: interface and two endpoints
    Put32(out, 3);   // high speed: the same
    PutSpeed(out, kFullSpeedBulkPacket);
    PutSpeed(out, kHighSpeedBulkPacket);
    SetLength(out);
    return out;
}

std::vector<uint8_t> FunctionStrings() {
    constexpr std::string_view kInterfaceName = "Bulk-Only mass storage";
    std::vector<uint8_t> out;
    Put32(out, FUNCTIONFS_STRINGS_MAGIC);
    Put32(out, 0);   // length, set below
    Put32(out, 1);   // strings per language
    Put32(out, 1);   // languages
    Put16(out, 0x0409);
    out.insert(out.end(), kInterfaceName.begin(), kInterfaceName.end());
    out.push_back(0);
    SetLength(out);
    return out;
}

}  // namespace qks::rig
