// quorvex._tbin: making and describing .tbin update images. The public face
// is quorvex.tbin; this module converts its arguments and results and calls
// the core (src/core/tbin*, sign*), which does the work and every file
// access. The JSON header and the key go through the checker's own code
// (tbinpy.h), so what pack writes, the checker of quorvex.QVRFpga accepts.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "filebuf.h"
#include "qvnb.h"
#include "sign.h"
#include "tbin.h"
#include "tbinpy.h"

namespace tbinmod {
namespace nb = nanobind;
namespace tb = qvcore::tbin;
namespace sg = qvcore::sig;

// json.dumps and the header code's objects; made by the first import, kept
// for the process: a fresh import shares them.
struct State {
    bool ready = false;
    PyObject* json_dumps = nullptr;
    qvtbin::Refs tbin;
};
extern State state;

// A file that could not be written, as an OSError naming it; a target that
// is no regular file (qvcore::kNotRegularFile) in words of its own.
[[noreturn]] inline void raise_out_error(int err, nb::handle path) {
    if (err == qvcore::kNotRegularFile)
        qv::raise_os_error(EINVAL, path, "Not a regular file (a device, FIFO, socket or folder): refused");
    qv::raise_os_error(err, path);
}

// --- arguments (args.cpp) ----------------------------------------------------

// {"DEV_TYPE": dev_type, **header} as JSON text, UTF-8 encoded; dev_type is
// checked to be a positive int or a non-empty list of them.
nb::object header_json(nb::handle dev_type, nb::handle header);

// The key for a JSON header, derived exactly as the checker derives it.
qvtbin::Key key_for(nb::handle json_bytes, nb::handle prefix);

// ValueError unless a JSON header and an image of these sizes fit a container.
void require_fits(size_t json_len, uint64_t image_len);

// The bytes of an image or container argument: a bytes-like object as it
// is, or the whole file a str or os.PathLike names (OSError when unreadable).
class Source {
public:
    Source(nb::handle src, const char* argname);
    ~Source();
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    const uint8_t* data() const {
        return has_view_ ? static_cast<const uint8_t*>(view_.buf) : file_.data();
    }
    size_t size() const { return has_view_ ? static_cast<size_t>(view_.len) : file_.size(); }
    // The file was cut short while mapped: what was read past its new end is zeros.
    bool cut() const { return !has_view_ && file_.cut(); }
    nb::handle path() const { return path_; }

private:
    Py_buffer view_{};
    bool has_view_ = false;
    nb::object path_;
    qvcore::FileBuffer file_;
};

// A file the core refused or could not read, as an OSError naming `path`.
[[noreturn]] void raise_load_failure(const qvcore::OsError& r, nb::handle path);

// An OS path as text, for messages.
nb::object fs_text(const std::string& fs);

[[noreturn]] void raise_key_error(const sg::KeyFileError& e);

// A raw Ed25519 public key argument: 32 bytes of any bytes-like object.
sg::PublicKey raw_public_key(nb::handle v, const char* what);
std::vector<sg::PublicKey> raw_public_keys(nb::handle seq, const char* what);

// The signed region of a trailer that can be signed: refused when malformed
// or too short to hold a fixed header.
void require_signable(const sg::Trailer& t, nb::handle what);

inline nb::bytes as_bytes(const void* p, size_t n) { return nb::bytes(static_cast<const char*>(p), n); }
inline nb::object u64(uint64_t v) { return nb::int_(static_cast<unsigned long long>(v)); }
inline nb::str key_id_str(const sg::PublicKey& k) { return nb::str(sg::key_id_hex(sg::key_id(k.data())).c_str()); }

// --- the module's functions ----------------------------------------------------

nb::object pack(nb::handle image, nb::handle dev_type, nb::handle header, nb::handle prefix);
nb::object pack_file(nb::handle image_path, nb::handle out_path, nb::handle dev_type, nb::handle header,
                     nb::handle prefix);
nb::dict describe(nb::handle source, nb::handle prefix, bool digests);
nb::str generate_key(nb::handle path);
nb::bytes load_public_key(nb::handle path);
nb::list load_trust(nb::handle path);
nb::str private_key_id(nb::handle path);
nb::str key_id(nb::handle public_key);
nb::bytes signing_digest(nb::handle source);
nb::dict signature_report(nb::handle source, nb::handle keys);
nb::str sign(nb::handle path, nb::handle key_path, nb::handle out_path);
nb::str attach_signature(nb::handle path, nb::handle signature, nb::handle public_key, nb::handle out_path);
nb::bytes read_signature(nb::handle path);

}  // namespace tbinmod
