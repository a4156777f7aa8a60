// The fleet's native transfer. quorvex.fleet hands each update of a run the
// run's _FleetDriver in its _Terms (terms.cpp); the engine then hands the
// transfer of its update to the driver's thread instead of sending each
// command through self, and waits for it without the GIL, passing the
// device's progress on every 50 ms. Everything before the transfer (the
// checks) and after it (the version read) stays with the tool.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "fleet.h"
#include "fleet_driver.h"
#include "image.h"
#include "tbin.h"

namespace fpga {
namespace {

namespace proto = qvcore::proto;
using qvcore::FleetDriver;

// The longest a device's thread waits between two looks at its progress,
// and between two looks when nobody watches it.
constexpr std::chrono::milliseconds kReportEvery{50};
constexpr std::chrono::milliseconds kQuietWait{1000};

// The ident of the interpreter's main thread, where signal handlers run.
unsigned long main_thread_ident() {
    static const unsigned long ident = [] {
        nb::object t = nb::module_::import_("threading").attr("main_thread")();
        return nb::cast<unsigned long>(t.attr("ident"));
    }();
    return ident;
}

// An image file of the run as it was read: by path and by what stat says
// of it, so that a file replaced or rewritten is read again.
struct ImageEntry {
    std::string path;
    dev_t dev;
    ino_t ino;
    off_t size;
    long long mtime_ns;
    std::shared_ptr<qvcore::FileBuffer> file;
};

long long mtime_ns(const struct stat& st) {
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

}  // namespace

// The driver of one fleet run and the image files its devices share.
class FleetLane {
public:
    explicit FleetLane(size_t window)
        : window_(checked_window(window)), driver_(std::make_shared<FleetDriver>()) {}

    // The program or read commands each transfer keeps in flight.
    size_t window() const { return window_; }

    // Held by each transfer for its whole length: closing the lane never
    // takes the driver from under a device's thread.
    std::shared_ptr<FleetDriver> driver() {
        if (!driver_) qv::raise(PyExc_RuntimeError, "the fleet driver is closed");
        return driver_;
    }

    // The file at `path`, read once per run while it stays the same file.
    // Called without the GIL.
    std::shared_ptr<qvcore::FileBuffer> image(const std::string& path, const struct stat& st,
                                              qvcore::OsError& err) {
        std::lock_guard<std::mutex> l(mu_);
        for (const ImageEntry& e : images_)
            if (e.path == path && e.dev == st.st_dev && e.ino == st.st_ino &&
                e.size == st.st_size && e.mtime_ns == mtime_ns(st))
                return e.file;
        auto file = std::make_shared<qvcore::FileBuffer>();
        if (!file->load(path, err)) return nullptr;
        images_.push_back({path, st.st_dev, st.st_ino, st.st_size, mtime_ns(st), file});
        return file;
    }

    void cancel() {
        if (driver_) driver_->cancel_all();
    }

    // Ends what still runs and stops the thread.
    void close() {
        std::shared_ptr<FleetDriver> d = std::move(driver_);
        if (d) d->cancel_all();
        nb::gil_scoped_release nogil;
        d.reset();
        std::lock_guard<std::mutex> l(mu_);
        images_.clear();
    }

private:
    static size_t checked_window(size_t window) {
        if (window < 1 || window > qvcore::Transfer::kMaxWindow)
            qv::raise(PyExc_ValueError, "window must be 1 to %zu, not %zu",
                      qvcore::Transfer::kMaxWindow, window);
        return window;
    }

    size_t window_;
    std::shared_ptr<FleetDriver> driver_;
    std::mutex mu_;
    std::vector<ImageEntry> images_;
};

namespace {

// QVRFpga._WindowFallback: the end of an attempt whose window met a refused block.
PyObject* window_fallback_type = nullptr;

[[noreturn]] void raise_window_fallback(const qvcore::Transfer& t) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "the device refused the block at offset %llu of the image inside a window of "
                  "%zu; the flash is left erased and partly written, not marked done: run the "
                  "update again with a window of 1",
                  static_cast<unsigned long long>(t.sent()), t.window());
    nb::object e = qv::check(PyObject_CallFunction(window_fallback_type, "s", text));
    e.attr("offset") = nb::int_(static_cast<unsigned long long>(t.sent()));
    e.attr("window") = nb::int_(static_cast<unsigned long long>(t.window()));
    PyErr_SetObject(window_fallback_type, e.ptr());
    throw nb::python_error();
}

const char* stage_name(FleetDriver::Stage s) {
    switch (s) {
    case FleetDriver::Stage::kErase: return "erase";
    case FleetDriver::Stage::kWrite: return "write";
    case FleetDriver::Stage::kVerify: return "verify";
    case FleetDriver::Stage::kFinish:
    case FleetDriver::Stage::kEnded: return "version";
    default: return nullptr;
    }
}

// Passes the job's progress to self.progress_callback when it moved. A
// stage that began and ended between two looks is still passed on (with
// 0 of 0), so every device shows every stage it went through.
class Reporter {
public:
    Reporter(nb::handle self, const FleetDriver::Job& job, bool erases)
        : self_(self), job_(job), erases_(erases) {}

