// Update image checks: is the path a usable .bin or .tbin file, and do a
// .tbin's digests match its JSON header and its image. Both answer True or
// False and log the reason for a refusal; neither touches the device link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>

#include "fpga.h"
#include "filebuf.h"
#include "tbin.h"
#include "tbinpy.h"

namespace fpga {
namespace {
namespace tb = qvcore::tbin;

}  // namespace

ImageKind image_kind(nb::handle path) {
    nb::object p = qv::check(PyObject_CallOneArg(S->PurePath, path.ptr()));
    nb::object suffix = qv::check(PyObject_GetAttrString(p.ptr(), "suffix"));
    nb::object lower = qv::check(PyObject_CallMethod(suffix.ptr(), "lower", nullptr));
    if (!PyUnicode_Check(lower.ptr())) return ImageKind::other;
    if (PyUnicode_CompareWithASCIIString(lower.ptr(), ".bin") == 0) return ImageKind::bin;
    if (PyUnicode_CompareWithASCIIString(lower.ptr(), ".tbin") == 0) return ImageKind::tbin;
    return ImageKind::other;
}

namespace {

// The path the file system is asked about: the text as pathlib makes it
// (a trailing slash dropped, "" taken as "."); messages keep the caller's.
nb::object os_path(nb::handle path) {
    nb::object p = qv::check(PyObject_CallOneArg(S->PurePath, path.ptr()));
    return qv::check(PyObject_Str(p.ptr()));
}

void log_path(PyObject* level, const char* what, nb::handle path) {
    log(level, qv::check(PyUnicode_FromFormat("%s%U", what, path.ptr())));
}

void log_path_failure(PyObject* level, const char* what, nb::handle path, nb::handle failure) {
    log(level, qv::check(PyUnicode_FromFormat("%s%U, %U", what, path.ptr(), failure.ptr())));
}

void log_text(PyObject* level, const char* text) { log(level, nb::str(text)); }

// stat(2) without the GIL. rc 0 on success, else err holds errno.
struct StatResult {
    int rc = -1;
    int err = ENOENT;
    struct stat st {};
};

StatResult stat_path(const std::string& fs) {
    StatResult s;
    nb::gil_scoped_release nogil;
    s.rc = ::stat(fs.c_str(), &s.st);
    s.err = s.rc == 0 ? 0 : errno;
    return s;
}

// The failures of a metadata query that mean there is nothing at the path.
bool means_absent(int err) {
    return err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENAMETOOLONG || err == EBADF;
}

// Opens the file and reads one byte; 0 or the errno of the failure.
// O_NONBLOCK: should the path have become a FIFO since it was looked at,
// the open does not wait for a writer.
int read_one_byte(const std::string& fs) {
    nb::gil_scoped_release nogil;
    int fd = ::open(fs.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    unsigned char byte;
    ssize_t r;
    do r = ::read(fd, &byte, 1);
    while (r < 0 && errno == EINTR);
    int err = r < 0 ? errno : 0;
    ::close(fd);
    return err;
}

// --- _checkUpdateFile(image_path) ------------------------------------------
nb::object check_update_file(PyObject*, PyObject* const* a) {
    nb::object path = require_text(nb::handle(a[1]), "image_path");
    std::string fs;
    StatResult s;  // a path the OS cannot be given names nothing: ENOENT
    if (qvtbin::fs_path(os_path(path), fs)) s = stat_path(fs);

    if (s.rc != 0 && means_absent(s.err)) {
        log_path(S->error, "FPGA image path not found: ", path);
        return nb::bool_(false);
    }
    if (image_kind(path) == ImageKind::other) {
        log_path(S->error, "FPGA image file type error: ", path);
        return nb::bool_(false);
    }
    if (s.rc != 0) {  // it may be there, but its metadata cannot be had
        log_path_failure(S->error, "FPGA image file error: ", path, qvtbin::os_failure_text(s.err, path));
        return nb::bool_(false);
    }
    if (!S_ISREG(s.st.st_mode)) {
        log_path(S->error, "FPGA image not found: ", path);
        return nb::bool_(false);
    }
    if (s.st.st_size == 0) {
        log_path(S->error, "FPGA image is empty: ", path);
        return nb::bool_(false);
    }
    if (int err = read_one_byte(fs)) {
        log_path_failure(S->error, "FPGA image file not readable: ", path, qvtbin::os_failure_text(err, path));
        return nb::bool_(false);
    }
    return nb::bool_(true);
}

// --- _checkFileHeader(image_path) ------------------------------------------
nb::object check_file_header(PyObject*, PyObject* const* a) {
    nb::object path = require_text(nb::handle(a[1]), "image_path");

    if (image_kind(path) == ImageKind::bin) {
        // Only the size, for the debug line; the content is not examined.
        // A file gone since _checkUpdateFile is refused, not raised.
        std::string fs;
        StatResult s;
        if (qvtbin::fs_path(os_path(path), fs)) s = stat_path(fs);
        if (s.rc != 0) {
            log_path_failure(S->error, "FPGA image file not readable: ", path,
                             qvtbin::os_failure_text(s.err, path));
            return nb::bool_(false);
        }
        log(S->debug, qv::check(PyUnicode_FromFormat("FPGA image header check: %U, size=%lld", path.ptr(),
                                                     static_cast<long long>(s.st.st_size))));
        return nb::bool_(true);
    }

    qvcore::FileBuffer buf;
    qvtbin::Load load = qvtbin::load_path(os_path(path), buf);
    if (!load.ok()) {
        log_path_failure(S->error, "FPGA image file not readable: ", path, qvtbin::load_failure_text(load, path));
        return nb::bool_(false);
    }
    const uint8_t* data = buf.data();
    const tb::Layout layout = tb::locate(data, buf.size());

    // Fields, JSON header, device type and key: any failure among them is a
    // parse error. Exceptions that are not errors (KeyboardInterrupt) pass.
    qvtbin::Key key;
    try {
        if (!layout.has_fields)
            qv::raise(PyExc_ValueError, "file of %zu bytes is too short for the size fields (%zu bytes)",
                      layout.file_size, tb::kFieldsSize);
        nb::object header = qvtbin::parse_header(S->tbin, data, layout.json);
        nb::object shown = qv::check(PyObject_Str(header.ptr()));
        log(S->debug, qv::check(PyUnicode_FromFormat("FPGA tbin header: %U", shown.ptr())));
        nb::object devtype = qvtbin::choose_devtype(S->tbin, header);
        if (devtype.is_none()) log_text(S->warning, "FPGA tbin header missing dev_type/DEV_TYPE");
        key = qvtbin::make_key(global(S->_TBIN_KEY_PREFIX), qvtbin::devtype_text(S->tbin, devtype));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::object text = qv::check(PyObject_Str(e.value().ptr()));
        log(S->error, qv::check(PyUnicode_FromFormat("FPGA tbin header parse error: %U", text.ptr())));
        return nb::bool_(false);
    }

    // Both digests over the bytes in place, without the GIL. The image is
    // hashed only when the header digest matched.
    bool header_ok = false, image_ok = false;
    std::string digest_failure;
    {
        nb::gil_scoped_release nogil;
        try {
            header_ok = tb::range_digest_ok(data, layout.json, layout.header_hash, key.bytes);
            if (header_ok) image_ok = tb::range_digest_ok(data, layout.image, layout.image_hash, key.bytes);
        } catch (std::exception& e) {  // OpenSSL refused: part of the guarded unit too
            digest_failure = e.what();
        }
    }
    if (!digest_failure.empty()) {
        log(S->error, qv::check(PyUnicode_FromFormat("FPGA tbin header parse error: %s", digest_failure.c_str())));
        return nb::bool_(false);
    }
    if (buf.cut()) {  // the digests were taken over zeros where its bytes were
        log(S->error, qv::check(PyUnicode_FromFormat("FPGA image file cut short while being read: %U",
                                                     path.ptr())));
        return nb::bool_(false);
    }
    if (!header_ok) {
        log_text(S->error, "FPGA tbin header hash mismatch");
        return nb::bool_(false);
    }
    if (!image_ok) {
        log_text(S->error, "FPGA tbin image hash mismatch");
        return nb::bool_(false);
    }
    log_text(S->debug, "FPGA tbin hash verify success");
    return nb::bool_(true);
}

}  // namespace

nb::object op_checkUpdateFile() {
    return method<check_update_file>("_checkUpdateFile", "Check if the update file is valid.",
                                     {{"self"}, {"image_path"}});
}

nb::object op_checkFileHeader() {
    return method<check_file_header>(
        "_checkFileHeader",
        "Check the header of the update file: a .bin passes as it is; a .tbin passes when the\n"
        "HMAC-SHA256 digests of its JSON header and of its image match the stored ones.",
        {{"self"}, {"image_path"}});
}

}  // namespace fpga
