// Argument fields in, reply text out: what the device model makes of a
// command's argument ("TX,3,1,5,-4") and how it writes values back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "emu_parser.h"

namespace qvcore {
namespace emu {

// One field of an argument, pointing into the receive buffer.
struct Field {
    const char* p;
    size_t n;
    bool is(const char* s) const;
    bool is_nocase(const char* s) const;
};

// The comma-separated fields of the argument, each trimmed of blanks;
// false when there are not exactly `count` of them.
bool split_fields(const EmuCommand& c, Field* out, size_t count);
// True when the command has no argument, or a blank one.
bool no_argument(const EmuCommand& c);
// The whole argument, trimmed (empty when there is none).
Field the_argument(const EmuCommand& c);

// Each is false for a field that is not exactly one such value.
bool to_int(Field f, int64_t& v);      // decimal, optional sign
bool to_double(Field f, double& v);    // finite
bool to_flag(Field f, bool& v);        // 1|0|true|false
bool to_rf_mode(Field f, int& m);      // TX|RX|0|1 -> 0|1
bool to_beam_id(Field f, int64_t& id); // an int >= 0

void put_int(std::string& out, int64_t v);
void put_double(std::string& out, double v);  // the shortest text that reads back the same
void put_json_string(std::string& out, const std::string& s);

}  // namespace emu
}  // namespace qvcore
