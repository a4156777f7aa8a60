#include "fleet_driver.h"

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace qvcore {

using Clock = FleetDriver::Clock;

namespace {

// How often deadlines are looked at, at most: a time-out fires up to this
// late. It also bounds every epoll wait.
constexpr int kTickMs = 5;
constexpr int kMaxEvents = 256;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

FleetDriver::Job::Job(TcpLink& link, std::string_view erase_selector, uint64_t max_attempts,
                      const uint8_t* image, size_t size, size_t recv_limit)
    : link_(link), t_(erase_selector, max_attempts), image_(image), size_(size),
      recv_limit_(recv_limit) {}

FleetDriver::FleetDriver() {
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) throw std::system_error(errno, std::system_category(), "epoll_create1");
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        int e = errno;
        ::close(epoll_fd_);
        throw std::system_error(e, std::system_category(), "eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev);
    // The driver's thread takes no signals: they belong to the caller's.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        ::close(wake_fd_);
        ::close(epoll_fd_);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

FleetDriver::~FleetDriver() {
    {
        std::lock_guard<std::mutex> l(mu_);
        stop_ = true;
    }
    cancel_all_.store(true);
    wake();
    thread_.join();
    ::close(wake_fd_);
    ::close(epoll_fd_);
}

void FleetDriver::wake() {
    uint64_t one = 1;
    ssize_t r = ::write(wake_fd_, &one, sizeof one);
    (void)r;  // a full counter wakes the loop all the same
}

void FleetDriver::submit(Job& job) {
    {
        std::lock_guard<std::mutex> l(mu_);
        queued_.push_back(&job);
    }
    wake();
}

bool FleetDriver::wait(Job& job, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> l(mu_);
    return ended_cv_.wait_for(l, timeout, [&] { return job.ended_; });
}

void FleetDriver::cancel(Job& job) {
    job.cancel_.store(true);
    cancel_some_.store(true);
    wake();
}

void FleetDriver::cancel_all() {
    cancel_all_.store(true);
    wake();
}

// --- the driver's thread ------------------------------------------------------

std::vector<FleetDriver::Job*> FleetDriver::running() const {
    std::vector<Job*> out;
    out.reserve(active_.size());
    for (const auto& kv : active_) out.push_back(kv.second);
    return out;
}

void FleetDriver::loop() {
    epoll_event events[kMaxEvents];
    std::deque<Job*> arrived;
    auto next_tick = Clock::now();
    for (;;) {
        bool stopping;
        {
            std::lock_guard<std::mutex> l(mu_);
            stopping = stop_;
            arrived.swap(queued_);
        }
        while (!arrived.empty()) {  // started outside the lock: ending one takes it
            Job* j = arrived.front();
            arrived.pop_front();
            j->id_ = next_id_++;
            active_.emplace(j->id_, j);
            start(*j);
        }
        if (cancel_all_.load() || cancel_some_.exchange(false)) {
            const bool all = cancel_all_.load();
            for (Job* j : running())
                if (all || j->cancel_.load()) interrupt(*j);
        }
        if (stopping && active_.empty()) return;

        const int n = ::epoll_wait(epoll_fd_, events, kMaxEvents, active_.empty() ? -1 : kTickMs);
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == 0) {
                uint64_t count;
                ssize_t r = ::read(wake_fd_, &count, sizeof count);
                (void)r;
                continue;
            }
            auto found = active_.find(id);
            if (found == active_.end()) continue;  // a job that has ended
            Job* j = found->second;
            try {
                const uint32_t ev = events[i].events;
                if (ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                    // Whatever arrived (or the error or end of the stream, which
                    // the link turns into its error).
                    j->link_.recv_nowait();
                    if (j->out_sent_ == j->out_len_ && take_reply(*j)) advance(*j);
                } else if (ev & EPOLLOUT) {
                    if (send_more(*j) && take_reply(*j)) advance(*j);
                }
            } catch (const LinkError& e) {
                fail(*j, e);
            } catch (const std::exception& e) {
                fail(*j, LinkError(LinkError::kConnection, e.what()));
            }
        }
        const auto now = Clock::now();
        if (now >= next_tick) {
            check_deadlines(now);
            next_tick = now + std::chrono::milliseconds(kTickMs);
        }
    }
}

void FleetDriver::start(Job& j) {
    // A run cancelled before this job came: nothing at all is sent.
    if (cancel_all_.load() || j.cancel_.load()) return interrupt(j);
    try {
        j.fd_ = j.link_.loan_fd();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = j.id_;
        if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, j.fd_, &ev) < 0)
            throw LinkError(LinkError::kConnection, "cannot watch the link to " + j.label() + ": " +
                                                        std::system_category().message(errno));
        j.registered_ = true;
        advance(j);
    } catch (const LinkError& e) {
        fail(j, e);
    } catch (const std::exception& e) {
        fail(j, LinkError(LinkError::kConnection, e.what()));
    }
}

