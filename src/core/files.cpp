#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace qvcore {

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

int open_regular(const std::string& path, struct stat& st, OsError& error) noexcept {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        error.err = errno;
        return -1;
    }
    if (::fstat(fd.get(), &st) < 0) {
        error.err = errno;
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        error.err = EISDIR;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error.special = true;
        error.err = EINVAL;
        return -1;
    }
    // Reads of the file block as usual from here on.
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
        error.err = errno;
        return -1;
    }
    return fd.release();
}

bool read_head(const std::string& path, size_t max, std::string& out, struct stat& st, OsError& error) {
    out.clear();
    Fd fd(open_regular(path, st, error));
    if (fd.get() < 0) return false;
    out.resize(st.st_size > 0 ? std::min(max, size_t(st.st_size)) : 0);
    size_t got = 0;
    for (;;) {
        if (got == out.size()) {  // the file may have grown since fstat()
            if (got == max) break;
            out.resize(std::min(max, got + 4096));
        }
        ssize_t n = ::read(fd.get(), &out[got], out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error.err = errno;
            // What was read may be a secret (a private key): wiped, not just dropped.
            volatile char* p = &out[0];
            for (size_t i = 0; i < out.size(); ++i) p[i] = 0;
            out.clear();
            return false;
        }
        if (n == 0) break;
        got += size_t(n);
    }
    out.resize(got);
    return true;
}

bool names_file(const std::string& path, const struct stat& st) {
    struct stat other {};
    return ::stat(path.c_str(), &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino;
}

}  // namespace qvcore
