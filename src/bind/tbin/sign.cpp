// Signatures of a container: the digest a signature signs, the trailer
// checked against keys, and adding a signature.
#include <algorithm>

#include "files.h"
#include "sign_file.h"
#include "tbinmod.h"

namespace tbinmod {

namespace {

// The end of the image range the fixed header names (0 without fields).
uint64_t image_end(const uint8_t* data, uint64_t size) {
    tb::Fields f;
    if (!tb::read_fields(data, size_t(std::min<uint64_t>(size, tb::kFieldsSize)), f)) return 0;
    return tb::image_end(f);
}

nb::dict entry_report(const sg::Entry& e, sg::EntryState state) {
    nb::dict x;
    x["algorithm"] = e.algorithm == sg::kEd25519 ? nb::str("ed25519")
                                                  : nb::str(("unknown(" + std::to_string(e.algorithm) + ")").c_str());
    x["key_id"] = nb::str(sg::key_id_hex(e.key_id).c_str());
    x["valid"] = state == sg::EntryState::no_key ? nb::none() : nb::object(nb::bool_(state == sg::EntryState::valid));
    return x;
}

// The failure of adding a signature, raised as its Python error.
void raise_sign_failure(const sg::SignOutcome& r, nb::handle in, nb::handle out) {
    using S = sg::SignOutcome;
    switch (r.kind) {
        case S::kOk: return;
        case S::kKey: raise_key_error(r.key_error);
        case S::kOntoKey:
            qv::raise(PyExc_ValueError, "%R is the private key file itself: signing would replace the key", out.ptr());
        case S::kUnsignable: require_signable(r.trailer, in); return;
        case S::kSpecial:
        case S::kInError: raise_load_failure({r.err, r.kind == S::kSpecial}, in);
        case S::kOutError: raise_out_error(r.err, out);
        case S::kCut: qv::raise(PyExc_OSError, "%R was cut short while being read", in.ptr());
        case S::kRefused: qv::raise(PyExc_ValueError, "%s", r.why.c_str());
    }
}

// The input's and the output's OS paths; the output is the input when None.
struct InOut {
    nb::object in_obj, out_obj;
    std::string in_fs, out_fs;
    InOut(nb::handle path, nb::handle out_path) {
        in_fs = qv::fs_encode(path, &in_obj);
        out_fs = out_path.is_none() ? in_fs : qv::fs_encode(out_path, &out_obj);
        if (out_path.is_none()) out_obj = in_obj;
    }
};

}  // namespace

nb::bytes signing_digest(nb::handle source) {
    Source src(source, "source");
    sg::Trailer t;
    qvcore::Digest d{};
    {
        nb::gil_scoped_release nogil;
        t = sg::parse_trailer(src.data(), src.size());
        if (!t.malformed) d = sg::signed_message(src.data(), t.signed_size);
    }
    require_signable(t, src.path() ? src.path() : nb::handle(nb::str("source").ptr()));
    if (src.cut()) qv::raise(PyExc_OSError, "%R was cut short while being read", src.path().ptr());
    return as_bytes(d.data(), d.size());
}

// signature_report(source, keys): what the trailer holds, each entry checked
// against the raw public keys `keys` (valid None when none has its key id).
nb::dict signature_report(nb::handle source, nb::handle keys_arg) {
    std::vector<sg::PublicKey> keys = raw_public_keys(keys_arg, "keys");
    Source src(source, "source");
    sg::Trailer t;
    std::vector<sg::EntryState> states;
    uint64_t end = 0;
    {
        nb::gil_scoped_release nogil;
        t = sg::parse_trailer(src.data(), src.size());
        end = image_end(src.data(), src.size());
        if (t.ok()) {
            // Without a key there is nothing to verify: no pass over the region.
            qvcore::Digest m{};
            if (!keys.empty()) m = sg::signed_message(src.data(), t.signed_size);
            for (const sg::Entry& e : t.entries) states.push_back(sg::check_entry(e, m, keys));
        }
    }
    if (src.cut()) qv::raise(PyExc_OSError, "%R was cut short while being read", src.path().ptr());
    nb::dict d;
    d["signed"] = nb::bool_(t.ok());
    d["signed_size"] = u64(t.signed_size);
    nb::object problem = nb::none();
    if (t.malformed)
        problem = nb::str(("malformed signature trailer: " + t.problem).c_str());
    else if (sg::image_outside(t, end))
        problem = nb::str(sg::kOutsideProblem);
    d["problem"] = problem;
    nb::list entries;
    for (size_t i = 0; i < t.entries.size(); ++i) entries.append(entry_report(t.entries[i], states[i]));
    d["signatures"] = entries;
    return d;
}

// sign(path, key_path, out) -> key id
nb::str sign(nb::handle path, nb::handle key_path, nb::handle out_path) {
    InOut io(path, out_path);
    std::string key_fs = qv::fs_encode(key_path);
    sg::SignOutcome r;
    {
        nb::gil_scoped_release nogil;
        r = sg::sign_file(io.in_fs, key_fs, io.out_fs);
    }
    raise_sign_failure(r, io.in_obj, io.out_obj);
    return key_id_str(r.pub);
}

// attach_signature(path, signature, public_key, out) -> key id
nb::str attach_signature(nb::handle path, nb::handle signature, nb::handle public_key, nb::handle out_path) {
    sg::PublicKey pub = raw_public_key(public_key, "public_key");
    PyObject* so = signature.ptr();
    if (PyUnicode_Check(so) || !PyObject_CheckBuffer(so))
        qv::raise(PyExc_TypeError, "signature must be bytes, not %s", Py_TYPE(so)->tp_name);
    std::string sig;
    {
        Py_buffer view{};
        if (PyObject_GetBuffer(so, &view, PyBUF_C_CONTIGUOUS) < 0) throw nb::python_error();
        sig.assign(static_cast<const char*>(view.buf), size_t(view.len));
        PyBuffer_Release(&view);
    }
    if (sig.size() != sg::kSignatureSize)
        qv::raise(PyExc_ValueError, "signature must be a raw 64-byte Ed25519 signature, got %zu bytes", sig.size());
    InOut io(path, out_path);
    sg::SignOutcome r;
    {
        nb::gil_scoped_release nogil;
        r = sg::attach_signature(io.in_fs, io.out_fs, pub, sig);
    }
    raise_sign_failure(r, io.in_obj, io.out_obj);
    return key_id_str(pub);
}

// read_signature(path): the raw signature a file holds, read as every user
// file is (a FIFO or device is refused unread).
nb::bytes read_signature(nb::handle path) {
    nb::object fspath;
    std::string fs = qv::fs_encode(path, &fspath);
    std::string data;
    qvcore::OsError e;
    {
        nb::gil_scoped_release nogil;
        struct stat st {};
        qvcore::read_head(fs, sg::kSignatureSize + 1, data, st, e);
    }
    if (!e.ok()) raise_load_failure(e, fspath);
    if (data.size() != sg::kSignatureSize)
        qv::raise(PyExc_ValueError,
                  "%R must hold the raw 64-byte Ed25519 signature, not hex or base64 text (%s bytes)",
                  fspath.ptr(), data.size() > sg::kSignatureSize ? "more than 64" : std::to_string(data.size()).c_str());
    return as_bytes(data.data(), data.size());
}

}  // namespace tbinmod
