// quorvex._tbin: making and describing .tbin update images. The public face
// is quorvex.tbin; this module does the work. The JSON header and the key go
// through the checker's own code (tbinpy.h), so what pack writes, the
// checker of quorvex.QVRFpga accepts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "qvnb.h"
#include "sign.h"
#include "tbin.h"
#include "tbinpy.h"

namespace {
namespace nb = nanobind;
namespace tb = qvcore::tbin;
namespace sg = qvcore::sig;

// json.dumps and the header code's objects; made by the first import, kept for the process: a fresh import shares them.
struct State {
    bool ready = false;
    PyObject* json_dumps = nullptr;
    qvtbin::Refs tbin;
} state;

// --- arguments ---------------------------------------------------------------

// One device type the checker can key: a positive int (bool is not one).
void require_positive(nb::handle v, const char* where) {
    PyObject* o = v.ptr();
    if (PyBool_Check(o))
        qv::raise(PyExc_ValueError, "%s must be a positive int, not the bool %R", where, o);
    if (!PyLong_Check(o))
        qv::raise(PyExc_ValueError, "%s must be a positive int, not %s %R", where, Py_TYPE(o)->tp_name, o);
    nb::object zero = nb::int_(0);
    int positive = PyObject_RichCompareBool(o, zero.ptr(), Py_GT);
    if (positive < 0) throw nb::python_error();
    if (!positive) qv::raise(PyExc_ValueError, "%s must be a positive int, got %R", where, o);
}

// dev_type: a positive int or a non-empty list (or tuple) of them.
void require_devtype(nb::handle v) {
    PyObject* o = v.ptr();
    if (!PyList_Check(o) && !PyTuple_Check(o)) {
        if (!PyLong_Check(o) && !PyBool_Check(o))
            qv::raise(PyExc_ValueError,
                      "dev_type must be a positive int or a non-empty list of positive ints, not %s",
                      Py_TYPE(o)->tp_name);
        require_positive(v, "dev_type");
        return;
    }
    nb::object seq = qv::check(PySequence_List(o));
    Py_ssize_t n = PyList_GET_SIZE(seq.ptr());
    if (n == 0)
        qv::raise(PyExc_ValueError, "dev_type is an empty list: the key needs at least one device type");
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string where = "dev_type[" + std::to_string(i) + "]";
        require_positive(nb::handle(PyList_GET_ITEM(seq.ptr(), i)), where.c_str());
    }
}

// {"DEV_TYPE": dev_type, **header} as JSON text, UTF-8 encoded.
nb::object header_json(nb::handle dev_type, nb::handle header) {
    require_devtype(dev_type);
    nb::object full = qv::check(PyDict_New());
    nb::object value = PyTuple_Check(dev_type.ptr()) ? qv::check(PySequence_List(dev_type.ptr()))
                                                      : nb::borrow(dev_type);
    if (PyDict_SetItemString(full.ptr(), "DEV_TYPE", value.ptr()) < 0) throw nb::python_error();
    if (!header.is_none()) {
        if (!PyDict_Check(header.ptr()))
            qv::raise(PyExc_TypeError, "header must be a dict, not %s", Py_TYPE(header.ptr())->tp_name);
        for (const char* own : {"DEV_TYPE", "dev_type"}) {
            PyObject* hit = PyDict_GetItemString(header.ptr(), own);
            if (hit)
                qv::raise(PyExc_ValueError,
                          "header must not carry its own \"%s\": the device type is given by dev_type", own);
        }
        if (PyDict_Update(full.ptr(), header.ptr()) < 0) throw nb::python_error();
    }
    nb::object text = qv::check(PyObject_CallOneArg(state.json_dumps, full.ptr()));
    return qv::check(PyUnicode_AsUTF8String(text.ptr()));
}

// The key for a JSON header, derived exactly as the checker derives it.
qvtbin::Key key_for(nb::handle json_bytes, nb::handle prefix) {
    auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(json_bytes.ptr()));
    size_t n = static_cast<size_t>(PyBytes_GET_SIZE(json_bytes.ptr()));
    nb::object header = qvtbin::parse_header(state.tbin, p, tb::Range{0, n});
    nb::object devtype = qvtbin::choose_devtype(state.tbin, header);
    return qvtbin::make_key(prefix, qvtbin::devtype_text(state.tbin, devtype));
}

