// Argument fields in, reply text out; see emu_fields.h.
#include "emu_fields.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace qvcore {
namespace emu {

bool Field::is(const char* s) const { return std::strlen(s) == n && std::memcmp(p, s, n) == 0; }

bool Field::is_nocase(const char* s) const {
    if (std::strlen(s) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char a = p[i], b = s[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
        if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
        if (a != b) return false;
    }
    return true;
}

namespace {

Field trim(const char* p, size_t n) {
    while (n && (*p == ' ' || *p == '\t')) ++p, --n;
    while (n && (p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
    return {p, n};
}

}  // namespace

bool split_fields(const EmuCommand& c, Field* out, size_t count) {
    if (!c.has_arg) return false;
    const char* p = c.arg;
    const char* end = c.arg + c.arg_len;
    size_t k = 0;
    for (;;) {
        const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)));
        const char* stop = comma ? comma : end;
        if (k == count) return false;
        out[k++] = trim(p, static_cast<size_t>(stop - p));
        if (!comma) break;
        p = comma + 1;
    }
    return k == count;
}

bool no_argument(const EmuCommand& c) { return !c.has_arg || trim(c.arg, c.arg_len).n == 0; }

Field the_argument(const EmuCommand& c) {
    return c.has_arg ? trim(c.arg, c.arg_len) : Field{c.word, 0};
}

bool to_int(Field f, int64_t& v) {
    if (f.n == 0) return false;
    const char* b = f.p;
    if (*b == '+' && f.n > 1) ++b;
    auto r = std::from_chars(b, f.p + f.n, v);
    return r.ec == std::errc() && r.ptr == f.p + f.n;
}

bool to_double(Field f, double& v) {
    if (f.n == 0) return false;
    const char* b = f.p;
    if (*b == '+' && f.n > 1) ++b;
    auto r = std::from_chars(b, f.p + f.n, v);
    return r.ec == std::errc() && r.ptr == f.p + f.n && std::isfinite(v);
}

bool to_flag(Field f, bool& v) {
    if (f.is("1") || f.is_nocase("true")) return v = true, true;
    if (f.is("0") || f.is_nocase("false")) return v = false, true;
    return false;
}

bool to_rf_mode(Field f, int& m) {
    if (f.is_nocase("TX") || f.is("0")) return m = 0, true;
    if (f.is_nocase("RX") || f.is("1")) return m = 1, true;
    return false;
}

bool to_beam_id(Field f, int64_t& id) { return to_int(f, id) && id >= 0; }

void put_int(std::string& out, int64_t v) {
    char b[24];
    auto r = std::to_chars(b, b + sizeof b, v);
    out.append(b, r.ptr);
}

void put_double(std::string& out, double v) {
    char b[40];
    auto r = std::to_chars(b, b + sizeof b, v);
    out.append(b, r.ptr);
}

void put_json_string(std::string& out, const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    out.push_back('"');
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(ch));
        } else if (ch < 0x20) {
            out.append("\\u00");
            out.push_back(hex[ch >> 4]);
            out.push_back(hex[ch & 15]);
        } else {
            out.push_back(static_cast<char>(ch));
        }
    }
    out.push_back('"');
}

}  // namespace emu
}  // namespace qvcore
