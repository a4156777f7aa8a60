// The emulated device: its options, its flash with the program and read
// pointers, its queries, and the state and counters tests read, kept in
// one EmulatorState and one EmulatorCounters updated in place. One command
// at a time: the caller holds the device's mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emu_faults.h"
#include "emu_options.h"
#include "emu_parser.h"
#include "emu_state.h"

namespace qvcore {

class EmuDevice {
public:
    // Throws std::invalid_argument for a flash_size of 0, std::bad_alloc
    // when the flash cannot be had.
    explicit EmuDevice(const EmulatorOptions& options);

    EmulatorOptions options() const;
    // Applies the options of `o` that `changed` names (EmulatorOptionIndex
    // bits); their faults' counting restarts. Fixed options are kept.
    void set_options(const EmulatorOptions& o, uint32_t changed);

    // Counts the command, applies the faults and runs it; `lost`: the
    // parser lost its footing at it. The reply, CR LF included, goes to
    // `out` unless the action is to drop the connection. `conn` is the
    // number of the connection it came on (fault_connections).
    EmuAction answer(const EmuCommand& c, bool lost, std::string& out, uint64_t& rng,
                     uint64_t conn = 0);
    // A connection was accepted: its number, 1 for the first.
    uint64_t connected() {
        ++ctr_.connections;
        return ++connections_made_;
    }

    const EmulatorState& state() const { return st_; }
    const EmulatorCounters& counters() const { return ctr_; }
    void reset_counters() { ctr_ = EmulatorCounters(); }
    // Every command received while record_commands is on, as it arrived.
    const std::vector<std::string>& commands() const { return log_; }
    void clear_commands() { log_.clear(); }
    // The programmed region of the flash: state().programmed_length bytes.
    const uint8_t* flash() const { return flash_.get(); }

private:
    double execute(const EmuCommand& c, std::string& out);
    int program(const EmuCommand& c);
    void read_page(std::string& out);
    void fe_info(std::string& out) const;

    // st_.fpga_version is the running version, the one the fpga_version
    // option sets and FPGA_REFRESH may change; opt_'s copy is not read.
    EmulatorOptions opt_;
    EmulatorState st_;
    EmulatorCounters ctr_;
    std::vector<std::string> log_;
    EmuFaults faults_;
    bool faulty_ = true;  // the command being answered is open to the faults
    uint64_t connections_made_ = 0;  // never reset, unlike the counters
    uint64_t fault_conn_base_ = 0;   // connections made before fault_connections was set
    // Bytes past st_.programmed_length read as erased (0xFF), whatever they hold.
    std::unique_ptr<uint8_t[]> flash_;
};

}  // namespace qvcore
