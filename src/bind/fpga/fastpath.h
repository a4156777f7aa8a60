// The engine's native run: where nothing of the tool nor of its link has
// been replaced, the transfer goes straight to the TCP link instead of
// through self for every block, with the same commands, progress lines,
// callbacks and log lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fpga.h"
#include "trust.h"

namespace fpga {

// Notes the operations of a class namespace being built (by name) as the
// module's own: the native run is taken only while the tool still finds
// these very objects.
void note_own_operations(nb::dict ns);

struct NativeRun {
    nb::handle self, path;
    const std::string& os_path;
    bool tbin;
    std::string_view erase;  // empty: no erase
    uint64_t max_attempts;
    CheckedRun* checked;  // the update this engine is part of, if any
    long long file_size;  // the size stat gave; a .tbin's image replaces it
    double start;         // the run's start on the module's time.monotonic
};

// Runs the transfer natively and returns its verdict, or nothing (and sends
// nothing) when the tool, one of its operations or its link has been
// replaced. Raises what the path through self raises for the same failure.
std::optional<bool> native_transfer(const NativeRun& run);

}  // namespace fpga
