#include "link.h"

#include "protocol.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

namespace qvcore {
namespace {

constexpr size_t kBufferSize = 64 * 1024;
// Room for the longest reply accepted with its block header and CR LF.
constexpr size_t kMaxBuffer = kMaxReply + 64;
constexpr auto kSlice = std::chrono::milliseconds(kLinkSliceMs);
constexpr double kSliceSeconds = kLinkSliceMs / 1000.0;

using Clock = std::chrono::steady_clock;

std::string errno_text(int e) { return std::system_category().message(e); }

// 0.2 -> "0.2", 120 -> "120.0": how the time-out was given.
std::string seconds_text(double s) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, s);
    std::string t(buf, r.ptr);
    if (t.find_first_of(".en") == std::string::npos) t += ".0";
    return t;
}

Clock::time_point deadline_after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Milliseconds to wait in one slice: what is left, rounded up, at most a slice.
int slice_ms(Clock::time_point now, Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kLinkSliceMs));
}

std::string numeric_host(const addrinfo* ai) {
    char text[NI_MAXHOST];
    if (::getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return "?";
    return text;
}

struct AddrList {
    addrinfo* head = nullptr;
    ~AddrList() {
        if (head) ::freeaddrinfo(head);
    }
};

addrinfo stream_hints(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

// A name lookup on a helper thread, so that the caller's wait stays bounded
// and interruptible (getaddrinfo itself can neither). When the caller gives
// up, the helper frees its own result.
struct Lookup {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false, abandoned = false;
    int rc = 0;
    addrinfo* result = nullptr;
    std::string name, service;
};

// Looks `name` up within `deadline`. `keep_waiting` is asked between
// slices: false gives up (the link was closed); it may throw.
template <class KeepWaiting>
bool lookup(const std::string& name, const std::string& service, Clock::time_point deadline,
            KeepWaiting keep_waiting, AddrList& out, std::string& why) {
    auto st = std::make_shared<Lookup>();
    st->name = name;
    st->service = service;
    try {
        std::thread([st] {
            addrinfo hints = stream_hints(AI_NUMERICSERV);
            addrinfo* res = nullptr;
            int rc = ::getaddrinfo(st->name.c_str(), st->service.c_str(), &hints, &res);
            std::lock_guard<std::mutex> l(st->mu);
            if (st->abandoned) {
                if (res) ::freeaddrinfo(res);
                return;
            }
            st->rc = rc;
            st->result = res;
            st->done = true;
            st->cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: look the name up here, bounded by the resolver alone.
        addrinfo hints = stream_hints(AI_NUMERICSERV);
        int rc = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &out.head);
        if (rc != 0) why = ::gai_strerror(rc);
        return rc == 0;
    }
    struct Abandon {
        Lookup& st;
        ~Abandon() {
            std::lock_guard<std::mutex> l(st.mu);
            if (!st.done) st.abandoned = true;
        }
    } abandon{*st};
    std::unique_lock<std::mutex> l(st->mu);
    while (!st->done) {
        auto now = Clock::now();
        if (now >= deadline) {
            why = "name lookup timed out";
            return false;
        }
        if (st->cv.wait_for(l, std::min<Clock::duration>(deadline - now, kSlice),
                            [&] { return st->done; }))
            break;
        l.unlock();
        bool go_on = keep_waiting();
        l.lock();
        if (!go_on) {
            why = "closed while connecting";
            return false;
        }
    }
    if (st->rc != 0) {
        why = ::gai_strerror(st->rc);
        return false;
    }
    out.head = st->result;
    st->result = nullptr;
    return true;
}

}  // namespace

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

void TcpLink::fail_closed() { fail(LinkError::kConnection, "link to " + label_ + " is closed"); }

void TcpLink::interrupted() { fail(LinkError::kInterrupted, "interrupted"); }

void TcpLink::require_open() {
    int s = state_.load(std::memory_order_relaxed);
    if (s == kOpen && fd_ >= 0) return;
    if (s == kIdle) throw LinkError(LinkError::kConnection, "link to " + label_ + " is closed: it is not connected yet");
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

    // An address literal needs no lookup; a name is looked up off-thread.
    AddrList addrs;
    addrinfo hints = stream_hints(AI_NUMERICHOST | AI_NUMERICSERV);
    int rc = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &addrs.head);
    if (rc != 0) {
        addrs.head = nullptr;
        std::string lookup_why;
        auto keep_waiting = [&] {
            if (state_.load() != kConnecting) return false;
            if (g.intr_()) interrupted();
            return true;
        };
        if (rc != EAI_NONAME || !lookup(name, service, deadline, keep_waiting, addrs, lookup_why))
            return failed(name + ": " + (rc != EAI_NONAME ? ::gai_strerror(rc) : lookup_why));
    }

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

// --- commands and replies ---------------------------------------------------

void TcpLink::note_command(const char* data, size_t size) {
    const std::string_view command(data, size);
    const std::string_view word = proto::command_word(command);
    size_t i = 0;
    for (; i < word.size() && i < sizeof last_cmd_ - 1; ++i) {
        char c = word[i];
        last_cmd_[i] = (c > ' ' && c < 0x7f) ? c : '?';
    }
    last_cmd_[i] = '\0';
    last_slow_ = proto::is_slow_command(command);
}

std::string TcpLink::reply_context() const {
    return last_cmd_[0] ? std::string("the reply to ") + last_cmd_ : std::string("a reply");
}

void TcpLink::send_all(Guard& g, const char* p, size_t n, Clock::time_point deadline,
                       double seconds) {
    int flags = MSG_NOSIGNAL | (seconds < kSliceSeconds ? MSG_DONTWAIT : 0);
    bool waited = !(flags & MSG_DONTWAIT);  // did the failed try wait a slice?
    while (n > 0) {
        ssize_t k = ::send(fd_, p, n, flags);
        if (k >= 0) {
            p += k;
            n -= static_cast<size_t>(k);
            continue;
        }
        int e = errno;
        if (state_.load(std::memory_order_relaxed) != kOpen) fail_closed();
        if (e == EINTR || e == EAGAIN || e == EWOULDBLOCK) {
            if ((e == EINTR || waited) && g.intr_()) interrupted();
            waited = true;
            auto now = Clock::now();
            if (now >= deadline) fail_timeout(seconds, true);
            if (deadline - now < kSlice) {
                pollfd pf{fd_, POLLOUT, 0};
                ::poll(&pf, 1, slice_ms(now, deadline));
                flags |= MSG_DONTWAIT;
            }
            continue;
        }
        fail_send(e);
    }
}

void TcpLink::fail_send(int e) {
    if (state_.load(std::memory_order_relaxed) != kOpen) fail_closed();
    if (e == EPIPE || e == ECONNRESET)
        fail(LinkError::kConnection,
             label_ + " closed the connection while " + last_cmd_ + " was being sent");
    fail(LinkError::kConnection,
         "sending " + std::string(last_cmd_) + " to " + label_ + " failed: " + errno_text(e));
}

void TcpLink::make_room() {
    if (begin_ == end_) {
        begin_ = end_ = 0;
    } else if (begin_ > 0 && cap_ - end_ < kBufferSize / 4) {
        std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == cap_) {  // one reply fills the buffer: make room, up to the cap
        size_t grown = std::min(cap_ * 2, kMaxBuffer);
        std::unique_ptr<char[]> bigger(grown > cap_ ? new (std::nothrow) char[grown] : nullptr);
        if (!bigger)
            fail(LinkError::kConnection, "reply from " + label_ + " to " + last_cmd_ +
                                             " does not fit in " + std::to_string(cap_) +
                                             " bytes");
        std::memcpy(bigger.get(), buf_.get(), end_);
        buf_ = std::move(bigger);
        cap_ = grown;
    }
}

void TcpLink::fill(Guard& g, Clock::time_point deadline, double seconds) {
    make_room();
    // Blocking receives end after one slice (SO_RCVTIMEO); close to the
    // deadline, poll for exactly what is left.
    int flags = seconds < kSliceSeconds ? MSG_DONTWAIT : 0;
    bool waited = !(flags & MSG_DONTWAIT);  // did the failed try wait a slice?
    for (;;) {
        ssize_t n = ::recv(fd_, buf_.get() + end_, cap_ - end_, flags);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            return;
        }
        int e = n == 0 ? 0 : errno;
        if (n == 0 || !(e == EINTR || e == EAGAIN || e == EWOULDBLOCK)) fail_recv(n, e);
        if (state_.load(std::memory_order_relaxed) != kOpen) fail_closed();
        if ((e == EINTR || waited) && g.intr_()) interrupted();
        waited = true;
        auto now = Clock::now();
        if (now >= deadline) fail_timeout(seconds, false);
        if (deadline - now < kSlice) {
            pollfd pf{fd_, POLLIN, 0};
            ::poll(&pf, 1, slice_ms(now, deadline));
            flags = MSG_DONTWAIT;
        }
    }
}

void TcpLink::fail_recv(ssize_t n, int e) {
    if (state_.load(std::memory_order_relaxed) != kOpen) fail_closed();
    if (n == 0)
        fail(LinkError::kConnection,
             label_ + " closed the connection while waiting for " + reply_context());
    if (e == ECONNRESET)
        fail(LinkError::kConnection, "connection to " + label_ +
                                         " was reset while waiting for " + reply_context());
    fail(LinkError::kConnection, "receiving " + reply_context() + " from " + label_ +
                                     " failed: " + errno_text(e));
}

void TcpLink::fail_timeout(double seconds, bool sending) {
    if (state_.load(std::memory_order_relaxed) != kOpen) fail_closed();
    if (sending)
        fail(LinkError::kTimeout, "could not send " + std::string(last_cmd_) + " to " + label_ +
                                      " within " + seconds_text(seconds) +
                                      " s (the device is not reading)");
    std::string to = last_cmd_[0] ? std::string(" to ") + last_cmd_ : std::string();
    std::string within = " within " + seconds_text(seconds) + " s";
    if (end_ == begin_) fail(LinkError::kTimeout, "no reply from " + label_ + to + within);
    fail(LinkError::kTimeout, "incomplete reply from " + label_ + to + within + " (" +
                                  std::to_string(end_ - begin_) + " bytes received)");
}

std::string_view TcpLink::read_reply(Guard& g, Clock::time_point deadline, double seconds) {
    std::string_view reply;
    while (!parse_reply(reply)) fill(g, deadline, seconds);
    return reply;
}

bool TcpLink::parse_reply(std::string_view& out) {
    const size_t have = end_ - begin_;
    if (have == 0) return false;
    if (scan_ == Scan::kStart) {
        fed_ = scanned_ = 0;
        scan_ = Scan::kLine;
        if (buf_[begin_] == proto::kBlockMark) {
            block_.reset();
            scan_ = Scan::kBlock;
        }
    }

    // A definite-length block: its header says how many bytes follow, and
    // they may hold CR LF. The parser judges each header byte as it arrives,
    // so an oversized length is refused before the buffer grows for it; a
    // '#' that starts no valid header starts a line.
    if (scan_ == Scan::kBlock) {
        using Status = proto::BlockParser::Status;
        using Error = proto::BlockParser::Error;
        fed_ += block_.feed(buf_.get() + begin_ + fed_, have - fed_);
        if (block_.status() == Status::kNeedMore) return false;
        if (block_.status() == Status::kDone) {
            out = {buf_.get() + begin_, fed_};
            begin_ += fed_;
            scan_ = Scan::kStart;
            return true;
        }
        if (block_.error() == Error::kTooLong)
            fail(LinkError::kConnection, "reply from " + label_ + " to " + last_cmd_ +
                                             " announces a block of more than the limit of " +
                                             std::to_string(kMaxReply) + " bytes");
        if (block_.error() == Error::kBadTerminator)
            fail(LinkError::kConnection, "malformed reply from " + label_ + " to " + last_cmd_ +
                                             ": its block of " + std::to_string(block_.length()) +
                                             " bytes is not followed by CR LF");
        scan_ = Scan::kLine;
    }

    // A line up to its CR LF.
    const char* p = buf_.get() + begin_;
    const char* q = p + scanned_;
    const char* e = buf_.get() + end_;
    const char* crlf = nullptr;
    while (q < e) {
        auto* cr = static_cast<const char*>(std::memchr(q, '\r', static_cast<size_t>(e - q)));
        if (!cr) {
            q = e;
        } else if (cr + 1 == e) {
            q = cr;  // the LF may come with the next segment
            break;
        } else if (cr[1] == '\n') {
            crlf = q = cr;
            break;
        } else {
            q = cr + 1;
        }
    }
    scanned_ = static_cast<size_t>(q - p);
    if (scanned_ > kMaxReply)
        fail(LinkError::kConnection, "reply from " + label_ + " to " + last_cmd_ +
                                         " is longer than " + std::to_string(kMaxReply) +
                                         " bytes");
    if (!crlf) return false;
    out = {p, scanned_ + 2};
    begin_ += scanned_ + 2;
    scan_ = Scan::kStart;
    return true;
}

std::string_view TcpLink::take_tail(size_t limit) {
    const char* p = buf_.get() + begin_;
    size_t n = std::min(tail_, limit);
    begin_ += n;
    tail_ -= n;
    return {p, n};
}

std::string_view TcpLink::command(Guard& g, const char* data, size_t size) {
    require_open();
    note_command(data, size);
    const double seconds = last_slow_ ? slow_timeout_ : timeout_;
    const auto deadline = deadline_after(seconds);
    send_all(g, data, size, deadline, seconds);
    if (tail_ > 0) {  // the rest of a cut reply is the next reply in the stream
        std::string_view rest = take_tail(tail_);
        rest.remove_suffix(std::min<size_t>(rest.size(), 2));  // its CR LF, or what is left of it
        return rest;
    }
    std::string_view reply = read_reply(g, deadline, seconds);
    reply.remove_suffix(2);  // CR LF
    return reply;
}

void TcpLink::send_raw(Guard& g, const char* data, size_t size) {
    require_open();
    note_command(data, size);
    const double seconds = last_slow_ ? slow_timeout_ : timeout_;
    send_all(g, data, size, deadline_after(seconds), seconds);
}

std::string_view TcpLink::recv_reply(Guard& g, size_t limit) {
    require_open();
    if (tail_ > 0) return take_tail(limit);
    const double seconds = last_slow_ ? slow_timeout_ : timeout_;
    std::string_view reply = read_reply(g, deadline_after(seconds), seconds);
    if (reply.size() > limit) {  // keep the rest where it is, for the next read
        tail_ = reply.size() - limit;
        begin_ -= tail_;
        reply.remove_suffix(tail_);
    }
    return reply;
}

}  // namespace qvcore

