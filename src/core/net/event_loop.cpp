// One event thread; see event_loop.h.
#include "event_loop.h"

#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <system_error>

namespace qvcore::net {

namespace {

// Timers due this close together fire on one wake-up; none fires early.
constexpr auto kTimerSlack = std::chrono::microseconds(50);
constexpr int kMaxEvents = 128;

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

std::thread start_thread(std::function<void()> body) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread t;
    try {
        t = std::thread(std::move(body));
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

EventLoop::EventLoop() : pid_(::getpid()) {
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
    stop_task_.run = [](void* self) { static_cast<EventLoop*>(self)->stopping_ = true; };
}

EventLoop::~EventLoop() {
    for (int fd : {ep_, wake_fd_, timer_fd_}) ::close(fd);
}

void EventLoop::start() { thread_ = start_thread([this] { run(); }); }

void EventLoop::stop() {
    if (!thread_.joinable()) return;
    post(&stop_task_);
    thread_.join();
}

void EventLoop::watch(int fd, Polled* p, uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.ptr = p;
    if (::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e) != 0) fail("epoll_ctl");
}

void EventLoop::modify(int fd, Polled* p, uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.ptr = p;
    if (::epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &e) != 0) fail("epoll_ctl");
}

void EventLoop::unwatch(int fd) noexcept {
    epoll_event e{};
    ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, &e);
}

void EventLoop::post(Task* t) noexcept {
    std::lock_guard<std::mutex> lk(mu_);
    if (t->queued) return;
    t->queued = true;
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

void EventLoop::mark(bool& flag) noexcept {
    {
        std::lock_guard<std::mutex> lk(mu_);
        flag = true;
    }
    marked_.notify_all();
}

void EventLoop::wait_for(const bool& flag) {
    std::unique_lock<std::mutex> lk(mu_);
    marked_.wait(lk, [&flag] { return flag; });
}

void EventLoop::swap_at(size_t a, size_t b) noexcept {
    std::swap(heap_[a], heap_[b]);
    heap_[a]->heap_at = a;
    heap_[b]->heap_at = b;
}

void EventLoop::sift_up(size_t i) noexcept {
    while (i > 0 && earlier(i, (i - 1) / 2)) {
        swap_at(i, (i - 1) / 2);
        i = (i - 1) / 2;
    }
}

void EventLoop::sift_down(size_t i) noexcept {
    for (;;) {
        size_t least = i, l = 2 * i + 1, r = l + 1;
        if (l < heap_.size() && earlier(l, least)) least = l;
        if (r < heap_.size() && earlier(r, least)) least = r;
        if (least == i) return;
        swap_at(i, least);
        i = least;
    }
}

void EventLoop::arm(Polled* p, Clock::time_point when) {
    if (p->heap_at == kNotArmed) {
        heap_.push_back(p);  // the only step that can throw
        p->heap_at = heap_.size() - 1;
    }
    p->when = when;
    sift_up(p->heap_at);
    sift_down(p->heap_at);
}

void EventLoop::disarm(Polled* p) noexcept {
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

void EventLoop::set_timerfd() noexcept {
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

void EventLoop::run_timers() noexcept {
    Clock::time_point now = Clock::now();
    // Only those due now: one that sets its timer again waits for the next round.
    for (size_t n = heap_.size(); n && !heap_.empty() && heap_.front()->when <= now; --n) {
        Polled* p = heap_.front();
        disarm(p);
        p->expired();
    }
}

void EventLoop::run_tasks() noexcept {
    for (;;) {
        Task* t;
        {
            std::lock_guard<std::mutex> lk(mu_);
            t = head_;
            if (!t) return;
            head_ = t->next;
            if (!head_) tail_ = &head_;
            t->queued = false;  // posted again from here on, it runs again
        }
        t->run(t->arg);
        if (stopping_) return;
    }
}

void EventLoop::run() noexcept {
    epoll_event events[kMaxEvents];
    while (!stopping_) {
        int timeout = -1;
        if (!heap_.empty()) {
            if (heap_.front()->when <= Clock::now()) timeout = 0;
            else set_timerfd();
        }
        int n = ::epoll_wait(ep_, events, kMaxEvents, timeout);
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
        run_timers();
        if (tasks) run_tasks();
    }
}

}  // namespace qvcore::net
