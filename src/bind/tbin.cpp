// quorvex._tbin: making and describing .tbin update images. The public face
// is quorvex.tbin; this module does the work. The JSON header and the key go
// through the checker's own code (tbinpy.h), so what pack writes, the
// checker of quorvex.QVRFpga accepts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "qvnb.h"
#include "tbin.h"
#include "tbinpy.h"

namespace {
namespace nb = nanobind;
namespace tb = qvcore::tbin;

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

    enum { kOk, kInErr, kOutErr, kSame, kSpecial, kTooBig } outcome = kOk;
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
}
