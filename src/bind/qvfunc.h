// The native function type that the extension modules build their classes
// from. Unlike nanobind's own functions, it behaves like a Python function
// where introspection and the class machinery look: it binds as a method,
// binds call arguments by Python's rules, and keeps __name__, __qualname__,
// __module__, __doc__ and __signature__ as plain entries of its __dict__, so
// abc.abstractmethod, functools.wraps and inspect.signature work on it.
//
// Each extension module links its own copy and so gets its own type object;
// nothing is registered process-wide.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <stdexcept>

namespace qv {

// A declared parameter: its name and its default (nullptr: required).
// The default is borrowed at creation and then owned by the function.
struct Param {
    const char* name;
    PyObject* deflt = nullptr;
};

// The body of a function with declared parameters: `args` holds one new or
// borrowed reference per parameter, in declaration order (for a method, the
// instance first). Returns a new reference, or nullptr with an error set.
using Body = PyObject* (*)(PyObject* func, PyObject* const* args);

// The body of a function that takes any call (a wrapper): the call as
// vectorcall passes it.
using RawBody = PyObject* (*)(PyObject* func, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);

// The largest number of declared parameters.
constexpr int kMaxParams = 16;

// Creates the module's native function type; call once from the module's
// init before any make_function. Returns false with an error set on failure.
bool init_function_type(const char* module_name);

// A function with declared parameters. `data` (may be nullptr) is kept for
// the body (see func_data). Returns a new reference, or nullptr with an error.
PyObject* make_function(const char* name, const char* qualname, const char* module,
                        const char* doc, std::initializer_list<Param> params, Body body,
                        PyObject* data = nullptr);

// A function that takes any call. Its __signature__ is `signature` when given,
// else none is set. Returns a new reference, or nullptr with an error.
PyObject* make_raw_function(const char* name, const char* qualname, const char* module,
                            const char* doc, RawBody body, PyObject* data,
                            PyObject* signature);

// The `data` object given at creation (borrowed; may be nullptr).
PyObject* func_data(PyObject* func);

}  // namespace qv
