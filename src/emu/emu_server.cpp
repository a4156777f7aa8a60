// The emulator's TCP server; see emu_server.h.
//
// The pieces: the Pool is the process's few event loops (net/event_loop.h),
// started with the first server and stopped with the last; a Site is one
// server as its loop sees it, its listening socket and its connections; a Conn is one connection, a small state
// machine: read a command, answer it, hold the reply, send it (in segments,
// paused between), read the next.
//
// Sockets are edge-triggered: a Conn remembers that its socket may have
// bytes to read or room to write and tries until the kernel says EAGAIN.
// Everything a Site owns is touched only on its loop's thread.
#include "emu_server.h"

#include "net/event_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <system_error>
#include <thread>
#include <vector>

namespace qvcore {

namespace {

using net::Clock;
using net::kNotArmed;
using net::Polled;
using net::Task;

// An event loop and the servers it serves.
struct Loop : net::EventLoop {
    size_t sites = 0;  // guarded by the pool's mutex
};

// Edge-triggered: a connection tries until the kernel says EAGAIN.
constexpr uint32_t kSocketEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

constexpr auto kSplitPause = std::chrono::milliseconds(2);
constexpr auto kAcceptBackOff = std::chrono::milliseconds(20);
constexpr double kLongestHold = 1e6;  // seconds
// Commands one connection may have answered before the others get a turn.
constexpr int kTurn = 16;
constexpr int kMaxLoops = 2;
// Replies a connection may have queued before it reads no further.
constexpr size_t kMostPending = 4096;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// The process's event loops: started with the first server, stopped with
// the last, so a process that has none runs no threads.
class Pool {
public:
    Loop& acquire() {
        std::lock_guard<std::mutex> lk(mu_);
        if (loops_.empty()) {
            unsigned cores = std::max(1u, std::thread::hardware_concurrency());
            size_t count = std::min<size_t>(kMaxLoops, cores);
            try {
                for (size_t i = 0; i < count; ++i) {
                    loops_.push_back(std::make_unique<Loop>());
                    loops_.back()->start();
                }
            } catch (...) {
                stop_all();
                throw;
            }
        }
        Loop* least = loops_.front().get();
        for (auto& l : loops_)
            if (l->sites < least->sites) least = l.get();
        ++least->sites;
        return *least;
    }

    void release(Loop& loop) {
        std::lock_guard<std::mutex> lk(mu_);
        --loop.sites;
        for (auto& l : loops_)
            if (l->sites) return;
        stop_all();
    }

    // A child of fork() has none of its parent's threads: it starts afresh.
    static Pool& get() {
        static const int registered = ::pthread_atfork(nullptr, nullptr, [] { the = new Pool; });
        (void)registered;
        return *the;
    }

private:
    void stop_all() {
        for (auto& l : loops_) l->stop();
        loops_.clear();
    }

    static Pool* the;
    std::mutex mu_;
    std::vector<std::unique_ptr<Loop>> loops_;
};

Pool* Pool::the = new Pool;  // never destroyed: a server may outlive static destruction

struct Conn;

}  // namespace

struct EmuServer::Site final : Polled {
    Site(Loop& l, EmuHandler& h, int fd) : loop(l), handler(h), listen_fd(fd) {
        shut_task.run = [](void* self) { static_cast<Site*>(self)->shut(); };
        shut_task.arg = this;
    }

    void ready(uint32_t) override {
        if (heap_at == kNotArmed) accept_all();  // not while backing off
    }
    void expired() override { accept_all(); }
    void accept_all() noexcept;
    void advance(Conn& c) noexcept;
    enum class Sent { kWait, kSent, kGone };
    enum class Read { kMore, kWait, kClosed };
    Sent send_out(Conn& c);
    void start_reply(Conn& c, double delay_s, uint64_t split);
    void queue_reply(Conn& c, const EmuAction& a);
    enum class Due { kNone, kTaken, kClosed };
    Due take_due(Conn& c);
    Read read_more(Conn& c);
    void finish(Conn& c) noexcept;
    void shut() noexcept;
    void forsake() noexcept;

