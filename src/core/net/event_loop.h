// One event thread: an epoll set over non-blocking sockets, a heap of
// timers behind one timerfd, and a queue of tasks that other threads hand
// it. The emulator's server and the fleet driver both run on it.
//
// What the loop watches is a Polled: ready() when its socket is ready,
// expired() when its timer is due. Everything a Polled does runs on the
// loop's thread, which takes no signals (they belong to the threads that
// started it). Timers and tasks run after each batch of socket events, so
// a timer or a task may end something that an event of the same batch
// still names.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace qvcore::net {

using Clock = std::chrono::steady_clock;

constexpr size_t kNotArmed = std::numeric_limits<size_t>::max();

// Starts `body` on a thread of its own with every signal blocked. Throws
// std::system_error when no thread can be had.
std::thread start_thread(std::function<void()> body);

// Something a loop watches: a socket's readiness and one timer.
struct Polled {
    virtual void ready(uint32_t events) = 0;
    virtual void expired() = 0;
    Clock::time_point when{};
    size_t heap_at = kNotArmed;  // its place in the loop's timer heap

protected:
    ~Polled() = default;
};

// Work another thread hands a loop; it runs on the loop's thread. Posting
// a task that is already waiting to run does nothing.
struct Task {
    void (*run)(void* arg) = nullptr;
    void* arg = nullptr;
    Task* next = nullptr;
    bool queued = false;  // under the loop's mutex
};

class EventLoop {
public:
    // Throws std::system_error when the epoll set, the eventfd or the
    // timerfd cannot be had.
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void start();
    // Runs the tasks posted so far, then stops and joins the thread.
    void stop();

    // Watches `fd` for `events` (EPOLLIN, EPOLLOUT, EPOLLET, ...).
    // Throws std::system_error.
    void watch(int fd, Polled* p, uint32_t events);
    void modify(int fd, Polled* p, uint32_t events);
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

private:
    void run() noexcept;
    void run_timers() noexcept;
    void run_tasks() noexcept;
    void set_timerfd() noexcept;
    bool earlier(size_t a, size_t b) const { return heap_[a]->when < heap_[b]->when; }
    void swap_at(size_t a, size_t b) noexcept;
    void sift_up(size_t i) noexcept;
    void sift_down(size_t i) noexcept;

    pid_t pid_;
    int ep_ = -1, wake_fd_ = -1, timer_fd_ = -1;
    std::thread thread_;
    std::mutex mu_;  // guards head_, tail_, every Task's queued and every flag mark() sets
    std::condition_variable marked_;
    Task* head_ = nullptr;
    Task** tail_ = &head_;
    Task stop_task_;
    bool stopping_ = false;  // the loop thread's own
    std::vector<Polled*> heap_;
    Clock::time_point armed_ = Clock::time_point::max();  // what timer_fd_ is set for
};

}  // namespace qvcore::net
