// quorvex.qvrdev.LobeSwitchDirector: fast beam switching for device classes.
//
// The module holds StartEndEnum, the beam-pattern setup decorator
// _require_beam_pattern_setup and the abstract mix-in LobeSwitchDirector,
// built at import as a plain abc class from native functions. The mix-in owns
// no link: every device access is a call on the device object itself.
#include <string>

#include "qvnb.h"

namespace lsd {
namespace nb = nanobind;

constexpr const char* kModule = "quorvex.qvrdev.LobeSwitchDirector";
constexpr const char* kClass = "LobeSwitchDirector";

// Interned names and constant arguments; made by the first import, kept for the process: all imports use them.
struct State {
    bool ready = false;
    PyObject *_setBeamPatternEnable, *_eraseBeamPattern, *_applyBeamPatternToBFIC,
        *_getExtCtrl, *_setExtCtrl, *_reboot, *_create_beam_pattern_mgr, *_beam_pattern_mgr,
        *external_control_enabled, *RetCode, *RetData, *OK, *RSP_STRING, *__signature__,
        *__qualname__;
    PyObject *RetType, *RspType;  // module-level names, looked up with global()
    PyObject *one, *zero, *two;  // "1", "0", 2
    PyObject* kw_user_delay;     // ("user_delay",)
    PyObject* kw_data;           // ("data",)
} state;
State* const S = &state;

// A module-level name (RetType, RetCode, RspType; an interned name of State)
// from the dict of the running function's own module, read at call time so
// that a caller who rebinds it is obeyed.
nb::object global(PyObject* name) { return qv::module_global(name); }

void init_state(State& n) {
    if (n.ready) return;
#define QV_NAME(x) n.x = qv::intern(#x);
    QV_NAME(_setBeamPatternEnable) QV_NAME(_eraseBeamPattern) QV_NAME(_applyBeamPatternToBFIC)
    QV_NAME(_getExtCtrl) QV_NAME(_setExtCtrl) QV_NAME(_reboot) QV_NAME(_create_beam_pattern_mgr)
    QV_NAME(_beam_pattern_mgr) QV_NAME(external_control_enabled) QV_NAME(RetCode)
    QV_NAME(RetData) QV_NAME(OK) QV_NAME(RSP_STRING) QV_NAME(__signature__)
    QV_NAME(__qualname__) QV_NAME(RetType) QV_NAME(RspType)
#undef QV_NAME
    n.one = qv::intern("1");
    n.zero = qv::intern("0");
    n.two = qv::keep(qv::check(PyLong_FromLong(2)));
    n.kw_user_delay = qv::kwnames({"user_delay"});
    n.kw_data = qv::kwnames({"data"});
    n.ready = true;
}

using qv::truth;

// A result counts as a success only when its RetCode is the member
// RetCode.OK itself; a result without RetCode raises AttributeError.
bool is_ok(nb::handle result) {
    nb::object code = qv::check(PyObject_GetAttr(result.ptr(), S->RetCode));
    nb::object ok = qv::check(PyObject_GetAttr(global(S->RetCode).ptr(), S->OK));
    return code.ptr() == ok.ptr();
}

nb::object new_ret() { return qv::check(PyObject_CallNoArgs(global(S->RetType).ptr())); }

// An inspect.Signature whose parameters are all positional-or-keyword.
// `anns` runs parallel to `params`; an empty handle means no annotation.
nb::object signature(std::initializer_list<qv::Param> params,
                     std::initializer_list<nb::handle> anns, nb::handle ret) {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::object empty = parameter.attr("empty");
    nb::list list;
    const nb::handle* ann = anns.begin();
    for (const qv::Param& p : params) {
        nb::handle a = ann != anns.end() ? *ann++ : nb::handle();
        list.append(parameter(p.name, kind, nb::arg("default") = p.deflt ? nb::handle(p.deflt) : empty,
                              nb::arg("annotation") = a ? a : empty));
    }
    return inspect.attr("Signature")(list, nb::arg("return_annotation") = ret ? ret : empty);
}

// Gives a native function the annotated signature and the __annotations__
// that a Python definition of it would carry.
void annotate(nb::handle func, std::initializer_list<qv::Param> params,
              std::initializer_list<nb::handle> anns, nb::handle ret) {
    nb::dict annotations;
    const nb::handle* ann = anns.begin();
    for (const qv::Param& p : params) {
        nb::handle a = ann != anns.end() ? *ann++ : nb::handle();
        if (a) annotations[p.name] = a;
    }
    if (ret) annotations["return"] = ret;
    func.attr("__signature__") = signature(params, anns, ret);
    func.attr("__annotations__") = annotations;
}

// A method of the class from a nanobind body, annotated.
template <qv::NbBody F>
nb::object method(const char* name, const char* doc, std::initializer_list<qv::Param> params,
                  std::initializer_list<nb::handle> anns, nb::handle ret) {
    std::string qualname = std::string(kClass) + "." + name;
    nb::object f = qv::module_function<F>(name, qualname.c_str(), kModule, doc, params);
    annotate(f, params, anns, ret);
    return f;
}

// --- the beam-pattern setup ----------------------------------------------

// The wrapper's call: enable "1", erase, the operation, then always disable
// "0" and apply. The wrapped operation is the wrapper's data.
nb::object setup_run(PyObject* wrapper, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) {
    // The device object comes first, or by the name `self`, as a Python
    // wrapper taking (self, *args, **kwargs) would take it.
    PyObject* device = PyVectorcall_NARGS(nargsf) ? args[0] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; !device && k < nkw; ++k)
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), "self") == 0)
            device = args[PyVectorcall_NARGS(nargsf) + k];
    if (!device) {
        nb::object name = qv::check(PyObject_GetAttr(wrapper, S->__qualname__));
        qv::raise(PyExc_TypeError, "%S() missing 1 required positional argument: 'self'",
                  name.ptr());
    }
    nb::handle self(device);
    nb::handle func(PyTuple_GET_ITEM(qv::func_data(wrapper), 0));

    nb::object result;
    qv::PendingError pending;
    try {
        nb::object r = qv::call_method(self, S->_setBeamPatternEnable, nullptr, S->one);
        if (!is_ok(r)) {
            result = std::move(r);
        } else {
            r = qv::call_method(self, S->_eraseBeamPattern, S->kw_user_delay, S->two);
            if (!is_ok(r))
                result = std::move(r);
            else  // the caller's arguments as they came, the device first
                result = qv::check(PyObject_Vectorcall(func.ptr(), args, nargsf, kwnames));
        }
    } catch (...) {
        qv::set_error_from_current_exception();
        pending.fetch();
    }

    {
        qv::PendingError::Handled handled(pending);
        qv::call_method(self, S->_setBeamPatternEnable, nullptr, S->zero);
        qv::call_method(self, S->_applyBeamPatternToBFIC, S->kw_user_delay, S->two);
    }
    pending.rethrow();
    return result;
}

