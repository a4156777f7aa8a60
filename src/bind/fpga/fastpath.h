// The engine's run of the transfer machine: where nothing of the tool nor
// of its link has been replaced, the transfer goes straight to the TCP link
// instead of through self for every block, with the same commands, progress
// lines, callbacks and log lines; otherwise each command goes through self.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine.h"
#include "fpga.h"
#include "trust.h"

namespace fpga {

// Notes the operations of a class namespace being built (by name) as the
// module's own: the native run is taken only while the tool still finds
// these very objects.
void note_own_operations(nb::dict ns);

struct EngineRun {
    nb::handle self, path;
    const std::string& os_path;
    bool tbin;
    std::string_view erase;  // empty: no erase
    uint64_t max_attempts;
    CheckedRun* checked;  // the update this engine is part of, if any
    long long file_size;  // the size stat gave; a .tbin's image replaces it
    Clocks& clocks;       // the run's clocks
    double start;         // the run's start on clocks.monotonic()
};

// Runs the transfer and returns its verdict: natively while nothing of the
// tool, its operations or its link is replaced, else through self. Raises
// what the path through self raises for the same failure.
bool run_transfer(const EngineRun& run);

}  // namespace fpga
