// What the gadget writes to FunctionFS ep0 before anything else: one
// interface of class 08 (mass storage), subclass 06 (SCSI transparent),
// protocol 50 (Bulk-Only), with a bulk IN endpoint (ep1) and a bulk OUT
// endpoint (ep2), for full and high speed; and its one string.
#pragma once

#include <cstdint>
#include <vector>

namespace qks::rig {

inline constexpr uint8_t kMassStorageClass = 0x08;
inline constexpr uint8_t kScsiTransparentSubclass = 0x06;
inline constexpr uint8_t kBulkOnlyProtocol = 0x50;
inline constexpr uint16_t kFullSpeedBulkPacket = 64;
inline constexpr uint16_t kHighSpeedBulkPacket = 512;

std::vector<uint8_t> FunctionDescriptors();
std::vector<uint8_t> FunctionStrings();

// The class requests on ep0 (bmRequestType, bRequest).
inline constexpr uint8_t kResetRequestType = 0x21;    // class, interface, host to device
inline constexpr uint8_t kResetRequest = 0xFF;        // Bulk-Only Mass Storage Reset
inline constexpr uint8_t kMaxLunRequestType = 0xA1;   // class, interface, device to host
inline constexpr uint8_t kMaxLunRequest = 0xFE;       // Get Max LUN

}  // namespace qks::rig
