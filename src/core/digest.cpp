#include "digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
#include <openssl/core_names.h>
#include <openssl/params.h>
#endif

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
    HmacSha256 mac(key, key_len);
    mac.update(data, len);
    return mac.finish();
}

#if OPENSSL_VERSION_NUMBER >= 0x30000000L
HmacSha256::HmacSha256(const void* key, size_t key_len) : ctx_(nullptr) {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!mac) throw std::runtime_error("HMAC-SHA256 initialisation failed");
    auto* ctx = EVP_MAC_CTX_new(mac);
    EVP_MAC_free(mac);  // the context holds its own reference
    if (!ctx) throw std::bad_alloc();
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    static const unsigned char empty = 0;  // a key of no bytes is a key all the same
    if (EVP_MAC_init(ctx, key_len ? static_cast<const unsigned char*>(key) : &empty, key_len,
                     params) != 1) {
        EVP_MAC_CTX_free(ctx);
        throw std::runtime_error("HMAC-SHA256 initialisation failed");
    }
    ctx_ = ctx;
}

HmacSha256::~HmacSha256() { EVP_MAC_CTX_free(static_cast<EVP_MAC_CTX*>(ctx_)); }

void HmacSha256::update(const void* data, size_t len) {
    if (len) EVP_MAC_update(static_cast<EVP_MAC_CTX*>(ctx_), static_cast<const unsigned char*>(data), len);
}

Digest HmacSha256::finish() {
    Digest d{};
    size_t n = 0;
    if (EVP_MAC_final(static_cast<EVP_MAC_CTX*>(ctx_), d.data(), &n, d.size()) != 1 || n != d.size())
        throw std::runtime_error("HMAC-SHA256 failed");
    return d;
}
#else
HmacSha256::HmacSha256(const void* key, size_t key_len) : ctx_(HMAC_CTX_new()) {
    if (!ctx_) throw std::bad_alloc();
    static const unsigned char empty = 0;
    if (HMAC_Init_ex(static_cast<HMAC_CTX*>(ctx_), key_len ? key : &empty, static_cast<int>(key_len),
                     EVP_sha256(), nullptr) != 1) {
        HMAC_CTX_free(static_cast<HMAC_CTX*>(ctx_));
        throw std::runtime_error("HMAC-SHA256 initialisation failed");
    }
}

HmacSha256::~HmacSha256() { HMAC_CTX_free(static_cast<HMAC_CTX*>(ctx_)); }

void HmacSha256::update(const void* data, size_t len) {
    if (len) HMAC_Update(static_cast<HMAC_CTX*>(ctx_), static_cast<const unsigned char*>(data), len);
}

Digest HmacSha256::finish() {
    Digest d{};
    unsigned int n = 0;
    if (HMAC_Final(static_cast<HMAC_CTX*>(ctx_), d.data(), &n) != 1 || n != d.size())
        throw std::runtime_error("HMAC-SHA256 failed");
    return d;
}
#endif

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
