// The link's commands and replies: sending, receiving and finding where a
// reply ends, waited for in slices or driven from an event loop.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link_impl.h"
#include "protocol.h"

namespace qvcore {

using namespace linkimpl;

// --- commands and replies ---------------------------------------------------

double TcpLink::note_command(const char* data, size_t size) {
    const std::string_view command(data, size);
    last_cmd_[proto::shown_word(command, last_cmd_)] = '\0';
    last_slow_ = proto::is_slow_command(command);
    return last_slow_ ? slow_timeout_ : timeout_;
}

std::string TcpLink::said(proto::LinkFailure failure, double seconds, uint64_t count,
                          std::string_view why) const {
    return proto::link_failure(failure, {label_, last_cmd_, seconds, count, why});
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
        fail(LinkError::kConnection, said(proto::LinkFailure::kPeerClosedSending));
    fail(LinkError::kConnection, said(proto::LinkFailure::kSendFailed, 0, 0, errno_text(e)));
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
    if (n == 0) fail(LinkError::kConnection, said(proto::LinkFailure::kPeerClosedWaiting));
    if (e == ECONNRESET) fail(LinkError::kConnection, said(proto::LinkFailure::kResetWaiting));
    fail(LinkError::kConnection, said(proto::LinkFailure::kRecvFailed, 0, 0, errno_text(e)));
}

void TcpLink::fail_timeout(double seconds, bool sending) {
    if (state_.load(std::memory_order_relaxed) != kOpen) fail_closed();
    if (sending) fail(LinkError::kTimeout, said(proto::LinkFailure::kSendTimeout, seconds));
    if (end_ == begin_) fail(LinkError::kTimeout, said(proto::LinkFailure::kNoReply, seconds));
    fail(LinkError::kTimeout, said(proto::LinkFailure::kIncompleteReply, seconds, end_ - begin_));
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
            fail(LinkError::kConnection, said(proto::LinkFailure::kBlockTooLong, 0, kMaxReply));
        if (block_.error() == Error::kBadTerminator)
            fail(LinkError::kConnection,
                 said(proto::LinkFailure::kBadBlockEnd, 0, block_.length()));
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
        fail(LinkError::kConnection, said(proto::LinkFailure::kReplyTooLong, 0, kMaxReply));
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
    const double seconds = note_command(data, size);
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
    const double seconds = note_command(data, size);
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

// --- driven from an event loop ----------------------------------------------

int TcpLink::loan_fd() {
    require_open();
    return fd_;
}

double TcpLink::start_command(const char* data, size_t size) {
    require_open();
    return note_command(data, size);
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
