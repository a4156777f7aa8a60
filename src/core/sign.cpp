#include "sign.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace qvcore::sig {

namespace {

uint16_t be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
void put16(std::string& s, uint16_t v) {
    s.push_back(char(v >> 8));
    s.push_back(char(v & 0xFF));
}
void put32(std::string& s, uint32_t v) {
    for (int sh = 24; sh >= 0; sh -= 8) s.push_back(char((v >> sh) & 0xFF));
}

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// A passphrase prompt must never reach a terminal: encrypted keys fail.
int no_passphrase(char*, int, int, void*) { return -1; }

Bio memory_bio(const std::string& s) {
    return Bio(BIO_new_mem_buf(s.data(), static_cast<int>(std::min<size_t>(s.size(), 1 << 30))));
}

std::string bio_text(BIO* b) {
    char* p = nullptr;
    long n = BIO_get_mem_data(b, &p);
    return n > 0 ? std::string(p, size_t(n)) : std::string();
}

bool raw_public(EVP_PKEY* k, PublicKey& raw) {
    size_t n = raw.size();
    return EVP_PKEY_get_raw_public_key(k, raw.data(), &n) == 1 && n == raw.size();
}

Pkey parse_private(const Secret& pem, std::string& why) {
    Bio b = memory_bio(pem.text());
    Pkey k(b ? PEM_read_bio_PrivateKey(b.get(), nullptr, no_passphrase, nullptr) : nullptr);
    ERR_clear_error();
    if (!k) {
        why = pem.text().find("ENCRYPTED PRIVATE KEY") != std::string::npos
                  ? "an encrypted private key (use an unencrypted PKCS#8 PEM key)"
                  : "not a PEM private key (PKCS#8, as `openssl genpkey -algorithm ed25519` writes)";
        return nullptr;
    }
    if (EVP_PKEY_id(k.get()) != EVP_PKEY_ED25519) {
        why = "not an Ed25519 private key";
        return nullptr;
    }
    return k;
}

// Read a small regular file whole; `max` bounds it.
bool read_small(const std::string& path, size_t max, std::string& out, mode_t& mode,
                KeyFileError& error) {
    error.path = path;
    struct stat st {};
    OsError oe;
    if (!read_head(path, max + 1, out, st, oe)) {
        if (oe.special || oe.err == EISDIR) error.why = path + ": not a regular file";
        else error.err = oe.err;
        return false;
    }
    mode = st.st_mode & 07777;
    if (out.size() > max) {
        OPENSSL_cleanse(out.data(), out.size());
        out.clear();
        error.why = path + ": too large to be a key file (" + std::to_string(st.st_size) + " bytes)";
        return false;
    }
    return true;
}

constexpr size_t kKeyFileMax = 64 * 1024;

bool ends_with(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

}  // namespace

// ---- trailer ------------------------------------------------------------

Trailer parse_trailer(const uint8_t* data, uint64_t size) {
    Trailer t;
    t.signed_size = size;
    if (size < sizeof kMagic || std::memcmp(data + size - sizeof kMagic, kMagic, sizeof kMagic) != 0)
        return t;
    t.present = true;
    auto bad = [&](std::string why) {
        t.malformed = true;
        t.problem = std::move(why);
        t.entries.clear();
        t.signed_size = size;
        return t;
    };
    if (size < kFooterSize) return bad("the file is shorter than the trailer's 16-byte footer");
    const uint8_t* footer = data + size - kFooterSize;
    const uint64_t total = be32(footer);
    const uint64_t count = be32(footer + 4);
    if (count == 0) return bad("the trailer holds no signature");
    if (count > kMaxEntries)
        return bad("the trailer claims " + std::to_string(count) + " entries; at most " +
                   std::to_string(kMaxEntries) + " are allowed");
    if (total < kFooterSize + count * kEntryHeaderSize)
        return bad("the trailer length " + std::to_string(total) + " is too small for " +
                   std::to_string(count) + " entries");
    if (total > size)
        return bad("the trailer length " + std::to_string(total) + " exceeds the file size " +
                   std::to_string(size));
    const uint64_t start = size - total, end = size - kFooterSize;
    if (start < kMinSignedSize)
        return bad("the signed region (" + std::to_string(start) +
                   " bytes) is shorter than the 80-byte fixed header");
    t.entries.reserve(size_t(count));
    uint64_t at = start;
    for (uint64_t i = 0; i < count; ++i) {
        if (end - at < kEntryHeaderSize)
            return bad("entry " + std::to_string(i + 1) + " runs past the trailer");
        const uint8_t* p = data + at;
        Entry e;
        e.algorithm = be16(p);
        uint64_t len = be16(p + 2);
        std::memcpy(e.key_id.data(), p + 4, kKeyIdSize);
        at += kEntryHeaderSize;
        if (end - at < len) return bad("entry " + std::to_string(i + 1) + " runs past the trailer");
        e.signature.assign(reinterpret_cast<const char*>(data + at), size_t(len));
        at += len;
        for (const Entry& x : t.entries)
            if (x.key_id == e.key_id)
                return bad("key id " + key_id_hex(e.key_id) + " has more than one entry");
        t.entries.push_back(std::move(e));
    }
    if (at != end)
        return bad(std::to_string(end - at) + " bytes in the trailer belong to no entry");
    t.signed_size = start;
    return t;
}

std::string build_trailer(const std::vector<Entry>& entries) {
    if (entries.empty()) throw std::length_error("a signature trailer needs at least one entry");
    if (entries.size() > kMaxEntries)
        throw std::length_error("a signature trailer holds at most " + std::to_string(kMaxEntries) +
                                " signatures");
    std::string out;
    for (const Entry& e : entries) {
        if (e.signature.size() > 0xFFFF) throw std::length_error("a signature longer than 65535 bytes");
        put16(out, e.algorithm);
        put16(out, uint16_t(e.signature.size()));
        out.append(reinterpret_cast<const char*>(e.key_id.data()), e.key_id.size());
        out += e.signature;
    }
    uint64_t total = out.size() + kFooterSize;
    if (total > 0xFFFFFFFFu || entries.size() > 0xFFFFFFFFu)
        throw std::length_error("a signature trailer longer than 4 GiB");
    put32(out, uint32_t(total));
    put32(out, uint32_t(entries.size()));
    out.append(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
    return out;
}

void put_entry(std::vector<Entry>& entries, Entry e) {
    for (Entry& x : entries)
        if (x.key_id == e.key_id) {
            x = std::move(e);
            return;
        }
    entries.push_back(std::move(e));
}

KeyId key_id(const uint8_t* pub32) {
    Sha256 h;
    h.update(pub32, kPublicKeySize);
    Digest d = h.finish();
    KeyId id{};
    std::memcpy(id.data(), d.data(), id.size());
    return id;
}

std::string key_id_hex(const KeyId& id) { return to_hex(id.data(), id.size()); }

Digest signed_message(const uint8_t* data, uint64_t signed_size) {
    Sha256 h;
    // In slices: update() takes a size_t, and a slice keeps a huge region
    // from being one call (nothing gained, but nothing to overflow).
    constexpr uint64_t kSlice = uint64_t(1) << 30;
    for (uint64_t at = 0; at < signed_size; at += kSlice)
        h.update(data + at, size_t(std::min(kSlice, signed_size - at)));
    return h.finish();
}

bool verify_ed25519(const uint8_t* pub32, const uint8_t* msg, size_t msg_len, const uint8_t* sig,
                    size_t sig_len) {
    if (sig_len != kSignatureSize) return false;
    Pkey k(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub32, kPublicKeySize));
    if (!k) {
        ERR_clear_error();
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    bool ok = ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, k.get()) == 1 &&
              EVP_DigestVerify(ctx.get(), sig, sig_len, msg, msg_len) == 1;
    ERR_clear_error();
    return ok;
}

EntryState check_entry(const Entry& e, const Digest& message, const std::vector<PublicKey>& keys,
                       size_t* key_index) {
    if (e.algorithm != kEd25519 || e.signature.size() != kSignatureSize) return EntryState::invalid;
    bool known = false;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (CRYPTO_memcmp(key_id(keys[i].data()).data(), e.key_id.data(), kKeyIdSize) != 0) continue;
        known = true;
        if (verify_ed25519(keys[i].data(), message.data(), message.size(),
                           reinterpret_cast<const uint8_t*>(e.signature.data()), e.signature.size())) {
            if (key_index) *key_index = i;
            return EntryState::valid;
        }
    }
    return known ? EntryState::invalid : EntryState::no_key;
}

