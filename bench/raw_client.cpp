// The baselines of the benchmarks: the smallest clients that run the
// update's command sequence (erase, page pointer reset, 16-byte program
// blocks resent while refused, reset, page reads, done, refresh) with no
// progress output and no digests, and check the pages read back against the
// image. Framing, command words and the reply rule come from
// src/core/protocol.h. Three ways to drive them:
//
//   raw_client HOST PORT IMAGE            one device, blocking (bench/update.py)
//   raw_client --threads HOST IMAGE PORT...   a blocking client per device, one
//                                             thread each, all at once
//   raw_client --epoll HOST IMAGE PORT...     every device from one thread and
//                                             one epoll set
//
// Prints {"wall": s, "cpu": s, "blocks": n, "devices": n, "ok": bool} as
// JSON: wall clock and CPU (user + sys, every thread) of the whole run,
// blocks written over all devices. One device times the sequence alone; the
// fleet modes time from the first connect to the last reply. Every wait for
// a reply gives up after kTimeoutSeconds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"

namespace proto = qvcore::proto;

namespace {

constexpr int kTimeoutSeconds = 30;

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double cpu() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec * 1e-6;
}

[[noreturn]] void die(const char* what, int port) {
    if (errno) std::fprintf(stderr, "raw_client: port %d: %s: %s\n", port, what,
                            std::strerror(errno));
    else std::fprintf(stderr, "raw_client: port %d: %s\n", port, what);
    std::exit(2);
}

// The received bytes of one connection and the replies cut from them.
class Replies {
public:
    // Cuts the next whole reply from the bytes received, without its CR LF;
    // false while it is still incomplete. A block (an FPGA_READ page) is cut
    // by its length, every other reply at its LF. Exits on a malformed block.
    bool next(std::string& out, int port) {
        if (have_ == 0) return false;
        if (buf_[0] == proto::kBlockMark) {
            proto::BlockParser block(sizeof buf_ - proto::kMaxBlockHeader - proto::kEolLen);
            size_t fed = block.feed(buf_, have_);
            if (block.status() == proto::BlockParser::Status::kDone) {
                take(fed, proto::kEolLen, out);
                return true;
            }
            if (block.status() == proto::BlockParser::Status::kNeedMore) return false;
            if (block.error() == proto::BlockParser::Error::kTooLong ||
                block.error() == proto::BlockParser::Error::kBadTerminator) {
                errno = 0;
                die(proto::BlockParser::error_text(block.error()), port);
            }
            // Not a block after all ("#" then text): a line like any other.
        }
        void* p = std::memchr(buf_, '\n', have_);
        if (!p) {
            if (have_ == sizeof buf_) { errno = 0; die("a reply longer than the buffer", port); }
            return false;
        }
        size_t len = static_cast<char*>(p) - buf_ + 1;
        take(len, len >= 2 ? 2 : len, out);
        return true;
    }

    char* space() { return buf_ + have_; }
    size_t room() const { return sizeof buf_ - have_; }
    void received(size_t n) { have_ += n; }

private:
    void take(size_t len, size_t eol, std::string& out) {
        out.assign(buf_, len - eol);
        std::memmove(buf_, buf_ + len, have_ - len);
        have_ -= len;
    }

    char buf_[4096];
    size_t have_ = 0;
};

// The command sequence of one device's update, a command at a time: the
// caller sends command() and hands its reply to reply(), until done().
class Session {
public:
    explicit Session(const std::vector<char>& image) : image_(image) { build(); }

    const std::string& command() const { return cmd_; }
    bool done() const { return step_ == kEnd; }
    size_t blocks() const { return blocks_; }
    bool verified() const { return back_.size() == image_.size() &&
                                   std::equal(back_.begin(), back_.end(), image_.begin()); }

