// What every run of the page programming engine shares, whichever way its
// commands go (through self, or natively on the link): the clocks it
// reports, its progress lines and callbacks, and its log lines.
#pragma once

#include <time.h>

#include <string>

#include "fpga.h"
#include "transfer.h"

namespace fpga {

// A clock of clock_gettime in seconds, as Python's time functions give it.
double clock_seconds(clockid_t id);

// The clocks the engine reports are Python's: the module's `time`, taken at
// the start of each run, so a caller who fakes time.time or time.monotonic
// is obeyed. While they are the interpreter's own functions the same clocks
// are read here directly (time.time is CLOCK_REALTIME, time.monotonic
// CLOCK_MONOTONIC), without a Python call per block.
class Clocks {
public:
    Clocks();
    double wall() { return native_wall_ ? clock_seconds(CLOCK_REALTIME) : call(wall_); }
    double monotonic() { return native_mono_ ? clock_seconds(CLOCK_MONOTONIC) : call(mono_); }

private:
    static double call(const nb::object& fn);
    nb::object wall_, mono_;
    bool native_wall_ = false, native_mono_ = false;
};

// Progress as the engine gives it: lines on the sys.stdout of the moment
// (flushed at most every 50 ms, and at the end of a stage) and the tool's
// progress callback, read afresh before each report.
class Progress {
public:
    explicit Progress(nb::handle self);

    // The callback's ("write" or "verify", done, total), when one is set.
    void report(bool verify, long long done, long long total);
    void line(long long done, long long total, double elapsed);
    void end_stage() { out("\n", 1, true); }

private:
    void out(const char* text, int n, bool force_flush);
    nb::handle self_;
    nb::object write_, verify_;
    double last_flush_ = 0;
};

// The log lines of the verification: the written image's digest as the
// read-back begins, the read one and the verdict as it ends.
void log_write_digest(const std::string& w_digest);
void log_read_verdict(const std::string& r_digest, bool verified);
// The closing line, with the time since `start` on the run's monotonic clock.
void log_finished(Clocks& clocks, double start);

// A read-back page, as self._fpgaRead returned it, fed to the machine; a
// page that is not bytes is a TypeError.
void feed_page(qvcore::Transfer& t, nb::handle page);

}  // namespace fpga
