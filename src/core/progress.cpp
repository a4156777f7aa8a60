#include "progress.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qvcore {
namespace {

template <size_t N>
char* text(char* p, char* end, const char (&s)[N]) {
    if (static_cast<size_t>(end - p) < N - 1) return p;
    std::memcpy(p, s, N - 1);
    return p + N - 1;
}

char* integer(char* p, char* end, unsigned long long v) {
    auto r = std::to_chars(p, end, v);
    return r.ec == std::errc() ? r.ptr : p;
}

// Appends v with `decimals` digits after the point, rounded as printf and
// Python's format() round (correctly, the exact binary value). The fast path
// takes a value that is clearly not near a rounding tie; a value near one,
// or out of range, goes to snprintf.
char* fixed(char* p, char* end, double v, int decimals) {
    static const unsigned long long scale[] = {1, 10, 100, 1000, 10000};
    const double s = v * double(scale[decimals]);
    if (v >= 0 && s < 9e15) {
        const unsigned long long whole = static_cast<unsigned long long>(s);
        const double frac = s - double(whole);
        if (std::fabs(frac - 0.5) > 1e-6 && end - p >= 24) {
            const unsigned long long r = whole + (frac > 0.5 ? 1 : 0);
            p = integer(p, end, r / scale[decimals]);
            if (decimals) {
                *p++ = '.';
                unsigned long long f = r % scale[decimals];
                for (int i = decimals - 1; i >= 0; --i, f /= 10) p[i] = char('0' + f % 10);
                p += decimals;
            }
            return p;
        }
    }
    int n = std::snprintf(p, static_cast<size_t>(end - p), "%.*f", decimals, v);
    return n > 0 && n < end - p ? p + n : p;
}

char* integer_signed(char* p, char* end, long long v) {
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
    p = integer_signed(p, end, done);
    p = text(p, end, "/");
    p = integer_signed(p, end, total);
    p = text(p, end, " bytes), block time: ");
    p = fixed(p, end, elapsed, 4);
    p = text(p, end, " sec");
    *p = '\0';
    return static_cast<int>(p - buf);
}

}  // namespace qvcore
