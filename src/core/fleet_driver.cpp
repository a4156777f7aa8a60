#include "fleet_driver.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace qvcore {

using Clock = FleetDriver::Clock;

namespace {

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

FleetDriver::Job::Job(TcpLink& link, std::string_view erase_selector, uint64_t max_attempts,
                      const uint8_t* image, size_t size, size_t recv_limit, size_t window)
    : link_(link), t_(erase_selector, max_attempts, window), image_(image), size_(size),
      recv_limit_(recv_limit) {
    out_.reserve(t_.window() * Transfer::kMaxCommand);
}

FleetDriver::FleetDriver() {
    intake_task_.run = &FleetDriver::intake;
    intake_task_.arg = this;
    cancel_task_.run = &FleetDriver::cancel_some;
    cancel_task_.arg = this;
    loop_.start();
}

FleetDriver::~FleetDriver() {
    cancel_all_.store(true);
    loop_.post(&intake_task_);  // jobs still queued end as interrupted
    loop_.post(&cancel_task_);
    loop_.stop();
}

void FleetDriver::submit(Job& job) {
    {
        std::lock_guard<std::mutex> l(mu_);
        queued_.push_back(&job);
    }
    loop_.post(&intake_task_);
}

bool FleetDriver::wait(Job& job, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> l(mu_);
    return ended_cv_.wait_for(l, timeout, [&] { return job.ended_; });
}

void FleetDriver::cancel(Job& job) {
    job.cancel_.store(true);
    loop_.post(&cancel_task_);
}

void FleetDriver::cancel_all() {
    cancel_all_.store(true);
    loop_.post(&intake_task_);
    loop_.post(&cancel_task_);
}

// --- the driver's thread ------------------------------------------------------

void FleetDriver::intake(void* self) {
    auto& d = *static_cast<FleetDriver*>(self);
    std::deque<Job*> arrived;
    {
        std::lock_guard<std::mutex> l(d.mu_);
        arrived.swap(d.queued_);
    }
    for (Job* j : arrived) {  // started outside the lock: ending one takes it
        j->driver_ = &d;
        d.active_.insert(j);
        d.start(*j);
    }
}

void FleetDriver::cancel_some(void* self) {
    auto& d = *static_cast<FleetDriver*>(self);
    const bool all = d.cancel_all_.load();
    std::vector<Job*> running(d.active_.begin(), d.active_.end());
    for (Job* j : running)
        if (all || j->cancel_.load()) d.interrupt(*j);
}

void FleetDriver::Job::ready(uint32_t events) { driver_->on_ready(*this, events); }
void FleetDriver::Job::expired() { driver_->on_deadline(*this); }

void FleetDriver::on_ready(Job& j, uint32_t ev) {
    try {
        // Whatever arrived (or the error or end of the stream, which the
        // link turns into its error), then as far as the job can go.
        if (ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) j.link_.recv_nowait();
        advance(j);
    } catch (const LinkError& e) {
        fail(j, e);
    } catch (const std::exception& e) {
        fail(j, LinkError(LinkError::kConnection, e.what()));
    }
}

void FleetDriver::on_deadline(Job& j) {
    try {
        // The deadline moved on since the timer was set: wait for it.
        if (Clock::now() < j.deadline_) return loop_.arm(&j, j.deadline_);
        j.link_.fail_timeout(j.wait_s_, j.out_sent_ < j.out_.size());
    } catch (const LinkError& e) {
        fail(j, e);
    } catch (const std::exception& e) {
        fail(j, LinkError(LinkError::kConnection, e.what()));
    }
}

void FleetDriver::await_reply(Job& j) {
    j.deadline_ = Clock::now() + seconds(j.wait_s_);
    if (j.heap_at == net::kNotArmed || j.deadline_ < j.when) loop_.arm(&j, j.deadline_);
}

void FleetDriver::start(Job& j) {
    // A run cancelled before this job came: nothing at all is sent.
    if (cancel_all_.load() || j.cancel_.load()) return interrupt(j);
    try {
        j.fd_ = j.link_.loan_fd();
        try {
            loop_.watch(j.fd_, &j, EPOLLIN);
        } catch (const std::system_error& e) {
            throw LinkError(LinkError::kConnection,
                            "cannot watch the link to " + j.label() + ": " + e.code().message());
        }
        j.registered_ = true;
        advance(j);
    } catch (const LinkError& e) {
        fail(j, e);
    } catch (const std::exception& e) {
        fail(j, LinkError(LinkError::kConnection, e.what()));
    }
}

// The commands the machine allows go out together, framed one after the
// other; then the replies are taken one by one, in order, each letting
// the machine allow more.
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
        case Step::kAwaitReply:
            // Replies already here first: the commands they let through
            // then go out together.
            if (j.t_.in_flight() > j.out_commands_ && take_reply(j)) continue;
            if (!send_more(j) || !take_reply(j)) return;
            continue;
        case Step::kFinished: return finish(j, End::kFinished);
        case Step::kRefused: return finish(j, End::kRefused);
        case Step::kWindowFallback: return finish(j, End::kWindowFallback);
        case Step::kErase:
            j.stage_.store(Stage::kErase, std::memory_order_release);
            [[fallthrough]];
        default: {  // a command: framed behind those not yet sent
            char cmd[Transfer::kMaxCommand];
            const size_t n = j.t_.frame(cmd, sizeof cmd);
            const bool first = j.t_.in_flight() == 0;
            j.wait_s_ = j.link_.start_command(cmd, n);
            j.out_.append(cmd, n);
            ++j.out_commands_;
            j.t_.mark_sent();
            if (first) await_reply(j);
        }
        }
    }
}

