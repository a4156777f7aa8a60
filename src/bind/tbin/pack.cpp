// pack() and pack_file(): a container for an image, in memory or streamed
// from file to file.
#include "tbin_file.h"
#include "tbinmod.h"

namespace tbinmod {

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

// The image is never held whole. Returns the number of bytes written.
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
    tb::PackOutcome r;
    {
        nb::gil_scoped_release nogil;
        r = tb::pack_file(in_fs, out_fs, jp, json_len, key.bytes);
    }
    using P = tb::PackOutcome;
    switch (r.kind) {
        case P::kOk: break;
        case P::kSame: qv::raise(PyExc_ValueError, "out_path names the image file itself: %R", out_fspath.ptr());
        case P::kEmpty:
            qv::raise(PyExc_ValueError, "image is empty: a container must carry an image: %R", in_fspath.ptr());
        case P::kTooBig: qv::raise(PyExc_ValueError, "%s", tb::pack_limit_error(json_len, tb::kFieldMax + 1).c_str());
        case P::kSpecial:
        case P::kInError: raise_load_failure({r.err, r.kind == P::kSpecial}, in_fspath);
        case P::kOutError: raise_out_error(r.err, out_fspath);
    }
    return u64(tb::kJsonOffset + json_len + r.image_len);
}

}  // namespace tbinmod