[[noreturn]] void raise_load_failure(const qvtbin::Load& r, nb::handle path) {
    if (r.special) qv::raise(PyExc_OSError, "not a regular file: %R", path.ptr());
    qv::raise_os_error(r.err, path);
}

// The bytes of an image or container argument: a bytes-like object as it
// is, or the whole file a str or os.PathLike names (OSError when unreadable).
class Source {
public:
    Source(nb::handle src, const char* argname) {
        PyObject* o = src.ptr();
        if (!PyUnicode_Check(o) && PyObject_CheckBuffer(o)) {
            if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS) < 0) throw nb::python_error();
            has_view_ = true;
            return;
        }
        PyObject* fspath = PyOS_FSPath(o);
        if (!fspath) {
            PyErr_Clear();
            qv::raise(PyExc_TypeError, "%s must be bytes-like or a path (str or os.PathLike), not %s", argname,
                      Py_TYPE(o)->tp_name);
        }
        path_ = nb::steal(fspath);
        std::string fs = qv::fs_encode(path_);
        qvtbin::Load r;
        {
            nb::gil_scoped_release nogil;
            r = qvtbin::load_regular(fs, file_);
        }
        if (!r.ok()) raise_load_failure(r, path_);
    }
    ~Source() {
        if (has_view_) PyBuffer_Release(&view_);
    }
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

void require_fits(size_t json_len, uint64_t image_len) {
    std::string why = tb::pack_limit_error(json_len, image_len);
    if (!why.empty()) qv::raise(PyExc_ValueError, "%s", why.c_str());
}

// --- pack ------------------------------------------------------------------------

nb::object pack(nb::handle image, nb::handle dev_type, nb::handle header, nb::handle prefix) {
    nb::object json = header_json(dev_type, header);
    qvtbin::Key key = key_for(json, prefix);
    Source img(image, "image");
    if (img.size() == 0) qv::raise(PyExc_ValueError, "image is empty: a container must carry an image");
    size_t json_len = static_cast<size_t>(PyBytes_GET_SIZE(json.ptr()));
    require_fits(json_len, img.size());
    size_t total = tb::kJsonOffset + json_len + img.size();
    nb::object out = qv::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    {
        nb::gil_scoped_release nogil;
        tb::write_container(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.ptr())),
                            reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(json.ptr())), json_len,
                            img.data(), img.size(), key.bytes);
    }
    if (img.cut()) qv::raise(PyExc_OSError, "image file %R was cut short while being read", img.path().ptr());
    return out;
}

// --- pack_file -------------------------------------------------------------------

// A file being written; removed again unless committed.
class OutFile {
public:
    explicit OutFile(std::string fs) : fs_(std::move(fs)) {}
    ~OutFile() {
        if (fd_ >= 0) ::close(fd_);
        if (created_ && !committed_) ::unlink(fs_.c_str());
    }
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;

    int open() {
        fd_ = ::open(fs_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) return errno;
        created_ = true;
        return 0;
    }
    int write_at(const uint8_t* p, size_t n, off_t at) {
        while (n) {
            ssize_t w = ::pwrite(fd_, p, n, at);
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            p += w;
            n -= static_cast<size_t>(w);
            at += w;
        }
        return 0;
    }
    int commit() {
        int err = ::close(fd_) < 0 ? errno : 0;
        fd_ = -1;
        committed_ = err == 0;
        return err;
    }

private:
    std::string fs_;
    int fd_ = -1;
    bool created_ = false, committed_ = false;
};

