#include "tbin_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "atomic_file.h"
#include "digest.h"
#include "filebuf.h"
#include "tbin.h"

namespace qvcore::tbin {

namespace {

// A file being written in place; removed again unless committed.
class OutFile {
public:
    explicit OutFile(std::string path) : path_(std::move(path)) {}
    ~OutFile() {
        if (fd_ >= 0) ::close(fd_);
        if (created_ && !committed_) ::unlink(path_.c_str());
    }
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;

    int open() {
        // Never into a device, FIFO or folder (nor removed from there when
        // writing fails); open() itself writes through a link.
        std::string named;
        if (int err = writable_target(path_, &named)) return err;
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) return errno;
        created_ = true;
        return 0;
    }
    int write_at(const uint8_t* p, size_t n, off_t at) {
        while (n) {
            ssize_t w = ::pwrite(fd_, p, n, at);
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            p += w;
            n -= static_cast<size_t>(w);
            at += w;
        }
        return 0;
    }
    int commit() {
        int err = ::close(fd_) < 0 ? errno : 0;
        fd_ = -1;
        committed_ = err == 0;
        return err;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool created_ = false, committed_ = false;
};

// The image from `in` behind the JSON header in `out`, digested as it goes.
void stream_image(BlockReader& in, OutFile& out, HmacSha256& mac, off_t image_at, PackOutcome& r) {
    constexpr size_t kChunk = 1 << 20;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kChunk]);
    OsError oe;
    for (;;) {
        long got = in.read(chunk.get(), kChunk, oe);
        if (got < 0) {
            r.kind = PackOutcome::kInError, r.err = oe.err;
            return;
        }
        if (got == 0) return;
        if (r.image_len + static_cast<uint64_t>(got) > kFieldMax) {
            r.kind = PackOutcome::kTooBig;
            return;
        }
        mac.update(chunk.get(), static_cast<size_t>(got));
        if ((r.err = out.write_at(chunk.get(), static_cast<size_t>(got),
                                  image_at + static_cast<off_t>(r.image_len)))) {
            r.kind = PackOutcome::kOutError;
            return;
        }
        r.image_len += static_cast<uint64_t>(got);
    }
}

}  // namespace

PackOutcome pack_file(const std::string& in_path, const std::string& out_path, const uint8_t* json,
                      size_t json_len, const std::string& key) {
    PackOutcome r;
    BlockReader in;
    OsError oe;
    struct stat ist {};
    if (!in.open(in_path, oe, &ist)) {
        r.kind = oe.special ? PackOutcome::kSpecial : PackOutcome::kInError;
        r.err = oe.err;
        return r;
    }
    if (names_file(out_path, ist)) {  // truncating the output would destroy the input
        r.kind = PackOutcome::kSame;
        return r;
    }
    if (ist.st_size == 0) {  // refused before the output is touched
        r.kind = PackOutcome::kEmpty;
        return r;
    }
    OutFile out(out_path);
    HmacSha256 mac(key.data(), key.size());
    if ((r.err = out.open()) || (r.err = out.write_at(json, json_len, kJsonOffset))) {
        r.kind = PackOutcome::kOutError;
        return r;
    }
    stream_image(in, out, mac, static_cast<off_t>(kJsonOffset + json_len), r);
    if (r.kind != PackOutcome::kOk) return r;
    if (r.image_len == 0) {  // emptied while read
        r.kind = PackOutcome::kEmpty;
        return r;
    }
    uint8_t fixed[kJsonOffset];
    Digest hd = hmac_sha256(key.data(), key.size(), json, json_len);
    write_fixed_header(fixed, static_cast<uint32_t>(json_len), static_cast<uint32_t>(r.image_len), hd, mac.finish());
    if ((r.err = out.write_at(fixed, sizeof fixed, 0)) || (r.err = out.commit())) r.kind = PackOutcome::kOutError;
    return r;
}

}  // namespace qvcore::tbin
