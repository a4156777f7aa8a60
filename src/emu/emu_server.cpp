// The emulator's TCP server; see emu_server.h.
//
// The pieces: a Loop is one event thread with its epoll set, its timer heap
// (behind one timerfd) and a queue of tasks other threads hand it; the Pool
// is the process's few Loops, started with the first server and stopped
// with the last; a Site is one server as its loop sees it, its listening
// socket and its connections; a Conn is one connection, a small state
// machine: read a command, answer it, hold the reply, send it (in segments,
// paused between), read the next.
//
// Sockets are edge-triggered: a Conn remembers that its socket may have
// bytes to read or room to write and tries until the kernel says EAGAIN.
// Everything a Site owns is touched only on its loop's thread.
#include "emu_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <list>
#include <system_error>
#include <thread>
#include <vector>

namespace qvcore {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kSplitPause = std::chrono::milliseconds(2);
constexpr auto kAcceptBackOff = std::chrono::milliseconds(20);
// Timers due this close together fire on one wake-up; none fires early.
constexpr auto kTimerSlack = std::chrono::microseconds(50);
constexpr double kLongestHold = 1e6;  // seconds
// Commands one connection may have answered before the others get a turn.
constexpr int kTurn = 16;
constexpr int kMaxLoops = 2;
constexpr size_t kNotArmed = std::numeric_limits<size_t>::max();

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Something a loop watches: a socket's readiness and one timer.
struct Polled {
    virtual void ready(uint32_t events) = 0;
    virtual void expired() = 0;
    Clock::time_point when{};
    size_t heap_at = kNotArmed;  // its place in the loop's timer heap

protected:
    ~Polled() = default;
};

// Work another thread hands a loop; it runs on the loop's thread.
struct Task {
    void (*run)(void* arg) = nullptr;
    void* arg = nullptr;
    Task* next = nullptr;
};

class Loop {
public:
    Loop();
    ~Loop();
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    void start();
    void stop();  // joins the thread; every site must be gone

    // Watches `fd` for reading and writing, edge-triggered.
    void watch(int fd, Polled* p);
    // Before closing a watched fd: a child process between fork and exec
    // may hold it open, and with it its place in the epoll set.
    void unwatch(int fd) noexcept;
    // Sets p's timer (replacing one already set); may throw std::bad_alloc.
    void arm(Polled* p, Clock::time_point when);
    void disarm(Polled* p) noexcept;
    // Runs `t` on the loop's thread; `t` stays the caller's.
    void post(Task* t) noexcept;
    // For a task's end: sets `flag` and wakes wait_for().
    void mark(bool& flag) noexcept;
    void wait_for(const bool& flag);

    // False in a child of fork(), which has the loop's memory but not its thread.
    bool here() const { return ::getpid() == pid_; }

    size_t sites = 0;  // servers on this loop; guarded by the pool's mutex

private:
    void run() noexcept;
    void run_timers() noexcept;
    void run_tasks() noexcept;
    void set_timerfd() noexcept;
    bool earlier(size_t a, size_t b) const { return heap_[a]->when < heap_[b]->when; }
    void swap_at(size_t a, size_t b) noexcept;
    void sift_up(size_t i) noexcept;
    void sift_down(size_t i) noexcept;

    pid_t pid_ = ::getpid();
    int ep_ = -1, wake_fd_ = -1, timer_fd_ = -1;
    std::thread thread_;
    std::mutex mu_;  // guards head_, tail_ and every flag mark() sets
    std::condition_variable marked_;
    Task* head_ = nullptr;
    Task** tail_ = &head_;
    Task stop_task_;
    bool stopping_ = false;  // the loop thread's own
    std::vector<Polled*> heap_;
    Clock::time_point armed_ = Clock::time_point::max();  // what timer_fd_ is set for
};

Loop::Loop() {
    try {
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (ep_ < 0) fail("epoll_create1");
        wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd_ < 0) fail("eventfd");
        timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        if (timer_fd_ < 0) fail("timerfd_create");
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.ptr = &wake_fd_;
        if (::epoll_ctl(ep_, EPOLL_CTL_ADD, wake_fd_, &e) != 0) fail("epoll_ctl");
        // Edge-triggered and never read: each expiry is one event, and
        // setting the timer clears it.
        e.events = EPOLLIN | EPOLLET;
        e.data.ptr = &timer_fd_;
        if (::epoll_ctl(ep_, EPOLL_CTL_ADD, timer_fd_, &e) != 0) fail("epoll_ctl");
        heap_.reserve(64);
    } catch (...) {
        for (int fd : {ep_, wake_fd_, timer_fd_})
            if (fd >= 0) ::close(fd);
        throw;
    }
    stop_task_.arg = this;
    stop_task_.run = [](void* self) { static_cast<Loop*>(self)->stopping_ = true; };
}

