// What the link's source files share: its buffer sizes, its clock and how
// it finds a host's addresses.
#pragma once

#include <netdb.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <system_error>

#include "link.h"

namespace qvcore::linkimpl {

constexpr size_t kBufferSize = 64 * 1024;
// Room for the longest reply accepted with its block header and CR LF.
constexpr size_t kMaxBuffer = kMaxReply + 64;
constexpr auto kSlice = std::chrono::milliseconds(kLinkSliceMs);
constexpr double kSliceSeconds = kLinkSliceMs / 1000.0;

using Clock = std::chrono::steady_clock;

inline std::string errno_text(int e) { return std::system_category().message(e); }

inline Clock::time_point deadline_after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Milliseconds to wait in one slice: what is left, rounded up, at most a slice.
inline int slice_ms(Clock::time_point now, Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kLinkSliceMs));
}

// --- addresses (link_resolve.cpp) ---------------------------------------------

struct AddrList {
    addrinfo* head = nullptr;
    AddrList() = default;
    AddrList(const AddrList&) = delete;
    AddrList& operator=(const AddrList&) = delete;
    ~AddrList() {
        if (head) ::freeaddrinfo(head);
    }
};

// An address as text ("192.0.2.7", "fe80::1"), "?" when it cannot be told.
std::string numeric_host(const addrinfo* ai);

// The stream addresses of `name` (a host name or an address literal,
// without brackets) at port `service`, within `deadline`. A literal needs no
// lookup; a name is looked up on a helper thread so that the wait stays
// bounded, and `keep_waiting` is asked between slices: false gives up (the
// link was closed); it may throw. False with the reason in `why`.
bool resolve(const std::string& name, const std::string& service, Clock::time_point deadline,
             const std::function<bool()>& keep_waiting, AddrList& out, std::string& why);

}  // namespace qvcore::linkimpl
