// Reading image files: a whole file into one buffer (read once, never
// copied), or a stream of small blocks taken from a large buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "files.h"

namespace qvcore {

// A whole file in one buffer, read once. Two ways to have it:
//
// load() reads it into a heap buffer of its own: a private copy that no
// later change to the file can reach, for bytes kept while other work runs.
//
// map() is for reading the bytes once, soon, and letting go: a regular file
// of kMapMin bytes or more is mapped read-only from the page cache instead of
// copied, which costs neither a copy nor the page faults of a new buffer;
// anything else is load()ed. A mapping shows the file as it is now, not a
// snapshot, and is as long as the file was when opened. If the file shrinks
// (or a page cannot be read) while mapped, the lost part reads as zero bytes
// instead of stopping the process with SIGBUS, and cut() tells so; bytes that
// change in place are seen as they change, as a read() racing the writer
// would see them. So a digest over a file cut short while mapped is taken
// over zeros where its bytes were: a mismatch, not a crash.
class FileBuffer {
public:
    FileBuffer() = default;
    ~FileBuffer();
    FileBuffer(const FileBuffer&) = delete;
    FileBuffer& operator=(const FileBuffer&) = delete;

    // Read `path` whole; on failure return false and fill `error`. Never
    // throw (they run without the GIL): a buffer that cannot be had is ENOMEM.
    // Opened with open_regular(): anything but a regular file is refused.
    bool load(const std::string& path, OsError& error) noexcept;
    bool map(const std::string& path, OsError& error) noexcept;

    const uint8_t* data() const { return mapped_ ? mapped_ : data_.get(); }
    size_t size() const { return size_; }
    // The mapped file lost bytes while it was mapped (they read as zeros).
    bool cut() const;

    // Below this a read costs no more than setting up a mapping.
    static constexpr size_t kMapMin = size_t(1) << 20;

private:
    bool open_and_read(const std::string& path, OsError& error, bool may_map) noexcept;
    bool map_fd(int fd, size_t size) noexcept;
    bool read_fd(int fd, size_t size, OsError& error) noexcept;
    void release();
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
    uint8_t* mapped_ = nullptr;
    size_t map_len_ = 0;
    int slot_ = -1;  // the mapping's entry among those the SIGBUS handler knows
};

// Sequential reads through a large buffer: a 16-byte block costs a copy,
// not a system call. Closes the file when destroyed.
class BlockReader {
public:
    BlockReader() = default;
    ~BlockReader();
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;

    // Opens with open_regular(); `st`, when given, receives its fstat().
    bool open(const std::string& path, OsError& error, struct stat* st = nullptr);
    // Up to `n` bytes into `out`; 0 at the end of the file; -1 on error.
    long read(uint8_t* out, size_t n, OsError& error);
    void close();

private:
    int fd_ = -1;
    std::unique_ptr<uint8_t[]> buf_;
    size_t pos_ = 0, len_ = 0;
    static constexpr size_t kBufSize = 256 * 1024;
};

}  // namespace qvcore
