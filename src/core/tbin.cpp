#include "tbin.h"

#include <cstring>

namespace qvcore::tbin {

Layout locate(const uint8_t* data, size_t size) {
    Layout l;
    l.file_size = size;
    l.header_hash = cut(kHeaderHashOffset, kDigestSize, size);
    l.image_hash = cut(kImageHashOffset, kDigestSize, size);
    if (size >= kReservedOffset + 4) {
        l.has_reserved = true;
        l.reserved = be32(data + kReservedOffset);
    }
    l.has_fields = read_fields(data, size, l.fields);
    if (l.has_fields) {
        l.json = json_range(l.fields, size);
        l.image = image_range(l.fields, size);
    } else {
        l.json = l.image = Range{size, 0};
    }
    return l;
}

Range strip_nul(const uint8_t* data, Range r) {
    size_t b = r.offset, e = r.offset + r.size;
    while (b < e && data[b] == 0) ++b;
    while (e > b && data[e - 1] == 0) --e;
    return {b, e - b};
}

bool range_digest_ok(const uint8_t* data, Range over, Range stored, const std::string& key) {
    Digest d = hmac_sha256(key.data(), key.size(), data + over.offset, over.size);
    return digest_equal(d, data + stored.offset, stored.size);
}

std::string pack_limit_error(uint64_t json_len, uint64_t image_len) {
    // image_start_addr = 80 + header_length must fit its 32-bit field too.
    if (json_len > kFieldMax - kJsonOffset)
        return "JSON header of " + std::to_string(json_len) + " bytes is too long for a .tbin (at most " +
               std::to_string(kFieldMax - kJsonOffset) + ")";
    if (image_len > kFieldMax)
        return "image of " + std::to_string(image_len) + " bytes is too large for a .tbin (at most " +
               std::to_string(kFieldMax) + ")";
    return {};
}

void write_fixed_header(uint8_t* out, uint32_t json_len, uint32_t image_len, const Digest& header_digest,
                        const Digest& image_digest) {
    put_be32(out, json_len);
    put_be32(out + 4, image_len);
    put_be32(out + 8, static_cast<uint32_t>(kJsonOffset + json_len));
    put_be32(out + kReservedOffset, 0);
    std::memcpy(out + kHeaderHashOffset, header_digest.data(), kDigestSize);
    std::memcpy(out + kImageHashOffset, image_digest.data(), kDigestSize);
}

void write_container(uint8_t* out, const uint8_t* json, size_t json_len, const uint8_t* image,
                     size_t image_len, const std::string& key) {
    uint8_t* j = out + kJsonOffset;
    uint8_t* im = j + json_len;
    if (json_len) std::memcpy(j, json, json_len);
    if (image_len) std::memcpy(im, image, image_len);
    Digest hd = hmac_sha256(key.data(), key.size(), j, json_len);
    Digest id = hmac_sha256(key.data(), key.size(), im, image_len);
    write_fixed_header(out, static_cast<uint32_t>(json_len), static_cast<uint32_t>(image_len), hd, id);
}

}  // namespace qvcore::tbin