    Loop& loop;
    EmuHandler& handler;
    int listen_fd;
    std::list<Conn> conns;
    Task shut_task;
    bool shut_done = false;  // set by the loop (Loop::mark) once the handler is called no more
    Clock::time_point busy_until{};  // the device is at work on a command until then
};

namespace {

enum class Phase {
    kRead,   // parsing, reading when a command is incomplete
    kHold,   // a reply waits for its timer (a delay)
    kSend,   // sending the current segment of the reply
    kPause,  // between two segments of a split reply
};

// A reply waiting for its time to leave; `drop`: the connection closes
// instead, `lost`: it closes after the reply.
struct Pending {
    Clock::time_point due;
    std::string reply;
    uint64_t split;
    bool lost, drop;
};

struct Conn final : Polled {
    Conn(EmuServer::Site& s, int f, uint64_t n)
        : site(s), fd(f), number(n), buf(new char[kEmuBufSize]) {
        rng = 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(fd) << 32) ^
              static_cast<uint64_t>(Clock::now().time_since_epoch().count());
        if (!rng) rng = 1;
        out.reserve(256);
    }

    void ready(uint32_t events) override {
        if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) ended = true;
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) readable = true;
        if (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) writable = true;
        if (phase == Phase::kRead || phase == Phase::kSend) site.advance(*this);
    }
    void expired() override {
        if (phase != Phase::kRead) phase = Phase::kSend;
        site.advance(*this);
    }

    EmuServer::Site& site;
    std::list<Conn>::iterator self;
    int fd;
    uint64_t number;
    uint64_t rng;
    Phase phase = Phase::kRead;
    bool readable = false;  // recv may have bytes: no EAGAIN since the last event
    bool writable = true;   // send may have room
    bool ended = false;     // the peer closed or reset: read until recv says so
    std::unique_ptr<char[]> buf;
    size_t beg = 0, end = 0;  // the unread bytes of buf
    // The reply being held or sent: out[sent, part_end) goes next, the rest
    // in segments of `segment` bytes; then `used` bytes of buf are done.
    std::string out;
    size_t sent = 0, part_end = 0, segment = 0, used = 0;
    bool lost = false;  // the parser lost its footing: close after the reply
    std::deque<Pending> pending;  // replies that leave at their time, in order
    bool eof = false;             // the peer is gone: send what is queued, then close
};

}  // namespace

// Sends what remains of the reply's current segment. kWait: the socket
// has no room; kSent: the reply is out (or a segment of it, and the pause
// before the next is set); kGone: the connection broke.
EmuServer::Site::Sent EmuServer::Site::send_out(Conn& c) {
    while (c.sent < c.part_end) {
        if (!c.writable) return Sent::kWait;
        ssize_t r = ::send(c.fd, c.out.data() + c.sent, c.part_end - c.sent, MSG_NOSIGNAL);
        if (r >= 0) {
            c.sent += static_cast<size_t>(r);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            c.writable = false;
        } else if (errno != EINTR) {
            return Sent::kGone;
        }
    }
    if (c.sent < c.out.size()) {
        c.part_end = std::min(c.out.size(), c.sent + c.segment);
        c.phase = Phase::kPause;
        loop.arm(&c, Clock::now() + kSplitPause);
    }
    return Sent::kSent;
}

// The reply in c.out, as the handler's action says: sent in `split`
// segments, now or after its delay.
void EmuServer::Site::start_reply(Conn& c, double delay_s, uint64_t split) {
    size_t parts = split > 1 ? std::min<size_t>(split, c.out.size()) : 1;
    c.segment = parts > 1 ? (c.out.size() + parts - 1) / parts : c.out.size();
    c.sent = 0;
    c.part_end = c.segment;
    c.phase = Phase::kSend;
    if (delay_s > 0) {
        c.phase = Phase::kHold;
        loop.arm(&c, Clock::now() + seconds(std::min(delay_s, kLongestHold)));
    }
}

// A reply that leaves at its time while the commands behind it are read
// and answered: the device works through the commands one at a time
// (busy_s each, whatever their connection), then the reply takes link_s to
// go. Replies leave in the order of their commands.
void EmuServer::Site::queue_reply(Conn& c, const EmuAction& a) {
    const Clock::time_point now = Clock::now();
    busy_until = std::max(busy_until, now) + seconds(a.busy_s);
    Clock::time_point due = busy_until + seconds(a.link_s + std::min(a.delay_s, kLongestHold));
    if (!c.pending.empty()) due = std::max(due, c.pending.back().due);
    c.pending.push_back({due, a.drop ? std::string() : std::move(c.out), a.split, c.lost, a.drop});
    c.out.clear();
}

