// Writing a .tbin container straight from an image file: the image is
// streamed through in slices and digested on the way, never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qvcore::tbin {

struct PackOutcome {
    enum Kind {
        kOk,
        kInError,   // the image could not be opened or read (`err`)
        kOutError,  // the container could not be written (`err`)
        kSpecial,   // the image is not a regular file: refused unread
        kSame,      // the output names the image file itself
        kTooBig,    // the image outgrows the 32-bit length field
        kEmpty,     // the image is empty (or was emptied while read)
    } kind = kOk;
    int err = 0;
    uint64_t image_len = 0;  // bytes of image written
};

// Writes the container for the image file `in` to `out`: the JSON header
// `json` (json_len bytes, already within the field limits), the image, and
// both digests keyed with `key`. A refused image leaves `out` untouched; an
// output that fails part way is removed. Safe without the GIL.
PackOutcome pack_file(const std::string& in, const std::string& out, const uint8_t* json, size_t json_len,
                      const std::string& key);

}  // namespace qvcore::tbin
