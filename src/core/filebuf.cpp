#include "filebuf.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <new>

namespace qvcore {

std::string os_error_text(int err, const std::string& path) {
    std::string quoted;
    for (char c : path) {
        if (c == '\'' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return "[Errno " + std::to_string(err) + "] " + std::strerror(err) + ": '" + quoted + "'";
}

static bool fail(OsError& e, int err, const std::string& path) {
    e.err = err;
    e.text = os_error_text(err, path);
    return false;
}

// A buffer of many megabytes on huge pages where the system offers them:
// filling it then costs a few hundred page faults instead of thousands.
static void advise_huge_pages(uint8_t* p, size_t n) {
#ifdef MADV_HUGEPAGE
    constexpr size_t kHuge = size_t(2) << 20;
    if (n < 4 * kHuge) return;
    uintptr_t b = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t e = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    if (e > b) ::madvise(reinterpret_cast<void*>(b), e - b, MADV_HUGEPAGE);  // advice only
#else
    (void)p; (void)n;
#endif
}

namespace {
struct Fd {  // closes on every path
    int fd;
    ~Fd() { if (fd >= 0) ::close(fd); }
};
}  // namespace

// Never throws: it runs with the interpreter's lock released, where an
// exception must not escape; a buffer that cannot be had is ENOMEM.
bool FileBuffer::load(const std::string& path, OsError& error) {
    try {
        return load_file(path, error);
    } catch (...) {  // only an error text that could not be built
        error.err = ENOMEM;
        error.text.clear();
        return false;
    }
}

bool FileBuffer::load_file(const std::string& path, OsError& error) {
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) return fail(error, errno, path);
    struct stat st {};
    if (::fstat(f.fd, &st) < 0) return fail(error, errno, path);
    if (S_ISDIR(st.st_mode)) return fail(error, EISDIR, path);
    // The size may change while reading; read to the end whatever it is.
    size_t cap = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[cap ? cap : 1]);
    if (!buf) return fail(error, ENOMEM, path);
    advise_huge_pages(buf.get(), cap);
    size_t len = 0;
    for (;;) {
        if (len == cap) {
            // Most files end where fstat said: one byte tells without growing.
            uint8_t probe;
            ssize_t r = ::read(f.fd, &probe, 1);
            if (r == 0) break;
            if (r < 0) {
                if (errno == EINTR) continue;
                return fail(error, errno, path);
            }
            size_t ncap = cap ? cap * 2 : 64 * 1024;
            std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[ncap]);
            if (!bigger) return fail(error, ENOMEM, path);
            if (len) std::memcpy(bigger.get(), buf.get(), len);
            buf.swap(bigger);
            cap = ncap;
            buf[len++] = probe;
            continue;
        }
        ssize_t r = ::read(f.fd, buf.get() + len, cap - len);
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            return fail(error, errno, path);
        }
        len += static_cast<size_t>(r);
    }
    data_ = std::move(buf);
    size_ = len;
    return true;
}

BlockReader::~BlockReader() { close(); }

bool BlockReader::open(const std::string& path, OsError& error) {
    close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return fail(error, errno, path);
    path_ = path;
    if (!buf_) buf_.reset(new uint8_t[kBufSize]);
    pos_ = len_ = 0;
    return true;
}

long BlockReader::read(uint8_t* out, size_t n, OsError& error) {
    size_t got = 0;
    while (got < n) {
        if (pos_ == len_) {
            ssize_t r = ::read(fd_, buf_.get(), kBufSize);
            if (r < 0) {
                if (errno == EINTR) continue;
                fail(error, errno, path_);
                return -1;
            }
            if (r == 0) break;
            pos_ = 0;
            len_ = static_cast<size_t>(r);
        }
        size_t take = std::min(n - got, len_ - pos_);
        std::memcpy(out + got, buf_.get() + pos_, take);
        pos_ += take;
        got += take;
    }
    return static_cast<long>(got);
}

void BlockReader::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace qvcore
