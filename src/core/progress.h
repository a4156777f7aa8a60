// The engine's progress line: "\rProgress: P% (D/T bytes), block time: E sec".
#pragma once

#include <cstddef>

namespace qvcore {

// Writes the line into buf (NUL-terminated, cut to size) and returns its length.
int format_progress(char* buf, size_t size, double percent, long long done, long long total,
                    double elapsed);

}  // namespace qvcore