Verdict check_policy(const Trailer& t, const Digest& message, uint64_t image_end,
                     const std::vector<PublicKey>& trusted) {
    if (!t.present) return {Refusal::missing, ""};
    if (t.malformed) return {Refusal::malformed, t.problem};
    if (image_outside(t, image_end)) return {Refusal::outside, ""};
    bool trusted_invalid = false;
    std::string others;
    for (const Entry& e : t.entries) {
        EntryState s = check_entry(e, message, trusted);
        if (s == EntryState::valid) return {Refusal::none, ""};
        if (s == EntryState::invalid && e.algorithm == kEd25519 && e.signature.size() == kSignatureSize) {
            // an Ed25519 entry that names a trusted key yet fails
            for (const PublicKey& k : trusted)
                if (key_id(k.data()) == e.key_id) trusted_invalid = true;
        }
        if (s == EntryState::no_key && e.algorithm == kEd25519) {
            if (!others.empty()) others += ", ";
            others += key_id_hex(e.key_id);
        }
    }
    if (trusted_invalid || others.empty()) return {Refusal::invalid, ""};
    return {Refusal::untrusted, others};
}

// ---- keys ---------------------------------------------------------------

Secret::~Secret() { OPENSSL_cleanse(text_.data(), text_.size()); }
Secret::Secret(Secret&& o) noexcept : text_(std::move(o.text_)) { o.text_.clear(); }
Secret& Secret::operator=(Secret&& o) noexcept {
    if (this != &o) {
        OPENSSL_cleanse(text_.data(), text_.size());
        text_ = std::move(o.text_);
        o.text_.clear();
    }
    return *this;
}

