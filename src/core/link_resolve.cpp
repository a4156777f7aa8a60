// Finding the addresses of a device's host, within the link's deadline.
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "link_impl.h"

namespace qvcore::linkimpl {

namespace {

addrinfo stream_hints(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

// A name lookup on a helper thread, so that the caller's wait stays bounded
// and interruptible (getaddrinfo itself can neither). When the caller gives
// up, the helper frees its own result.
struct Lookup {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false, abandoned = false;
    int rc = 0;
    addrinfo* result = nullptr;
    std::string name, service;
};

// Looks `name` up within `deadline`. `keep_waiting` is asked between
// slices: false gives up (the link was closed); it may throw.
bool lookup(const std::string& name, const std::string& service, Clock::time_point deadline,
            const std::function<bool()>& keep_waiting, AddrList& out, std::string& why) {
    auto st = std::make_shared<Lookup>();
    st->name = name;
    st->service = service;
    try {
        std::thread([st] {
            addrinfo hints = stream_hints(AI_NUMERICSERV);
            addrinfo* res = nullptr;
            int rc = ::getaddrinfo(st->name.c_str(), st->service.c_str(), &hints, &res);
            std::lock_guard<std::mutex> l(st->mu);
            if (st->abandoned) {
                if (res) ::freeaddrinfo(res);
                return;
            }
            st->rc = rc;
            st->result = res;
            st->done = true;
            st->cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: look the name up here, bounded by the resolver alone.
        addrinfo hints = stream_hints(AI_NUMERICSERV);
        int rc = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &out.head);
        if (rc != 0) why = ::gai_strerror(rc);
        return rc == 0;
    }
    struct Abandon {
        Lookup& st;
        ~Abandon() {
            std::lock_guard<std::mutex> l(st.mu);
            if (!st.done) st.abandoned = true;
        }
    } abandon{*st};
    std::unique_lock<std::mutex> l(st->mu);
    while (!st->done) {
        auto now = Clock::now();
        if (now >= deadline) {
            why = "name lookup timed out";
            return false;
        }
        if (st->cv.wait_for(l, std::min<Clock::duration>(deadline - now, kSlice),
                            [&] { return st->done; }))
            break;
        l.unlock();
        bool go_on = keep_waiting();
        l.lock();
        if (!go_on) {
            why = "closed while connecting";
            return false;
        }
    }
    if (st->rc != 0) {
        why = ::gai_strerror(st->rc);
        return false;
    }
    out.head = st->result;
    st->result = nullptr;
    return true;
}

}  // namespace

std::string numeric_host(const addrinfo* ai) {
    char text[NI_MAXHOST];
    if (::getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        return "?";
    return text;
}

bool resolve(const std::string& name, const std::string& service, Clock::time_point deadline,
             const std::function<bool()>& keep_waiting, AddrList& out, std::string& why) {
    addrinfo hints = stream_hints(AI_NUMERICHOST | AI_NUMERICSERV);
    int rc = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &out.head);
    if (rc == 0) return true;
    out.head = nullptr;
    if (rc != EAI_NONAME) {
        why = ::gai_strerror(rc);
        return false;
    }
    return lookup(name, service, deadline, keep_waiting, out, why);
}

}  // namespace qvcore::linkimpl
