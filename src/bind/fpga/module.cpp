// Module load: the imports, the log set-up, the constants and FpgaTool.
#include "fastpath.h"
#include "fleet.h"
#include "fpga.h"
#include "protocol.h"
#include "trust.h"

namespace fpga {
namespace proto = qvcore::proto;

namespace {
State state;
}
State* const S = &state;

void log(PyObject* level, nb::handle text) {
    qv::call_method(global(S->logger), level, nullptr, text);
}

nb::object require_text(nb::handle value, const char* argname) {
    if (!PyUnicode_Check(value.ptr()))
        qv::raise(PyExc_TypeError, "%s must be str, not %s", argname,
                  Py_TYPE(value.ptr())->tp_name);
    return nb::borrow(value);
}

nb::object require_text_or_none(nb::handle value, const char* argname) {
    if (value.is_none()) return nb::none();
    if (!PyUnicode_Check(value.ptr()))
        qv::raise(PyExc_TypeError, "%s must be str or None, not %s", argname,
                  Py_TYPE(value.ptr())->tp_name);
    return nb::borrow(value);
}

// The text forms of the pieces, joined: a reply is shown as it is when it
// is text and by its str() otherwise, as an f-string shows it.
nb::object concat(std::initializer_list<nb::handle> pieces) {
    nb::object acc = nb::str("");
    for (nb::handle p : pieces) {
        nb::object text = PyUnicode_Check(p.ptr()) ? nb::borrow(p) : qv::check(PyObject_Str(p.ptr()));
        acc = qv::check(PyUnicode_Concat(acc.ptr(), text.ptr()));
    }
    return acc;
}

nb::object concat(const char* prefix, nb::handle value) { return concat({nb::str(prefix), value}); }

nb::object make_ret(nb::handle code, nb::handle msg, nb::handle data) {
    nb::object ret_type = global(S->RetType);
    if (data) return ret_type(code, msg, data);
    return ret_type(code, msg);
}

nb::object code(const char* member) { return global(S->RetCode).attr(member); }

bool is_own_method(nb::handle bound, nb::handle self, PyObject* own) {
    if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_SELF(bound.ptr()) != self.ptr()) return false;
    int found = PySet_Contains(own, PyMethod_GET_FUNCTION(bound.ptr()));
    if (found < 0) throw nb::python_error();
    return found == 1;
}

bool device_type_is(nb::handle device_type, long value) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(device_type.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return !overflow && v == value;
}

// Fills the State on the module's first import.
static void init_state(State& n) {
    if (n.ready) return;
#define QV_NAME(x) n.x = qv::intern(#x);
    QV_NAME(_conn) QV_NAME(_owns_conn) QV_NAME(progress_callback)
    QV_NAME(_sendCmd) QV_NAME(_getRecv) QV_NAME(sendCmd) QV_NAME(sendRawBytes)
    QV_NAME(recvRawBytes) QV_NAME(closeConnection) QV_NAME(initConnection) QV_NAME(RetData)
    QV_NAME(RSP_LIST) QV_NAME(deleteTempFile)
    QV_NAME(_fpgaCtrlInit) QV_NAME(_fpgaGetId) QV_NAME(_fpgaGetVersion) QV_NAME(_fpgaCfgMode)
    QV_NAME(_fpgaErase) QV_NAME(_fpgaRstPagePtr) QV_NAME(_fpgaProgram) QV_NAME(_fpgaRead)
    QV_NAME(_fpgaDone) QV_NAME(_fpgaRefresh) QV_NAME(_fpgaGetInfo) QV_NAME(_fpgaGetControlFwVer)
    QV_NAME(_fpgaProgramFile) QV_NAME(_checkUpdateFile)
    QV_NAME(_checkFileHeader) QV_NAME(_lend_link)
    QV_NAME(debug) QV_NAME(info) QV_NAME(warning) QV_NAME(error) QV_NAME(write) QV_NAME(flush)
    QV_NAME(time) QV_NAME(monotonic)
    QV_NAME(logger) QV_NAME(RetType) QV_NAME(RetCode) QV_NAME(RspType) QV_NAME(VER)
    QV_NAME(_RECV_SIZE) QV_NAME(_DEVICE_WHITELIST) QV_NAME(_FPGA_FW_VER_MIN)
    QV_NAME(_FPGA_VER_MIN_DEV32) QV_NAME(_PROGRAM_BLOCK_ATTEMPTS) QV_NAME(_TBIN_KEY_PREFIX)
    QV_NAME(_TRUSTED_KEYS)
    QV_NAME(json)
#undef QV_NAME
    n.stdout_ = qv::intern("stdout");
    n.struct_ = qv::intern("struct");
    n.kw_isdecode = qv::kwnames({"isdecode"});
    n.kw_getrecv = qv::kwnames({"log_print", "size", "isdecode"});
    n.kw_programfile = qv::kwnames({"image_path", "device_type"});
    const char* commands[kCommandCount] = {};
    commands[kCtrlInit] = proto::kFpgaCtrlInit;
    commands[kGetId] = proto::kFpgaGetId;
    commands[kGetVer] = proto::kGetFpgaVer;
    commands[kRead] = proto::kFpgaRead;
    commands[kDone] = proto::kFpgaDone;
    commands[kRefresh] = proto::kFpgaRefresh;
    commands[kInfo] = proto::kGetFeInfo;
    commands[kFwVer] = proto::kGetFwVer;
    commands[kSn] = proto::kGetSn;
    for (int i = 0; i < kCommandCount; ++i)
        n.commands[i] = qv::keep(qv::check(PyBytes_FromString(commands[i])));
    n.TRANS = qv::keep(qv::check(PyBytes_FromString("TRANS")));
    n.sys = qv::keep(nb::module_::import_("sys"));
    n.PurePath = qv::keep(nb::module_::import_("pathlib").attr("PurePath"));
    // The interpreter's own clocks, from the time module's dict: whatever a
    // caller has put on the module's `time` since, the engine compares with these.
    nb::object time_dict = nb::borrow(PyModule_GetDict(nb::module_::import_("time").ptr()));
    n.real_time = qv::keep(qv::check(PyObject_GetItem(time_dict.ptr(), n.time)));
    n.real_monotonic = qv::keep(qv::check(PyObject_GetItem(time_dict.ptr(), n.monotonic)));
    qvtbin::init_refs(n.tbin);
    n.own_checks = qv::keep(qv::check(PySet_New(nullptr)));
    n.own_engines = qv::keep(qv::check(PySet_New(nullptr)));
    n.ready = true;
}

}  // namespace fpga