Loop::~Loop() {
    for (int fd : {ep_, wake_fd_, timer_fd_}) ::close(fd);
}

void Loop::start() {
    // The event threads take no signals: they belong to the main thread.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void Loop::stop() {
    if (!thread_.joinable()) return;
    post(&stop_task_);
    thread_.join();
}

void Loop::watch(int fd, Polled* p) {
    epoll_event e{};
    e.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    e.data.ptr = p;
    if (::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e) != 0) fail("epoll_ctl");
}

void Loop::unwatch(int fd) noexcept {
    epoll_event e{};
    ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, &e);
}

void Loop::post(Task* t) noexcept {
    std::lock_guard<std::mutex> lk(mu_);
    t->next = nullptr;
    bool idle = head_ == nullptr;
    *tail_ = t;
    tail_ = &t->next;
    if (idle) {
        uint64_t one = 1;
        ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
        (void)ignored;  // a full counter still wakes the loop
    }
}

void Loop::mark(bool& flag) noexcept {
    {
        std::lock_guard<std::mutex> lk(mu_);
        flag = true;
    }
    marked_.notify_all();
}

void Loop::wait_for(const bool& flag) {
    std::unique_lock<std::mutex> lk(mu_);
    marked_.wait(lk, [&flag] { return flag; });
}

void Loop::swap_at(size_t a, size_t b) noexcept {
    std::swap(heap_[a], heap_[b]);
    heap_[a]->heap_at = a;
    heap_[b]->heap_at = b;
}

void Loop::sift_up(size_t i) noexcept {
    while (i > 0 && earlier(i, (i - 1) / 2)) {
        swap_at(i, (i - 1) / 2);
        i = (i - 1) / 2;
    }
}

void Loop::sift_down(size_t i) noexcept {
    for (;;) {
        size_t least = i, l = 2 * i + 1, r = l + 1;
        if (l < heap_.size() && earlier(l, least)) least = l;
        if (r < heap_.size() && earlier(r, least)) least = r;
        if (least == i) return;
        swap_at(i, least);
        i = least;
    }
}

void Loop::arm(Polled* p, Clock::time_point when) {
    if (p->heap_at == kNotArmed) {
        heap_.push_back(p);  // the only step that can throw
        p->heap_at = heap_.size() - 1;
    }
    p->when = when;
    sift_up(p->heap_at);
    sift_down(p->heap_at);
}

void Loop::disarm(Polled* p) noexcept {
    size_t i = p->heap_at;
    if (i == kNotArmed) return;
    p->heap_at = kNotArmed;
    Polled* last = heap_.back();
    heap_.pop_back();
    if (last == p) return;
    heap_[i] = last;
    last->heap_at = i;
    sift_up(i);
    sift_down(last->heap_at);
}

void Loop::set_timerfd() noexcept {
    Clock::time_point due = heap_.front()->when;
    if (due >= armed_) return;  // it goes off first; the rest are looked at then
    auto at = (due + kTimerSlack).time_since_epoch();
    auto s = std::chrono::duration_cast<std::chrono::seconds>(at);
    itimerspec t{};
    t.it_value.tv_sec = static_cast<time_t>(s.count());
    t.it_value.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(at - s).count());
    if (t.it_value.tv_sec == 0 && t.it_value.tv_nsec == 0) t.it_value.tv_nsec = 1;  // 0 disarms
    if (::timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &t, nullptr) == 0) armed_ = due;
}

void Loop::run_timers() noexcept {
    Clock::time_point now = Clock::now();
    // Only those due now: one that sets its timer again waits for the next round.
    for (size_t n = heap_.size(); n && !heap_.empty() && heap_.front()->when <= now; --n) {
        Polled* p = heap_.front();
        disarm(p);
        p->expired();
    }
}

void Loop::run_tasks() noexcept {
    Task* t;
    {
        std::lock_guard<std::mutex> lk(mu_);
        t = head_;
        head_ = nullptr;
        tail_ = &head_;
    }
    while (t) {
        Task* next = t->next;  // `t` may be gone once it ran
        t->run(t->arg);
        t = next;
    }
}