// Streams the image from its file into the container, digesting it on the
// way: the image is never held whole. Returns the number of bytes written.
nb::object pack_file(nb::handle image_path, nb::handle out_path, nb::handle dev_type, nb::handle header,
                     nb::handle prefix) {
    nb::object json = header_json(dev_type, header);
    qvtbin::Key key = key_for(json, prefix);
    nb::object in_fspath, out_fspath;
    std::string in_fs = qv::fs_encode(image_path, &in_fspath);
    std::string out_fs = qv::fs_encode(out_path, &out_fspath);
    auto* jp = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(json.ptr()));
    size_t json_len = static_cast<size_t>(PyBytes_GET_SIZE(json.ptr()));
    require_fits(json_len, 0);

    enum { kOk, kInErr, kOutErr, kSame, kSpecial, kTooBig, kEmpty } outcome = kOk;
    int err = 0;
    uint64_t image_len = 0;
    {
        nb::gil_scoped_release nogil;
        qvcore::BlockReader in;
        qvcore::OsError oe;
        struct stat ist {}, ost {};
        if (::stat(in_fs.c_str(), &ist) == 0 && !S_ISREG(ist.st_mode) && !S_ISDIR(ist.st_mode)) {
            outcome = kSpecial;
        } else if (!in.open(in_fs, oe)) {
            outcome = kInErr, err = oe.err;
        } else if (::stat(out_fs.c_str(), &ost) == 0 && ost.st_dev == ist.st_dev && ost.st_ino == ist.st_ino) {
            outcome = kSame;  // truncating the output would destroy the input
        } else if (S_ISREG(ist.st_mode) && ist.st_size == 0) {
            outcome = kEmpty;  // refused before the output is touched
        } else {
            OutFile out(out_fs);
            qvcore::HmacSha256 mac(key.bytes.data(), key.bytes.size());
            constexpr size_t kChunk = 1 << 20;
            std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
            const off_t image_at = static_cast<off_t>(tb::kJsonOffset + json_len);
            if ((err = out.open()) || (err = out.write_at(jp, json_len, tb::kJsonOffset))) {
                outcome = kOutErr;
            } else {
                for (;;) {
                    long got = in.read(chunk.get(), kChunk, oe);
                    if (got < 0) { outcome = kInErr, err = oe.err; break; }
                    if (got == 0) break;
                    if (image_len + static_cast<uint64_t>(got) > tb::kFieldMax) { outcome = kTooBig; break; }
                    mac.update(chunk.get(), static_cast<size_t>(got));
                    if ((err = out.write_at(chunk.get(), static_cast<size_t>(got),
                                            image_at + static_cast<off_t>(image_len)))) {
                        outcome = kOutErr;
                        break;
                    }
                    image_len += static_cast<uint64_t>(got);
                }
            }
            if (outcome == kOk && image_len == 0) outcome = kEmpty;  // emptied while read
            if (outcome == kOk) {
                uint8_t fixed[tb::kJsonOffset];
                qvcore::Digest hd = qvcore::hmac_sha256(key.bytes.data(), key.bytes.size(), jp, json_len);
                tb::write_fixed_header(fixed, static_cast<uint32_t>(json_len), static_cast<uint32_t>(image_len),
                                       hd, mac.finish());
                if ((err = out.write_at(fixed, sizeof fixed, 0)) || (err = out.commit())) outcome = kOutErr;
            }
        }
    }
    switch (outcome) {
        case kOk: break;
        case kSpecial: qv::raise(PyExc_OSError, "not a regular file: %R", in_fspath.ptr());
        case kSame: qv::raise(PyExc_ValueError, "out_path names the image file itself: %R", out_fspath.ptr());
        case kEmpty: qv::raise(PyExc_ValueError, "image is empty: a container must carry an image: %R", in_fspath.ptr());
        case kTooBig: qv::raise(PyExc_ValueError, "%s", tb::pack_limit_error(json_len, tb::kFieldMax + 1).c_str());
        case kInErr: qv::raise_os_error(err, in_fspath);
        case kOutErr: qv::raise_os_error(err, out_fspath);
    }
    return nb::int_(static_cast<unsigned long long>(tb::kJsonOffset + json_len + image_len));
}

// --- describe --------------------------------------------------------------------

class Problems {
public:
    Problems() : list_(qv::check(PyList_New(0))) {}
    void add(nb::handle text) {
        if (PyList_Append(list_.ptr(), text.ptr()) < 0) throw nb::python_error();
    }
    template <typename... A>
    void add(const char* fmt, A... args) {
        add(qv::check(PyUnicode_FromFormat(fmt, args...)));
    }
    // An error raised by a step, as "what: text"; errors that are not
    // Exceptions (KeyboardInterrupt) pass on.
    void add_error(nb::python_error& e, const char* what) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::object text = qv::check(PyObject_Str(e.value().ptr()));
        add("%s: %U", what, text.ptr());
    }
    nb::object list() const { return list_; }

private:
    nb::object list_;
};

void set(nb::dict& d, const char* k, nb::handle v) { d[k] = v; }

