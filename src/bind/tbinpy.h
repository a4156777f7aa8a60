// The .tbin JSON header and the key derived from it, exactly as the checker
// of quorvex.QVRFpga and the packer of quorvex._tbin both see them, and the
// file access both share. Where
// Python's semantics are the behaviour (json.loads and its error texts,
// truth values, list.sort(), int(), format(x, "03d")) this calls Python.
// Header-only: each extension module compiles its own copy of this one code
// path, so an image the packer writes always passes the checker.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "filebuf.h"
#include "qvnb.h"
#include "tbin.h"

namespace qvtbin {
namespace nb = nanobind;
using qvcore::tbin::Range;

// A module attribute looked up on first use and kept for the process's life
// in `slot`. Not a function-local static: the look-up runs Python, which may
// let another thread in, and that thread must not block on a static's guard
// while it holds the GIL. Two threads may both look it up; one copy is kept.
inline PyObject* python_attr(PyObject*& slot, const char* module, const char* attr) {
    if (slot) return slot;
    nb::object mod = qv::check(PyImport_ImportModule(module));
    nb::object value = qv::check(PyObject_GetAttrString(mod.ptr(), attr));
    if (!slot) slot = value.release().ptr();
    return slot;
}

// header_bytes: NUL bytes stripped from both ends, UTF-8 decoded, parsed by
// json.loads, required to be a JSON object. Raises the Python error
// (UnicodeDecodeError, json.JSONDecodeError, TypeError) on failure.
inline nb::object parse_header(const uint8_t* data, Range json) {
    static PyObject* loads_slot = nullptr;
    PyObject* loads = python_attr(loads_slot, "json", "loads");
    Range s = qvcore::tbin::strip_nul(data, json);
    nb::object text = qv::check(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data) + s.offset,
                                                     static_cast<Py_ssize_t>(s.size), "strict"));
    nb::object header = qv::check(PyObject_CallOneArg(loads, text.ptr()));
    if (!PyDict_Check(header.ptr()))
        qv::raise(PyExc_TypeError, "the JSON header is a %s, not an object",
                  Py_TYPE(header.ptr())->tp_name);
    return header;
}

// header.get("DEV_TYPE") or header.get("dev_type"): None when neither.
inline nb::object choose_devtype(nb::handle header) {
    static PyObject* upper = qv::intern("DEV_TYPE");
    static PyObject* lower = qv::intern("dev_type");
    PyObject* v = PyDict_GetItemWithError(header.ptr(), upper);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    if (v) {
        int truthy = PyObject_IsTrue(v);
        if (truthy < 0) throw nb::python_error();
        if (truthy) return nb::borrow(v);
    }
    v = PyDict_GetItemWithError(header.ptr(), lower);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v ? nb::borrow(v) : nb::none();
}

// devtype_str: a list is sorted in place (list.sort()), then each element
// goes through int() and format(x, "03d") and the pieces are joined; a single
// value is converted the same way. The converted integers are appended to
// `ints` when given. Raises the Python error of a value that fails.
inline nb::object devtype_text(nb::handle devtype, PyObject* ints = nullptr) {
    static PyObject* format_03d = qv::check(PyUnicode_FromString("03d")).release().ptr();
    static PyObject* empty = qv::check(PyUnicode_FromString("")).release().ptr();
    auto piece = [&](PyObject* value) {
        nb::object i = qv::check(PyNumber_Long(value));
        if (ints && PyList_Append(ints, i.ptr()) < 0) throw nb::python_error();
        return qv::check(PyObject_Format(i.ptr(), format_03d));
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
    return qv::check(PyUnicode_Join(empty, pieces.ptr()));
}

// The key text (prefix + devtype_str) and the key itself (its UTF-8 bytes).
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
    nb::object exc = qv::check(PyObject_CallFunction(PyExc_OSError, "isO", err, std::strerror(err), path.ptr()));
    return qv::check(PyObject_Str(exc.ptr()));
}

// A path for the OS, as os.fsencode gives it. False when it cannot name a
// file (unencodable, or an embedded NUL): such a path is treated as absent.
inline bool fs_path(nb::handle path, std::string& out) {
    PyObject* b = PyUnicode_EncodeFSDefault(path.ptr());
    if (!b) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    nb::object bytes = nb::steal(b);
    out.assign(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
    return out.find('\0') == std::string::npos;
}

// Reading a whole file for a check: the outcome of load_regular().
struct Load {
    int err = 0;           // errno of a failed open or read
    bool special = false;  // a FIFO, socket or device: no end to read to, refused unread
    bool oom = false;      // the buffer could not be had
    bool ok() const { return !err && !special && !oom; }
};

// Reads the file at `fs` whole into `buf` (mapped when large: its bytes are
// read once, now, and let go). Call without the GIL.
inline Load load_regular(const std::string& fs, qvcore::FileBuffer& buf) {
    Load r;
    struct stat st {};
    if (::stat(fs.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        r.special = true;
        return r;
    }
    try {
        qvcore::OsError e;
        if (!buf.map(fs, e)) r.err = e.err;
    } catch (std::bad_alloc&) {
        r.oom = true;
    }
    return r;
}

// Reads the file named by the text `path` (as os.fsencode gives it) without
// the GIL. An unnameable path (embedded NUL) reads as ENOENT.
inline Load load_path(nb::handle path, qvcore::FileBuffer& buf) {
    std::string fs;
    if (!fs_path(path, fs)) {
        Load r;
        r.err = ENOENT;
        return r;
    }
    nb::gil_scoped_release nogil;
    return load_regular(fs, buf);
}

// The failure of a load in words: Python's OSError text, or what else it was.
inline nb::object load_failure_text(const Load& r, nb::handle path) {
    if (r.special) return qv::check(PyUnicode_FromFormat("not a regular file: %R", path.ptr()));
    if (r.oom) return qv::check(PyUnicode_FromFormat("not enough memory to read %R", path.ptr()));
    return os_failure_text(r.err, path);
}

}  // namespace qvtbin