bool FleetDriver::send_more(Job& j) {
    if (j.out_sent_ < j.out_.size()) {
        const size_t k =
            j.link_.send_nowait(j.out_.data() + j.out_sent_, j.out_.size() - j.out_sent_);
        j.out_sent_ += k;
        // Every command is sent, then its reply awaited, each within the time-out.
        if (k && j.out_sent_ == j.out_.size()) await_reply(j);
    }
    const bool all = j.out_sent_ == j.out_.size();
    if (all) {
        j.out_.clear();
        j.out_sent_ = 0;
        j.out_commands_ = 0;
    }
    if (all == j.want_out_) watch(j, !all);
    return all;
}

void FleetDriver::watch(Job& j, bool out) {
    try {
        loop_.modify(j.fd_, &j, EPOLLIN | (out ? EPOLLOUT : 0u));
    } catch (const std::system_error& e) {
        throw LinkError(LinkError::kConnection,
                        "cannot watch the link to " + j.label() + ": " + e.code().message());
    }
    j.want_out_ = out;
}

bool FleetDriver::take_reply(Job& j) {
    using Step = Transfer::Step;
    const Step awaited = j.t_.awaiting();
    std::string_view reply;
    if (!j.link_.take_reply(awaited != Step::kRead, j.recv_limit_, reply)) return false;
    switch (awaited) {
    case Step::kProgram:
        if (j.t_.program_reply(proto::reply_accepted(reply)) == Transfer::Reply::kAccepted)
            j.done_.store(j.t_.sent(), std::memory_order_relaxed);
        break;
    case Step::kRead:
        // The page as the tool takes it from a read reply.
        reply = proto::read_page(reply);
        j.t_.page(reply.data(), reply.size());
        j.done_.store(j.t_.read(), std::memory_order_relaxed);
        break;
    default:
        j.t_.acknowledge();
        break;
    }
    if (j.t_.in_flight() > 0) await_reply(j);  // the next reply, within the time-out
    return true;
}

void FleetDriver::finish(Job& j, End end) {
    if (j.registered_) {
        loop_.unwatch(j.fd_);
        j.registered_ = false;
    }
    loop_.disarm(&j);
    j.end_ = end;
    j.stage_.store(Stage::kEnded, std::memory_order_release);
    active_.erase(&j);
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
    if (j.registered_) loop_.unwatch(j.fd_);
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
    if (j.registered_) loop_.unwatch(j.fd_);
    j.registered_ = false;
    try {
        j.link_.fail_interrupted();
    } catch (const LinkError& e) {
        fail(j, e);
    }
}

}  // namespace qvcore
