// describe(): what a .tbin container holds and what is wrong with it.
#include "tbinmod.h"

namespace tbinmod {

namespace {

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

}  // namespace

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

}  // namespace tbinmod