// The queued replies that are due go out together (one that is split, or
// after which the connection closes, alone).
EmuServer::Site::Due EmuServer::Site::take_due(Conn& c) {
    const Clock::time_point now = Clock::now();
    c.out.clear();
    uint64_t split = 0;
    while (!c.pending.empty() && c.pending.front().due <= now) {
        Pending& p = c.pending.front();
        if (p.drop) {
            if (!c.out.empty()) break;  // what is due before it goes first
            finish(c);
            return Due::kClosed;
        }
        if (!c.out.empty() && (p.split > 1 || p.lost)) break;
        c.out += p.reply;
        split = p.split;
        c.lost = p.lost;
        c.pending.pop_front();
        if (split > 1 || c.lost) break;
    }
    if (c.out.empty()) return Due::kNone;
    c.used = 0;
    start_reply(c, 0, split);
    return Due::kTaken;
}

// Reads what has arrived. kMore: bytes were added; kWait: none now;
// kClosed: the peer is gone (or closed its side).
EmuServer::Site::Read EmuServer::Site::read_more(Conn& c) {
    if (c.beg) {
        std::memmove(c.buf.get(), c.buf.get() + c.beg, c.end - c.beg);
        c.end -= c.beg;
        c.beg = 0;
    }
    for (;;) {
        if (!c.readable) return Read::kWait;
        size_t room = kEmuBufSize - c.end;
        ssize_t r = ::recv(c.fd, c.buf.get() + c.end, room, 0);
        if (r > 0) {
            c.end += static_cast<size_t>(r);
            // Less than asked for: the socket is empty, and the next byte
            // to come is a new event (unless the peer has closed, which
            // comes as no further event).
            if (static_cast<size_t>(r) < room && !c.ended) c.readable = false;
            return Read::kMore;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            c.readable = false;
            return Read::kWait;
        }
        return Read::kClosed;
    }
}

// Runs the connection until it must wait for its socket or its timer.
// Nothing may escape: a connection whose reply cannot be made, say for
// want of memory, is closed like one that broke.
void EmuServer::Site::advance(Conn& c) noexcept {
    try {
        for (int turn = 0;;) {
            if (c.phase == Phase::kHold || c.phase == Phase::kPause) return;
            if (c.phase == Phase::kSend) {
                Sent sent = send_out(c);
                if (sent == Sent::kGone) return finish(c);
                if (sent == Sent::kWait || c.phase == Phase::kPause) return;
                if (c.lost) return finish(c);
                c.beg += c.used;
                if (c.beg == c.end) c.beg = c.end = 0;
                c.phase = Phase::kRead;
                if (++turn == kTurn) {  // let the others have a go first
                    loop.arm(&c, Clock::now());
                    return;
                }
            }
            if (!c.pending.empty()) {
                Due due = take_due(c);
                if (due == Due::kClosed) return;
                if (due == Due::kTaken) continue;
                if (c.pending.size() >= kMostPending || c.eof) {  // read no further for now
                    loop.arm(&c, c.pending.front().due);
                    return;
                }
            } else if (c.eof) {
                return finish(c);
            }
            EmuCommand cmd;
            size_t used = 0;
            EmuParse st = EmuParse::kNeedMore;
            if (c.end > c.beg)
                st = emu_parse(c.buf.get() + c.beg, c.end - c.beg, c.end - c.beg == kEmuBufSize,
                               cmd, used);
            if (st == EmuParse::kNeedMore) {
                Read r = read_more(c);
                if (r == Read::kMore) continue;
                if (r == Read::kClosed) {
                    if (c.pending.empty()) return finish(c);
                    c.eof = true;  // the replies queued still go
                    continue;
                }
                if (!c.pending.empty()) loop.arm(&c, c.pending.front().due);
                return;
            }
            c.lost = st == EmuParse::kLost;
            c.used = used;
            EmuAction a = handler.answer(cmd, c.lost, c.out, c.rng, c.number);
            if (a.link_s > 0 || a.busy_s > 0 || !c.pending.empty()) {
                queue_reply(c, a);
                c.lost = false;
                c.beg += used;
                continue;
            }
            if (a.drop) return finish(c);
            start_reply(c, a.delay_s, a.split);
        }
    } catch (...) {
        finish(c);
    }
}