PyObject* setup_call(PyObject* wrapper, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) noexcept {
    qv::ModuleScope scope(PyTuple_GET_ITEM(qv::func_data(wrapper), 1));
    try {
        return setup_run(wrapper, args, nargsf, kwnames).release().ptr();
    } catch (...) {
        qv::set_error_from_current_exception();
        return nullptr;
    }
}

constexpr const char* kDecoratorDoc =
    "Decorator to setup beam pattern before execution and cleanup after.\n"
    "\n"
    "The steps are:\n"
    "    1. Enable the beam pattern store (\"1\").\n"
    "    2. Erase the beam pattern store (user_delay=2).\n"
    "    3. Execute the function with the device object and the other arguments.\n"
    "    4. Disable the beam pattern store (\"0\").\n"
    "\n"
    "Step 4, and then applying the stored pattern to the BFIC (user_delay=2),\n"
    "run whatever happened before. A failed enable or erase result is returned\n"
    "as it is and skips the later steps up to the disable; otherwise the\n"
    "function's result is returned unchanged. Exceptions propagate after the\n"
    "clean-up.\n"
    "\n"
    "Args:\n"
    "    func: A device operation whose first parameter is the device object.\n"
    "\n"
    "Returns:\n"
    "    The wrapper, carrying the name, documentation and signature of func.";

// _require_beam_pattern_setup(func)
nb::object decorator_body(PyObject*, PyObject* const* a) {
    nb::handle func(a[0]);
    nb::object sig = qv::optional_attr(func, S->__signature__);
    if (!sig || !truth(sig)) sig = nb::module_::import_("inspect").attr("signature")(func);

    nb::object wrapper = qv::check(qv::make_raw_function(
        "wrapper", "_require_beam_pattern_setup.<locals>.wrapper", kModule, nullptr,
        &setup_call, nb::make_tuple(func, nb::handle(qv::current_module_dict())).ptr(),
        nullptr));
    nb::module_::import_("functools").attr("update_wrapper")(wrapper, func);
    qv::setattr(wrapper, S->__signature__, sig);
    return wrapper;
}

