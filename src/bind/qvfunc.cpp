#include "qvfunc.h"

#include <structmember.h>

#include <cstring>
#include <string>
#include <vector>

namespace qv {
namespace {

struct Func {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;          // __name__, __qualname__, __module__, __doc__, __signature__, ...
    PyObject* data;          // the body's own object, or nullptr
    PyObject* names;         // tuple of interned parameter names (bound functions)
    PyObject* probe;         // made on the first binding failure (make_probe)
    PyObject* defaults[kMaxParams];  // per parameter: the default, or nullptr
    int nparams;
    Body body;
    RawBody raw;
};

// The module's native function type; made by its first import, kept for the process: all imports use it.
struct TypeState {
    std::string name;  // "<module>.native_function", for the type's tp_name
    PyTypeObject* type = nullptr;
} g_state;

// A Python function with the same parameters (defaults stand as None) and
// the same names: calling it with arguments that did not bind raises the
// TypeError a Python function raises, in its words.
PyObject* make_probe(Func* f) {
    std::string src = "def probe(";
    for (int i = 0; i < f->nparams; ++i) {
        const char* n = PyUnicode_AsUTF8(PyTuple_GET_ITEM(f->names, i));
        if (!n) return nullptr;
        src += (i ? ", " : "") + std::string(n) + (f->defaults[i] ? "=None" : "");
    }
    src += "): pass\n";
    PyObject* ns = PyDict_New();
    if (!ns) return nullptr;
    PyObject* probe = nullptr;
    if (PyDict_SetItemString(ns, "__builtins__", PyEval_GetBuiltins()) == 0) {
        PyObject* r = PyRun_String(src.c_str(), Py_file_input, ns, ns);
        Py_XDECREF(r);
        probe = r ? Py_XNewRef(PyDict_GetItemString(ns, "probe")) : nullptr;
    }
    Py_DECREF(ns);
    for (const char* attr : {"__name__", "__qualname__"}) {
        PyObject* v = probe ? PyDict_GetItemString(f->dict, attr) : nullptr;
        if (probe && v && PyObject_SetAttrString(probe, attr, v) < 0) Py_CLEAR(probe);
    }
    return probe;
}

// Lets Python word a binding failure ("FpgaTool._sendCmd() missing 1
// required positional argument: 'cmd'", ...): the probe first, then the
// signature's bind.
PyObject* binding_error(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!f->probe && f->names) f->probe = make_probe(f);
    if (f->probe) {
        PyObject* r = PyObject_Vectorcall(f->probe, args, nargs, kwnames);
        if (!r) return nullptr;
        Py_DECREF(r);
    }
    PyErr_Clear();
    PyObject* sig = f->dict ? PyDict_GetItemString(f->dict, "__signature__") : nullptr;
    if (sig && sig != Py_None) {
        PyObject* bind = PyObject_GetAttrString(sig, "bind");
        if (!bind) return nullptr;
        PyObject* r = PyObject_Vectorcall(bind, args, nargs, kwnames);
        Py_DECREF(bind);
        if (!r) return nullptr;
        Py_DECREF(r);
    }
    PyObject* name = f->dict ? PyDict_GetItemString(f->dict, "__qualname__") : nullptr;
    PyErr_Format(PyExc_TypeError, "%S() got arguments it cannot take",
                 name ? name : Py_None);
    return nullptr;
}

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    Func* f = reinterpret_cast<Func*>(self);
    if (f->raw) return f->raw(self, args, nargsf, kwnames);

    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const int np = f->nparams;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 && nargs == np) return f->body(self, args);  // the common call
    if (nargs > np) return binding_error(f, args, nargs, kwnames);

    PyObject* bound[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        for (int i = 0; i < np; ++i) {
            if (PyTuple_GET_ITEM(f->names, i) == key) { slot = i; break; }
        }
        if (slot < 0) {
            for (int i = 0; i < np; ++i) {
                int eq = PyUnicode_Compare(PyTuple_GET_ITEM(f->names, i), key);
                if (eq == 0) { slot = i; break; }
                if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
            }
        }
        if (slot < 0 || bound[slot]) return binding_error(f, args, nargs, kwnames);
        bound[slot] = args[nargs + k];
    }
    for (int i = 0; i < np; ++i) {
        if (!bound[i]) {
            if (!f->defaults[i]) return binding_error(f, args, nargs, kwnames);
            bound[i] = f->defaults[i];
        }
    }
    return f->body(self, bound);
}

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) {
    Func* f = reinterpret_cast<Func*>(self);
    PyObject* name = f->dict ? PyDict_GetItemString(f->dict, "__qualname__") : nullptr;
    if (name && PyUnicode_Check(name)) return PyUnicode_FromFormat("<native function %U>", name);
    return PyUnicode_FromFormat("<native function at %p>", self);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    Func* f = reinterpret_cast<Func*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->data);
    Py_VISIT(f->names);
    Py_VISIT(f->probe);
    for (int i = 0; i < f->nparams; ++i) Py_VISIT(f->defaults[i]);
    return 0;
}

int func_clear(PyObject* self) {
    Func* f = reinterpret_cast<Func*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->data);
    Py_CLEAR(f->names);
    Py_CLEAR(f->probe);
    for (int i = 0; i < f->nparams; ++i) Py_CLEAR(f->defaults[i]);
    return 0;
}

void func_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    func_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMemberDef func_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Func, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Func, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef func_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

