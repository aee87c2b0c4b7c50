// Image digests through OpenSSL; a Windows build hashes with the system's
// BCrypt instead (platform/windows).
#include <openssl/evp.h>

#include <stdexcept>

#include "device/command_trace.h"
#include "firmware/image_store.h"

namespace qks {

std::string Sha256Hex(std::span<const uint8_t> bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return HexBytes(digest, length);
}

}  // namespace qks
