// The emulator's faults: when each fires, counted from the moment its
// option was set. The options say what to do; this keeps the counts.
// Used by the device model, under the device's mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "emu_options.h"
#include "emu_parser.h"

namespace qvcore {

// What the server does with a reply once the device has made it.
struct EmuAction {
    bool drop = false;    // close the connection without answering
    double delay_s = 0;   // hold the reply this long
    // The device's work on the command (one command at a time) and the
    // link's delay after it; with either set, the replies of commands
    // that arrive together overlap on the link instead of waiting for
    // each other.
    double busy_s = 0, link_s = 0;
    uint64_t split = 0;   // send it in this many segments
};

class EmuFaults {
public:
    // Restarts the counting of the faults whose options `changed` names
    // (EmulatorOptionIndex bits).
    void restart(uint32_t changed);

    // A command arrived: true when drop_after or drop_on closes the
    // connection instead of answering it. Each fires once.
    bool drop(const EmulatorOptions& o, const EmuCommand& c);
    // A well-formed program block arrived: true when refuse_every refuses it.
    bool refuse_block(const EmulatorOptions& o);
    // An FPGA_READ page of `len` bytes goes out: corrupt_page flips one of
    // them in the page it names.
    void read_page(const EmulatorOptions& o, char* page, size_t len);
    // The device has answered into `out` (no CR LF yet): adds the delay
    // and the split to `a`, and garbage replaces the reply.
    void answered(const EmulatorOptions& o, EmuAction& a, std::string& out, uint64_t& rng);

private:
    uint64_t blocks_seen_ = 0;    // refuse_every
    uint64_t answered_ = 0;       // drop_after
    bool dropped_after_ = false;  // drop_after has fired
    uint64_t drop_on_seen_ = 0;   // drop_on, drop_on_count
    uint64_t commands_seen_ = 0;  // delay_command
    uint64_t reads_seen_ = 0;     // corrupt_page
};

}  // namespace qvcore