Func* alloc(const char* name, const char* qualname, const char* module, const char* doc) {
    if (!g_state.type) {
        PyErr_SetString(PyExc_RuntimeError, "native function type not initialised");
        return nullptr;
    }
    Func* f = PyObject_GC_New(Func, g_state.type);
    if (!f) return nullptr;
    f->vectorcall = func_vectorcall;
    f->dict = nullptr;
    f->data = nullptr;
    f->names = nullptr;
    f->probe = nullptr;
    f->nparams = 0;
    f->body = nullptr;
    f->raw = nullptr;
    std::memset(f->defaults, 0, sizeof f->defaults);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));

    PyObject* d = PyDict_New();
    f->dict = d;
    if (!d) goto fail;
    {
        struct { const char* key; const char* value; } entries[] = {
            {"__name__", name}, {"__qualname__", qualname}, {"__module__", module}};
        for (auto& e : entries) {
            PyObject* v = PyUnicode_InternFromString(e.value);
            if (!v || PyDict_SetItemString(d, e.key, v) < 0) { Py_XDECREF(v); goto fail; }
            Py_DECREF(v);
        }
        PyObject* v = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
        if (!v || PyDict_SetItemString(d, "__doc__", v) < 0) { Py_XDECREF(v); goto fail; }
        Py_DECREF(v);
    }
    return f;
fail:
    Py_DECREF(f);
    return nullptr;
}

// inspect.Signature of the declared parameters, all positional-or-keyword.
PyObject* build_signature(std::initializer_list<Param> params) {
    PyObject* inspect = PyImport_ImportModule("inspect");
    if (!inspect) return nullptr;
    PyObject* parameter = PyObject_GetAttrString(inspect, "Parameter");
    PyObject* signature = PyObject_GetAttrString(inspect, "Signature");
    PyObject* kind = parameter ? PyObject_GetAttrString(parameter, "POSITIONAL_OR_KEYWORD") : nullptr;
    PyObject* list = PyList_New(0);
    PyObject* result = nullptr;
    if (parameter && signature && kind && list) {
        bool ok = true;
        for (const Param& p : params) {
            PyObject* name = PyUnicode_FromString(p.name);
            PyObject* kwargs = PyDict_New();
            PyObject* args = name ? PyTuple_Pack(2, name, kind) : nullptr;
            PyObject* item = nullptr;
            if (args && kwargs &&
                (!p.deflt || PyDict_SetItemString(kwargs, "default", p.deflt) == 0)) {
                item = PyObject_Call(parameter, args, kwargs);
            }
            ok = item && PyList_Append(list, item) == 0;
            Py_XDECREF(item);
            Py_XDECREF(args);
            Py_XDECREF(kwargs);
            Py_XDECREF(name);
            if (!ok) break;
        }
        if (ok) result = PyObject_CallOneArg(signature, list);
    }
    Py_XDECREF(list);
    Py_XDECREF(kind);
    Py_XDECREF(signature);
    Py_XDECREF(parameter);
    Py_DECREF(inspect);
    return result;
}

}  // namespace

bool init_function_type(const char* module_name) {
    if (g_state.type) return true;
    g_state.name = std::string(module_name) + ".native_function";

    static PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(func_descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(func_repr)},
        {Py_tp_traverse, reinterpret_cast<void*>(func_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(func_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(func_dealloc)},
        {Py_tp_members, func_members},
        {Py_tp_getset, func_getset},
        {Py_tp_doc, const_cast<char*>("A function of a quorvex native module.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        nullptr, static_cast<int>(sizeof(Func)), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_HAVE_VECTORCALL,
        slots};
    spec.name = g_state.name.c_str();
    g_state.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_state.type != nullptr;
}

PyObject* make_function(const char* name, const char* qualname, const char* module,
                        const char* doc, std::initializer_list<Param> params, Body body,
                        PyObject* data) {
    if (params.size() > static_cast<size_t>(kMaxParams)) {
        PyErr_Format(PyExc_RuntimeError, "%s: too many parameters", qualname);
        return nullptr;
    }
    Func* f = alloc(name, qualname, module, doc);
    if (!f) return nullptr;
    f->body = body;
    f->data = Py_XNewRef(data);
    f->names = PyTuple_New(static_cast<Py_ssize_t>(params.size()));
    if (!f->names) { Py_DECREF(f); return nullptr; }
    int i = 0;
    for (const Param& p : params) {
        PyObject* n = PyUnicode_InternFromString(p.name);
        if (!n) { Py_DECREF(f); return nullptr; }
        PyTuple_SET_ITEM(f->names, i, n);
        f->defaults[i] = Py_XNewRef(p.deflt);
        f->nparams = ++i;
    }
    PyObject* sig = build_signature(params);
    if (!sig || PyDict_SetItemString(f->dict, "__signature__", sig) < 0) {
        Py_XDECREF(sig);
        Py_DECREF(f);
        return nullptr;
    }
    Py_DECREF(sig);
    return reinterpret_cast<PyObject*>(f);
}

PyObject* make_raw_function(const char* name, const char* qualname, const char* module,
                            const char* doc, RawBody body, PyObject* data,
                            PyObject* signature) {
    Func* f = alloc(name, qualname, module, doc);
    if (!f) return nullptr;
    f->raw = body;
    f->data = Py_XNewRef(data);
    if (signature && PyDict_SetItemString(f->dict, "__signature__", signature) < 0) {
        Py_DECREF(f);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(f);
}

PyObject* func_data(PyObject* func) {
    return reinterpret_cast<Func*>(func)->data;
}

}  // namespace qv