nb::object u64(uint64_t v) { return nb::int_(static_cast<unsigned long long>(v)); }

nb::dict describe(nb::handle source, nb::handle prefix, bool digests) {
    Source src(source, "source");
    const uint8_t* data = src.data();
    const tb::Layout l = tb::locate(data, src.size());
    const size_t size = l.file_size;
    Problems problems;
    nb::dict d;
    set(d, "file_size", u64(size));
    for (const char* k : {"header_length", "image_length", "image_start_addr", "reserved", "header", "dev_type",
                          "device_types", "devtype_str", "key"})
        set(d, k, nb::none());
    set(d, "header_hash_ok", nb::bool_(false));
    set(d, "image_hash_ok", nb::bool_(false));
    set(d, "ok", nb::bool_(false));
    set(d, "problems", problems.list());
    if (l.has_reserved) set(d, "reserved", u64(l.reserved));

    if (!l.has_fields) {
        problems.add("truncated: %zu bytes, shorter than the three size fields (12 bytes)", size);
        return d;
    }
    const tb::Fields& f = l.fields;
    set(d, "header_length", u64(f.header_length));
    set(d, "image_length", u64(f.image_length));
    set(d, "image_start_addr", u64(f.image_start_addr));

    if (size < tb::kJsonOffset)
        problems.add("truncated: %zu bytes, shorter than the fixed header (80 bytes); "
                     "a digest field cut short never matches", size);
    if (l.json.size < f.header_length)
        problems.add("JSON header cut at the end of the file: %zu of %lu bytes", l.json.size,
                     static_cast<unsigned long>(f.header_length));
    if (f.image_length && f.image_start_addr >= size)
        problems.add("image_start_addr %lu lies at or past the end of the file (%zu bytes): the image is empty",
                     static_cast<unsigned long>(f.image_start_addr), size);
    else if (l.image.size < f.image_length)
        problems.add("image cut at the end of the file: %zu of %lu bytes", l.image.size,
                     static_cast<unsigned long>(f.image_length));
    uint64_t json_end = tb::kJsonOffset + uint64_t(f.header_length);
    if (f.image_length && f.image_start_addr < json_end)
        problems.add("image_start_addr %lu lies inside the header, which ends at %llu",
                     static_cast<unsigned long>(f.image_start_addr), static_cast<unsigned long long>(json_end));

    nb::object header;
    try {
        header = qvtbin::parse_header(state.tbin, data, l.json);
    } catch (nb::python_error& e) {
        problems.add_error(e, "JSON header");
        return d;
    }
    set(d, "header", header);

    qvtbin::Key key;
    try {
        nb::object devtype = qvtbin::choose_devtype(state.tbin, header);
        set(d, "dev_type", devtype);
        if (devtype.is_none()) {
            problems.add("no device type: neither DEV_TYPE nor dev_type holds a true value");
            return d;
        }
        // The checker sorts the header's own list; sorting a copy gives the
        // same key and leaves "header" as stored.
        nb::object value = PyList_Check(devtype.ptr())
                               ? qv::check(PyList_GetSlice(devtype.ptr(), 0, PyList_GET_SIZE(devtype.ptr())))
                               : devtype;
        nb::object ints = qv::check(PyList_New(0));
        nb::object text = qvtbin::devtype_text(state.tbin, value, ints.ptr());
        set(d, "device_types", ints);
        set(d, "devtype_str", text);
        key = qvtbin::make_key(prefix, text);
        set(d, "key", key.text);
    } catch (nb::python_error& e) {
        problems.add_error(e, "device type cannot be keyed");
        return d;
    }

    if (!digests) {  // the caller has checked them, or does not care
        for (const char* k : {"header_hash_ok", "image_hash_ok", "ok"}) set(d, k, nb::none());
        return d;
    }
    bool header_ok, image_ok;
    {
        nb::gil_scoped_release nogil;
        header_ok = tb::range_digest_ok(data, l.json, l.header_hash, key.bytes);
        image_ok = tb::range_digest_ok(data, l.image, l.image_hash, key.bytes);
    }
    if (src.cut()) problems.add("the file was cut short while being read: its lost bytes read as zeros");
    set(d, "header_hash_ok", nb::bool_(header_ok));
    set(d, "image_hash_ok", nb::bool_(image_ok));
    set(d, "ok", nb::bool_(header_ok && image_ok));
    if (!header_ok) problems.add("header_hash does not match the JSON header under key %R", key.text.ptr());
    if (!image_ok) problems.add("image_hash does not match the image under key %R", key.text.ptr());
    return d;
}