void FleetDriver::advance(Job& j) {
    using Step = Transfer::Step;
    for (;;) {
        const Step s = j.t_.next();
        switch (s) {
        case Step::kWriteBegin:
            j.total_.store(j.size_, std::memory_order_relaxed);
            j.done_.store(0, std::memory_order_relaxed);
            j.stage_.store(Stage::kWrite, std::memory_order_release);
            continue;
        case Step::kNeedBlock: {
            const size_t n = std::min(proto::kPageSize, j.size_ - j.taken_);
            j.t_.block(j.image_ + j.taken_, n);
            j.taken_ += n;
            continue;
        }
        case Step::kWriteEnd:
            j.total_.store(j.t_.sent(), std::memory_order_relaxed);
            j.done_.store(0, std::memory_order_relaxed);
            j.stage_.store(Stage::kVerify, std::memory_order_release);
            continue;
        case Step::kVerifyEnd:
            j.stage_.store(Stage::kFinish, std::memory_order_release);
            continue;
        case Step::kFinished: return finish(j, End::kFinished);
        case Step::kRefused: return finish(j, End::kRefused);
        case Step::kErase:
            j.stage_.store(Stage::kErase, std::memory_order_release);
            [[fallthrough]];
        default:  // a command: send it, then take its reply
            j.out_len_ = j.t_.frame(j.out_, sizeof j.out_);
            j.out_sent_ = 0;
            j.line_ = s != Step::kRead;
            j.wait_s_ = j.link_.start_command(j.out_, j.out_len_);
            j.deadline_ = Clock::now() + seconds(j.wait_s_);
            if (!send_more(j) || !take_reply(j)) return;
        }
    }
}

bool FleetDriver::send_more(Job& j) {
    j.out_sent_ += j.link_.send_nowait(j.out_ + j.out_sent_, j.out_len_ - j.out_sent_);
    const bool all = j.out_sent_ == j.out_len_;
    // A read is sent, then its reply awaited, each within the time-out.
    if (all && !j.line_) j.deadline_ = Clock::now() + seconds(j.wait_s_);
    if (all == j.want_out_) watch(j, !all);
    return all;
}

void FleetDriver::watch(Job& j, bool out) {
    epoll_event ev{};
    ev.events = EPOLLIN | (out ? EPOLLOUT : 0u);
    ev.data.u64 = j.id_;
    if (::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, j.fd_, &ev) < 0)
        throw LinkError(LinkError::kConnection, "cannot watch the link to " + j.label() + ": " +
                                                    std::system_category().message(errno));
    j.want_out_ = out;
}

bool FleetDriver::take_reply(Job& j) {
    using Step = Transfer::Step;
    std::string_view reply;
    if (!j.link_.take_reply(j.line_, j.recv_limit_, reply)) return false;
    switch (j.t_.next()) {
    case Step::kProgram:
        if (j.t_.program_reply(proto::reply_accepted(reply)) == Transfer::Reply::kAccepted)
            j.done_.store(j.t_.sent(), std::memory_order_relaxed);
        break;
    case Step::kRead:
        // The page as the tool takes it from a read reply: without the
        // "#2nn" header and the CR LF, nothing at all from a reply of six
        // bytes or fewer.
        if (reply.size() > 6) reply = reply.substr(4, reply.size() - 6);
        else reply = {};
        j.t_.page(reply.data(), reply.size());
        j.done_.store(j.t_.read(), std::memory_order_relaxed);
        break;
    default:
        j.t_.acknowledge();
        break;
    }
    return true;
}

void FleetDriver::check_deadlines(Clock::time_point now) {
    for (Job* j : running()) {
        if (now < j->deadline_) continue;
        try {
            j->link_.fail_timeout(j->wait_s_, j->out_sent_ < j->out_len_);
        } catch (const LinkError& e) {
            fail(*j, e);
        }
    }
}

void FleetDriver::finish(Job& j, End end) {
    if (j.registered_) {
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, j.fd_, nullptr);
        j.registered_ = false;
    }
    j.end_ = end;
    j.stage_.store(Stage::kEnded, std::memory_order_release);
    active_.erase(j.id_);
    {
        std::lock_guard<std::mutex> l(mu_);
        j.ended_ = true;
    }
    ended_cv_.notify_all();
}

void FleetDriver::fail(Job& j, const LinkError& e) {
    // The link closed its socket on failing, which took it off the epoll
    // set; a socket that is still open (a failure before it was lent) is
    // the link's to close.
    // (An fd the link closed already has left the set with it; the call
    // then fails harmlessly.)
    if (j.registered_) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, j.fd_, nullptr);
    j.registered_ = false;
    j.error_kind_ = e.kind;
    j.error_ = e.what();
    if (j.link_.is_open()) {  // an error of the driver's own: the link is broken all the same
        try {
            j.link_.fail_interrupted();
        } catch (const LinkError&) {
        }
    }
    finish(j, End::kLinkError);
}

void FleetDriver::interrupt(Job& j) {
    if (j.ended_) return;
    if (j.registered_) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, j.fd_, nullptr);
    j.registered_ = false;
    try {
        j.link_.fail_interrupted();
    } catch (const LinkError& e) {
        fail(j, e);
    }
}

}  // namespace qvcore
