#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
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

AtomicFile::~AtomicFile() { discard(); }

void AtomicFile::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty() && !done_) ::unlink(temp_.c_str());
    temp_.clear();
}

int AtomicFile::open(const std::string& target, mode_t mode) {
    discard();
    target_ = target;
    done_ = false;
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
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
