// Update image checks: is the path a usable .bin or .tbin file, and do a
// .tbin's digests match its JSON header and its image (under a policy: and
// does a trusted key sign it; a .bin is refused then). Both answer True or
// False and log the reason for a refusal; neither touches the device link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <string>

#include "fpga.h"
#include "filebuf.h"
#include "tbinpy.h"
#include "trust.h"

namespace fpga {
static ImageKind image_kind_of(nb::handle path);

ImageKind image_kind(nb::handle path) {
    // A fleet asks about the one path object of its run for every device:
    // the answer for the last str asked about is kept (a str never changes,
    // and the one held here cannot be freed and its address reused).
    static PyObject* last_path = nullptr;
    static ImageKind last_kind = ImageKind::other;
    if (path.ptr() == last_path && PyUnicode_CheckExact(last_path)) return last_kind;
    const ImageKind kind = image_kind_of(path);
    if (PyUnicode_CheckExact(path.ptr())) {
        Py_XSETREF(last_path, Py_NewRef(path.ptr()));
        last_kind = kind;
    }
    return kind;
}

static ImageKind image_kind_of(nb::handle path) {
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

// Opens the file as every user file is opened (a FIFO, should the path have
// become one since it was looked at, is refused without waiting for a
// writer) and reads one byte; 0 or the errno of the failure.
int read_one_byte(const std::string& fs) {
    nb::gil_scoped_release nogil;
    struct stat st {};
    qvcore::OsError e;
    qvcore::Fd fd(qvcore::open_regular(fs, st, e));
    if (fd.get() < 0) return e.err;
    unsigned char byte;
    ssize_t r;
    do r = ::read(fd.get(), &byte, 1);
    while (r < 0 && errno == EINTR);
    return r < 0 ? errno : 0;
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
    const std::vector<PublicKey> trusted = read_policy();
    if (CheckedRun* run = CheckedRun::current(a[0], a[1])) {  // the engine checks its copy under it
        run->trusted = trusted;
        run->policy_read = true;
    }
    CheckedRunScope no_run(nullptr);  // nothing this check calls is part of the run

    if (image_kind(path) == ImageKind::bin) {
        if (!trusted.empty()) {  // a .bin has nowhere to carry a signature
            log_path(S->error, "FPGA image not signed: ", path);
            return nb::bool_(false);
        }
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
    qvcore::OsError load = qvtbin::load_path(os_path(path), buf);
    if (!load.ok()) {
        log_path_failure(S->error, "FPGA image file not readable: ", path, qvtbin::load_failure_text(load, path));
        return nb::bool_(false);
    }
    const TbinVerdict verdict = verify_tbin(buf, trusted, true);
    log(verdict.ok() ? S->debug : S->error, verdict_text(verdict, path));
    return nb::bool_(verdict.ok());
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
        "HMAC-SHA256 digests of its JSON header and of its image match the stored ones.\n"
        "Under a policy (_TRUSTED_KEYS not empty) a .tbin also needs a valid signature by a\n"
        "trusted key, and a .bin is refused.",
        {{"self"}, {"image_path"}});
}

}  // namespace fpga