// --- the lazily created manager -------------------------------------------

nb::object beam_pattern_mgr_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]);
    nb::object current = qv::check(PyObject_GetAttr(self.ptr(), S->_beam_pattern_mgr));
    if (current.is_none()) {
        nb::object mgr = qv::call_method(self, S->_create_beam_pattern_mgr, nullptr);
        qv::setattr(self, S->_beam_pattern_mgr, mgr);
    }
    return qv::check(PyObject_GetAttr(self.ptr(), S->_beam_pattern_mgr));
}

// --- the command table and the parallel mode ----------------------------------

nb::object fbs_cmd_dict_body(PyObject*, PyObject* const*) {
    static const char* const table[][2] = {
        {"_getExtCtrl", "ExtCtrl_EN?"},
        {"_setExtCtrl", "ExtCtrl_EN"},
        {"_setBeamPatternEnable", "BEAM_PATTERN_STORE_EN"},
        {"_getBeamPatternEnable", "BEAM_PATTERN_STORE_EN?"},
        {"_eraseBeamPattern", "BEAM_PATTERN_ERASE"},
        {"_setBeamPatternStoreTDBS", "BEAM_PATTERN_STORE_TDBS_BEAM"},
        {"_setBeamPatternStoreFBS", "BEAM_PATTERN_STORE_FBS_BEAM"},
        {"_applyBeamPatternToBFIC", "BEAM_PATTERN_APPLY_BFIC"},
    };
    nb::object rsp = qv::check(PyObject_GetAttr(global(S->RspType).ptr(), S->RSP_STRING));
    nb::dict d;
    for (const auto& e : table) d[e[0]] = nb::make_tuple(nb::str(e[1]), rsp);
    return std::move(d);
}

nb::object get_parallel_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]);
    nb::object r = qv::call_method(self, S->_getExtCtrl, nullptr);
    if (!is_ok(r)) return r;
    nb::object data = qv::check(PyObject_GetAttr(r.ptr(), S->RetData));
    // An int is taken as it is; anything else goes through int().
    nb::object value = PyLong_Check(data.ptr()) ? data : qv::check(PyNumber_Long(data.ptr()));
    PyObject* argv[] = {nullptr, truth(value) ? Py_True : Py_False};
    return qv::check(PyObject_Vectorcall(global(S->RetType).ptr(), argv + 1,
                                         0 | PY_VECTORCALL_ARGUMENTS_OFFSET, S->kw_data));
}

nb::object set_parallel_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]), to_enable(a[1]), fbs_mode(a[2]);
    bool enable = truth(to_enable);
    nb::object mode = qv::check(PyNumber_Long(fbs_mode.ptr()));
    nb::object text =
        qv::check(PyUnicode_FromFormat("%s,%S", enable ? "1" : "0", mode.ptr()));
    nb::object r = qv::call_method(self, S->_setExtCtrl, nullptr, text);
    if (!is_ok(r)) return r;
    qv::setattr(self, S->external_control_enabled, enable ? Py_True : Py_False);
    return new_ret();
}

// The bodies of the two setup-wrapped operations.
nb::object erase_config_body(PyObject*, PyObject* const*) { return new_ret(); }

nb::object sync_config_body(PyObject*, PyObject* const* a) {
    return qv::call_method(nb::handle(a[0]), S->_reboot, nullptr);
}

// --- the abstract operations ------------------------------------------------

// How a base version checks one argument before it refuses the call.
enum class Kind { Any, Int, Float, Bool };

struct Abstract {
    const char* name;
    int nargs;  // besides the device object
    const char* names[5];
    Kind kinds[5];
};

constexpr Abstract kGetGain{"getFastBeamGain", 2, {"rf_mode", "beam_id"}, {Kind::Any, Kind::Int}};
constexpr Abstract kGetPattern{"getFastBeamPattern", 1, {"beam_id"}, {Kind::Int}};
constexpr Abstract kSetGain{"setFastBeamGain",
                            5,
                            {"rf_mode", "beam_id", "enable", "com_gain", "ele_gain"},
                            {Kind::Any, Kind::Int, Kind::Bool, Kind::Int, Kind::Int}};
constexpr Abstract kSetThetaPhi{"setFastBeamPatternThetaPhi",
                                4,
                                {"beam_id", "rf_freq", "theta", "phi"},
                                {Kind::Int, Kind::Float, Kind::Float, Kind::Float}};
constexpr Abstract kSetAzEl{"setFastBeamPatternAzEl",
                            4,
                            {"beam_id", "rf_freq", "azimuth", "elevation"},
                            {Kind::Int, Kind::Float, Kind::Float, Kind::Float}};

