// The fleet's native transfer (fleet.cpp), as the engine calls it.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "fpga.h"
#include "trust.h"

namespace fpga {

struct FleetOutcome {
    bool used = false;  // false: the tool's link cannot be lent; nothing was done
    bool verified = false;
    std::string w_digest, r_digest;
    uint64_t refused = 0;
};

// The transfer of the image at `path` (stat'ed as `st`) run on the fleet
// driver of the run's terms, the device's progress passed to
// self.progress_callback on the way and its counts left in the terms.
// Raises what the engine raises for the same failure. Not used (nothing
// done) without a run whose terms name a driver, or for a link that does
// not lend itself.
FleetOutcome fleet_transfer(nb::handle self, CheckedRun* run, nb::handle path,
                            const std::string& os_path, const struct stat& st, bool tbin,
                            std::string_view erase_selector, uint64_t max_attempts);

// Whether `obj` is a _FleetDriver.
bool is_fleet_driver(nb::handle obj);

void add_fleet_driver(nb::module_& m);
void add_terms(nb::module_& m);

}  // namespace fpga