bool generate_key(KeyPair& out, std::string& why) {
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
        ERR_clear_error();
        why = "libcrypto could not generate an Ed25519 key";
        return false;
    }
    Pkey k(raw);
    Bio priv(BIO_new(BIO_s_secmem()));
    Bio pub(BIO_new(BIO_s_mem()));
    if (!priv || !pub ||
        PEM_write_bio_PrivateKey(priv.get(), k.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_PUBKEY(pub.get(), k.get()) != 1 || !raw_public(k.get(), out.public_key)) {
        ERR_clear_error();
        why = "libcrypto could not write the new key as PEM";
        return false;
    }
    out.private_pem.text() = bio_text(priv.get());
    out.public_pem = bio_text(pub.get());
    return true;
}

std::string public_key_pem(const PublicKey& pub) {
    Pkey k(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub.data(), pub.size()));
    Bio b(BIO_new(BIO_s_mem()));
    if (!k || !b || PEM_write_bio_PUBKEY(b.get(), k.get()) != 1) {
        ERR_clear_error();
        throw std::runtime_error("libcrypto could not write a public key as PEM");
    }
    return bio_text(b.get());
}

bool sign_ed25519(const Secret& private_pem, const Digest& message, Signature& sig, PublicKey& pub,
                  std::string& why) {
    Pkey k = parse_private(private_pem, why);
    if (!k) return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    size_t n = sig.size();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, k.get()) != 1 ||
        EVP_DigestSign(ctx.get(), sig.data(), &n, message.data(), message.size()) != 1 || n != sig.size() ||
        !raw_public(k.get(), pub)) {
        ERR_clear_error();
        why = "libcrypto could not sign with this key";
        return false;
    }
    return true;
}

bool public_key_from_pem(const std::string& pem, PublicKey& raw, std::string& why) {
    // The PEM reader skips blocks of other kinds, so a private key beside a
    // public one would pass unnoticed: key files are often shared openly.
    if (pem.find("PRIVATE KEY-----") != std::string::npos) {
        why = "a private key, not a public key (make the public key with `openssl pkey -pubout`)";
        return false;
    }
    Bio b = memory_bio(pem);
    Pkey k(b ? PEM_read_bio_PUBKEY(b.get(), nullptr, no_passphrase, nullptr) : nullptr);
    ERR_clear_error();
    if (!k) {
        why = "not a PEM public key (SubjectPublicKeyInfo, \"BEGIN PUBLIC KEY\")";
        return false;
    }
    if (EVP_PKEY_id(k.get()) != EVP_PKEY_ED25519) {
        why = "not an Ed25519 public key";
        return false;
    }
    if (!raw_public(k.get(), raw)) {
        ERR_clear_error();
        why = "libcrypto could not read the public key";
        return false;
    }
    return true;
}

bool read_private_key(const std::string& path, Secret& pem, KeyFileError& error) {
    mode_t mode = 0;
    if (!read_small(path, kKeyFileMax, pem.text(), mode, error)) return false;
    if (pem.text().find("-----BEGIN PUBLIC KEY-----") != std::string::npos) {
        error.why = path + ": a public key, not a private key (sign with the private key file)";
        return false;
    }
    if (mode & 077) {  // as ssh: the key may have been read by others already
        char text[16];
        std::snprintf(text, sizeof text, "%04o", unsigned(mode));
        error.too_open = true;
        error.why = "permissions " + std::string(text) + " for '" + path +
                    "' are too open: a private key must be accessible by its owner only; run: chmod 600 " +
                    path;
        return false;
    }
    std::string why;
    if (!parse_private(pem, why)) {
        error.why = path + ": " + why;
        return false;
    }
    return true;
}

bool read_public_key(const std::string& path, PublicKey& raw, KeyFileError& error) {
    std::string text;
    mode_t mode = 0;
    if (!read_small(path, kKeyFileMax, text, mode, error)) return false;
    std::string why;
    if (!public_key_from_pem(text, raw, why)) {
        error.why = path + ": " + why;
        return false;
    }
    return true;
}

bool load_trust(const std::string& path, std::vector<PublicKey>& keys, KeyFileError& error) {
    error.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error.err = errno;
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        PublicKey k{};
        if (!read_public_key(path, k, error)) return false;
        keys.push_back(k);
        return true;
    }
    DIR* d = ::opendir(path.c_str());
    if (!d) {
        error.err = errno;
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n.empty() || n[0] == '.') continue;
        if (ends_with(n, ".pub") || ends_with(n, ".pem")) names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    std::string base = path;
    if (base.empty() || base.back() != '/') base += '/';
    for (const std::string& n : names) {
        PublicKey k{};
        KeyFileError fe;
        if (!read_public_key(base + n, k, fe)) {
            error = std::move(fe);
            return false;
        }
        keys.push_back(k);
    }
    if (names.empty()) {
        error.why = path + ": no *.pub or *.pem public key in this directory";
        return false;
    }
    return true;
}

}  // namespace qvcore::sig