    void operator()() {
        using Stage = FleetDriver::Stage;
        Stage stage = job_.stage();  // read first: once it says kEnded, end() holds
        const uint64_t done = job_.done(), total = job_.total();
        if (stage == Stage::kEnded) {
            if (job_.end() != FleetDriver::End::kFinished) return;  // no version to read
            stage = Stage::kFinish;
        }
        if (stage == stage_ && done == done_ && total == total_) return;
        for (auto s = static_cast<uint8_t>(static_cast<uint8_t>(stage_) + 1);
             s < static_cast<uint8_t>(stage); ++s) {
            if (static_cast<Stage>(s) == Stage::kErase && !erases_) continue;
            send(static_cast<Stage>(s), 0, 0);
        }
        stage_ = stage;
        done_ = done;
        total_ = total;
        send(stage, done, total);
    }

private:
    void send(FleetDriver::Stage stage, uint64_t done, uint64_t total) {
        const char* name = stage_name(stage);
        if (!name) return;
        nb::object cb = qv::check(PyObject_GetAttr(self_.ptr(), S->progress_callback));
        if (!qv::truth(cb)) return;
        cb(nb::str(name), static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    }

    nb::handle self_;
    const FleetDriver::Job& job_;
    bool erases_;
    FleetDriver::Stage stage_ = FleetDriver::Stage::kQueued;
    uint64_t done_ = 0, total_ = 0;
};

}  // namespace

bool is_fleet_driver(nb::handle obj) { return nb::isinstance<FleetLane>(obj); }

FleetOutcome fleet_transfer(nb::handle self, CheckedRun* run, nb::handle path,
                            const std::string& os_path, const struct stat& st, bool tbin,
                            std::string_view erase_selector, uint64_t max_attempts) {
    FleetOutcome out;
    Terms* terms = run ? run->terms : nullptr;
    if (!terms || !terms->driver || !is_fleet_driver(terms->driver)) return out;
    nb::object lane_obj = terms->driver;
    FleetLane& lane = *nb::inst_ptr<FleetLane>(lane_obj);
    // The tool's link, lent by its owner; a link of another kind keeps the
    // per-command path.
    nb::object conn = qv::check(PyObject_GetAttr(self.ptr(), S->_conn));
    nb::object lend = qv::optional_attr(conn, S->_lend_link);
    if (!lend) return out;
    nb::object capsule = qv::check(PyObject_CallNoArgs(lend.ptr()));
    auto* link = static_cast<qvcore::TcpLink*>(PyCapsule_GetPointer(capsule.ptr(), "quorvex.TcpLink"));
    if (!link) throw nb::python_error();
    const std::shared_ptr<FleetDriver> held = lane.driver();
    FleetDriver& driver = *held;

    // The image, checked (as the engine checks its copy) before anything
    // is sent: a device is never erased for an image that will be refused.
    std::shared_ptr<qvcore::FileBuffer> file;
    {
        qvcore::OsError err;
        {
            nb::gil_scoped_release nogil;
            file = lane.image(os_path, st, err);
        }
        if (!file) raise_file_error(err, path, run);
    }
    ImageSpan image{file->data(), file->size()};
    if (tbin) image = checked_tbin_image(*file, run, path);
    else refuse_unsigned_raw(run, path);

    // The run's last word before the device is erased: a cancelled run
    // raises here.
    if (terms->before_erase && !terms->before_erase.is_none())
        qv::check(PyObject_CallNoArgs(terms->before_erase.ptr()));

    FleetDriver::Job job(*link, erase_selector, max_attempts, image.data, image.size,
                         static_cast<size_t>(kRecvSize), lane.window());
    // What the transfer got done, whatever its end: the bytes the device
    // accepted and the blocks it refused on the way.
    auto store_counts = [&] {
        const qvcore::Transfer& t = job.transfer();
        terms->counted = true;
        terms->sent = static_cast<unsigned long long>(t.sent());
        terms->refused = static_cast<unsigned long long>(t.refused());
    };
    Reporter report(self, job, !erase_selector.empty());
    // Progress to pass on, or Ctrl-C to see (the main thread): a look every
    // 50 ms. Otherwise the thread sleeps until its job ends (a cancel ends
    // it at once), looking in now and then all the same.
    const bool watched =
        qv::truth(qv::check(PyObject_GetAttr(self.ptr(), S->progress_callback))) ||
        (PyThreadState_Get()->interp == PyInterpreterState_Main() &&
         PyThread_get_thread_ident() == main_thread_ident());
    const std::chrono::milliseconds slice = watched ? kReportEvery : kQuietWait;
    {
        PyThreadState* ts = PyEval_SaveThread();
        std::unique_ptr<qvcore::TcpLink::Guard> guard;
        try {
            guard = std::make_unique<qvcore::TcpLink::Guard>(*link, qvcore::LinkInterrupt{});
        } catch (const qvcore::LinkError& e) {
            PyEval_RestoreThread(ts);
            qv::raise(PyExc_ConnectionError, "%s", e.what());
        }
        driver.submit(job);
        while (!driver.wait(job, slice)) {
            PyEval_RestoreThread(ts);
            try {
                if (PyErr_CheckSignals() < 0) throw nb::python_error();
                report();
            } catch (...) {
                // Given up: the device's transfer ends here, its link broken.
                ts = PyEval_SaveThread();
                driver.cancel(job);
                while (!driver.wait(job, kReportEvery)) {
                }
                PyEval_RestoreThread(ts);
                store_counts();
                throw;
            }
            ts = PyEval_SaveThread();
        }
        PyEval_RestoreThread(ts);
    }
    store_counts();
    report();
    const qvcore::Transfer& t = job.transfer();
    switch (job.end()) {
    case FleetDriver::End::kFinished: break;
    case FleetDriver::End::kRefused: raise_block_refused(run, t);
    case FleetDriver::End::kWindowFallback: raise_window_fallback(t);
    default: {
        const qvcore::LinkError::Kind kind = job.error_kind();
        if (kind == qvcore::LinkError::kInterrupted)
            qv::raise(PyExc_ConnectionError, "the transfer to %s was interrupted; the link is closed",
                      job.label().c_str());
        PyErr_SetString(kind == qvcore::LinkError::kTimeout ? PyExc_TimeoutError : PyExc_ConnectionError,
                        job.error().c_str());
        throw nb::python_error();
    }
    }
    out.used = true;
    out.verified = t.verified();
    out.w_digest = t.w_digest();
    out.r_digest = t.r_digest();
    out.refused = t.refused();
    return out;
}

void add_fleet_driver(nb::module_& m) {
    // A module imported again (a fresh policy from the environment) shares
    // the class made by the first import.
    if (!window_fallback_type) {
        window_fallback_type =
            PyErr_NewExceptionWithDoc("quorvex.QVRFpga._WindowFallback",
                                      "A block was refused inside a window: the attempt ended "
                                      "with the flash partly written; run it again with a "
                                      "window of 1. Attributes: offset (the image bytes the "
                                      "device accepted in order), window.",
                                      PyExc_RuntimeError, nullptr);
        if (!window_fallback_type) throw nb::python_error();
    }
    m.attr("_WindowFallback") = nb::borrow(window_fallback_type);
    if (share_bound_class<FleetLane>(m, "_FleetDriver")) return;
    nb::class_<FleetLane>(m, "_FleetDriver",
                          "The native driver of a fleet run: updates given it in their _Terms hand "
                          "their transfers to its thread, each keeping up to `window` program or "
                          "read commands in flight.")
        .def(nb::init<size_t>(), nb::arg("window") = 1)
        .def_prop_ro("window", &FleetLane::window,
                     "The program or read commands each transfer keeps in flight.")
        .def("cancel", &FleetLane::cancel,
             "Ends every transfer running or still to come as interrupted.")
        .def("close", &FleetLane::close, "Ends what still runs and stops the driver's thread.");
}

}  // namespace fpga
