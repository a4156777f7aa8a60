// The TCP device link: one connection to a device that answers each command
// with one reply ending in CR LF, or with a definite-length block ("#", one
// digit d, d digits of the length n, n bytes, CR LF) read by its length.
//
// Every wait is bounded: connecting, sending and receiving wait in slices of
// at most 100 ms, and between slices ask the caller's interrupt hook whether
// to stop (the Python layer uses it to let Ctrl-C through). A link that fails
// in any way (time-out, peer gone, reply too long, interrupted wait) is
// broken: its socket is closed and every later operation fails with "link to
// HOST:PORT is closed", so a late reply can never answer a later command.
//
// Threads: operations that use the socket run under a per-link lock (Guard),
// taken in slices too. close() may be called from any thread at any time: it
// wakes a thread blocked on the socket with shutdown() and closes the socket
// only once it holds the lock, so no thread ever uses a closed descriptor.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <sys/types.h>

#include "protocol.h"

namespace qvcore {

// The longest reply accepted: a line of more bytes before its CR LF, or a
// block announcing more data bytes, breaks the link.
constexpr size_t kMaxReply = size_t(1) << 20;

// Called between waits of at most kLinkSliceMs. Returns true to abandon the
// wait; the caller then has its own reason (an error) pending.
struct LinkInterrupt {
    bool (*check)(void* ctx) = nullptr;
    void* ctx = nullptr;
    bool operator()() const { return check && check(ctx); }
};

constexpr int kLinkSliceMs = 100;

class LinkError : public std::runtime_error {
public:
    enum Kind { kTimeout, kConnection, kInterrupted };
    LinkError(Kind kind, const std::string& what) : std::runtime_error(what), kind(kind) {}
    Kind kind;
};

class TcpLink {
public:
    using Clock = std::chrono::steady_clock;

    // `host` is a host name or an IPv4/IPv6 address (an IPv6 address may be
    // given in brackets). Timeouts are in seconds, positive and finite.
    TcpLink(std::string host, uint16_t port, double timeout, double slow_timeout);
    ~TcpLink();
    TcpLink(const TcpLink&) = delete;
    TcpLink& operator=(const TcpLink&) = delete;

    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }
    double timeout() const { return timeout_; }
    double slow_timeout() const { return slow_timeout_; }
    // "host:port", "[v6addr]:port": how messages name the device.
    const std::string& label() const { return label_; }
    bool is_open() const { return state_.load(std::memory_order_acquire) == kOpen; }

    // Holds the link's operation lock. Waits for it in slices and throws
    // LinkError(kInterrupted) when the hook says stop (the link stays as it
    // was: nothing was read or written).
    class Guard {
    public:
        Guard(TcpLink& link, LinkInterrupt intr);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        friend class TcpLink;
        TcpLink& link_;
        LinkInterrupt intr_;
    };

    // Connects, closing any earlier connection first and dropping what it
    // had buffered. Tries every address of the host within `timeout` seconds
    // in all. Returns false with the reason in `why` when no address answers
    // (or close() was called meanwhile); throws only LinkError(kInterrupted).
    bool open(Guard& g, std::string& why);

    // Sends `data` as it is and reads one reply. The reply is waited for
    // `timeout` seconds, or `slow_timeout` for a command that starts with
    // "FPGA_ERASE". Returns the reply without its CR LF; the view stays valid
    // until the next operation under a Guard. When recv_reply left the rest
    // of a reply unread, that rest is the next reply in the stream: it is
    // returned (without its CR LF) and the command's own reply is left for
    // the next read.
    std::string_view command(Guard& g, const char* data, size_t size);

    // Sends all of `data` (within `timeout`, or `slow_timeout` for
    // "FPGA_ERASE"); the reply is left to recv_reply.
    void send_raw(Guard& g, const char* data, size_t size);

    // Reads one whole reply, CR LF and block header included, and returns
    // its first `limit` bytes. The rest of a longer reply stays buffered:
    // the next recv_reply returns up to its `limit` bytes of that rest
    // without waiting on the socket, and only once it is all taken are
    // further replies read. No received byte is dropped, and the stream
    // stays in step. Waits as long as the last send_raw's command allows.
    std::string_view recv_reply(Guard& g, size_t limit);

