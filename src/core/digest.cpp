#include "digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <new>
#include <stdexcept>

namespace qvcore {

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) throw std::bad_alloc();
    if (EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
        throw std::runtime_error("SHA-256 initialisation failed");
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::update(const void* data, size_t len) {
    if (len) EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, len);
}

Digest Sha256::finish() {
    Digest d{};
    unsigned int n = 0;
    auto* ctx = static_cast<EVP_MD_CTX*>(ctx_);
    EVP_DigestFinal_ex(ctx, d.data(), &n);
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    return d;
}

std::string Sha256::finish_hex() {
    Digest d = finish();
    return to_hex(d.data(), d.size());
}

Digest hmac_sha256(const void* key, size_t key_len, const void* data, size_t len) {
    Digest d{};
    unsigned int n = 0;
    static const unsigned char empty = 0;
    if (!HMAC(EVP_sha256(), key, static_cast<int>(key_len),
              len ? static_cast<const unsigned char*>(data) : &empty, len, d.data(), &n))
        throw std::runtime_error("HMAC-SHA256 failed");
    return d;
}

bool digest_equal(const Digest& d, const void* stored, size_t len) {
    if (len != kDigestSize) return false;
    return CRYPTO_memcmp(d.data(), stored, kDigestSize) == 0;
}

std::string to_hex(const uint8_t* p, size_t n) {
    static const char hex[] = "0123456789abcdef";
    std::string s(n * 2, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = hex[p[i] >> 4];
        s[2 * i + 1] = hex[p[i] & 15];
    }
    return s;
}

}  // namespace qvcore
