// The emulator's TCP server; see emu_server.h.
#include "emu_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace qvcore {

namespace {

constexpr auto kSplitPause = std::chrono::milliseconds(2);

sigset_t block_all_signals() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    return old;
}

bool send_all(int fd, const char* p, size_t n) {
    while (n) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

EmuServer::EmuServer(const std::string& host, uint16_t port, EmuHandler& handler)
    : handler_(handler) {
    try {
        listen_on(host, port);
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe");
        // The serving threads take no signals: they belong to the main thread.
        sigset_t old = block_all_signals();
        try {
            acceptor_ = std::thread([this] { accept_loop(); });
        } catch (...) {
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
            throw;
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    } catch (...) {
        release_fds();
        throw;
    }
}

EmuServer::~EmuServer() { close(); }

void EmuServer::close() {
    std::lock_guard<std::mutex> once(close_mu_);
    if (closed_) return;
    closed_ = true;
    {
        std::lock_guard<std::mutex> lk(stop_mu_);
        stopping_ = true;
    }
    stop_cv_.notify_all();
    if (acceptor_.joinable()) {
        char x = 1;
        ssize_t ignored = ::write(wake_[1], &x, 1);
        (void)ignored;
        acceptor_.join();
    }
    std::list<std::unique_ptr<Conn>> all;
    {
        std::lock_guard<std::mutex> lk(conns_mu_);
        for (auto& c : conns_)
            if (c->fd >= 0) ::shutdown(c->fd, SHUT_RDWR);  // wakes its recv or send
        all.swap(conns_);
    }
    for (auto& c : all) c->thread.join();
    release_fds();
}

bool EmuServer::closed() const {
    std::lock_guard<std::mutex> lk(close_mu_);
    return closed_;
}

std::string EmuServer::address() const {
    std::string h = bracket_ ? "[" + host_ + "]" : host_;
    return h + ":" + std::to_string(port_);
}

// Waits `d` unless the server is closed first; false when closed.
bool EmuServer::pause(std::chrono::nanoseconds d) {
    std::unique_lock<std::mutex> lk(stop_mu_);
    return !stop_cv_.wait_for(lk, d, [this] { return stopping_; });
}

bool EmuServer::pause_seconds(double s) {
    if (!(s > 0)) return true;
    s = std::min(s, 1e6);
    return pause(std::chrono::nanoseconds(static_cast<int64_t>(s * 1e9)));
}

bool EmuServer::reply(int fd, const std::string& out, const EmuAction& a) {
    if (a.delay_s > 0 && !pause_seconds(a.delay_s)) return false;
    size_t parts = a.split > 1 ? std::min<size_t>(a.split, out.size()) : 1;
    if (parts <= 1) return send_all(fd, out.data(), out.size());
    size_t chunk = (out.size() + parts - 1) / parts;
    for (size_t at = 0; at < out.size(); at += chunk) {
        if (at && !pause(kSplitPause)) return false;
        if (!send_all(fd, out.data() + at, std::min(chunk, out.size() - at))) return false;
    }
    return true;
}

// One connection until it ends. Nothing may escape a serving thread (it
// would end the process): a connection whose reply cannot be made, say for
// want of memory, is closed like one that broke.
void EmuServer::serve(Conn* conn, int fd, uint64_t number) {
    try {
        serve_commands(fd, number);
    } catch (...) {
    }
    std::lock_guard<std::mutex> lk(conns_mu_);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    conn->fd = -1;
    conn->done = true;
}

void EmuServer::serve_commands(int fd, uint64_t number) {
    std::unique_ptr<char[]> buf(new char[kEmuBufSize]);
    size_t beg = 0, end = 0;
    std::string out;
    out.reserve(256);
    uint64_t rng = 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(fd) << 32) ^
                   static_cast<uint64_t>(
                       std::chrono::steady_clock::now().time_since_epoch().count());
    if (!rng) rng = 1;
    for (;;) {
        EmuCommand c;
        size_t used = 0;
        EmuParse st = EmuParse::kNeedMore;
        if (end > beg)
            st = emu_parse(buf.get() + beg, end - beg, end - beg == kEmuBufSize, c, used);
        if (st == EmuParse::kNeedMore) {
            if (beg) {
                std::memmove(buf.get(), buf.get() + beg, end - beg);
                end -= beg;
                beg = 0;
            }
            ssize_t r = ::recv(fd, buf.get() + end, kEmuBufSize - end, 0);
            if (r > 0) {
                end += static_cast<size_t>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) continue;
            return;  // peer closed, reset, or the server is closing
        }
        bool lost = st == EmuParse::kLost;
        EmuAction a = handler_.answer(c, lost, out, rng, number);
        if (a.drop || !reply(fd, out, a) || lost) return;
        beg += used;
        if (beg == end) beg = end = 0;
    }
}

void EmuServer::reap() {
    std::list<std::unique_ptr<Conn>> finished;
    {
        std::lock_guard<std::mutex> lk(conns_mu_);
        for (auto it = conns_.begin(); it != conns_.end();) {
            auto next = std::next(it);
            if ((*it)->done) finished.splice(finished.end(), conns_, it);
            it = next;
        }
    }
    for (auto& c : finished) c->thread.join();
}

void EmuServer::accept_loop() {
    for (;;) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int r = ::poll(p, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) {
            if (p[0].revents & (POLLERR | POLLNVAL)) return;
            continue;
        }
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            // Out of descriptors or memory: back off rather than spin.
            if (!pause(std::chrono::milliseconds(20))) return;
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        reap();
        uint64_t number = handler_.connected();
        // Listed before its thread starts, so that a listed connection
        // always has its thread; one that cannot have both is closed.
        try {
            std::lock_guard<std::mutex> lk(conns_mu_);
            conns_.push_back(std::make_unique<Conn>());
            Conn* raw = conns_.back().get();
            raw->fd = fd;
            try {
                raw->thread = std::thread([this, raw, fd, number] { serve(raw, fd, number); });
            } catch (...) {
                conns_.pop_back();
                throw;
            }
        } catch (...) {
            ::close(fd);
        }
    }
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
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
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

void EmuServer::release_fds() {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    for (int& w : wake_)
        if (w >= 0) ::close(w), w = -1;
    listen_fd_ = -1;
}

}  // namespace qvcore