using namespace fpga;

NB_MODULE(QVRFpga, m) {
    if (!qv::init_function_type(kModule)) throw nb::python_error();
    init_state(state);
    qv::ModuleScope scope(PyModule_GetDict(m.ptr()));  // the module being initialised

    m.doc() = "FPGA update tool: checks an image, writes it to a device's FPGA flash over "
              "the device link, reads it back and verifies it.";

    // 1. Standard facilities and the sibling modules' names.
    for (const char* mod : {"hmac", "hashlib", "json", "logging", "struct", "sys", "time"})
        m.attr(mod) = nb::module_::import_(mod);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    nb::module_ utils = nb::module_::import_("quorvex.QVRUtils");
    m.attr("VER") = utils.attr("VER");
    m.attr("RspType") = utils.attr("_RspType");
    m.attr("RetType") = utils.attr("RetType");
    m.attr("RetCode") = nb::module_::import_("quorvex.QVRPublic").attr("RetCode");

    // 2. The process-wide log, unless it already has an output.
    nb::module_ logging = nb::module_::import_("logging");
    logging.attr("basicConfig")(
        nb::arg("level") = logging.attr("INFO"),
        nb::arg("format") = "%(asctime)s - %(name)s [%(levelname)s] %(message)s",
        nb::arg("stream") = nb::module_::import_("sys").attr("stdout"));

    // 3. The module's logger.
    m.attr("logger") = logging.attr("getLogger")("FPGA");

    // 4. Constants and the class.
    m.attr("_RECV_SIZE") = kRecvSize;
    m.attr("_FPGA_FW_VER_MIN") = "0.1.0.6";
    // Read by no operation: device type 28 is off the whitelist, so no
    // version of it is gated. Kept as part of the module's published
    // constants, the lowest FPGA version known to work on a type-28 device,
    // for callers that check one themselves.
    m.attr("_FPGA_VER_MIN_DEV28") = "1.1.0.0";
    m.attr("_FPGA_VER_MIN_DEV32") = "0.2.3.4";
    nb::list whitelist;
    whitelist.append(32);
    m.attr("_DEVICE_WHITELIST") = whitelist;
    // Prefix of every .tbin key; a site whose images come from another
    // producer sets its own here.
    m.attr("_TBIN_KEY_PREFIX") = "73915046";
    // The Ed25519 public keys (raw, 32 bytes each) whose signature a .tbin
    // needs; empty: no policy. Read at each check, so code may set it.
    m.attr("_TRUSTED_KEYS") = trusted_keys_from_environment();
    add_update_constants(m);
    add_fleet_driver(m);
    add_terms(m);

    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = "FpgaTool";
    ns["__doc__"] =
        "Updates the FPGA image of a device over a device link.\n\n"
        "Build it on an open link (connection=...) or on an address and port, in which\n"
        "case the tool opens and owns a TCP link. Then initFpga(device_type) and\n"
        "processFpgaUpdate(image_path, device_type); disconnect() closes an owned link.";
    ns["__init__"] = op_init();
    ns["_getRecv"] = op_getRecv();
    ns["_sendCmd"] = op_sendCmd();
    add_command_set(ns);
    ns["_fpgaProgramFile"] = op_fpgaProgramFile();
    ns["_checkControlFwVersion"] = op_checkControlFwVersion();
    ns["_checkUpdateFile"] = op_checkUpdateFile();
    ns["_checkFileHeader"] = op_checkFileHeader();
    ns["initFpga"] = op_initFpga();
    ns["set_progress_callback"] = op_set_progress_callback();
    ns["processFpgaUpdate"] = op_processFpgaUpdate();
    if (PySet_Add(state.own_checks, nb::object(ns["_checkFileHeader"]).ptr()) < 0 ||
        PySet_Add(state.own_checks, nb::object(ns["_checkUpdateFile"]).ptr()) < 0 ||
        PySet_Add(state.own_engines, nb::object(ns["_fpgaProgramFile"]).ptr()) < 0)
        throw nb::python_error();
    ns["disconnect"] = op_disconnect();
    ns["_updateUnder"] = op_updateUnder();  // the internal hand-off: terms.cpp
    note_own_operations(ns);

    nb::handle type_type(reinterpret_cast<PyObject*>(&PyType_Type));
    m.attr("FpgaTool") = type_type("FpgaTool", nb::make_tuple(), ns);
}
