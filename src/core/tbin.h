// The .tbin container: an 80-byte fixed header (three big-endian u32 fields,
// a reserved word, two HMAC-SHA256 digests), a JSON header at offset 80 and
// the image wherever image_start_addr points. Every range is cut at the end
// of the file; nothing here reads past it, whatever the fields say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "digest.h"

namespace qvcore::tbin {

constexpr size_t kHeaderHashOffset = 16;
constexpr size_t kImageHashOffset = 48;
constexpr size_t kJsonOffset = 80;  // 16 + 2 * kDigestSize
constexpr size_t kFieldsSize = 12;  // the three size fields
constexpr size_t kReservedOffset = 12;
constexpr uint64_t kFieldMax = 0xFFFFFFFFu;
static_assert(kImageHashOffset == kHeaderHashOffset + kDigestSize &&
              kJsonOffset == kImageHashOffset + kDigestSize);

struct Fields {
    uint32_t header_length = 0;
    uint32_t image_length = 0;
    uint32_t image_start_addr = 0;
};

// A byte range inside a buffer, already cut at its end.
struct Range {
    size_t offset = 0;
    size_t size = 0;
};

inline uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}

// The bytes [offset, offset + length) of a buffer of `total` bytes, cut at
// its end (empty when offset lies at or past it). 64-bit arithmetic.
inline Range cut(uint64_t offset, uint64_t length, size_t total) {
    if (offset >= total) return {static_cast<size_t>(total), 0};
    uint64_t end = offset + length;
    if (end > total) end = total;
    return {static_cast<size_t>(offset), static_cast<size_t>(end - offset)};
}

// The three size fields; false when the buffer is shorter than 12 bytes.
inline bool read_fields(const uint8_t* data, size_t size, Fields& out) {
    if (size < kFieldsSize) return false;
    out.header_length = be32(data);
    out.image_length = be32(data + 4);
    out.image_start_addr = be32(data + 8);
    return true;
}

// Where the image range the fields name ends, uncut (64-bit: no overflow).
inline uint64_t image_end(const Fields& f) { return uint64_t(f.image_start_addr) + f.image_length; }

inline Range image_range(const Fields& f, size_t total) {
    return cut(f.image_start_addr, f.image_length, total);
}

inline Range json_range(const Fields& f, size_t total) {
    return cut(kJsonOffset, f.header_length, total);
}

// Where everything of a container lies in a buffer of `file_size` bytes.
// Ranges shorter than their fields say were cut at the end of the buffer.
struct Layout {
    size_t file_size = 0;
    bool has_fields = false;    // the 12 bytes of size fields are all there
    Fields fields;
    bool has_reserved = false;  // the reserved word is all there
    uint32_t reserved = 0;
    Range header_hash;          // stored digests (size < kDigestSize when cut)
    Range image_hash;
    Range json;                 // the JSON header as stored, NUL padding included
    Range image;                // the image
};

// Empty ranges when the size fields are missing.
Layout locate(const uint8_t* data, size_t size);

// `r` without the NUL bytes at either end.
Range strip_nul(const uint8_t* data, Range r);

// HMAC-SHA256 of a range of `data` keyed with `key`, compared in constant
// time with a stored digest range (a stored digest cut short never matches).
bool range_digest_ok(const uint8_t* data, Range over, Range stored, const std::string& key);

// Why a JSON header of `json_len` bytes and an image of `image_len` bytes
// cannot go into one container (the fields are 32 bits wide); empty if they can.
std::string pack_limit_error(uint64_t json_len, uint64_t image_len);

// The fixed header for a JSON header and an image that follows it directly,
// with the two digests already computed: 80 bytes into `out`.
void write_fixed_header(uint8_t* out, uint32_t json_len, uint32_t image_len, const Digest& header_digest,
                        const Digest& image_digest);

// A whole container into `out` (kJsonOffset + json_len + image_len bytes):
// fixed header, JSON header, then the image right behind it, both digests
// keyed with `key`. The image is copied once, the digests computed in place.
void write_container(uint8_t* out, const uint8_t* json, size_t json_len, const uint8_t* image,
                     size_t image_len, const std::string& key);

}  // namespace qvcore::tbin
