// Arguments of quorvex._tbin: device types, headers, image sources, keys.
#include "tbinmod.h"

namespace tbinmod {

namespace {

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

}  // namespace

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

qvtbin::Key key_for(nb::handle json_bytes, nb::handle prefix) {
    auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(json_bytes.ptr()));
    size_t n = static_cast<size_t>(PyBytes_GET_SIZE(json_bytes.ptr()));
    nb::object header = qvtbin::parse_header(state.tbin, p, tb::Range{0, n});
    nb::object devtype = qvtbin::choose_devtype(state.tbin, header);
    return qvtbin::make_key(prefix, qvtbin::devtype_text(state.tbin, devtype));
}

void require_fits(size_t json_len, uint64_t image_len) {
    std::string why = tb::pack_limit_error(json_len, image_len);
    if (!why.empty()) qv::raise(PyExc_ValueError, "%s", why.c_str());
}

void raise_load_failure(const qvcore::OsError& r, nb::handle path) {
    if (!r.special) qv::raise_os_error(r.err, path);
    PyErr_SetObject(PyExc_OSError, qvtbin::load_failure_text(r, path).ptr());
    throw nb::python_error();
}

Source::Source(nb::handle src, const char* argname) {
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
    qvcore::OsError r;
    {
        nb::gil_scoped_release nogil;
        file_.map(fs, r);
    }
    if (!r.ok()) raise_load_failure(r, path_);
}

Source::~Source() {
    if (has_view_) PyBuffer_Release(&view_);
}

nb::object fs_text(const std::string& fs) {
    return qv::check(PyUnicode_DecodeFSDefaultAndSize(fs.data(), static_cast<Py_ssize_t>(fs.size())));
}

void raise_key_error(const sg::KeyFileError& e) {
    if (e.err) qv::raise_os_error(e.err, fs_text(e.path));
    if (e.too_open) qv::raise(PyExc_PermissionError, "%s", e.why.c_str());
    qv::raise(PyExc_ValueError, "%s", e.why.c_str());
}

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

void require_signable(const sg::Trailer& t, nb::handle what) {
    if (t.malformed)
        qv::raise(PyExc_ValueError, "%R has a malformed signature trailer (%s): it cannot be signed",
                  what.ptr(), t.problem.c_str());
    if (t.signed_size < sg::kMinSignedSize)
        qv::raise(PyExc_ValueError, "%R is too short to be a .tbin (%llu bytes, the fixed header alone is 80)",
                  what.ptr(), static_cast<unsigned long long>(t.signed_size));
}

}  // namespace tbinmod