// --- driven from an event loop ----------------------------------------------

namespace qvcore {

int TcpLink::loan_fd() {
    require_open();
    return fd_;
}

double TcpLink::start_command(const char* data, size_t size) {
    require_open();
    note_command(data, size);
    return last_slow_ ? slow_timeout_ : timeout_;
}

size_t TcpLink::send_nowait(const char* data, size_t size) {
    require_open();
    for (;;) {
        ssize_t k = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k >= 0) return static_cast<size_t>(k);
        int e = errno;
        if (e == EINTR) continue;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            if (state_.load(std::memory_order_relaxed) != kOpen) fail_closed();
            return 0;
        }
        fail_send(e);
    }
}

bool TcpLink::recv_nowait() {
    require_open();
    make_room();
    for (;;) {
        ssize_t n = ::recv(fd_, buf_.get() + end_, cap_ - end_, MSG_DONTWAIT);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            return true;
        }
        int e = n == 0 ? 0 : errno;
        if (n < 0 && e == EINTR) continue;
        if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK)) {
            if (state_.load(std::memory_order_relaxed) != kOpen) fail_closed();
            return false;
        }
        fail_recv(n, e);
    }
}

bool TcpLink::take_reply(bool line, size_t limit, std::string_view& out) {
    if (tail_ > 0) {  // the rest of a cut reply is the next reply in the stream
        out = take_tail(line ? tail_ : limit);
        if (line) out.remove_suffix(std::min<size_t>(out.size(), 2));
        return true;
    }
    if (!parse_reply(out)) return false;
    if (line) {
        out.remove_suffix(2);  // CR LF
    } else if (out.size() > limit) {  // keep the rest where it is, for the next read
        tail_ = out.size() - limit;
        begin_ -= tail_;
        out.remove_suffix(tail_);
    }
    return true;
}

}  // namespace qvcore
