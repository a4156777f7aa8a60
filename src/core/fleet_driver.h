// The fleet driver: the transfers of many devices at once, from one native
// thread waiting on all their sockets (an event loop, net/event_loop.h),
// without Python.
//
// A device's thread prepares its device as usual, then hands its transfer
// over as a Job: the connected TcpLink (the thread holds a Guard on it for
// the whole time), the image and the transfer machine's settings. The
// driver sends each command the machine asks for, takes the reply through
// the link's own non-blocking operations (the same framing, parsing and
// errors as the blocking ones), feeds it back and goes on. With a window
// of 1 the device waits for each reply before its next command, as it
// always does; with a larger one the machine lets several program or read
// commands go out together, and the driver feeds their replies back in
// order. Every wait has the link's time-out (the slow one for the erase),
// counted from the last sign of progress and kept as a timer of the loop. A job that fails ends alone, with its link broken; the
// others go on. The owner waits for its job with wait(), reading its
// progress in between.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "link.h"
#include "net/event_loop.h"
#include "transfer.h"

namespace qvcore {

class FleetDriver {
public:
    using Clock = net::Clock;

    enum class Stage : uint8_t { kQueued, kErase, kWrite, kVerify, kFinish, kEnded };
    enum class End : uint8_t {
        kNone,
        kFinished,     // done and refresh answered; transfer().verified() is the result
        kRefused,      // a block was refused transfer().attempts() times
        kLinkError,    // error_kind, error: the link is broken
        // A block was refused inside the window: the replies in flight were
        // taken and the attempt ends there, the flash erased and partly
        // written (some blocks out of place). Run it again with a window of 1.
        kWindowFallback,
    };

    // One device's transfer. Belongs to the thread that submits it; must
    // outlive the driver's use of it (until wait() returns true).
    class Job final : public net::Polled {
    public:
        // `image`: the bytes to write (held by the owner). `recv_limit`: the
        // most of one read-back reply taken at once (the tool's receive size).
        // `window`: the program or read commands kept in flight (see Transfer).
        Job(TcpLink& link, std::string_view erase_selector, uint64_t max_attempts,
            const uint8_t* image, size_t size, size_t recv_limit, size_t window = 1);

        // Progress, readable at any time from any thread.
        Stage stage() const { return stage_.load(std::memory_order_acquire); }
        uint64_t done() const { return done_.load(std::memory_order_relaxed); }
        uint64_t total() const { return total_.load(std::memory_order_relaxed); }

        // The end, once wait() said it ended.
        End end() const { return end_; }
        LinkError::Kind error_kind() const { return error_kind_; }
        const std::string& error() const { return error_; }
        const Transfer& transfer() const { return t_; }
        const std::string& label() const { return link_.label(); }

    private:
        friend class FleetDriver;
        void ready(uint32_t events) override;  // on the driver's thread
        void expired() override;                // its deadline, perhaps
        FleetDriver* driver_ = nullptr;
        TcpLink& link_;
        Transfer t_;
        const uint8_t* image_;
        size_t size_, taken_ = 0, recv_limit_;
        std::atomic<Stage> stage_{Stage::kQueued};
        std::atomic<uint64_t> done_{0}, total_{0};
        std::atomic<bool> cancel_{false};
        End end_ = End::kNone;
        LinkError::Kind error_kind_ = LinkError::kConnection;
        std::string error_;
        // The commands framed and not yet all sent: out_[out_sent_..), the
        // last out_commands_ of those in flight (their replies cannot be here yet).
        std::string out_;
        size_t out_sent_ = 0, out_commands_ = 0;
        bool want_out_ = false, registered_ = false;
        double wait_s_ = 0;
        Clock::time_point deadline_{};  // of the reply awaited; the timer may be set earlier
        int fd_ = -1;
        bool ended_ = false;  // under the driver's mutex
    };

    // Starts the driver's thread. Throws std::system_error when it cannot.
    FleetDriver();
    // Ends every job still running as interrupted and joins the thread.
    ~FleetDriver();
    FleetDriver(const FleetDriver&) = delete;
    FleetDriver& operator=(const FleetDriver&) = delete;

    void submit(Job& job);
    // Waits up to `timeout` for the job to end; true once it has.
    bool wait(Job& job, std::chrono::milliseconds timeout);
    // Ends the job at once as interrupted (its link broken), or every job,
    // now and later.
    void cancel(Job& job);
    void cancel_all();

private:
    static void intake(void* self);       // a task: starts the jobs submitted
    static void cancel_some(void* self);  // a task: interrupts the jobs cancelled
    void start(Job& j);
    void on_ready(Job& j, uint32_t events);
    void on_deadline(Job& j);
    void advance(Job& j);      // sends commands and takes replies until it must wait
    bool send_more(Job& j);    // false: waiting for room to send
    bool take_reply(Job& j);   // false: waiting for more of the reply
    void await_reply(Job& j);  // the reply's deadline, from now
    void watch(Job& j, bool out);
    void finish(Job& j, End end);
    void fail(Job& j, const LinkError& e);
    void interrupt(Job& j);

    net::EventLoop loop_;
    net::Task intake_task_, cancel_task_;
    std::mutex mu_;
    std::condition_variable ended_cv_;
    std::deque<Job*> queued_;  // under mu_
    std::atomic<bool> cancel_all_{false};
    // The driver thread's own: the jobs running.
    std::unordered_set<Job*> active_;
};

}  // namespace qvcore
