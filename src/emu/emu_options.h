// The emulator's options, declared once. QV_EMULATOR_OPTIONS is the table;
// the EmulatorOptions struct, the option bits, the Python keywords and
// quorvex-emulator's flags are all made from it. Adding an option is one
// line here, plus what it does (the device or the faults).
//
// Columns: name, C++ type, default, least value (ints only), traits,
// group ("device" or "faults"), metavar (nullptr: the flag's own name),
// help (the flag's help text).
//
// The type decides what Python may give: uint64_t an int (None: the
// default), std::optional<uint64_t> an int or None (off), std::string a str,
// std::optional<std::string> a str or None (off), bool a bool, double a
// number of seconds (None: the default). Texts are one line (no CR or LF).
//
// Faults are off at their default. Counting for each starts when it is set;
// drop_after, drop_on, delay_command and corrupt_page fire once.
// fault_connections limits the others (erase_seconds apart) to the first K
// connections made after it was set, so a client that reconnects gets a
// sound device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// clang-format off
#define QV_EMULATOR_OPTIONS(X)                                                                  \
    X(flash_size, uint64_t, 32u << 20, 1, qvcore::kOptFixed, "device", "BYTES",                  \
      "flash size (default 32 MiB)")                                                             \
    X(fpga_id, std::string, "0x51A70032", 0, 0, "device", nullptr, "answer to FPGA_GET_ID")      \
    X(fpga_version, std::string, "0.2.4.0", 0, 0, "device", nullptr, "answer to GET_FPGA_VER")  \
    X(fw_version, std::string, "0.1.1.0", 0, 0, "device", nullptr, "answer to GET_FW_VER")      \
    X(serial, std::string, "QVX-EMU-0001", 0, 0, "device", nullptr, "answer to GET_SN")         \
    X(fe_info, std::optional<std::string>, std::nullopt, 0, 0, "device", "JSON",                \
      "answer to GET_FE_INFO")                                                                   \
    X(version_after_update, std::optional<std::string>, std::nullopt, 0, qvcore::kOptNonEmpty,  \
      "device", "VERSION", "FPGA version reported after FPGA_DONE + FPGA_REFRESH")               \
    X(record_commands, bool, false, 0, 0, "device", nullptr,                                     \
      "keep every command received, as it arrived (commands() returns them)")                   \
    X(latency_us, uint64_t, 0, 0, 0, "device", "N",                                             \
      "the link: each reply leaves N microseconds after its command arrived, "                  \
      "overlapping with the replies of the commands sent behind it")                            \
    X(busy_us, uint64_t, 0, 0, 0, "device", "N",                                                \
      "the device's own work: N microseconds per command, one command at a time")              \
    X(refuse_every, uint64_t, 0, 0, 0, "faults", "N", "refuse every Nth program block")          \
    X(drop_after, std::optional<uint64_t>, std::nullopt, 0, 0, "faults", "N",                   \
      "close the connection instead of answering once N commands were answered")                 \
    X(drop_on, std::optional<std::string>, std::nullopt, 0,                                      \
      qvcore::kOptNonEmpty | qvcore::kOptOneWord, "faults", "WORD",                              \
      "close the connection when this command arrives")                                          \
    X(drop_on_count, uint64_t, 1, 1, 0, "faults", "K", "... on its Kth arrival (default 1)")     \
    X(delay_us, uint64_t, 0, 0, 0, "faults", "N", "delay every reply by N microseconds")        \
    X(delay_command, uint64_t, 0, 0, 0, "faults", "K",                                           \
      "apply --delay-us to the Kth command's reply only")                                        \
    X(split_replies, uint64_t, 0, 0, 0, "faults", "N", "send each reply in N TCP segments")     \
    X(corrupt_page, uint64_t, 0, 0, 0, "faults", "N", "flip a byte in the Nth FPGA_READ page")  \
    X(garbage, bool, false, 0, 0, "faults", nullptr,                                             \
      "answer random non-UTF-8 bytes instead of every reply")                                    \
    X(erase_seconds, double, 0.0, 0, 0, "faults", "S", "an erase takes S seconds")             \
    X(fault_connections, std::optional<uint64_t>, std::nullopt, 1, 0, "faults", "K",            \
      "inject the faults into the first K connections only (counted from when it is set)")
// clang-format on

namespace qvcore {

// Traits of an option (the table's fifth column).
enum EmulatorOptionTrait : unsigned {
    kOptFixed = 1u << 0,     // given only when the emulator is built
    kOptNonEmpty = 1u << 1,  // a text that must not be empty
    kOptOneWord = 1u << 2,   // a text without spaces (a command word)
};

// Every option of the device; the running values of one emulator.
struct EmulatorOptions {
#define QV_EMU_OPTION_FIELD(name, type, dflt, ...) type name = dflt;
    QV_EMULATOR_OPTIONS(QV_EMU_OPTION_FIELD)
#undef QV_EMU_OPTION_FIELD
};

// An option's place in the table; 1 << place is its bit in a set of options.
enum EmulatorOptionIndex : unsigned {
#define QV_EMU_OPTION_INDEX(name, ...) kOpt_##name,
    QV_EMULATOR_OPTIONS(QV_EMU_OPTION_INDEX)
#undef QV_EMU_OPTION_INDEX
    kEmuOptionCount
};
static_assert(kEmuOptionCount <= 32, "option bits are a uint32_t");

constexpr uint32_t emu_option_bit(EmulatorOptionIndex i) { return 1u << i; }

// What the table says about an option apart from its type and default.
struct EmulatorOptionInfo {
    const char* name;
    uint64_t minimum;
    unsigned traits;
    const char* group;
    const char* metavar;
    const char* help;
};

inline constexpr EmulatorOptionInfo kEmulatorOptionInfo[kEmuOptionCount] = {
#define QV_EMU_OPTION_INFO(name, type, dflt, minimum, traits, group, metavar, help) \
    {#name, minimum, traits, group, metavar, help},
    QV_EMULATOR_OPTIONS(QV_EMU_OPTION_INFO)
#undef QV_EMU_OPTION_INFO
};

}  // namespace qvcore
