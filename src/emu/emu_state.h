// What the emulated device holds and what it has counted: the values tests
// read. The device model keeps one EmulatorState and one EmulatorCounters
// and updates them in place; Emulator hands out copies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "emu_parser.h"

namespace qvcore {

struct FastBeamGain {
    bool enable = false;
    int64_t com_gain = 0;
    int64_t ele_gain = 0;
};

struct FastBeamPattern {
    double rf_freq = 0, theta = 0, phi = 0;
};

// Gains are kept per RF mode ("TX" is 0, "RX" is 1) and beam.
using GainTable = std::map<std::pair<int, int64_t>, FastBeamGain>;
using PatternTable = std::map<int64_t, FastBeamPattern>;

struct EmulatorState {
    std::string fpga_version;       // the running version; FPGA_REFRESH may change it
    bool initialised = false;
    std::string cfg_mode;
    bool done = false;
    uint64_t refreshed = 0;
    uint64_t erases = 0;
    uint64_t programmed_length = 0;  // flash bytes past it read as erased (0xFF)
    uint64_t program_pointer = 0;
    uint64_t read_pointer = 0;
    int64_t ext_ctrl = 0;
    int64_t ext_mode = 0;
    bool store_enabled = false;
    GainTable stored_gains, applied_gains;
    PatternTable stored_patterns, applied_patterns;
    uint64_t reboots = 0;
};

struct EmulatorCounters {
    std::array<uint64_t, kEmuCommandCount> commands{};  // per kEmuCommandWords
    uint64_t unknown = 0;         // lines with an unknown word
    uint64_t blocks_refused = 0;  // FPGA_PROGRAM answered with anything but "0"
    uint64_t connections = 0;     // connections accepted
    uint64_t pages_read = 0;      // FPGA_READ replies with at least one byte
    uint64_t dropped = 0;         // connections closed by a drop fault or lost footing
};

// "TX" / "RX" for a gain table key.
const char* emu_rf_mode_name(int mode);

}  // namespace qvcore
