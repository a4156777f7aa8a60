// The image as the engine sends it, and the refusal of a block.
#include "image.h"

#include <algorithm>

#include "protocol.h"
#include "tbinpy.h"

namespace fpga {
namespace {
constexpr size_t kBlockSize = qvcore::proto::kPageSize;
}

long long ImageSource::open() {
    qvcore::OsError err;
    if (!tbin_) {
        refuse_unsigned_raw(run_, path_);
        if (!reader_.open(os_path_, err)) raise_file_error(err, path_, run_);
        return size_;
    }
    bool loaded;
    Py_BEGIN_ALLOW_THREADS loaded = file_.load(os_path_, err);
    Py_END_ALLOW_THREADS
    if (!loaded) raise_file_error(err, path_, run_);
    const ImageSpan span = checked_tbin_image(file_, run_, path_);
    image_ = span.data;
    size_ = static_cast<long long>(span.size);
    return size_;
}

void ImageSource::next(qvcore::Transfer& t) {
    if (tbin_) {
        const size_t n = std::min(kBlockSize, static_cast<size_t>(size_) - taken_);
        t.block(image_ + taken_, n);
        taken_ += n;
        return;
    }
    uint8_t block[kBlockSize];
    qvcore::OsError err;
    long n = reader_.read(block, kBlockSize, err);
    if (n < 0) {
        tell(run_, "os_error", qvtbin::os_failure_text(err.err, path_), err.err);
        qv::raise_os_error(err.err, path_);
    }
    if (n == 0) reader_.close();
    t.block(block, static_cast<size_t>(n));
}

void raise_block_refused(CheckedRun* run, const qvcore::Transfer& t) {
    nb::object text = qv::check(PyUnicode_FromFormat(
        "the device refused the block at offset %llu of the image %llu times; "
        "the flash is left erased and partly written, not marked done",
        static_cast<unsigned long long>(t.block_offset()),
        static_cast<unsigned long long>(t.attempts())));
    tell(run, "block_refused", text);
    PyErr_SetObject(PyExc_RuntimeError, text.ptr());
    throw nb::python_error();
}

}  // namespace fpga
