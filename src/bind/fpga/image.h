// The image as the engine sends it, the same for the run through self and
// the native run: a .tbin's image range from the file read whole (its copy
// held to the run's checks first), any other file streamed block by block.
#pragma once

#include <string>

#include "filebuf.h"
#include "transfer.h"
#include "trust.h"

namespace fpga {

class ImageSource {
public:
    // `stat_size`: the file's size as stat gave it, a streamed file's size.
    ImageSource(nb::handle path, const std::string& os_path, bool tbin, CheckedRun* run,
                long long stat_size)
        : path_(path), os_path_(os_path), tbin_(tbin), run_(run), size_(stat_size) {}

    // Opens the image (raising what the engine raises for a file it cannot
    // use, told to the run) and returns its size: a .tbin's image range's,
    // else the size stat gave.
    long long open();

    // Hands the transfer its next block (an empty one at the end).
    void next(qvcore::Transfer& t);

    CheckedRun* run() const { return run_; }

private:
    nb::handle path_;
    const std::string& os_path_;
    bool tbin_;
    CheckedRun* run_;
    long long size_;
    qvcore::FileBuffer file_;         // a .tbin, whole
    const uint8_t* image_ = nullptr;  // its image range
    size_t taken_ = 0;
    qvcore::BlockReader reader_;      // any other file, streamed
};

// The device refused one block as often as the run allows: RuntimeError,
// told to `run` as block_refused.
[[noreturn]] void raise_block_refused(CheckedRun* run, const qvcore::Transfer& t);

}  // namespace fpga