// --- signatures ------------------------------------------------------------------

nb::object fs_text(const std::string& fs) {
    return qv::check(PyUnicode_DecodeFSDefaultAndSize(fs.data(), static_cast<Py_ssize_t>(fs.size())));
}

[[noreturn]] void raise_key_error(const sg::KeyFileError& e) {
    if (e.err) qv::raise_os_error(e.err, fs_text(e.path));
    if (e.too_open) qv::raise(PyExc_PermissionError, "%s", e.why.c_str());
    qv::raise(PyExc_ValueError, "%s", e.why.c_str());
}

// A raw Ed25519 public key argument: 32 bytes of any bytes-like object.
sg::PublicKey raw_public_key(nb::handle v, const char* what) {
    sg::PublicKey k{};
    Py_ssize_t len = 0;
    if (!qvtbin::raw_public_key(v.ptr(), k, len))
        qv::raise(PyExc_TypeError, "%s must be a raw 32-byte Ed25519 public key (bytes), not %s", what,
                  Py_TYPE(v.ptr())->tp_name);
    if (len != static_cast<Py_ssize_t>(k.size()))
        qv::raise(PyExc_ValueError, "%s must be a raw 32-byte Ed25519 public key, got %zd bytes", what, len);
    return k;
}

std::vector<sg::PublicKey> raw_public_keys(nb::handle seq, const char* what) {
    std::vector<sg::PublicKey> keys;
    nb::object list = qv::check(PySequence_List(seq.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        std::string where = std::string(what) + "[" + std::to_string(i) + "]";
        keys.push_back(raw_public_key(nb::handle(PyList_GET_ITEM(list.ptr(), i)), where.c_str()));
    }
    return keys;
}

nb::bytes as_bytes(const void* p, size_t n) { return nb::bytes(static_cast<const char*>(p), n); }

// generate_key(path) -> key id: the private key to `path` (0600, never over
// an existing file), the public key to path + ".pub"; each written whole or
// not at all. The private key never leaves C++.
nb::str generate_key(nb::handle path) {
    nb::object fspath;
    std::string fs = qv::fs_encode(path, &fspath);
    std::string pub_fs = fs + ".pub";
    enum { kOk, kKeygen, kExists, kErr } outcome = kOk;
    int err = 0;
    std::string why, failed = fs;
    sg::KeyPair kp;
    {
        nb::gil_scoped_release nogil;
        struct stat st {};
        if (::lstat(fs.c_str(), &st) == 0) {
            outcome = kExists;
        } else if (::lstat(pub_fs.c_str(), &st) == 0) {
            outcome = kExists, failed = pub_fs;
        } else if (!sg::generate_key(kp, why)) {
            outcome = kKeygen;
        } else {
            qvcore::AtomicFile priv, pub;
            const std::string& pem = kp.private_pem.text();
            if ((err = priv.open(fs, 0600)) || (err = priv.chmod(0600)) || (err = priv.write(pem.data(), pem.size()))) {
                outcome = kErr;
            } else if ((err = pub.open(pub_fs, 0666)) ||
                       (err = pub.write(kp.public_pem.data(), kp.public_pem.size()))) {
                outcome = kErr, failed = pub_fs;
            } else if ((err = priv.commit(true))) {
                outcome = err == EEXIST ? kExists : kErr;
            } else if ((err = pub.commit(true))) {
                ::unlink(fs.c_str());  // not a key pair without its public half
                outcome = err == EEXIST ? kExists : kErr, failed = pub_fs;
            }
        }
    }
    switch (outcome) {
        case kOk: break;
        case kKeygen: qv::raise(PyExc_RuntimeError, "%s", why.c_str());
        case kExists:
            qv::raise(PyExc_FileExistsError, "%U exists: a key file is never overwritten (choose another name)",
                      fs_text(failed).ptr());
        case kErr: qv::raise_os_error(err, fs_text(failed));
    }
    return nb::str(sg::key_id_hex(sg::key_id(kp.public_key.data())).c_str());
}

nb::bytes load_public_key(nb::handle path) {
    std::string fs = qv::fs_encode(path);
    sg::PublicKey k{};
    sg::KeyFileError e;
    bool ok;
    {
        nb::gil_scoped_release nogil;
        ok = sg::read_public_key(fs, k, e);
    }
    if (!ok) raise_key_error(e);
    return as_bytes(k.data(), k.size());
}

nb::list load_trust(nb::handle path) {
    std::string fs = qv::fs_encode(path);
    std::vector<sg::PublicKey> keys;
    sg::KeyFileError e;
    bool ok;
    {
        nb::gil_scoped_release nogil;
        ok = sg::load_trust(fs, keys, e);
    }
    if (!ok) raise_key_error(e);
    nb::list out;
    for (const auto& k : keys) out.append(as_bytes(k.data(), k.size()));
    return out;
}

// The key id of a private key file (read and checked as sign() reads it).
nb::str private_key_id(nb::handle path) {
    std::string fs = qv::fs_encode(path);
    sg::KeyFileError e;
    std::string why;
    sg::PublicKey pub{};
    bool ok;
    {
        nb::gil_scoped_release nogil;
        sg::Secret pem;
        sg::Signature sig{};
        ok = sg::read_private_key(fs, pem, e) && sg::sign_ed25519(pem, qvcore::Digest{}, sig, pub, why);
        if (ok) why.clear();
    }
    if (!ok && !why.empty()) qv::raise(PyExc_ValueError, "%s: %s", fs.c_str(), why.c_str());
    if (!ok) raise_key_error(e);
    return nb::str(sg::key_id_hex(sg::key_id(pub.data())).c_str());
}

nb::str key_id(nb::handle public_key) {
    sg::PublicKey k = raw_public_key(public_key, "public_key");
    return nb::str(sg::key_id_hex(sg::key_id(k.data())).c_str());
}

// The signed region of a trailer that can be signed: refused when malformed
// or too short to hold a fixed header.
void require_signable(const sg::Trailer& t, nb::handle what) {
    if (t.malformed)
        qv::raise(PyExc_ValueError, "%R has a malformed signature trailer (%s): it cannot be signed",
                  what.ptr(), t.problem.c_str());
    if (t.signed_size < sg::kMinSignedSize)
        qv::raise(PyExc_ValueError, "%R is too short to be a .tbin (%llu bytes, the fixed header alone is 80)",
                  what.ptr(), static_cast<unsigned long long>(t.signed_size));
}

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

// The end of the image range the fixed header names (0 without fields).
uint64_t image_end(const uint8_t* data, uint64_t size) {
    tb::Fields f;
    if (!tb::read_fields(data, size_t(std::min<uint64_t>(size, tb::kFieldsSize)), f)) return 0;
    return tb::image_end(f);
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
    for (size_t i = 0; i < t.entries.size(); ++i) {
        const sg::Entry& e = t.entries[i];
        nb::dict x;
        x["algorithm"] = e.algorithm == sg::kEd25519 ? nb::str("ed25519")
                                                      : nb::str(("unknown(" + std::to_string(e.algorithm) + ")").c_str());
        x["key_id"] = nb::str(sg::key_id_hex(e.key_id).c_str());
        x["valid"] = states[i] == sg::EntryState::no_key ? nb::none() : nb::object(nb::bool_(states[i] == sg::EntryState::valid));
        entries.append(x);
    }
    d["signatures"] = entries;
    return d;
}

// Copies the signed region of `in_fs` to a temporary file beside `out_fs`,
// digesting exactly the bytes written, even while the file changes;
// `make_entry` then makes (or checks) the signature over that digest, and the
// file gets the trailer and the name `out_fs`. Nothing is left behind when
// any step fails.
struct RewriteResult {
    enum { kOk, kIn, kSpecial, kOut, kCut, kRefused } outcome = kOk;
    int err = 0;
    std::string why;
};

template <typename MakeEntry>
RewriteResult rewrite_signed(const std::string& in_fs, const std::string& out_fs, sg::Trailer& t,
                             MakeEntry make_entry, bool& parsed) {
    RewriteResult r;
    qvcore::FileBuffer buf;
    qvtbin::Load ld = qvtbin::load_regular(in_fs, buf);
    if (!ld.ok()) {
        r.outcome = ld.special ? RewriteResult::kSpecial : RewriteResult::kIn;
        r.err = ld.err;
        return r;
    }
    t = sg::parse_trailer(buf.data(), buf.size());
    parsed = true;
    if (t.malformed || t.signed_size < sg::kMinSignedSize) return r;  // the caller refuses it
    struct stat st {};
    bool keep_mode = ::stat(out_fs.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    qvcore::AtomicFile out;
    if ((r.err = out.open(out_fs, 0666)) || (keep_mode && (r.err = out.chmod(st.st_mode & 07777)))) {
        r.outcome = RewriteResult::kOut;
        return r;
    }
    // Each slice is copied out of the mapping once, then digested and written
    // from the copy: the mapped pages follow the file, and a file rewritten
    // meanwhile must not get a signature over bytes other than those written.
    qvcore::Sha256 h;
    constexpr uint64_t kChunk = 1 << 20;
    std::vector<uint8_t> slice(size_t(std::min<uint64_t>(kChunk, t.signed_size)));
    for (uint64_t at = 0; at < t.signed_size; at += kChunk) {
        size_t n = size_t(std::min(kChunk, t.signed_size - at));
        std::memcpy(slice.data(), buf.data() + at, n);
        h.update(slice.data(), n);
        if ((r.err = out.write(slice.data(), n))) {
            r.outcome = RewriteResult::kOut;
            return r;
        }
    }
    if (buf.cut()) {
        r.outcome = RewriteResult::kCut;
        return r;
    }
    sg::Entry e;
    if (!make_entry(h.finish(), e, r.why)) {
        r.outcome = RewriteResult::kRefused;
        return r;
    }
    std::vector<sg::Entry> entries = t.entries;
    sg::put_entry(entries, std::move(e));
    std::string trailer = sg::build_trailer(entries);
    if ((r.err = out.write(trailer.data(), trailer.size())) || (r.err = out.commit(false)))
        r.outcome = RewriteResult::kOut;
    return r;
}

void raise_rewrite(const RewriteResult& r, const sg::Trailer& t, bool parsed, nb::handle in, nb::handle out) {
    if (parsed && r.outcome == RewriteResult::kOk) require_signable(t, in);
    switch (r.outcome) {
        case RewriteResult::kOk: return;
        case RewriteResult::kSpecial: qv::raise(PyExc_OSError, "not a regular file: %R", in.ptr());
        case RewriteResult::kIn: qv::raise_os_error(r.err, in);
        case RewriteResult::kOut: qv::raise_os_error(r.err, out);
        case RewriteResult::kCut: qv::raise(PyExc_OSError, "%R was cut short while being read", in.ptr());
        case RewriteResult::kRefused: qv::raise(PyExc_ValueError, "%s", r.why.c_str());
    }
}

// sign(path, key_path, out) -> key id
nb::str sign(nb::handle path, nb::handle key_path, nb::handle out_path) {
    nb::object in_obj, key_obj, out_obj;
    std::string in_fs = qv::fs_encode(path, &in_obj);
    std::string key_fs = qv::fs_encode(key_path, &key_obj);
    std::string out_fs = out_path.is_none() ? in_fs : qv::fs_encode(out_path, &out_obj);
    if (out_path.is_none()) out_obj = in_obj;
    sg::KeyFileError kerr;
    sg::Secret pem;
    sg::Trailer t;
    bool parsed = false, key_ok;
    RewriteResult r;
    sg::PublicKey pub{};
    bool onto_key = false;
    {
        nb::gil_scoped_release nogil;
        key_ok = sg::read_private_key(key_fs, pem, kerr);
        // The output taking the key file's place would destroy the key.
        struct stat ks {}, ost {};
        onto_key = key_ok && ::stat(key_fs.c_str(), &ks) == 0 && ::stat(out_fs.c_str(), &ost) == 0 &&
                   ks.st_dev == ost.st_dev && ks.st_ino == ost.st_ino;
        if (key_ok && !onto_key)
            r = rewrite_signed(in_fs, out_fs, t, [&](const qvcore::Digest& m, sg::Entry& e, std::string& why) {
                sg::Signature s{};
                if (!sg::sign_ed25519(pem, m, s, pub, why)) return false;
                e.algorithm = sg::kEd25519;
                e.key_id = sg::key_id(pub.data());
                e.signature.assign(reinterpret_cast<const char*>(s.data()), s.size());
                return true;
            }, parsed);
    }
    if (!key_ok) raise_key_error(kerr);
    if (onto_key)
        qv::raise(PyExc_ValueError, "%R is the private key file itself: signing would replace the key",
                  out_obj.ptr());
    raise_rewrite(r, t, parsed, in_obj, out_obj);
    return nb::str(sg::key_id_hex(sg::key_id(pub.data())).c_str());
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
    nb::object in_obj, out_obj;
    std::string in_fs = qv::fs_encode(path, &in_obj);
    std::string out_fs = out_path.is_none() ? in_fs : qv::fs_encode(out_path, &out_obj);
    if (out_path.is_none()) out_obj = in_obj;
    const std::string id = sg::key_id_hex(sg::key_id(pub.data()));
    sg::Trailer t;
    bool parsed = false;
    RewriteResult r;
    {
        nb::gil_scoped_release nogil;
        r = rewrite_signed(in_fs, out_fs, t, [&](const qvcore::Digest& m, sg::Entry& e, std::string& why) {
            if (!sg::verify_ed25519(pub.data(), m.data(), m.size(), reinterpret_cast<const uint8_t*>(sig.data()),
                                    sig.size())) {
                why = "the signature does not verify against public key " + id +
                      " over this file's signing digest: nothing attached";
                return false;
            }
            e.algorithm = sg::kEd25519;
            e.key_id = sg::key_id(pub.data());
            e.signature = sig;
            return true;
        }, parsed);
    }
    raise_rewrite(r, t, parsed, in_obj, out_obj);
    return nb::str(id.c_str());
}

}  // namespace

NB_MODULE(_tbin, m) {
    if (!state.ready) {
        state.json_dumps = qv::keep(nb::module_::import_("json").attr("dumps"));
        qvtbin::init_refs(state.tbin);
        state.ready = true;
    }
    m.doc() = "Making and describing .tbin update images; see quorvex.tbin.";
    m.def("pack", &pack, nb::arg("image").none(), nb::arg("dev_type").none(), nb::arg("header").none(),
          nb::arg("key_prefix").none(), "The .tbin container for an image as bytes; see quorvex.tbin.pack.");
    m.def("pack_file", &pack_file, nb::arg("image_path").none(), nb::arg("out_path").none(), nb::arg("dev_type").none(),
          nb::arg("header").none(), nb::arg("key_prefix").none(),
          "Writes the .tbin container for an image file to out_path; see quorvex.tbin.pack_file.");
    m.def("describe", &describe, nb::arg("source").none(), nb::arg("key_prefix").none(),
          nb::arg("digests") = true,
          "What a .tbin container holds and what is wrong with it; see quorvex.tbin.describe.");
    m.def("generate_key", &generate_key, nb::arg("path").none(),
          "Writes a new Ed25519 key pair to path and path + '.pub'; see quorvex.tbin.generate_key.");
    m.def("load_public_key", &load_public_key, nb::arg("path").none(),
          "The raw 32-byte key of a PEM public key file; see quorvex.tbin.load_public_key.");
    m.def("load_trust", &load_trust, nb::arg("path").none(),
          "The raw public keys of a key file or a folder of them; see quorvex.tbin.load_trust.");
    m.def("private_key_id", &private_key_id, nb::arg("path").none(),
          "The key id of a private key file, read as sign() reads it.");
    m.def("key_id", &key_id, nb::arg("public_key").none(), "The key id of a raw public key; see quorvex.tbin.key_id.");
    m.def("signing_digest", &signing_digest, nb::arg("source").none(),
          "The 32-byte message a signature signs; see quorvex.tbin.signing_digest.");
    m.def("signature_report", &signature_report, nb::arg("source").none(), nb::arg("keys").none(),
          "The signature trailer of a container, checked against raw public keys; see quorvex.tbin.signature_report.");
    m.def("sign", &sign, nb::arg("path").none(), nb::arg("key_path").none(), nb::arg("out").none(),
          "Adds a signature made with a private key file; see quorvex.tbin.sign.");
    m.def("attach_signature", &attach_signature, nb::arg("path").none(), nb::arg("signature").none(),
          nb::arg("public_key").none(), nb::arg("out").none(),
          "Adds a signature made elsewhere, once it verifies; see quorvex.tbin.attach_signature.");
}
