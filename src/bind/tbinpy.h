// The .tbin JSON header and the key derived from it, exactly as the checker
// of quorvex.QVRFpga and the packer of quorvex._tbin both see them, and the
// conversions between Python paths and the core's file access. Where
// Python's semantics are the behaviour (json.loads and its error texts,
// truth values, list.sort(), int(), format(x, "03d")) this calls Python.
// Header-only: each extension module compiles its own copy of this one code
// path, so an image the packer writes always passes the checker.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "filebuf.h"
#include "qvnb.h"
#include "sign.h"
#include "tbin.h"

namespace qvtbin {
namespace nb = nanobind;
using qvcore::tbin::Range;

// The objects this code reuses on every call; each module that includes it
// keeps one in its own state, filled by init_refs() on its first import.
struct Refs {
    PyObject* json_loads = nullptr;  // json.loads
    PyObject* DEV_TYPE = nullptr;    // the two header keys, interned
    PyObject* dev_type = nullptr;
    PyObject* format_03d = nullptr;  // "03d"
    PyObject* empty = nullptr;       // ""
};

inline void init_refs(Refs& r) {
    r.json_loads = qv::keep(nb::module_::import_("json").attr("loads"));
    r.DEV_TYPE = qv::intern("DEV_TYPE");
    r.dev_type = qv::intern("dev_type");
    r.format_03d = qv::intern("03d");
    r.empty = qv::intern("");
}

// The JSON header at `json` in `data`: NUL bytes stripped from both ends,
// UTF-8 decoded, parsed by json.loads, required to be a JSON object. Raises
// the Python error (UnicodeDecodeError, json.JSONDecodeError, TypeError).
inline nb::object parse_header(const Refs& refs, const uint8_t* data, Range json) {
    Range s = qvcore::tbin::strip_nul(data, json);
    nb::object text = qv::check(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data) + s.offset,
                                                     static_cast<Py_ssize_t>(s.size), "strict"));
    nb::object header = qv::check(PyObject_CallOneArg(refs.json_loads, text.ptr()));
    if (!PyDict_Check(header.ptr()))
        qv::raise(PyExc_TypeError, "the JSON header is a %s, not an object",
                  Py_TYPE(header.ptr())->tp_name);
    return header;
}

// header.get("DEV_TYPE") or header.get("dev_type"): None when neither.
inline nb::object choose_devtype(const Refs& refs, nb::handle header) {
    PyObject* v = PyDict_GetItemWithError(header.ptr(), refs.DEV_TYPE);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    if (v) {
        // Held: its __bool__ may take it out of the dict, which frees it.
        nb::object held = nb::borrow(v);
        int truthy = PyObject_IsTrue(held.ptr());
        if (truthy < 0) throw nb::python_error();
        if (truthy) return held;
    }
    v = PyDict_GetItemWithError(header.ptr(), refs.dev_type);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v ? nb::borrow(v) : nb::none();
}

// The device-type part of the key: a list is sorted in place (list.sort()),
// then each element goes through int() and format(x, "03d") and the pieces
// are joined; a single value is converted the same way. The converted
// integers are appended to `ints` when given. Raises the Python error of a
// value that fails.
inline nb::object devtype_text(const Refs& refs, nb::handle devtype, PyObject* ints = nullptr) {
    auto piece = [&](PyObject* value) {
        nb::object i = qv::check(PyNumber_Long(value));
        if (ints && PyList_Append(ints, i.ptr()) < 0) throw nb::python_error();
        return qv::check(PyObject_Format(i.ptr(), refs.format_03d));
    };
    PyObject* d = devtype.ptr();
    if (!PyList_Check(d)) return piece(d);
    if (PyList_Sort(d) < 0) throw nb::python_error();
    nb::object pieces = qv::check(PyList_New(0));
    // By index with a reference held: an element's __int__ cannot pull the
    // list out from under us.
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(d); ++k) {
        nb::object item = nb::borrow(PyList_GET_ITEM(d, k));
        if (PyList_Append(pieces.ptr(), piece(item.ptr()).ptr()) < 0) throw nb::python_error();
    }
    return qv::check(PyUnicode_Join(refs.empty, pieces.ptr()));
}

// The key text (prefix + devtype_text) and the key itself (its UTF-8 bytes).
struct Key {
    nb::object text;
    std::string bytes;
};

inline Key make_key(nb::handle prefix, nb::handle devtype_str) {
    if (!PyUnicode_Check(prefix.ptr()))
        qv::raise(PyExc_TypeError, "_TBIN_KEY_PREFIX must be str, not %s", Py_TYPE(prefix.ptr())->tp_name);
    Key k;
    k.text = qv::check(PyUnicode_Concat(prefix.ptr(), devtype_str.ptr()));
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(k.text.ptr(), &n);
    if (!utf8) throw nb::python_error();
    k.bytes.assign(utf8, static_cast<size_t>(n));
    return k;
}

// An OS failure worded as Python words it: str(OSError(err, strerror, path)),
// e.g. "[Errno 2] No such file or directory: 'x.tbin'".
inline nb::object os_failure_text(int err, nb::handle path) {
    return qv::check(PyObject_Str(qv::os_error(err, path).ptr()));
}

// A path for the OS (qv::fs_encode). False when it cannot name a file
// (unencodable, or an embedded NUL): such a path is treated as absent.
inline bool fs_path(nb::handle path, std::string& out) {
    try {
        out = qv::fs_encode(path);
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // UnicodeEncodeError is one too
        return false;
    }
}

// A raw Ed25519 public key from a bytes-like object: false (no Python error
// set) for a str or an object without a buffer; else `len` is its length and
// `out` the key when that is 32.
inline bool raw_public_key(PyObject* o, qvcore::sig::PublicKey& out, Py_ssize_t& len) {
    Py_buffer view{};
    if (PyUnicode_Check(o) || !PyObject_CheckBuffer(o)) return false;
    if (PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return false;
    }
    len = view.len;
    if (len == static_cast<Py_ssize_t>(out.size())) std::memcpy(out.data(), view.buf, out.size());
    PyBuffer_Release(&view);
    return true;
}

// Reads the file named by the text `path` (as os.fsencode gives it) whole
// into `buf` without the GIL (FileBuffer::map: anything but a regular file
// is refused unread). An unnameable path (embedded NUL) reads as ENOENT.
inline qvcore::OsError load_path(nb::handle path, qvcore::FileBuffer& buf) {
    qvcore::OsError r;
    std::string fs;
    if (!fs_path(path, fs)) {
        r.err = ENOENT;
        return r;
    }
    nb::gil_scoped_release nogil;
    buf.map(fs, r);
    return r;
}

// The failure of a load in words: Python's OSError text, or what else it was.
inline nb::object load_failure_text(const qvcore::OsError& r, nb::handle path) {
    if (r.special) return qv::check(PyUnicode_FromFormat("not a regular file: %R", path.ptr()));
    return os_failure_text(r.err, path);
}

}  // namespace qvtbin
