#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace qvcore {

namespace {

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void sync_folder(const std::string& path) {
    int fd = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;  // the data is on disk; a folder we cannot open is no reason to fail
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

int writable_target(const std::string& target, std::string* resolved) {
    *resolved = target;
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISREG(st.st_mode)) return 0;
    if (!S_ISLNK(st.st_mode)) return kNotRegularFile;
    char* real = ::realpath(target.c_str(), nullptr);
    if (!real) return errno == ENOENT ? 0 : errno;
    *resolved = real;
    std::free(real);
    if (::stat(resolved->c_str(), &st) != 0) return errno;
    return S_ISREG(st.st_mode) ? 0 : kNotRegularFile;
}

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty() && !done_) ::unlink(temp_.c_str());
    temp_.clear();
}

int AtomicFile::open(const std::string& target, mode_t mode) {
    discard();
    done_ = false;
    // The temporary file goes beside the file that is replaced: for a link,
    // the file it names, so the rename writes through the link.
    if (int err = writable_target(target, &target_)) return err;
    const std::string& named = target_;
    size_t slash = named.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : named.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? named : named.substr(slash + 1);
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", unsigned(rd()));
        std::string name = dir + "." + base + suffix;
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            fd_ = fd;
            temp_ = name;
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

int AtomicFile::chmod(mode_t mode) { return ::fchmod(fd_, mode) == 0 ? 0 : errno; }

int AtomicFile::write(const void* data, size_t n) {
    auto* p = static_cast<const uint8_t*>(data);
    while (n) {
        ssize_t w = ::write(fd_, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        n -= size_t(w);
    }
    return 0;
}

int AtomicFile::commit(bool exclusive) {
    if (::fsync(fd_) != 0) return errno;
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) return errno;
    if (exclusive) {
        // link() fails if the name is taken: the target is never overwritten.
        if (::link(temp_.c_str(), target_.c_str()) != 0) return errno;
        ::unlink(temp_.c_str());
    } else if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        return errno;
    }
    done_ = true;
    temp_.clear();
    sync_folder(target_);
    return 0;
}

}  // namespace qvcore