template <const Abstract* Op>
nb::object abstract_body(PyObject*, PyObject* const* a) {
    for (int i = 0; i < Op->nargs; ++i) {
        nb::handle v(a[i + 1]);
        switch (Op->kinds[i]) {
            case Kind::Int: qv::to_int(v, Op->names[i]); break;
            case Kind::Float: qv::check(PyNumber_Float(v.ptr())); break;
            case Kind::Bool: truth(v); break;
            case Kind::Any: break;
        }
    }
    qv::raise(PyExc_NotImplementedError, "%s.%s is implemented by the device class", kClass,
              Op->name);
}

nb::object create_mgr_body(PyObject*, PyObject* const*) {
    qv::raise(PyExc_NotImplementedError,
              "%s._create_beam_pattern_mgr is implemented by the device class", kClass);
}

}  // namespace lsd

using namespace lsd;

namespace {

// The types the class's signatures name.
struct Types {
    nb::handle int_t{reinterpret_cast<PyObject*>(&PyLong_Type)};
    nb::handle float_t{reinterpret_cast<PyObject*>(&PyFloat_Type)};
    nb::handle bool_t{reinterpret_cast<PyObject*>(&PyBool_Type)};
    nb::handle dict_t{reinterpret_cast<PyObject*>(&PyDict_Type)};
    nb::object ret_type, rf_mode, fbs_mode, mgr_type;
};

// The sibling modules' names this module shows as its own.
void import_names(nb::module_& m) {
    nb::module_ pub = nb::module_::import_("quorvex.QVRPublic");
    nb::module_ utils = nb::module_::import_("quorvex.QVRUtils");
    m.attr("FBSMode") = pub.attr("FBSMode");
    m.attr("RFMode") = pub.attr("RFMode");
    m.attr("RetCode") = utils.attr("RetCode");
    m.attr("RetType") = utils.attr("RetType");
    m.attr("RspType") = utils.attr("_RspType");
    m.attr("BeamPatternManager") =
        nb::module_::import_("quorvex.qvrdev.BeamPatternManager").attr("BeamPatternManager");
}

// StartEndEnum: OTHER 0, then numbered on.
void add_start_end_enum(nb::module_& m) {
    nb::list members;
    const char* member_names[] = {"OTHER", "START", "END", "START_END"};
    for (int i = 0; i < 4; ++i) members.append(nb::make_tuple(member_names[i], i));
    nb::object e = nb::module_::import_("enum").attr("IntEnum")(
        "StartEndEnum", members, nb::arg("module") = kModule, nb::arg("qualname") = "StartEndEnum");
    e.attr("__doc__") = "Enum for start and end states.";
    m.attr("StartEndEnum") = e;
}

// The setup decorator.
void add_decorator(nb::module_& m) {
    nb::object deco = qv::module_function<decorator_body>(
        "_require_beam_pattern_setup", "_require_beam_pattern_setup", kModule, kDecoratorDoc, {{"func"}});
    nb::str callable_text("Callable[..., RetType]");
    annotate(deco, {{"func"}}, {callable_text}, callable_text);
    m.attr("_require_beam_pattern_setup") = deco;
}

// The class's attributes and its methods with a body here; those that need
// the beam pattern set up go through `setup`.
void add_concrete(nb::dict& ns, const Types& t, nb::handle setup) {
    ns["__module__"] = kModule;
    ns["__qualname__"] = kClass;
    ns["__doc__"] = "Abstract base class for managing fast beam operations.";
    {
        nb::dict ann;
        ann["_beam_pattern_mgr"] = nb::module_::import_("typing").attr("Optional")[t.mgr_type];
        ann["external_control_enabled"] = t.bool_t;
        ns["__annotations__"] = ann;
    }
    ns["_beam_pattern_mgr"] = nb::none();
    ns["external_control_enabled"] = false;

    nb::handle property(reinterpret_cast<PyObject*>(&PyProperty_Type));
    ns["beam_pattern_mgr"] = property(method<beam_pattern_mgr_body>(
        "beam_pattern_mgr",
        "The device's BeamPatternManager, created on first access and kept after.",
        {{"self"}}, {}, t.mgr_type));
    ns["_fbs_cmd_dict"] = method<fbs_cmd_dict_body>(
        "_fbs_cmd_dict", "Return the command list for the fast beam manager.", {{"self"}}, {},
        t.dict_t);
    ns["getFastParallelMode"] = method<get_parallel_body>(
        "getFastParallelMode", "Get the fast parallel mode.", {{"self"}}, {}, t.ret_type);
    {
        nb::object full = t.fbs_mode.attr("FULL_GAIN_PHASE");
        std::initializer_list<qv::Param> params = {
            {"self"}, {"toEnable"}, {"fbs_mode", full.ptr()}};
        ns["setFastParallelMode"] = method<set_parallel_body>(
            "setFastParallelMode",
            "Set the fast parallel mode.\n"
            "\n"
            "Args:\n"
            "    toEnable (bool): Whether to enable or disable the fast parallel mode.\n"
            "    fbs_mode (FBSMode): The fast beam switch mode to set. Defaults to "
            "FBSMode.FULL_GAIN_PHASE.",
            params, {nb::handle(), t.bool_t, t.fbs_mode}, t.ret_type);
    }
    ns["eraseFastBeamConfig"] = setup(method<erase_config_body>(
        "eraseFastBeamConfig", "Erase the fast beam configuration.", {{"self"}}, {}, t.ret_type));
    ns["syncFastBeamConfig"] = setup(method<sync_config_body>(
        "syncFastBeamConfig", "Update the fast beam configuration.", {{"self"}}, {}, t.ret_type));
}

// The methods each device class must provide.
void add_abstract(nb::dict& ns, const Types& t) {
    nb::object abstractmethod = nb::module_::import_("abc").attr("abstractmethod");
    nb::handle none;
    nb::object zero = nb::int_(0);
    ns["_create_beam_pattern_mgr"] = abstractmethod(method<create_mgr_body>(
        "_create_beam_pattern_mgr", "Create the device-specific BeamPatternManager instance.",
        {{"self"}}, {}, t.mgr_type));
    ns["getFastBeamGain"] = abstractmethod(method<abstract_body<&kGetGain>>(
        "getFastBeamGain", "Get the fast beam gain.", {{"self"}, {"rf_mode"}, {"beam_id"}},
        {none, t.rf_mode, t.int_t}, t.ret_type));
    ns["getFastBeamPattern"] = abstractmethod(method<abstract_body<&kGetPattern>>(
        "getFastBeamPattern", "Get the fast beam pattern.", {{"self"}, {"beam_id"}},
        {none, t.int_t}, t.ret_type));
    ns["setFastBeamGain"] = abstractmethod(method<abstract_body<&kSetGain>>(
        "setFastBeamGain", "Set the fast beam gain.",
        {{"self"}, {"rf_mode"}, {"beam_id"}, {"enable"}, {"com_gain", zero.ptr()},
         {"ele_gain", zero.ptr()}},
        {none, t.rf_mode, t.int_t, t.bool_t, t.int_t, t.int_t}, t.ret_type));
    ns["setFastBeamPatternThetaPhi"] = abstractmethod(method<abstract_body<&kSetThetaPhi>>(
        "setFastBeamPatternThetaPhi", "Set the fast beam pattern.",
        {{"self"}, {"beam_id"}, {"rf_freq"}, {"theta"}, {"phi"}},
        {none, t.int_t, t.float_t, t.float_t, t.float_t}, t.ret_type));
    ns["setFastBeamPatternAzEl"] = abstractmethod(method<abstract_body<&kSetAzEl>>(
        "setFastBeamPatternAzEl", "Set the fast beam pattern.",
        {{"self"}, {"beam_id"}, {"rf_freq"}, {"azimuth"}, {"elevation"}},
        {none, t.int_t, t.float_t, t.float_t, t.float_t}, t.ret_type));
}

}  // namespace

NB_MODULE(LobeSwitchDirector, m) {
    if (!qv::init_function_type(kModule)) throw nb::python_error();
    init_state(state);
    qv::ModuleScope scope(PyModule_GetDict(m.ptr()));  // the module being initialised

    m.doc() = "Fast Beam Switch Manager module.";
    import_names(m);
    add_start_end_enum(m);
    add_decorator(m);

    Types t;
    t.ret_type = m.attr("RetType");
    t.rf_mode = m.attr("RFMode");
    t.fbs_mode = m.attr("FBSMode");
    t.mgr_type = m.attr("BeamPatternManager");
    nb::dict ns;
    add_concrete(ns, t, m.attr("_require_beam_pattern_setup"));
    add_abstract(ns, t);
    nb::module_ abc = nb::module_::import_("abc");
    m.attr(kClass) = abc.attr("ABCMeta")(kClass, nb::make_tuple(abc.attr("ABC")), ns);
}
