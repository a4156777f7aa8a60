// The device emulator: a model of one device that speaks the FPGA and
// fast-beam command protocol, served over TCP by the event threads that
// every emulator of the process shares (see emu_server.h). Several
// connections share the one device; each command runs under the device's
// mutex. Nothing here touches Python.
//
// The parts, each in its own file: emu_options.h (the options table),
// emu_state.h (what tests read), emu_parser (the wire), emu_fields
// (argument fields and reply text), emu_device (the model), emu_beams (its
// fast-beam commands), emu_faults (the fault counting), emu_server (TCP).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emu_options.h"
#include "emu_parser.h"
#include "emu_state.h"

namespace qvcore {

// The running emulator. The constructor binds host:port (port 0: a free
// one), starts accepting and returns; close() (also run by the destructor)
// closes every socket and returns once the device is answered no more.
// Thread-safe.
class Emulator {
public:
    // Throws std::system_error when the address cannot be resolved or bound,
    // std::invalid_argument for a flash_size of 0.
    Emulator(const std::string& host, uint16_t port, const EmulatorOptions& options);
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    void close();
    bool closed() const;

    const std::string& host() const;
    uint16_t port() const;
    std::string address() const;  // "host:port", "[host]:port" for IPv6

    EmulatorOptions options() const;
    // Applies the fields of `options` named by `changed` (EmulatorOptionIndex
    // bits, see emu_option_bit); the counting of those faults restarts.
    void set_options(const EmulatorOptions& options, uint32_t changed);

    std::string flash() const;              // the programmed region
    std::string flash_digest_hex() const;   // its SHA-256
    EmulatorCounters counters() const;
    void reset_counters();
    EmulatorState state() const;
    // The commands received while record_commands was on, and forgetting them.
    std::vector<std::string> commands() const;
    void clear_commands();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qvcore