    // Closes the link; any thread, any time, any number of times. May throw
    // LinkError(kInterrupted) while waiting for a busy link's lock; the link
    // is closed anyway, and its holder releases the socket.
    void close(LinkInterrupt intr);

    // --- driven from an event loop ----------------------------------------
    // A driver that waits on many links at once (the fleet driver) works a
    // link through these from its own thread, while the link's owner holds
    // a Guard on it for the whole time. None of them waits. Each fails the
    // link as the blocking operations do, with the same errors; close()
    // from another thread shows as a closed link at the next of them.
    //
    // The socket to wait on; fails when the link is not open.
    int loan_fd();
    // Notes the command about to be sent; returns the seconds its reply may
    // take (timeout, or slow_timeout for FPGA_ERASE).
    double start_command(const char* data, size_t size);
    // Sends what the socket takes of `data` now: the bytes sent, 0 when it
    // takes none.
    size_t send_nowait(const char* data, size_t size);
    // Receives what has arrived; false when nothing had.
    bool recv_nowait();
    // The reply to the command started last, from what has arrived: as
    // command() returns it (`line`), or as recv_reply(limit) does. False
    // while it is incomplete. The view stays valid until the next call.
    bool take_reply(bool line, size_t limit, std::string_view& out);
    // The command started last waited `seconds` in vain: fails the link
    // with the time-out error of a send (`sending`) or of its reply.
    [[noreturn]] void fail_timeout(double seconds, bool sending);
    // The driver gives the link up halfway: it is broken ("interrupted").
    [[noreturn]] void fail_interrupted() { interrupted(); }

private:
    enum State { kIdle, kConnecting, kOpen, kClosed };

    void require_open();
    [[noreturn]] void fail(LinkError::Kind kind, const std::string& what);
    [[noreturn]] void fail_closed();
    [[noreturn]] void interrupted();
    void release_socket();  // under the lock
    // Notes the command going out (its word, as failures show it, and
    // whether it is slow) and returns the time-out its reply is awaited with.
    double note_command(const char* data, size_t size);
    void send_all(Guard& g, const char* data, size_t size, Clock::time_point deadline,
                  double seconds);
    std::string_view read_reply(Guard& g, Clock::time_point deadline, double seconds);
    bool parse_reply(std::string_view& out);  // one whole reply among those buffered
    void make_room();
    [[noreturn]] void fail_send(int e);
    [[noreturn]] void fail_recv(ssize_t n, int e);
    std::string_view take_tail(size_t limit);
    void fill(Guard& g, Clock::time_point deadline, double seconds);
    // The failure worded as every link words it (protocol.h).
    std::string said(proto::LinkFailure failure, double seconds = 0, uint64_t count = 0,
                     std::string_view why = {}) const;
    int connect_one(Guard& g, const void* addr, unsigned addrlen, int family,
                    Clock::time_point deadline, std::string& why);

    const std::string host_;
    const uint16_t port_;
    const double timeout_, slow_timeout_;
    std::string label_;

    std::timed_mutex op_mu_;   // held for a whole operation on the socket
    std::mutex fd_mu_;         // held briefly: fd_ changes, shutdown from close()
    std::atomic<int> state_{kIdle};
    std::atomic<std::thread::id> owner_{};  // the thread holding op_mu_
    int fd_ = -1;

    // Receive buffer: bytes [begin_, end_) are received and not yet consumed.
    // The first tail_ of them are the rest of a reply that recv_reply cut.
    std::unique_ptr<char[]> buf_;
    size_t cap_ = 0, begin_ = 0, end_ = 0, tail_ = 0;
    // How far the reply at begin_ has been looked at: not yet, as a block
    // (the parser has taken fed_ bytes) or as a line (scanned_ bytes hold
    // no CR LF).
    enum class Scan : uint8_t { kStart, kBlock, kLine };
    Scan scan_ = Scan::kStart;
    proto::BlockParser block_{kMaxReply};
    size_t fed_ = 0, scanned_ = 0;

    // The command word of the last command sent, and whether it was a slow one.
    char last_cmd_[proto::kShownWordMax + 1] = {};
    bool last_slow_ = false;
};

}  // namespace qvcore
