// Opening the files a user names (images, keys, signatures, trust entries):
// the one place that decides what may be read. Anything but a regular file
// is refused before a byte is read: a FIFO has no end to read to (and an
// open of one with no writer would wait forever), a device may never stop.
#pragma once

#include <sys/stat.h>

#include <string>

namespace qvcore {

// The errno of an operating-system call that failed; the caller names the
// file in its error (qv::os_error words it as Python does).
struct OsError {
    int err = 0;
    // The path is not a regular file nor a directory (a FIFO, socket or
    // device): refused unread, err EINVAL.
    bool special = false;
    bool ok() const { return !err; }
};

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// Opens `path` for reading. The open itself never blocks (O_NONBLOCK, so a
// FIFO without a writer does not hold the caller up); fstat() then tells
// what was opened: a regular file is returned (blocking reads again, `st`
// filled), a directory fails with EISDIR, anything else fails with
// `error.special`. -1 on failure. Safe without the GIL; never throws.
int open_regular(const std::string& path, struct stat& st, OsError& error) noexcept;

// The first `max` bytes (at most) of the file at `path`, opened with
// open_regular(); `st` receives its fstat(). False with `error` filled when
// it cannot be opened or read (`out` is then emptied).
bool read_head(const std::string& path, size_t max, std::string& out, struct stat& st, OsError& error);

// What open_regular() refuses, told from metadata already at hand.
inline bool is_special(const struct stat& st) { return !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode); }

// `path` names the file `st` describes (so writing there would destroy it).
bool names_file(const std::string& path, const struct stat& st);

}  // namespace qvcore
