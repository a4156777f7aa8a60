#include "engine.h"

#include <cstdio>

#include "progress.h"

namespace fpga {

double clock_seconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

Clocks::Clocks() {
    nb::object mod = global(S->time);
    wall_ = qv::check(PyObject_GetAttr(mod.ptr(), S->time));
    mono_ = qv::check(PyObject_GetAttr(mod.ptr(), S->monotonic));
    native_wall_ = wall_.ptr() == S->real_time;
    native_mono_ = mono_.ptr() == S->real_monotonic;
}

double Clocks::call(const nb::object& fn) {
    nb::object t = qv::check(PyObject_CallNoArgs(fn.ptr()));
    double v = PyFloat_AsDouble(t.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

Progress::Progress(nb::handle self) : self_(self), write_(nb::str("write")), verify_(nb::str("verify")) {}

void Progress::report(bool verify, long long done, long long total) {
    nb::object cb = qv::check(PyObject_GetAttr(self_.ptr(), S->progress_callback));
    if (qv::truth(cb)) cb(verify ? verify_ : write_, done, total);
}

void Progress::line(long long done, long long total, double elapsed) {
    double percent = total ? double(done) / double(total) * 100.0 : 100.0;
    char text[160];
    int n = qvcore::format_progress(text, sizeof text, percent, done, total, elapsed);
    out(text, n, false);
}

void Progress::out(const char* text, int n, bool force_flush) {
    // Whatever sys.stdout is now, held: write() may rebind it.
    nb::object stream = qv::optional_attr(nb::handle(S->sys), S->stdout_);
    if (!stream || stream.is_none()) return;
    nb::object s = qv::check(PyUnicode_FromStringAndSize(text, n));
    qv::call_method(stream, S->write, nullptr, s);
    double now = clock_seconds(CLOCK_MONOTONIC);  // only paces flushes, reported nowhere
    if (force_flush || now - last_flush_ >= 0.05) {
        last_flush_ = now;
        if (nb::object flush = qv::optional_attr(stream, S->flush))  // print() needs none
            qv::check(PyObject_CallNoArgs(flush.ptr()));
    }
}

void log_write_digest(const std::string& w_digest) {
    log(S->debug, nb::str(("w hash: " + w_digest).c_str()));
    log(S->info, nb::str("Verify Data"));
}

void log_read_verdict(const std::string& r_digest, bool verified) {
    log(S->debug, nb::str(("r hash: " + r_digest).c_str()));
    if (verified) log(S->info, nb::str("Verify Success"));
    else log(S->error, nb::str("Verify Failed"));
}

void log_finished(Clocks& clocks, double start) {
    char total[96];
    std::snprintf(total, sizeof total, "FPGA program file finished. Total time: %.4f sec",
                  clocks.monotonic() - start);
    log(S->info, nb::str(total));
}

void feed_page(qvcore::Transfer& t, nb::handle page) {
    Py_buffer view;
    if (PyUnicode_Check(page.ptr()) || PyObject_GetBuffer(page.ptr(), &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        qv::raise(PyExc_TypeError, "the read-back page must be bytes, not %s",
                  Py_TYPE(page.ptr())->tp_name);
    }
    t.page(view.buf, static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
}

}  // namespace fpga
