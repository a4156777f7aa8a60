#include "progress.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qvcore {
namespace {

// Appends v with `decimals` digits after the point, rounded as printf and
// Python's format() round (correctly, the exact binary value). The fast path
// takes a value that is clearly not near a rounding tie; a value near one,
// or out of range, goes to snprintf.
char* fixed(char* p, char* end, double v, int decimals) {
    static const double scale[] = {1, 10, 100, 1000, 10000};
    double s = v * scale[decimals];
    double fl = std::floor(s);
    if (v >= 0 && s < 9e15 && std::fabs(s - fl - 0.5) > 1e-6) {
        unsigned long long r = static_cast<unsigned long long>(fl) + (s - fl > 0.5 ? 1 : 0);
        char digits[24];
        int n = 0;
        do { digits[n++] = char('0' + r % 10); r /= 10; } while (r || n <= decimals);
        if (end - p < n + 2) return p;
        for (int i = n - 1; i >= 0; --i) {
            *p++ = digits[i];
            if (i == decimals && decimals) *p++ = '.';
        }
        return p;
    }
    int n = std::snprintf(p, static_cast<size_t>(end - p), "%.*f", decimals, v);
    return n > 0 && n < end - p ? p + n : p;
}

char* text(char* p, char* end, const char* s) {
    size_t n = std::strlen(s);
    if (static_cast<size_t>(end - p) < n) return p;
    std::memcpy(p, s, n);
    return p + n;
}

char* integer(char* p, char* end, long long v) {
    auto r = std::to_chars(p, end, v);
    return r.ec == std::errc() ? r.ptr : p;
}

}  // namespace

int format_progress(char* buf, size_t size, double percent, long long done, long long total,
                    double elapsed) {
    if (size == 0) return 0;
    char* p = buf;
    char* end = buf + size - 1;
    p = text(p, end, "\rProgress: ");
    p = fixed(p, end, percent, 2);
    p = text(p, end, "% (");
    p = integer(p, end, done);
    p = text(p, end, "/");
    p = integer(p, end, total);
    p = text(p, end, " bytes), block time: ");
    p = fixed(p, end, elapsed, 4);
    p = text(p, end, " sec");
    *p = '\0';
    return static_cast<int>(p - buf);
}

}  // namespace qvcore