void Loop::run() noexcept {
    epoll_event events[128];
    while (!stopping_) {
        int timeout = -1;
        if (!heap_.empty()) {
            if (heap_.front()->when <= Clock::now()) timeout = 0;
            else set_timerfd();
        }
        int n = ::epoll_wait(ep_, events, 128, timeout);
        bool tasks = false;
        for (int i = 0; i < n; ++i) {
            void* p = events[i].data.ptr;
            if (p == &wake_fd_) {
                uint64_t count;
                ssize_t ignored = ::read(wake_fd_, &count, sizeof count);
                (void)ignored;
                tasks = true;
            } else if (p == &timer_fd_) {
                armed_ = Clock::time_point::max();
            } else {
                static_cast<Polled*>(p)->ready(events[i].events);
            }
        }
        // Timers and tasks run after the batch: they may close a connection
        // that a later event of the batch would otherwise still name.
        run_timers();
        if (tasks) run_tasks();
    }
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
    void finish(Conn& c) noexcept;
    void shut() noexcept;
    void forsake() noexcept;

    Loop& loop;
    EmuHandler& handler;
    int listen_fd;
    std::list<Conn> conns;
    Task shut_task;
    bool shut_done = false;  // set by the loop (Loop::mark) once the handler is called no more
};

namespace {

enum class Phase {
    kRead,   // parsing, reading when a command is incomplete
    kHold,   // a reply waits for its timer (a delay)
    kSend,   // sending the current segment of the reply
    kPause,  // between two segments of a split reply
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
};

}  // namespace

// Runs the connection until it must wait for its socket or its timer.
// Nothing may escape: a connection whose reply cannot be made, say for
// want of memory, is closed like one that broke.
void EmuServer::Site::advance(Conn& c) noexcept {
    try {
        for (int turn = 0;;) {
            if (c.phase == Phase::kHold || c.phase == Phase::kPause) return;
            if (c.phase == Phase::kSend) {
                while (c.sent < c.part_end) {
                    if (!c.writable) return;
                    ssize_t r =
                        ::send(c.fd, c.out.data() + c.sent, c.part_end - c.sent, MSG_NOSIGNAL);
                    if (r >= 0) {
                        c.sent += static_cast<size_t>(r);
                    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                        c.writable = false;
                    } else if (errno != EINTR) {
                        return finish(c);
                    }
                }
                if (c.sent < c.out.size()) {
                    c.part_end = std::min(c.out.size(), c.sent + c.segment);
                    c.phase = Phase::kPause;
                    loop.arm(&c, Clock::now() + kSplitPause);
                    return;
                }
                if (c.lost) return finish(c);
                c.beg += c.used;
                if (c.beg == c.end) c.beg = c.end = 0;
                c.phase = Phase::kRead;
                if (++turn == kTurn) {  // let the others have a go first
                    loop.arm(&c, Clock::now());
                    return;
                }
            }
            EmuCommand cmd;
            size_t used = 0;
            EmuParse st = EmuParse::kNeedMore;
            if (c.end > c.beg)
                st = emu_parse(c.buf.get() + c.beg, c.end - c.beg, c.end - c.beg == kEmuBufSize,
                               cmd, used);
            if (st == EmuParse::kNeedMore) {
                if (c.beg) {
                    std::memmove(c.buf.get(), c.buf.get() + c.beg, c.end - c.beg);
                    c.end -= c.beg;
                    c.beg = 0;
                }
                if (!c.readable) return;
                size_t room = kEmuBufSize - c.end;
                ssize_t r = ::recv(c.fd, c.buf.get() + c.end, room, 0);
                if (r > 0) {
                    c.end += static_cast<size_t>(r);
                    // Less than asked for: the socket is empty, and the
                    // next byte to come is a new event (unless the peer
                    // has closed, which comes as no further event).
                    if (static_cast<size_t>(r) < room && !c.ended) c.readable = false;
                    continue;
                }
                if (r < 0 && errno == EINTR) continue;
                if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    c.readable = false;
                    return;
                }
                return finish(c);  // peer closed or reset
            }
            c.lost = st == EmuParse::kLost;
            c.used = used;
            EmuAction a = handler.answer(cmd, c.lost, c.out, c.rng, c.number);
            if (a.drop) return finish(c);
            size_t parts = a.split > 1 ? std::min<size_t>(a.split, c.out.size()) : 1;
            c.segment = parts > 1 ? (c.out.size() + parts - 1) / parts : c.out.size();
            c.sent = 0;
            c.part_end = c.segment;
            if (a.delay_s > 0) {
                double s = std::min(a.delay_s, kLongestHold);
                c.phase = Phase::kHold;
                loop.arm(&c, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(s)));
                return;
            }
            c.phase = Phase::kSend;
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
                loop.watch(fd, &c);
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
        loop->watch(listen_fd_, site_.get());
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
