// Image digests through the system's BCrypt, so a Windows build needs no
// crypto library of its own. The provider-and-hash-object sequence works
// back to Vista; BCryptHash alone would need Windows 10.
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "device/command_trace.h"
#include "firmware/image_store.h"

namespace qks {

namespace {
bool Succeeded(NTSTATUS status) { return status >= 0; }

class Provider {
public:
    Provider() {
        if (!Succeeded(BCryptOpenAlgorithmProvider(&handle_, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            throw std::runtime_error("SHA-256 failed: no BCrypt SHA-256 provider");
    }
    ~Provider() { BCryptCloseAlgorithmProvider(handle_, 0); }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class Hash {
public:
    explicit Hash(const Provider& provider) {
        if (!Succeeded(BCryptCreateHash(provider.get(), &handle_, nullptr, 0, nullptr, 0, 0)))
            throw std::runtime_error("SHA-256 failed: BCryptCreateHash");
    }
    ~Hash() { BCryptDestroyHash(handle_); }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    BCRYPT_HASH_HANDLE get() const { return handle_; }

private:
    BCRYPT_HASH_HANDLE handle_ = nullptr;
};
}  // namespace

std::string Sha256Hex(std::span<const uint8_t> bytes) {
    const Provider provider;
    const Hash hash(provider);
    // BCryptHashData takes at most 4 GB a call; images are 64 KB at most,
    // but nothing below depends on that.
    size_t done = 0;
    while (done < bytes.size()) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(bytes.size() - done, 1u << 30));
        // The input is only read; the API's parameter is merely not const.
        if (!Succeeded(BCryptHashData(hash.get(), const_cast<PUCHAR>(bytes.data() + done), piece, 0)))
            throw std::runtime_error("SHA-256 failed: BCryptHashData");
        done += piece;
    }
    UCHAR digest[32];
    if (!Succeeded(BCryptFinishHash(hash.get(), digest, sizeof digest, 0)))
        throw std::runtime_error("SHA-256 failed: BCryptFinishHash");
    return HexBytes(digest, sizeof digest);
}

}  // namespace qks
