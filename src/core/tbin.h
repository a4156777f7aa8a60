// The .tbin container: an 80-byte fixed header (three big-endian u32 fields,
// a reserved word, two HMAC-SHA256 digests), a JSON header at offset 80 and
// the image wherever image_start_addr points. Every range is cut at the end
// of the file; nothing here reads past it, whatever the fields say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qvcore::tbin {

constexpr size_t kHashSize = 32;
constexpr size_t kHeaderHashOffset = 16;
constexpr size_t kImageHashOffset = 48;
constexpr size_t kJsonOffset = 80;  // 16 + 2 * kHashSize
constexpr size_t kFieldsSize = 12;  // the three size fields

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

inline Range image_range(const Fields& f, size_t total) {
    return cut(f.image_start_addr, f.image_length, total);
}

inline Range json_range(const Fields& f, size_t total) {
    return cut(kJsonOffset, f.header_length, total);
}

}  // namespace qvcore::tbin
