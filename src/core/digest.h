// SHA-256 and HMAC-SHA256 through OpenSSL's EVP interface, and the
// constant-time comparison of digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qvcore {

constexpr size_t kDigestSize = 32;
using Digest = std::array<uint8_t, kDigestSize>;

// Incremental SHA-256. Not copyable; update() never fails once constructed.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, size_t len);
    Digest finish();              // the digest; the object is then reset
    std::string finish_hex();     // 64 lower-case hex characters

private:
    void* ctx_;  // EVP_MD_CTX
};

// Incremental HMAC-SHA256, for data that is never held whole (an image
// streamed from its file). Not copyable; update() never fails once constructed.
class HmacSha256 {
public:
    HmacSha256(const void* key, size_t key_len);
    ~HmacSha256();
    HmacSha256(const HmacSha256&) = delete;
    HmacSha256& operator=(const HmacSha256&) = delete;

    void update(const void* data, size_t len);
    Digest finish();  // the digest; the object is then spent

private:
    void* ctx_;  // EVP_MAC_CTX (OpenSSL 3), HMAC_CTX before
};

// HMAC-SHA256 of `len` bytes at `data` with `key`, through HmacSha256.
Digest hmac_sha256(const void* key, size_t key_len, const void* data, size_t len);

// Constant-time equality of a computed digest with `len` stored bytes; a
// stored field shorter than a digest never matches.
bool digest_equal(const Digest& d, const void* stored, size_t len);

std::string to_hex(const uint8_t* p, size_t n);

}  // namespace qvcore
