// The native link as a Python caller waits on it: the GIL released for the
// wait, Ctrl-C let through between its slices, and its failures raised as
// the exceptions they stand for (TimeoutError, ConnectionError).
#pragma once

#include "qvnb.h"

#include "link.h"

namespace qv {

// A failure of the link as the Python exception it stands for. An
// interrupted wait has its own error (KeyboardInterrupt) already set.
[[noreturn]] inline void raise_link_error(const qvcore::LinkError& e) {
    if (e.kind == qvcore::LinkError::kInterrupted) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "link wait interrupted");
        throw nb::python_error();
    }
    const std::string what = e.what();
    nb::object text = check(PyUnicode_DecodeUTF8(what.data(), static_cast<Py_ssize_t>(what.size()), "replace"));
    PyErr_SetObject(e.kind == qvcore::LinkError::kTimeout ? PyExc_TimeoutError : PyExc_ConnectionError,
                    text.ptr());
    throw nb::python_error();
}

// The GIL released for the life of the object (or until acquire()). Its
// interrupt hook takes the GIL back for a moment between wait slices to run
// pending signal handlers; an exception they raise (KeyboardInterrupt) stays
// set on this thread and stops the wait.
class Released {
public:
    Released() : ts_(PyEval_SaveThread()) {}
    ~Released() { acquire(); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    void acquire() {
        if (ts_) PyEval_RestoreThread(ts_);
        ts_ = nullptr;
    }
    qvcore::LinkInterrupt interrupt() { return {&Released::check, this}; }

private:
    static bool check(void* ctx) {
        auto* self = static_cast<Released*>(ctx);
        PyEval_RestoreThread(self->ts_);
        bool stop = PyErr_CheckSignals() < 0;
        self->ts_ = PyEval_SaveThread();
        return stop;
    }
    PyThreadState* ts_;
};

}  // namespace qv