    void reply(const std::string& r) {
        switch (step_) {
            case kErase: step_ = kResetForWrite; break;
            case kResetForWrite: at_ = 0; step_ = kProgram; break;
            case kProgram:
                if (!proto::reply_accepted(r)) return;  // refused: the same block again
                ++blocks_;
                at_ += proto::kPageSize;
                break;
            case kResetForRead: at_ = 0; step_ = kRead; break;
            case kRead:
                if (r.size() >= 4) back_.append(r, 4, std::string::npos);
                at_ += proto::kPageSize;
                break;
            case kDone: step_ = kRefresh; break;
            case kRefresh: step_ = kEnd; break;
            case kEnd: break;
        }
        if (step_ == kProgram && at_ >= image_.size()) step_ = kResetForRead;
        if (step_ == kRead && at_ >= image_.size()) step_ = kDone;
        build();
    }

private:
    enum Step { kErase, kResetForWrite, kProgram, kResetForRead, kRead, kDone, kRefresh, kEnd };

    void build() {
        const std::string sep(1, proto::kArgSeparator);
        cmd_.clear();
        switch (step_) {
            case kErase: cmd_ = proto::kFpgaErase + sep + proto::kErase12; break;
            case kResetForWrite:
            case kResetForRead: cmd_ = proto::kFpgaRstPagePtr + sep + proto::kSectionCfg; break;
            case kProgram: {
                size_t n = std::min(proto::kPageSize, image_.size() - at_);
                char header[proto::kMaxProgramHeader];
                cmd_.assign(header, proto::program_header(n, header, sizeof header));
                cmd_.append(image_.data() + at_, n);
                break;
            }
            case kRead: cmd_ = proto::kFpgaRead; break;
            case kDone: cmd_ = proto::kFpgaDone; break;
            case kRefresh: cmd_ = proto::kFpgaRefresh; break;
            case kEnd: return;
        }
        cmd_ += proto::kEol;
    }

    const std::vector<char>& image_;
    Step step_ = kErase;
    size_t at_ = 0;
    size_t blocks_ = 0;
    std::string cmd_;
    std::string back_;
};

int connect_to(const char* host, int port) {
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    std::string service = std::to_string(port);
    if (getaddrinfo(host, service.c_str(), &hints, &res) != 0) {
        errno = 0;
        die("cannot resolve the host", port);
    }
    int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket", port);
    if (connect(fd, res->ai_addr, res->ai_addrlen) != 0) die("connect", port);
    freeaddrinfo(res);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void send_all(int fd, const std::string& s, int port) {
    for (size_t off = 0; off < s.size();) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) die("send", port);
        off += static_cast<size_t>(n);
    }
}

