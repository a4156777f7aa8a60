// The .tbin verification shared by _checkFileHeader and the engine, and the
// trusted keys it checks signatures against.
#include "trust.h"

#include <atomic>
#include <exception>
#include <string>
#include <thread>

#include "tbin.h"
#include "tbinpy.h"

namespace fpga {
namespace {
namespace tb = qvcore::tbin;
namespace sg = qvcore::sig;

// A signed region at least this large is hashed on a thread of its own while
// the HMACs run; below it a thread costs more than it saves.
constexpr size_t kThreadMin = size_t(1) << 20;
constexpr size_t kChunk = size_t(1) << 20;  // how often the hashing thread looks at `stop`

// SHA-256 of the signed region, the message its signatures sign.
struct RegionHash {
    const uint8_t* data = nullptr;
    size_t size = 0;
    std::atomic<bool> stop{false};  // the HMACs failed: the digest is not wanted
    qvcore::Digest digest{};
    bool done = false;
    std::string failure;  // OpenSSL refused

    void run() noexcept {
        try {
            qvcore::Sha256 h;
            for (size_t at = 0; at < size; at += kChunk) {
                if (stop.load(std::memory_order_relaxed)) return;
                h.update(data + at, std::min(kChunk, size - at));
            }
            digest = h.finish();
            done = true;
        } catch (std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "SHA-256 failed";
        }
    }
};

// Joins the hashing thread on every way out of the scope.
struct Joiner {
    RegionHash& hash;
    std::thread thread;
    ~Joiner() {
        if (!thread.joinable()) return;
        hash.stop.store(true);
        thread.join();
    }
};

nb::object text_of(const char* s) { return qv::check(PyUnicode_FromString(s)); }

}  // namespace

std::vector<PublicKey> read_policy(nb::handle keys, const char* what) {
    std::vector<PublicKey> out;
    PyObject* it = PyObject_GetIter(keys.ptr());
    if (!it) {
        PyErr_Clear();
        qv::raise(PyExc_TypeError, "%s must be an iterable of 32-byte Ed25519 public keys, not %s",
                  what, Py_TYPE(keys.ptr())->tp_name);
    }
    nb::object iter = nb::steal(it);
    while (PyObject* item_ptr = PyIter_Next(iter.ptr())) {
        nb::object item = nb::steal(item_ptr);
        PublicKey k{};
        Py_ssize_t len = 0;
        if (!qvtbin::raw_public_key(item_ptr, k, len))
            qv::raise(PyExc_TypeError, "%s holds a %s, not a 32-byte Ed25519 public key", what,
                      Py_TYPE(item_ptr)->tp_name);
        if (len != static_cast<Py_ssize_t>(sg::kPublicKeySize))
            qv::raise(PyExc_TypeError, "%s holds a key of %zd bytes; an Ed25519 public key has 32",
                      what, len);
        out.push_back(k);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

std::vector<PublicKey> read_policy() { return read_policy(global(S->_TRUSTED_KEYS), "_TRUSTED_KEYS"); }

nb::object trusted_keys_from_environment() {
    nb::module_ os = nb::module_::import_("os");
    nb::object value = os.attr("environ").attr("get")("QUORVEX_TRUST");
    nb::object keys_set = qv::check(PyFrozenSet_New(nullptr));
    if (value.is_none() || !qv::truth(value)) return keys_set;

    std::vector<PublicKey> keys;
    size_t paths = 0;
    for (nb::handle piece : value.attr("split")(os.attr("pathsep"))) {
        if (!qv::truth(piece)) continue;  // "a::b", a leading or trailing separator
        ++paths;
        std::string fs = qv::fs_encode(piece);
        sg::KeyFileError error;
        bool loaded;
        {
            nb::gil_scoped_release nogil;
            loaded = sg::load_trust(fs, keys, error);
        }
        if (loaded) continue;
        nb::object why;
        if (error.err) {
            nb::object named = qv::check(PyUnicode_DecodeFSDefault(error.path.c_str()));
            why = qvtbin::os_failure_text(error.err, named);
        } else {
            why = qv::check(PyUnicode_DecodeFSDefault(error.why.c_str()));
        }
        qv::raise(PyExc_ImportError, "QUORVEX_TRUST: %U (a policy that cannot be read trusts nothing)",
                  why.ptr());
    }
    if (!paths) qv::raise(PyExc_ImportError, "QUORVEX_TRUST is set (%R) but names no key file", value.ptr());
    for (const PublicKey& k : keys) {
        nb::object raw = qv::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(k.data()),
                                                             static_cast<Py_ssize_t>(k.size())));
        if (PySet_Add(keys_set.ptr(), raw.ptr()) < 0) throw nb::python_error();
    }
    // Less the revoked keys (QUORVEX_REVOKED, revoked/ in a trust folder),
    // whose loading lives in quorvex._trust_store. Every trusted key revoked
    // is an error there: an empty policy would be no policy.
    try {
        return nb::module_::import_("quorvex._trust_store").attr("load")(nb::arg("base") = keys_set);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        nb::object text = qv::check(PyObject_Str(e.value().ptr()));
        qv::raise(PyExc_ImportError, "QUORVEX_TRUST: %U", text.ptr());
    }
}

TbinVerdict verify_tbin(const qvcore::FileBuffer& buf, const std::vector<PublicKey>& trusted,
                        bool log_header) {
    TbinVerdict v;
    const uint8_t* data = buf.data();
    const tb::Layout layout = tb::locate(data, buf.size());
    v.image_size = layout.image.size;

    // Fields, JSON header, device type and key: any failure among them is a
    // parse error. Exceptions that are not errors (KeyboardInterrupt) pass.
    qvtbin::Key key;
    try {
        if (!layout.has_fields)
            qv::raise(PyExc_ValueError, "file of %zu bytes is too short for the size fields (%zu bytes)",
                      layout.file_size, tb::kFieldsSize);
        nb::object header = qvtbin::parse_header(S->tbin, data, layout.json);
        if (log_header) {
            nb::object shown = qv::check(PyObject_Str(header.ptr()));
            log(S->debug, qv::check(PyUnicode_FromFormat("FPGA tbin header: %U", shown.ptr())));
        }
        nb::object devtype = qvtbin::choose_devtype(S->tbin, header);
        if (devtype.is_none() && log_header)
            log(S->warning, text_of("FPGA tbin header missing dev_type/DEV_TYPE"));
        key = qvtbin::make_key(global(S->_TBIN_KEY_PREFIX), qvtbin::devtype_text(S->tbin, devtype));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        v.outcome = Outcome::parse_error;
        v.text = qv::check(PyObject_Str(e.value().ptr()));
        return v;
    }

    // Both digests over the bytes in place, the image's only when the
    // header's matched; under a policy the signed region's SHA-256 beside
    // them, on a second thread when it is large.
    bool header_ok = false, image_ok = false;
    std::string failure;
    sg::Trailer trailer;
    RegionHash region;
    {
        nb::gil_scoped_release nogil;
        try {
            const bool policy = !trusted.empty();
            if (policy) trailer = sg::parse_trailer(data, buf.size());
            const bool hash_region = policy && trailer.ok();
            region.data = data;
            region.size = static_cast<size_t>(trailer.signed_size);
            Joiner joiner{region, {}};
            if (hash_region && region.size >= kThreadMin) {
                try {
                    joiner.thread = std::thread([&region] { region.run(); });
                } catch (std::exception&) {  // no thread to be had: hashed below instead
                }
            }
            header_ok = tb::range_digest_ok(data, layout.json, layout.header_hash, key.bytes);
            if (header_ok) image_ok = tb::range_digest_ok(data, layout.image, layout.image_hash, key.bytes);
            if (joiner.thread.joinable()) {
                if (!image_ok) region.stop.store(true);
                joiner.thread.join();
            } else if (hash_region && image_ok) {
                region.run();
            }
            if (image_ok && !region.failure.empty()) failure = region.failure;
            if (image_ok && policy && failure.empty()) {
                v.signature = sg::check_policy(trailer, region.digest, tb::image_end(layout.fields), trusted);
            }
        } catch (std::exception& e) {  // OpenSSL refused: part of the guarded unit too
            failure = e.what();
        }
    }
    if (!failure.empty()) {
        v.outcome = Outcome::parse_error;
        v.text = qv::check(PyUnicode_FromString(failure.c_str()));
    } else if (buf.cut()) {  // the digests were taken over zeros where its bytes were
        v.outcome = Outcome::cut;
    } else if (!header_ok) {
        v.outcome = Outcome::header_mismatch;
    } else if (!image_ok) {
        v.outcome = Outcome::image_mismatch;
    } else if (!trusted.empty() && v.signature.refusal != sg::Refusal::none) {
        v.outcome = Outcome::signature;
    }
    return v;
}

void tell(Terms* terms, const char* reason, nb::handle detail, int err) {
    if (!terms) return;
    terms->verdict.reason = reason;
    terms->verdict.err = err;
    terms->verdict.detail = nb::borrow(detail);
}

void tell(CheckedRun* run, const char* reason, nb::handle detail, int err) {
    if (!run) return;
    run->verdict.reason = reason;
    run->verdict.err = err;
    run->verdict.detail = nb::borrow(detail);
    tell(run->terms, reason, detail, err);
}

const char* verdict_reason(const TbinVerdict& v) {
    switch (v.outcome) {
        case Outcome::ok: return nullptr;
        case Outcome::parse_error: return "parse_error";
        case Outcome::cut: return "file_changed";
        case Outcome::header_mismatch:
        case Outcome::image_mismatch: return "digest_mismatch";
        case Outcome::signature: break;
    }
    switch (v.signature.refusal) {
        case sg::Refusal::none:
        case sg::Refusal::missing: return "not_signed";
        case sg::Refusal::untrusted: return "untrusted_key";
        case sg::Refusal::malformed:
        case sg::Refusal::outside:
        case sg::Refusal::invalid: break;
    }
    return "bad_signature";
}

nb::object verdict_text(const TbinVerdict& v, nb::handle path) {
    switch (v.outcome) {
        case Outcome::ok: return text_of("FPGA tbin hash verify success");
        case Outcome::parse_error:
            return qv::check(PyUnicode_FromFormat("FPGA tbin header parse error: %U", v.text.ptr()));
        case Outcome::cut:
            return qv::check(PyUnicode_FromFormat("FPGA image file cut short while being read: %U", path.ptr()));
        case Outcome::header_mismatch: return text_of("FPGA tbin header hash mismatch");
        case Outcome::image_mismatch: return text_of("FPGA tbin image hash mismatch");
        case Outcome::signature: break;
    }
    std::string reason;
    const sg::Verdict& s = v.signature;
    switch (s.refusal) {
        case sg::Refusal::none:
        case sg::Refusal::missing: reason = "missing"; break;
        case sg::Refusal::malformed: reason = "missing (malformed trailer: " + s.detail + ")"; break;
        case sg::Refusal::outside: reason = sg::kOutsideProblem; break;
        case sg::Refusal::invalid: reason = "invalid"; break;
        case sg::Refusal::untrusted: reason = "untrusted key id " + s.detail; break;
    }
    return qv::check(PyUnicode_FromFormat("FPGA tbin signature %s: %U", reason.c_str(), path.ptr()));
}

void raise_file_error(const qvcore::OsError& err, nb::handle path, CheckedRun* run) {
    if (err.special) {
        tell(run, "not_a_file", qvtbin::os_failure_text(EINVAL, path), EINVAL);
        qv::raise_os_error(EINVAL, path, "Not a regular file");
    }
    tell(run, "os_error", qvtbin::os_failure_text(err.err, path), err.err);
    qv::raise_os_error(err.err, path);
}

void raise_changed(CheckedRun* run, nb::handle path, nb::handle reason) {
    tell(run, "file_changed", reason);
    qv::raise(PyExc_RuntimeError,
              "FPGA image file changed after its check: %U (%U); nothing of it was written to the flash",
              path.ptr(), reason.ptr());
}

ImageSpan checked_tbin_image(const qvcore::FileBuffer& file, CheckedRun* run, nb::handle path) {
    if (run && run->policy_read) {  // before the first block: the copy is what was checked
        const TbinVerdict verdict = verify_tbin(file, run->trusted, false);
        if (!verdict.ok()) raise_changed(run, path, verdict_text(verdict, path));
        if (verdict.image_size == 0) raise_changed(run, path, nb::str("its image is empty"));
    }
    qvcore::tbin::Fields f;
    if (!qvcore::tbin::read_fields(file.data(), file.size(), f)) {
        nb::object struct_error = global(S->struct_).attr("error");
        PyErr_SetString(struct_error.ptr(), "unpack requires a buffer of 4 bytes");
        throw nb::python_error();
    }
    const qvcore::tbin::Range r = qvcore::tbin::image_range(f, file.size());
    return {file.data() + r.offset, r.size};
}

void refuse_unsigned_raw(CheckedRun* run, nb::handle path) {
    if (run && run->policy_read && !run->trusted.empty())  // cannot happen but by a change of policy
        raise_changed(run, path, qv::check(PyUnicode_FromFormat("FPGA image not signed: %U", path.ptr())));
}

}  // namespace fpga
