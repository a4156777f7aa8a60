// The link's life: connecting, closing, and the lock its operations hold.
#include "link.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "link_impl.h"

namespace qvcore {

using namespace linkimpl;

// ---------------------------------------------------------------------------

TcpLink::TcpLink(std::string host, uint16_t port, double timeout, double slow_timeout)
    : host_(std::move(host)), port_(port), timeout_(timeout), slow_timeout_(slow_timeout) {
    bool bracketed = !host_.empty() && host_.front() == '[';
    bool v6 = host_.find(':') != std::string::npos;
    label_ = (v6 && !bracketed ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

TcpLink::~TcpLink() {
    // Nobody else can hold the link any more: its owner is being destroyed.
    if (fd_ >= 0) ::close(fd_);
}

TcpLink::Guard::Guard(TcpLink& link, LinkInterrupt intr) : link_(link), intr_(intr) {
    if (link.owner_.load(std::memory_order_relaxed) == std::this_thread::get_id())
        throw LinkError(LinkError::kConnection,
                        "link to " + link.label_ + " is already in use by this thread");
    if (!link.op_mu_.try_lock()) {
        while (!link.op_mu_.try_lock_for(kSlice))
            if (intr_()) throw LinkError(LinkError::kInterrupted, "interrupted");
    }
    link.owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

TcpLink::Guard::~Guard() {
    link_.owner_.store(std::thread::id(), std::memory_order_relaxed);
    link_.op_mu_.unlock();
}

void TcpLink::release_socket() {
    state_.store(kClosed);
    {
        std::lock_guard<std::mutex> l(fd_mu_);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    begin_ = end_ = tail_ = 0;
    scan_ = Scan::kStart;
}

void TcpLink::fail(LinkError::Kind kind, const std::string& what) {
    release_socket();
    throw LinkError(kind, what);
}

void TcpLink::fail_closed() { fail(LinkError::kConnection, said(proto::LinkFailure::kClosed)); }

void TcpLink::interrupted() { fail(LinkError::kInterrupted, "interrupted"); }

void TcpLink::require_open() {
    int s = state_.load(std::memory_order_relaxed);
    if (s == kOpen && fd_ >= 0) return;
    if (s == kIdle) throw LinkError(LinkError::kConnection, said(proto::LinkFailure::kNotConnected));
    fail_closed();
}

void TcpLink::close(LinkInterrupt intr) {
    {
        std::lock_guard<std::mutex> l(fd_mu_);
        state_.store(kClosed);
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);  // wakes a thread blocked on it
    }
    // Called from within this thread's own operation (a signal handler): the
    // operation sees the link closed as soon as it resumes and lets go of it.
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
    Guard g(*this, intr);
    release_socket();
}

// --- connecting -------------------------------------------------------------

int TcpLink::connect_one(Guard& g, const void* addr, unsigned addrlen, int family,
                         Clock::time_point deadline, std::string& why) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        why = errno_text(errno);
        return -1;
    }
    struct Closer {
        int& fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};

    if (::connect(fd, static_cast<const sockaddr*>(addr), addrlen) < 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            why = errno_text(errno);
            return -1;
        }
        for (;;) {
            if (state_.load() != kConnecting) {
                why = "closed while connecting";
                return -1;
            }
            auto now = Clock::now();
            if (now >= deadline) {
                why = "timed out";
                return -1;
            }
            pollfd p{fd, POLLOUT, 0};
            int n = ::poll(&p, 1, slice_ms(now, deadline));
            if (n > 0) break;
            if (n < 0 && errno != EINTR) {
                why = errno_text(errno);
                return -1;
            }
            if (g.intr_()) interrupted();
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        if (err != 0) {
            why = errno_text(err);
            return -1;
        }
    }

    // From here on a blocking socket whose waits end after one slice.
    int flags = ::fcntl(fd, F_GETFL);
    int one = 1;
    timeval slice{0, kLinkSliceMs * 1000};
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) < 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice) < 0) {
        why = errno_text(errno);
        return -1;
    }
    int out = fd;
    fd = -1;
    return out;
}

bool TcpLink::open(Guard& g, std::string& why) {
    const State after_failure = state_.load() == kIdle ? kIdle : kClosed;
    release_socket();
    last_cmd_[0] = '\0';
    last_slow_ = false;
    state_.store(kConnecting);
    auto failed = [&](std::string text) {
        why = std::move(text);
        int expected = kConnecting;  // close() meanwhile leaves it closed
        state_.compare_exchange_strong(expected, after_failure);
        return false;
    };

    if (cap_ != kBufferSize) {
        buf_.reset(new (std::nothrow) char[kBufferSize]);
        cap_ = buf_ ? kBufferSize : 0;
        if (!buf_) return failed("out of memory");
    }
    if (host_.empty()) return failed("no address given");

    const auto deadline = deadline_after(timeout_);
    std::string name = host_;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    const std::string service = std::to_string(port_);

    AddrList addrs;
    std::string lookup_why;
    auto keep_waiting = [&] {
        if (state_.load() != kConnecting) return false;
        if (g.intr_()) interrupted();
        return true;
    };
    if (!resolve(name, service, deadline, keep_waiting, addrs, lookup_why))
        return failed(name + ": " + lookup_why);

    // Each address gets an equal share of the time that is left.
    size_t left = 0;
    for (const addrinfo* ai = addrs.head; ai; ai = ai->ai_next) ++left;
    std::string reasons;
    for (const addrinfo* ai = addrs.head; ai; ai = ai->ai_next, --left) {
        auto now = Clock::now();
        if (now >= deadline) {
            reasons += reasons.empty() ? "timed out" : "; timed out";
            break;
        }
        auto share = now + (deadline - now) / static_cast<long>(left);
        std::string why_one;
        int fd = connect_one(g, ai->ai_addr, ai->ai_addrlen, ai->ai_family, share, why_one);
        if (fd >= 0) {
            std::lock_guard<std::mutex> l(fd_mu_);
            if (state_.load() != kConnecting) {  // closed meanwhile
                ::close(fd);
                why = "closed while connecting";
                return false;
            }
            fd_ = fd;
            begin_ = end_ = tail_ = 0;
            scan_ = Scan::kStart;
            state_.store(kOpen);
            why.clear();
            return true;
        }
        if (!reasons.empty()) reasons += "; ";
        reasons += numeric_host(ai) + ": " + why_one;
        if (why_one == "closed while connecting") break;
    }
    return failed(reasons.empty() ? "no address" : reasons);
}

}  // namespace qvcore