// One device's whole update over a blocking socket; the blocks written.
size_t run_blocking(int fd, int port, const std::vector<char>& image, bool* ok) {
    timeval tv{kTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Session s(image);
    Replies in;
    std::string r;
    while (!s.done()) {
        send_all(fd, s.command(), port);
        while (!in.next(r, port)) {
            ssize_t n = recv(fd, in.space(), in.room(), 0);
            if (n == 0) { errno = 0; die("the device closed the connection", port); }
            if (n < 0) die(errno == EAGAIN ? "no reply in time" : "recv", port);
            in.received(static_cast<size_t>(n));
        }
        s.reply(r);
    }
    *ok = s.verified();
    return s.blocks();
}

struct Device {
    int port = 0;
    int fd = -1;
    std::unique_ptr<Session> session;
    Replies in;
    std::string out;  // what is still to be sent of the current command
    size_t sent = 0;
};

// Sends what it can of the device's pending command; true when all is sent.
bool flush(Device& d) {
    while (d.sent < d.out.size()) {
        ssize_t n = send(d.fd, d.out.data() + d.sent, d.out.size() - d.sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
        if (n <= 0) die("send", d.port);
        d.sent += static_cast<size_t>(n);
    }
    return true;
}

void watch(int ep, Device& d, int op, bool out) {
    epoll_event ev{};
    ev.events = EPOLLIN | (out ? EPOLLOUT : 0u);
    ev.data.ptr = &d;
    if (epoll_ctl(ep, op, d.fd, &ev) != 0) die("epoll_ctl", d.port);
}

void start_command(int ep, Device& d) {
    d.out = d.session->command();
    d.sent = 0;
    if (!flush(d)) watch(ep, d, EPOLL_CTL_MOD, true);
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 && argv[1][0] == '-' ? argv[1] : "";
    if (mode.empty() ? argc != 4 : (argc < 5 || (mode != "--threads" && mode != "--epoll"))) {
        std::fprintf(stderr, "usage: raw_client HOST PORT IMAGE\n"
                             "       raw_client --threads|--epoll HOST IMAGE PORT...\n");
        return 64;
    }
    const char* host = mode.empty() ? argv[1] : argv[2];
    const char* path = argv[3];  // the image, in either form
    std::vector<int> ports;
    if (mode.empty()) ports.push_back(std::atoi(argv[2]));
    for (int i = 4; !mode.empty() && i < argc; ++i) ports.push_back(std::atoi(argv[i]));
    std::ifstream in(path, std::ios::binary);
    if (!in) { std::fprintf(stderr, "raw_client: cannot read %s\n", path); return 2; }
    const std::vector<char> image((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());

    size_t blocks = 0;
    bool all_ok = true;
    double w0 = 0, c0 = 0;
    if (mode.empty()) {
        int fd = connect_to(host, ports[0]);
        w0 = now(), c0 = cpu();
        blocks = run_blocking(fd, ports[0], image, &all_ok);
        close(fd);
    } else if (mode == "--threads") {
        w0 = now(), c0 = cpu();
        std::vector<size_t> done(ports.size());
        std::vector<char> ok(ports.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < ports.size(); ++i)
            threads.emplace_back([&, i] {
                int fd = connect_to(host, ports[i]);
                bool good = false;
                done[i] = run_blocking(fd, ports[i], image, &good);
                ok[i] = good;
                close(fd);
            });
        for (auto& t : threads) t.join();
        for (size_t i = 0; i < ports.size(); ++i) {
            blocks += done[i];
            all_ok = all_ok && ok[i];
        }
    } else {
        w0 = now(), c0 = cpu();
        int ep = epoll_create1(EPOLL_CLOEXEC);
        if (ep < 0) die("epoll_create1", 0);
        std::vector<Device> devices(ports.size());
        for (size_t i = 0; i < ports.size(); ++i) {
            Device& d = devices[i];
            d.port = ports[i];
            d.fd = connect_to(host, d.port);
            fcntl(d.fd, F_SETFL, fcntl(d.fd, F_GETFL) | O_NONBLOCK);
            d.session = std::make_unique<Session>(image);
            watch(ep, d, EPOLL_CTL_ADD, false);
            start_command(ep, d);
        }
        size_t running = devices.size();
        std::vector<epoll_event> events(std::max<size_t>(devices.size(), 1));
        std::string r;
        while (running > 0) {
            int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()),
                               kTimeoutSeconds * 1000);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) die("epoll_wait", 0);
            if (n == 0) { errno = 0; die("no reply in time from any device", 0); }
            for (int k = 0; k < n; ++k) {
                Device& d = *static_cast<Device*>(events[k].data.ptr);
                if ((events[k].events & EPOLLOUT) && flush(d)) watch(ep, d, EPOLL_CTL_MOD, false);
                if (!(events[k].events & (EPOLLIN | EPOLLERR | EPOLLHUP))) continue;
                for (;;) {
                    ssize_t got = recv(d.fd, d.in.space(), d.in.room(), 0);
                    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                    if (got == 0) { errno = 0; die("the device closed the connection", d.port); }
                    if (got < 0) die("recv", d.port);
                    d.in.received(static_cast<size_t>(got));
                    if (d.in.room() > 0) break;  // a short read: nothing more waiting
                }
                // One command is outstanding at a time: at most one reply is whole.
                if (d.session->done() || !d.in.next(r, d.port)) continue;
                d.session->reply(r);
                if (d.session->done()) {
                    --running;
                    epoll_ctl(ep, EPOLL_CTL_DEL, d.fd, nullptr);
                    close(d.fd);
                } else {
                    start_command(ep, d);
                }
            }
        }
        for (const Device& d : devices) {
            blocks += d.session->blocks();
            all_ok = all_ok && d.session->verified();
        }
        close(ep);
    }
    double w1 = now(), c1 = cpu();
    std::printf("{\"wall\": %.6f, \"cpu\": %.6f, \"blocks\": %zu, \"devices\": %zu, "
                "\"ok\": %s}\n",
                w1 - w0, c1 - c0, blocks, ports.size(), all_ok ? "true" : "false");
    return all_ok ? 0 : 1;
}
