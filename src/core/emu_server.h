// The emulator's TCP server: the listening socket, one native thread that
// accepts and one per connection, each reading commands with the parser and
// sending the replies its handler makes (held and split as the handler
// says). It knows nothing of the device behind the handler.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "emu_faults.h"
#include "emu_parser.h"

namespace qvcore {

// What answers the commands; called from the connection threads, several
// at once.
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
    // std::system_error when the address cannot be resolved or bound.
    EmuServer(const std::string& host, uint16_t port, EmuHandler& handler);
    ~EmuServer();
    EmuServer(const EmuServer&) = delete;
    EmuServer& operator=(const EmuServer&) = delete;

    // Closes every connection and joins every thread. Idempotent.
    void close();
    bool closed() const;

    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }
    std::string address() const;  // "host:port", "[host]:port" for IPv6

private:
    struct Conn {
        int fd = -1;  // -1 once closed; guarded by conns_mu_
        bool done = false;
        std::thread thread;
    };

    void listen_on(const std::string& h, uint16_t want);
    void release_fds();
    void accept_loop();
    void reap();
    void serve(Conn* conn, int fd, uint64_t number);  // the thread of one connection
    void serve_commands(int fd, uint64_t number);     // its commands, until it ends
    bool reply(int fd, const std::string& out, const EmuAction& a);
    bool pause(std::chrono::nanoseconds d);
    bool pause_seconds(double s);

    EmuHandler& handler_;
    std::string host_;
    uint16_t port_ = 0;
    bool bracket_ = false;  // IPv6 literal: "[host]:port"
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};  // written once to stop the accept thread
    std::thread acceptor_;
    std::mutex stop_mu_;
    std::condition_variable stop_cv_;
    bool stopping_ = false;   // wakes every pause
    mutable std::mutex close_mu_;
    bool closed_ = false;
    std::mutex conns_mu_;
    std::list<std::unique_ptr<Conn>> conns_;
};

}  // namespace qvcore
