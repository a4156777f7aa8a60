#include "progress.h"

#include <cstdio>

namespace qvcore {

int format_progress(char* buf, size_t size, double percent, long long done, long long total,
                    double elapsed) {
    int n = std::snprintf(buf, size, "\rProgress: %.2f%% (%lld/%lld bytes), block time: %.4f sec",
                          percent, done, total, elapsed);
    if (n < 0) n = 0;
    if (static_cast<size_t>(n) >= size) n = static_cast<int>(size) - 1;
    return n;
}

}  // namespace qvcore
