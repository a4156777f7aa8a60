// The device emulator: a model of one device that speaks the FPGA and
// fast-beam command protocol, served over TCP with one native thread per
// connection. Several connections share the one device; each command runs
// under the device's mutex. Nothing here touches Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace qvcore {

// Replies other than "0" and the query values. Every line the device
// receives gets exactly one reply, so a client stays in step with it.
namespace emu_reply {
constexpr int kRefused = 1;          // block refused (refuse_every)
constexpr int kUnknown = -1;         // unknown command word (or empty line)
constexpr int kBadArgument = -2;     // missing, extra or malformed argument
constexpr int kBadBlock = -3;        // malformed or oversized program block
constexpr int kPastFlashEnd = -4;    // block would run past the end of flash
constexpr int kStoreDisabled = -5;   // beam store written while not enabled
constexpr int kNotStored = -6;       // query of a beam that is not stored
constexpr int kStoreFull = -7;       // beam table holds too many entries
constexpr int kLostFooting = -8;     // unparseable input; the connection is closed after it
}  // namespace emu_reply

// Every option of the device. Apart from flash_size (fixed at construction)
// each can be changed while the device serves.
struct EmulatorOptions {
    uint64_t flash_size = 32u << 20;

    std::string fpga_id = "0x51A70032";
    std::string fpga_version = "0.2.4.0";  // the running version; FPGA_REFRESH may change it
    std::string fw_version = "0.1.1.0";
    std::string serial = "QVX-EMU-0001";
    bool has_fe_info = false;               // answer fe_info to GET_FE_INFO
    std::string fe_info;
    bool has_version_after_update = false;  // FPGA_DONE + FPGA_REFRESH switch to it
    std::string version_after_update;

    // Faults. 0 means off unless stated. Counting for each starts when it is
    // set; drop_after, drop_on, delay_command and corrupt_page fire once.
    uint64_t refuse_every = 0;           // refuse every Nth program block with "1"
    int64_t drop_after = -1;             // -1 off; else close instead of answering once N were answered
    bool has_drop_on = false;            // close when the drop_on_count-th drop_on command arrives
    std::string drop_on;
    uint64_t drop_on_count = 1;
    uint64_t delay_us = 0;               // delay every reply by this long ...
    uint64_t delay_command = 0;          // ... or, when set, only the Nth command's
    uint64_t split_replies = 0;          // send each reply in N segments
    uint64_t corrupt_page = 0;           // flip a byte in the Nth FPGA_READ page
    bool garbage = false;                // answer random non-UTF-8 bytes
    double erase_seconds = 0.0;          // an erase takes this long
};

// Which options a set_options call changes (its counters restart).
enum EmulatorOption : uint32_t {
    kOptFpgaId = 1u << 0,
    kOptFpgaVersion = 1u << 1,
    kOptFwVersion = 1u << 2,
    kOptSerial = 1u << 3,
    kOptFeInfo = 1u << 4,
    kOptVersionAfterUpdate = 1u << 5,
    kOptRefuseEvery = 1u << 6,
    kOptDropAfter = 1u << 7,
    kOptDropOn = 1u << 8,
    kOptDropOnCount = 1u << 9,
    kOptDelayUs = 1u << 10,
    kOptDelayCommand = 1u << 11,
    kOptSplitReplies = 1u << 12,
    kOptCorruptPage = 1u << 13,
    kOptGarbage = 1u << 14,
    kOptEraseSeconds = 1u << 15,
};

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
    std::string fpga_version;
    bool initialised = false;
    std::string cfg_mode;
    bool done = false;
    uint64_t refreshed = 0;
    uint64_t erases = 0;
    uint64_t programmed_length = 0;
    uint64_t program_pointer = 0;
    uint64_t read_pointer = 0;
    int64_t ext_ctrl = 0;
    int64_t ext_mode = 0;
    bool store_enabled = false;
    GainTable stored_gains, applied_gains;
    PatternTable stored_patterns, applied_patterns;
    uint64_t reboots = 0;
};

// The command words the device knows, in the order of the counters.
constexpr size_t kEmuCommandCount = 24;
extern const std::array<const char*, kEmuCommandCount> kEmuCommandWords;

struct EmulatorCounters {
    std::array<uint64_t, kEmuCommandCount> commands{};  // per kEmuCommandWords
    uint64_t unknown = 0;         // lines with an unknown word
    uint64_t blocks_refused = 0;  // FPGA_PROGRAM answered with anything but "0"
    uint64_t connections = 0;     // connections accepted
    uint64_t pages_read = 0;      // FPGA_READ replies with at least one byte
    uint64_t dropped = 0;         // connections closed by a drop fault or lost footing
};

// The running emulator. The constructor binds host:port (port 0: a free
// one), starts the accept thread and returns; close() (also run by the
// destructor) stops every thread and closes every socket. Thread-safe.
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
    // Applies the fields of `options` named by `changed` (EmulatorOption bits).
    void set_options(const EmulatorOptions& options, uint32_t changed);

    std::string flash() const;              // the programmed region
    std::string flash_digest_hex() const;   // its SHA-256
    EmulatorCounters counters() const;
    void reset_counters();
    EmulatorState state() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// "TX" / "RX" for a gain table key.
const char* emu_rf_mode_name(int mode);

}  // namespace qvcore
