// Helpers for writing the bodies of native functions (qvfunc.h) with
// nanobind's object handles: C++ exceptions become Python errors at the edge,
// and calls through `self` go out as vectorcalls with no bound method built.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdarg>
#include <cstring>
#include <new>
#include <string>

#include "qvfunc.h"

namespace qv {
namespace nb = nanobind;

// A body written with nanobind: receives the native function and the bound
// arguments, returns the result. Any exception it throws becomes the Python
// error it stands for.
using NbBody = nb::object (*)(PyObject* func, PyObject* const* args);

inline void set_error_from_current_exception() {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

template <NbBody F>
PyObject* body(PyObject* func, PyObject* const* args) noexcept {
    try {
        return F(func, args).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// The globals of the module whose native function runs on this thread (or
// that is being initialised). Module-level names are read from them at call
// time; each function carries its own module's dict, so a class made by an
// earlier import of the module keeps reading that module's names after a
// fresh import. Per thread, not per module: two threads may be running the
// functions of two imports at once. Set only by ModuleScope.
inline thread_local PyObject* t_module_dict = nullptr;

class ModuleScope {  // makes `dict` the current module dict for its lifetime
public:
    explicit ModuleScope(PyObject* dict) : saved_(t_module_dict) {
        if (dict) t_module_dict = dict;
    }
    ~ModuleScope() { t_module_dict = saved_; }
    ModuleScope(const ModuleScope&) = delete;
    ModuleScope& operator=(const ModuleScope&) = delete;

private:
    PyObject* saved_;
};

// A body whose function's data is its module's dict.
template <NbBody F>
PyObject* module_body(PyObject* func, PyObject* const* args) noexcept {
    ModuleScope scope(func_data(func));
    return body<F>(func, args);
}

// Raises a Python exception of `type` with a printf-style message
// (PyUnicode_FromFormat's codes: %s, %d, %zd, %S for str(obj), %R for repr).
[[noreturn]] inline void raise(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw nb::python_error();
}

// The truth value of obj, as `if obj:` takes it; an error raised by it propagates.
inline bool truth(nb::handle obj) {
    int t = PyObject_IsTrue(obj.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

// An int argument: an int as it is, any other number through int()
// (a fraction truncated toward zero); anything int() cannot take is a
// TypeError that names the argument.
inline nb::object to_int(nb::handle value, const char* argname);

// Takes ownership of a new reference from the C API; throws on nullptr.
inline nb::object check(PyObject* o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// self.<name>(args...) without building a bound method. `name` should be an
// interned str kept for the module's life; `kwnames` names the last arguments.
template <typename... Args>
nb::object call_method(nb::handle self, PyObject* name, PyObject* kwnames, Args... args) {
    // argv[0] is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* argv[] = {nullptr, self.ptr(), nb::handle(args).ptr()...};
    Py_ssize_t npos = static_cast<Py_ssize_t>(sizeof...(Args) + 1) -
                      (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    return check(PyObject_VectorcallMethod(name, argv + 1,
                                           npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

inline void setattr(nb::handle obj, PyObject* name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw nb::python_error();
}

// obj.<name>, or an empty object when it has no such attribute.
inline nb::object optional_attr(nb::handle obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj.ptr(), name);
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

// An error that left a protected block, held while the clean-up runs, then
// raised again. During the clean-up (a Handled scope) it is the exception
// being handled, as in a finally block, so an error raised by a clean-up
// step chains to it.
class PendingError {
public:
    PendingError() = default;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { Py_XDECREF(type_); Py_XDECREF(value_); Py_XDECREF(tb_); }

    void fetch() {  // takes the current error
        PyErr_Fetch(&type_, &value_, &tb_);
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (tb_ && value_) PyException_SetTraceback(value_, tb_);
    }
    explicit operator bool() const { return type_ != nullptr; }
    void rethrow() {  // raises what was fetched, if anything
        if (!type_) return;
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
        throw nb::python_error();
    }

    // Makes the pending error the handled one for the scope's life.
    class Handled {
    public:
        explicit Handled(const PendingError& p) : active_(p.type_ != nullptr) {
            if (!active_) return;
            PyErr_GetExcInfo(&t_, &v_, &tb_);
            PyErr_SetExcInfo(Py_XNewRef(p.type_), Py_XNewRef(p.value_), Py_XNewRef(p.tb_));
        }
        ~Handled() {
            if (active_) PyErr_SetExcInfo(t_, v_, tb_);
        }
        Handled(const Handled&) = delete;
        Handled& operator=(const Handled&) = delete;

    private:
        bool active_;
        PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
    };

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// OSError(err, strerror, path) as the os module raises it: the subclass the
// errno stands for (FileNotFoundError, ...), str() "[Errno 2] No such file or
// directory: 'x.tbin'". Without a path, OSError(err, text); `text` defaults
// to the errno's own words.
inline nb::object os_error(int err, nb::handle path = nb::handle(), const char* text = nullptr) {
    if (!text) text = std::strerror(err);
    return check(path ? PyObject_CallFunction(PyExc_OSError, "isO", err, text, path.ptr())
                      : PyObject_CallFunction(PyExc_OSError, "is", err, text));
}

[[noreturn]] inline void raise_os_error(int err, nb::handle path = nb::handle(),
                                        const char* text = nullptr) {
    nb::object e = os_error(err, path, text);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
    throw nb::python_error();
}

// The bytes the OS is given for a path, as os.fsencode makes them: a str in
// the file system encoding, bytes as they are, an os.PathLike by its
// __fspath__() (kept in *fspath when asked, to name the file in errors).
// Raises what os.fsencode raises (TypeError, UnicodeEncodeError) and, as
// open() does, ValueError("embedded null byte").
inline std::string fs_encode(nb::handle path, nb::object* fspath = nullptr) {
    if (fspath) {
        *fspath = check(PyOS_FSPath(path.ptr()));
        path = *fspath;
    }
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded)) throw nb::python_error();
    nb::object bytes = nb::steal(encoded);
    return std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
}

// An interned str that lives as long as the process.
inline PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw nb::python_error();
    return o;  // deliberately kept
}

// A reference kept for the process's life (a module's state holds it).
inline PyObject* keep(nb::object o) { return o.release().ptr(); }

// The dict of the module whose function runs (or which is being initialised).
inline PyObject* current_module_dict() {
    if (!t_module_dict) raise(PyExc_RuntimeError, "no quorvex module is running on this thread");
    return t_module_dict;
}

// A module-level name of the current module. `name` is interned.
inline nb::object module_global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(current_module_dict(), name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(v);
}

inline nb::object to_int(nb::handle value, const char* argname) {
    PyObject* v = value.ptr();
    if (PyLong_Check(v)) return nb::borrow(value);
    PyObject* r = PyNumber_Check(v) && !PyComplex_Check(v) ? PyNumber_Long(v) : nullptr;
    if (!r && (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError))) {
        PyErr_Clear();
        raise(PyExc_TypeError, "%s must be int, not %s", argname, Py_TYPE(v)->tp_name);
    }
    return check(r);
}

// A tuple of interned names, for the kwnames of a vectorcall: interned, a
// callee matches them to its parameters by pointer, without comparing text.
inline PyObject* kwnames(std::initializer_list<const char*> names) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) throw nb::python_error();
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t, i++, Py_NewRef(intern(n)));
    return t;  // deliberately kept
}

// A native function of the module being initialised (the current module):
// its body sees that module's globals.
template <NbBody F>
nb::object module_function(const char* name, const char* qualname, const char* module,
                           const char* doc, std::initializer_list<Param> params) {
    return check(make_function(name, qualname, module, doc, params, &module_body<F>,
                               current_module_dict()));
}

// A native function object built from a nanobind body.
template <NbBody F>
nb::object function(const char* name, const char* qualname, const char* module,
                    const char* doc, std::initializer_list<Param> params,
                    nb::handle data = nb::handle()) {
    return check(make_function(name, qualname, module, doc, params, &body<F>, data.ptr()));
}

}  // namespace qv
