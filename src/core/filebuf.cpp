#include "filebuf.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

namespace qvcore {

static bool fail(OsError& e, int err) noexcept {
    e.err = err;
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

// --- Mappings that outlive a shrinking file ----------------------------------
//
// Touching a page of a file mapping that lies past the file's current end
// raises SIGBUS, and a file can be cut short by anyone at any time. So the
// process keeps one SIGBUS handler that knows our live mappings: a fault
// inside one of them has the rest of that mapping replaced by zero pages, is
// recorded, and the access goes on. Any other SIGBUS goes where it would have
// gone without us.

constexpr int kSlots = 64;  // live mappings at once; more are read instead

struct Slot {
    std::atomic<bool> claimed{false};
    std::atomic<uintptr_t> begin{0};  // 0 while not (or no longer) readable
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> cut{false};
};

// The handler reads the slots; an atomic that took a lock to do so would not
// be safe there.
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<uintptr_t>::is_always_lock_free,
              "the SIGBUS handler needs lock-free atomics");

Slot g_slots[kSlots];
std::mutex g_install;            // taken to (re)install the handler, never in it
struct sigaction g_before {};    // what SIGBUS did before our handler
std::atomic<bool> g_handed_on{false};
uintptr_t g_page_mask = 0;

void on_sigbus(int sig, siginfo_t* info, void*) {
    const int saved_errno = errno;
    if (info && info->si_code == BUS_ADRERR) {
        const uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
        for (Slot& s : g_slots) {
            const uintptr_t b = s.begin.load(std::memory_order_acquire);
            const uintptr_t e = s.end.load(std::memory_order_acquire);
            if (!b || addr < b || addr >= e) continue;
            const uintptr_t page = addr & g_page_mask;
            void* zeros = ::mmap(reinterpret_cast<void*>(page), e - page, PROT_READ,
                                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (zeros == MAP_FAILED) break;
            s.cut.store(true, std::memory_order_release);
            errno = saved_errno;
            return;
        }
    }
    // Not ours. Give SIGBUS back to what had it before us (or, if that has had
    // its turn already and handed the signal back to us, to the default
    // action) and let it act: a fault recurs as soon as we return; a signal
    // that was sent is sent again, and arrives once we return.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGBUS, g_handed_on.exchange(true) ? &dfl : &g_before, nullptr);
    if (!info || info->si_code <= 0) ::raise(sig);
    errno = saved_errno;
}

// Puts our handler in place unless it is there already (someone may have set
// their own since the last mapping; theirs then comes after ours).
bool ensure_handler() noexcept {
    std::unique_lock<std::mutex> lock(g_install, std::defer_lock);
    try {
        lock.lock();
    } catch (...) {  // a mutex that cannot be taken: the file is read instead
        return false;
    }
    struct sigaction now {};
    if (::sigaction(SIGBUS, nullptr, &now) != 0) return false;
    if ((now.sa_flags & SA_SIGINFO) && now.sa_sigaction == on_sigbus) return true;
    if (!g_page_mask) g_page_mask = ~(static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE)) - 1);
    struct sigaction ours {};
    ours.sa_sigaction = on_sigbus;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&ours.sa_mask);
    g_before = now;
    g_handed_on.store(false);
    return ::sigaction(SIGBUS, &ours, nullptr) == 0;
}

int claim_slot(uintptr_t begin, uintptr_t end) noexcept {
    for (int i = 0; i < kSlots; ++i) {
        bool free = false;
        if (!g_slots[i].claimed.compare_exchange_strong(free, true)) continue;
        g_slots[i].cut.store(false);
        g_slots[i].end.store(end, std::memory_order_release);
        g_slots[i].begin.store(begin, std::memory_order_release);
        return i;
    }
    return -1;
}

}  // namespace

FileBuffer::~FileBuffer() { release(); }

void FileBuffer::release() {
    if (mapped_) {
        if (slot_ >= 0) {
            g_slots[slot_].begin.store(0, std::memory_order_release);
            g_slots[slot_].end.store(0, std::memory_order_release);
        }
        ::munmap(mapped_, map_len_);
        if (slot_ >= 0) g_slots[slot_].claimed.store(false);
    }
    mapped_ = nullptr;
    map_len_ = 0;
    slot_ = -1;
    data_.reset();
    size_ = 0;
}

bool FileBuffer::cut() const {
    return slot_ >= 0 && g_slots[slot_].cut.load(std::memory_order_acquire);
}

// Never throw: they run with the interpreter's lock released, some callers
// between Py_BEGIN_ALLOW_THREADS and Py_END_ALLOW_THREADS, where an exception
// must not escape; a buffer that cannot be had is ENOMEM.
bool FileBuffer::load(const std::string& path, OsError& error) noexcept {
    return open_and_read(path, error, false);
}

bool FileBuffer::map(const std::string& path, OsError& error) noexcept {
    return open_and_read(path, error, true);
}

bool FileBuffer::open_and_read(const std::string& path, OsError& error, bool may_map) noexcept {
    release();
    struct stat st {};
    Fd f(open_regular(path, st, error));
    if (f.get() < 0) return false;
    const size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    if (may_map && size >= kMapMin && map_fd(f.get(), size)) return true;
    return read_fd(f.get(), size, error);
}

// The file's first `size` bytes mapped read-only and private, all pages
// populated now. False (and nothing held) when it cannot be mapped safely.
bool FileBuffer::map_fd(int fd, size_t size) noexcept {
    if (!ensure_handler()) return false;
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (p == MAP_FAILED) return false;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
    const size_t len = (size + ~g_page_mask) & g_page_mask;
    const int slot = claim_slot(begin, begin + len);
    if (slot < 0) {
        ::munmap(p, size);
        return false;
    }
    mapped_ = static_cast<uint8_t*>(p);
    map_len_ = len;
    slot_ = slot;
    size_ = size;
    return true;
}

// Reads from `fd` to its end into a heap buffer of its own, `size` (what
// fstat said) bytes to start with: the size may change while reading.
bool FileBuffer::read_fd(int fd, size_t size, OsError& error) noexcept {
    size_t cap = size;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[cap ? cap : 1]);
    if (!buf) return fail(error, ENOMEM);
    advise_huge_pages(buf.get(), cap);
    size_t len = 0;
    for (;;) {
        if (len == cap) {
            // Most files end where fstat said: one byte tells without growing.
            uint8_t probe;
            ssize_t r = ::read(fd, &probe, 1);
            if (r == 0) break;
            if (r < 0) {
                if (errno == EINTR) continue;
                return fail(error, errno);
            }
            size_t ncap = cap ? cap * 2 : 64 * 1024;
            std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[ncap]);
            if (!bigger) return fail(error, ENOMEM);
            if (len) std::memcpy(bigger.get(), buf.get(), len);
            buf.swap(bigger);
            cap = ncap;
            buf[len++] = probe;
            continue;
        }
        ssize_t r = ::read(fd, buf.get() + len, cap - len);
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            return fail(error, errno);
        }
        len += static_cast<size_t>(r);
    }
    data_ = std::move(buf);
    size_ = len;
    return true;
}

BlockReader::~BlockReader() { close(); }

bool BlockReader::open(const std::string& path, OsError& error, struct stat* st_out) {
    close();
    struct stat st {};
    fd_ = open_regular(path, st, error);
    if (st_out) *st_out = st;
    if (fd_ < 0) return false;
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
                fail(error, errno);
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
