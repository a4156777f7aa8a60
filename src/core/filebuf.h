// Reading image files: a whole file into one buffer (read once, never
// copied), or a stream of small blocks taken from a large buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qvcore {

// The result of an operating-system call that failed: errno and a text in
// the form Python gives it ("[Errno 2] No such file or directory: 'x.bin'").
struct OsError {
    int err = 0;
    std::string text;
};

std::string os_error_text(int err, const std::string& path);

// A whole file in one heap buffer.
class FileBuffer {
public:
    // Reads `path` whole; on failure returns false and fills `error`.
    bool load(const std::string& path, OsError& error);
    const uint8_t* data() const { return data_.get(); }
    size_t size() const { return size_; }

private:
    bool load_file(const std::string& path, OsError& error);
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
};

// Sequential reads through a large buffer: a 16-byte block costs a copy,
// not a system call. Closes the file when destroyed.
class BlockReader {
public:
    BlockReader() = default;
    ~BlockReader();
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;

    bool open(const std::string& path, OsError& error);
    // Up to `n` bytes into `out`; 0 at the end of the file; -1 on error.
    long read(uint8_t* out, size_t n, OsError& error);
    void close();

private:
    int fd_ = -1;
    std::string path_;
    std::unique_ptr<uint8_t[]> buf_;
    size_t pos_ = 0, len_ = 0;
    static constexpr size_t kBufSize = 256 * 1024;
};

}  // namespace qvcore
