// Ed25519 signatures over a .tbin, kept in a trailer at the file's end, and
// the keys they are made and checked with (PEM files through OpenSSL's
// libcrypto). Plain C++, no Python; nothing here takes a lock or a GIL, so
// every function may run with the GIL released.
//
// A signed file is SIGNED REGION + TRAILER (all integers big-endian):
//   SIGNED REGION  every byte before the trailer (fixed header, JSON header,
//                  image, any padding)
//   TRAILER        N entries, then a 16-byte footer
//   ENTRY          u16 algorithm (1 = Ed25519), u16 signature length L,
//                  8-byte key id, L bytes of signature
//   FOOTER         u32 trailer length T (entries + footer), u32 entry count N,
//                  8-byte magic "QVXSIG\0\1" (the file's last 8 bytes)
// A trailer holds 1..kMaxEntries entries and at most one per key id: any
// other is malformed, so that refusing a file costs one pass over it and at
// most one verification per trusted key, whatever was appended to it.
// The signed message is SHA-256(SIGNED REGION); Ed25519 (pure) signs those
// 32 bytes. A key id is the first 8 bytes of SHA-256(raw 32-byte public key).
//
// Private key material never goes into an error text: every `why` below
// names the file and the reason only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "digest.h"

namespace qvcore::sig {

constexpr size_t kPublicKeySize = 32;
constexpr size_t kSignatureSize = 64;
constexpr size_t kKeyIdSize = 8;
constexpr size_t kEntryHeaderSize = 12;  // algorithm, length, key id
constexpr size_t kFooterSize = 16;
constexpr size_t kMinSignedSize = 80;     // a signed region holds at least the fixed header
constexpr uint16_t kEd25519 = 1;
constexpr size_t kMaxEntries = 64;        // signatures a trailer may hold
inline constexpr uint8_t kMagic[8] = {'Q', 'V', 'X', 'S', 'I', 'G', 0, 1};

using PublicKey = std::array<uint8_t, kPublicKeySize>;
using KeyId = std::array<uint8_t, kKeyIdSize>;
using Signature = std::array<uint8_t, kSignatureSize>;

struct Entry {
    uint16_t algorithm = kEd25519;
    KeyId key_id{};
    std::string signature;  // L bytes as stored
};

struct Trailer {
    bool present = false;    // the magic ends the file
    bool malformed = false;  // present, but its lengths do not hold; `problem` says why
    std::string problem;
    uint64_t signed_size = 0;  // bytes before the trailer; the whole size when absent or malformed
    std::vector<Entry> entries;
    bool ok() const { return present && !malformed; }
};

// The trailer at the end of `size` bytes at `data`. Never reads outside
// them, whatever the lengths say (64-bit arithmetic throughout). Throws
// nothing but std::bad_alloc.
Trailer parse_trailer(const uint8_t* data, uint64_t size);

// Entries + footer. std::length_error if an entry's signature is longer
// than 65535 bytes, or there are no entries or more than kMaxEntries.
std::string build_trailer(const std::vector<Entry>& entries);

// `entries` with `e` added, or put in place of the entry of the same key id
// (signing again with one key replaces its signature).
void put_entry(std::vector<Entry>& entries, Entry e);

KeyId key_id(const uint8_t* pub32);
std::string key_id_hex(const KeyId& id);  // 16 lower-case hex digits

// SHA-256 of the first `signed_size` bytes at `data`: the signed message.
Digest signed_message(const uint8_t* data, uint64_t signed_size);

// Constant-time Ed25519 verification of `sig` over `msg`; false for any
// signature that is not kSignatureSize bytes.
bool verify_ed25519(const uint8_t* pub32, const uint8_t* msg, size_t msg_len, const uint8_t* sig,
                    size_t sig_len);

// How one entry stands against the public keys at hand.
enum class EntryState : uint8_t {
    no_key,   // Ed25519, but no key at hand has its key id
    valid,    // verified by a key at hand with its key id
    invalid,  // does not verify, or an algorithm we do not know
};
// `key_index` gets the index in `keys` of the key that verified it (valid only).
EntryState check_entry(const Entry& e, const Digest& message, const std::vector<PublicKey>& keys,
                       size_t* key_index = nullptr);

// The verdict of a policy (a set of trusted keys) on a signed file.
enum class Refusal : uint8_t {
    none,       // at least one valid signature by a trusted key
    missing,    // no trailer
    malformed,  // a trailer whose lengths do not hold (`detail` says why)
    outside,    // the image range reaches past the signed region
    invalid,    // none verifies: an entry by a trusted key fails, or no entry is an
                // Ed25519 signature at all (unknown algorithms, wrong lengths)
    untrusted,  // entries verify only by keys not trusted (`detail`: their key ids)
};
struct Verdict {
    Refusal refusal = Refusal::missing;
    std::string detail;
};
// `image_end` is image_start_addr + image_length of the file's fixed header
// (tbin::image_end). A trailer entry that names a trusted key but does not verify makes the
// verdict `invalid` unless another trusted entry verifies.
Verdict check_policy(const Trailer& t, const Digest& message, uint64_t image_end,
                     const std::vector<PublicKey>& trusted);

// A signed file whose image range reaches past its signed region: trailer
// bytes would be written as image. Refused under a policy, reported by
// inspect, in these words.
inline bool image_outside(const Trailer& t, uint64_t image_end) { return t.ok() && image_end > t.signed_size; }
constexpr const char* kOutsideProblem = "image range outside the signed region";

// ---- keys ---------------------------------------------------------------

// A private key's PEM text, wiped from memory when destroyed.
class Secret {
public:
    Secret() = default;
    ~Secret();
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& o) noexcept;
    Secret& operator=(Secret&& o) noexcept;
    std::string& text() { return text_; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

struct KeyPair {
    Secret private_pem;      // PKCS#8 PEM ("BEGIN PRIVATE KEY")
    std::string public_pem;  // SubjectPublicKeyInfo PEM ("BEGIN PUBLIC KEY")
    PublicKey public_key{};
};

// A new Ed25519 key pair; false (and `why`) if libcrypto could not make one.
bool generate_key(KeyPair& out, std::string& why);

// The SPKI PEM of a raw public key.
std::string public_key_pem(const PublicKey& pub);

// Sign the 32-byte `message` with the PKCS#8 PEM Ed25519 private key
// `private_pem`; fills the signature and the key's raw public key.
bool sign_ed25519(const Secret& private_pem, const Digest& message, Signature& sig, PublicKey& pub,
                  std::string& why);

// The raw key of an SPKI PEM Ed25519 public key; any other key type, text
// holding a private key (even beside a public key) or text that does not
// parse is an error saying so.
bool public_key_from_pem(const std::string& pem, PublicKey& raw, std::string& why);

// Why a key file could not be read.
struct KeyFileError {
    std::string path;       // the file concerned (a file inside a trust directory, say)
    int err = 0;            // errno when the system refused (the caller words it with `path`)
    bool too_open = false;  // a private key that group or others can access
    std::string why;        // otherwise: the path and the reason (no key material)
};

// Read a private key file: a regular file of at most 64 KiB that neither
// group nor others can access (0600 or stricter, as ssh demands; too_open
// otherwise), holding an unencrypted Ed25519 PKCS#8 PEM key. The text is
// checked to parse. A public key given by mistake is named as one, whatever
// its mode.
bool read_private_key(const std::string& path, Secret& pem, KeyFileError& error);

// Read one public key file (SPKI PEM, Ed25519).
bool read_public_key(const std::string& path, PublicKey& raw, KeyFileError& error);

// A trust path: a public key file, or a directory whose *.pub and *.pem
// files (sorted by name) are all Ed25519 public keys. A file that does not
// parse, or a directory with no key, is an error naming it. Keys are
// appended to `keys`.
bool load_trust(const std::string& path, std::vector<PublicKey>& keys, KeyFileError& error);

}  // namespace qvcore::sig
