// quorvex.QVRFpga: the FpgaTool class, built at import from native functions.
// Each file of this folder supplies the operations of one job; module.cpp
// puts them into the class in the order listed at the end of this file.
#pragma once

#include "qvnb.h"
#include "tbinpy.h"

namespace fpga {
namespace nb = nanobind;

constexpr const char* kModule = "quorvex.QVRFpga";
// The bytes one receive takes at most: _RECV_SIZE, and _sendCmd's default size.
constexpr long kRecvSize = 1024;

// The device commands without an argument, as State::commands indexes them.
enum Command { kCtrlInit, kGetId, kGetVer, kRead, kDone, kRefresh, kInfo, kFwVer, kSn, kCommandCount };

// Interned names and reused objects; made by the first import, kept for the process: every import's functions use them.
struct State {
    bool ready = false;
    // attribute and method names
    PyObject *_conn, *_owns_conn, *progress_callback;
    PyObject *_sendCmd, *_getRecv, *sendCmd, *sendRawBytes, *recvRawBytes, *closeConnection,
        *initConnection, *RetData, *RSP_LIST, *deleteTempFile;
    PyObject *_fpgaCtrlInit, *_fpgaGetId, *_fpgaGetVersion, *_fpgaCfgMode, *_fpgaErase,
        *_fpgaRstPagePtr, *_fpgaProgram, *_fpgaRead, *_fpgaDone, *_fpgaRefresh, *_fpgaGetInfo,
        *_fpgaGetControlFwVer, *_fpgaProgramFile, *_checkUpdateFile, *_checkFileHeader,
        *_lend_link;
    PyObject *debug, *info, *warning, *error, *write, *flush, *stdout_, *time, *monotonic;
    // module-level names, looked up with global()
    PyObject *logger, *RetType, *RetCode, *RspType, *VER, *_RECV_SIZE, *_DEVICE_WHITELIST,
        *_FPGA_FW_VER_MIN, *_FPGA_VER_MIN_DEV32, *_PROGRAM_BLOCK_ATTEMPTS, *_TBIN_KEY_PREFIX,
        *_TRUSTED_KEYS, *json, *struct_;
    PyObject* kw_isdecode;            // ("isdecode",)
    PyObject* kw_getrecv;             // ("log_print", "size", "isdecode")
    PyObject* kw_programfile;         // ("image_path", "device_type")
    PyObject* commands[kCommandCount];  // their bytes
    PyObject* TRANS;                  // b"TRANS"
    PyObject *sys, *PurePath;          // the sys module, pathlib.PurePath
    PyObject *real_time, *real_monotonic;  // the time module's own time() and monotonic()
    qvtbin::Refs tbin;
    // Every import's own checks and _fpgaProgramFile (sets of the function
    // objects): processFpgaUpdate tells by them that it runs the real checks
    // and the real engine.
    PyObject *own_checks, *own_engines;
};
extern State* const S;

// A module-level name (`logger`, `RetType`, `_DEVICE_WHITELIST`, ...; an
// interned name of State) from the dict of the running function's own
// module, read at call time so that a caller who rebinds it is obeyed.
inline nb::object global(PyObject* name) { return qv::module_global(name); }

// logger.<level>(text) through the module's current `logger`.
void log(PyObject* level, nb::handle text);

// A method of FpgaTool from a nanobind body.
template <qv::NbBody F>
nb::object method(const char* name, const char* doc, std::initializer_list<qv::Param> params) {
    std::string qualname = std::string("FpgaTool.") + name;
    return qv::module_function<F>(name, qualname.c_str(), kModule, doc, params);
}

// The text forms of the pieces, joined: a reply is shown as it is when it
// is text and by its str() otherwise, as an f-string shows it.
nb::object concat(std::initializer_list<nb::handle> pieces);
nb::object concat(const char* prefix, nb::handle value);
// RetType(code, msg) through the module's current RetType; (code, msg, data) with data.
nb::object make_ret(nb::handle code, nb::handle msg, nb::handle data = nb::handle());
// The member of the module's current RetCode.
nb::object code(const char* member);

// Argument conversions shared by the operations.
nb::object require_text(nb::handle value, const char* argname);          // str, else TypeError
nb::object require_text_or_none(nb::handle value, const char* argname);  // str or None
bool device_type_is(nb::handle device_type, long value);  // an int from qv::to_int

// A module imported again shares the classes made by the first import:
// when T is bound already, that class becomes `name` of `m`, and true says
// that nothing is left to define.
template <typename T>
bool share_bound_class(nb::module_& m, const char* name) {
    nb::handle known = nb::type<T>();
    if (known) m.attr(name) = known;
    return known.is_valid();
}

// An image file's type by the suffix of its final component, as pathlib
// takes it, compared case-insensitively.
enum class ImageKind { bin, tbin, other };
ImageKind image_kind(nb::handle path);

// The operations, in the order the class lists them.
nb::object op_init();
nb::object op_getRecv();
nb::object op_sendCmd();
void add_command_set(nb::dict ns);  // _fpgaCtrlInit ... _fpgaGetSerialNumber
nb::object op_fpgaProgramFile();
nb::object op_checkControlFwVersion();
nb::object op_checkUpdateFile();
nb::object op_checkFileHeader();
nb::object op_initFpga();
nb::object op_set_progress_callback();
nb::object op_processFpgaUpdate();
nb::object op_updateUnder();
nb::object op_disconnect();

// Module constants owned by the other files (added after the base constants).
void add_update_constants(nb::module_& m);

// `bound` (an attribute of `self`) is a method of `self` whose function is in
// the set `own` (S->own_checks, S->own_engines).
bool is_own_method(nb::handle bound, nb::handle self, PyObject* own);

}  // namespace fpga
