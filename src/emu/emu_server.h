// The emulator's TCP server: the listening socket and its connections, each
// reading commands with the parser and sending the replies its handler makes
// (held and split as the handler says). It knows nothing of the device
// behind the handler.
//
// Every server of the process is served by a small fixed pool of event
// threads (epoll over non-blocking sockets): a server's accepting and all its
// connections run on one of them. A held reply, the pause between the
// segments of a split one and a back-off after a failed accept are timers,
// never sleeps, so a connection waiting on one holds up no other, and a
// thousand waiting connections cost no threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "emu_faults.h"
#include "emu_parser.h"

namespace qvcore {

// What answers the commands; called from the event threads (two servers'
// handlers may run at once; one server's are called one at a time).
class EmuHandler {
public:
    // A connection was accepted: returns its number (1, 2, ...).
    virtual uint64_t connected() = 0;
    // See EmuDevice::answer; `conn` is the connection's number.
    virtual EmuAction answer(const EmuCommand& c, bool lost, std::string& out, uint64_t& rng,
                             uint64_t conn) = 0;

protected:
    ~EmuHandler() = default;
};

class EmuServer {
public:
    // Binds host:port (port 0: a free one) and starts accepting. Throws
    // std::system_error when the address cannot be resolved or bound, or
    // when no event thread can be had.
    EmuServer(const std::string& host, uint16_t port, EmuHandler& handler);
    ~EmuServer();
    EmuServer(const EmuServer&) = delete;
    EmuServer& operator=(const EmuServer&) = delete;

    // Closes the listening socket and every connection, and returns once
    // the handler is called no more. Idempotent.
    void close();
    bool closed() const;

    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }
    std::string address() const;  // "host:port", "[host]:port" for IPv6

    struct Site;  // what the event thread keeps of this server

private:
    void listen_on(const std::string& h, uint16_t want);

    std::string host_;
    uint16_t port_ = 0;
    bool bracket_ = false;  // IPv6 literal: "[host]:port"
    int listen_fd_ = -1;    // the site's once it is made
    std::unique_ptr<Site> site_;
    mutable std::mutex close_mu_;
    bool closed_ = false;
};

}  // namespace qvcore
