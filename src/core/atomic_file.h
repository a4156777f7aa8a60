// Replacing or creating a file so that no reader ever sees it half written:
// the bytes go to a temporary file in the same folder, are flushed to disk,
// and only then take the target's name (rename, or link for a file that
// must not exist yet). A file that is not committed is removed again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace qvcore {

// Not an errno: the target exists and is no regular file (a device, FIFO,
// socket or folder), which an image or key file must never be written into.
inline constexpr int kNotRegularFile = 0x10000;

// 0 when `target` may be replaced by a regular file: it does not exist, is
// a regular file, or is a symbolic link (`*resolved` is then the regular
// file it names, written through; a dangling link is replaced as it is);
// kNotRegularFile or an errno otherwise. `*resolved` is `target` but for a link.
int writable_target(const std::string& target, std::string* resolved);

class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file beside `target` with `mode` (the umask
    // applies, as for open()); returns 0, an errno, or kNotRegularFile for
    // a target that is no regular file (see writable_target).
    int open(const std::string& target, mode_t mode);
    // Sets the temporary file's permission bits exactly (no umask).
    int chmod(mode_t mode);
    int write(const void* data, size_t n);
    // Flushes the file and gives it the target's name, replacing any file
    // there (exclusive = false) or failing with EEXIST if one exists
    // (exclusive = true); then flushes the folder. Returns 0 or an errno.
    int commit(bool exclusive);
    // The temporary file's name while it exists (for tests and errors).
    const std::string& temp_path() const { return temp_; }

private:
    void discard();
    std::string target_, temp_;
    int fd_ = -1;
    bool done_ = false;
};

}  // namespace qvcore