void EmuServer::Site::finish(Conn& c) noexcept {
    loop.disarm(&c);
    loop.unwatch(c.fd);
    ::shutdown(c.fd, SHUT_RDWR);
    ::close(c.fd);
    conns.erase(c.self);
}

void EmuServer::Site::accept_all() noexcept {
    for (;;) {
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors or memory: back off rather than spin.
            try {
                loop.arm(this, Clock::now() + kAcceptBackOff);
            } catch (...) {
            }
            return;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Numbered, listed and watched, or closed.
        try {
            uint64_t number = handler.connected();
            conns.emplace_front(*this, fd, number);
            Conn& c = conns.front();
            c.self = conns.begin();
            try {
                loop.watch(fd, &c, kSocketEvents);
            } catch (...) {
                conns.pop_front();
                throw;
            }
        } catch (...) {
            ::close(fd);
        }
    }
}

void EmuServer::Site::shut() noexcept {
    loop.disarm(this);
    loop.unwatch(listen_fd);
    ::close(listen_fd);
    while (!conns.empty()) finish(conns.front());
    loop.mark(shut_done);
}

// In a child of fork(): the sockets are the parent's too, and so is the
// epoll set that watches them. The child lets go of its copies and leaves
// both alone (no shutdown, no EPOLL_CTL_DEL).
void EmuServer::Site::forsake() noexcept {
    ::close(listen_fd);
    for (Conn& c : conns) ::close(c.fd);
    heap_at = kNotArmed;
    for (Conn& c : conns) c.heap_at = kNotArmed;
    conns.clear();
}

EmuServer::EmuServer(const std::string& host, uint16_t port, EmuHandler& handler) {
    listen_on(host, port);
    Loop* loop = nullptr;
    try {
        loop = &Pool::get().acquire();
        site_ = std::make_unique<Site>(*loop, handler, listen_fd_);
        loop->watch(listen_fd_, site_.get(), kSocketEvents);
    } catch (...) {
        site_.reset();
        if (loop) Pool::get().release(*loop);
        ::close(listen_fd_);
        throw;
    }
}

EmuServer::~EmuServer() { close(); }

void EmuServer::close() {
    std::lock_guard<std::mutex> once(close_mu_);
    if (closed_) return;
    closed_ = true;
    Loop& loop = site_->loop;
    if (!loop.here()) {
        site_->forsake();
        site_.reset();
        return;
    }
    loop.post(&site_->shut_task);
    loop.wait_for(site_->shut_done);
    site_.reset();
    Pool::get().release(loop);
}

bool EmuServer::closed() const {
    std::lock_guard<std::mutex> lk(close_mu_);
    return closed_;
}

std::string EmuServer::address() const {
    std::string h = bracket_ ? "[" + host_ + "]" : host_;
    return h + ":" + std::to_string(port_);
}

void EmuServer::listen_on(const std::string& h, uint16_t want) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    std::string service = std::to_string(want);
    int g = ::getaddrinfo(h.empty() ? nullptr : h.c_str(), service.c_str(), &hints, &res);
    std::string where = (h.find(':') != std::string::npos ? "[" + h + "]" : h) + ":" + service;
    if (g != 0) {
        int e = g == EAI_SYSTEM ? errno : EINVAL;
        throw std::system_error(e, std::generic_category(),
                                "cannot resolve " + where + ": " + ::gai_strerror(g));
    }
    int err = EADDRNOTAVAIL;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
            listen_fd_ = fd;
            bracket_ = ai->ai_family == AF_INET6 && h.find(':') != std::string::npos;
            break;
        }
        err = errno;
        ::close(fd);
    }
    ::freeaddrinfo(res);
    if (listen_fd_ < 0)
        throw std::system_error(err, std::generic_category(), "cannot listen on " + where);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    host_ = h;
}

}  // namespace qvcore
