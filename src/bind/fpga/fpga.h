// quorvex.QVRFpga: the FpgaTool class, built at import from native functions.
// Each file of this folder supplies the operations of one job; module.cpp
// puts them into the class in the documented order.
#pragma once

#include "qvnb.h"

namespace fpga {
namespace nb = nanobind;

constexpr const char* kModule = "quorvex.QVRFpga";

// The globals of the module being initialised; at call time global() reads
// those of the running function's own module, so that a caller who rebinds
// `logger`, `RetType`, `_DEVICE_WHITELIST` and the like is obeyed.
extern PyObject* g_globals;
nb::object global(const char* name);

// Interned attribute and keyword names used on the per-call paths.
struct Names {
    PyObject *_conn, *_owns_conn, *progress_callback;
    PyObject *_sendCmd, *_getRecv, *sendCmd, *sendRawBytes, *recvRawBytes, *closeConnection,
        *initConnection, *RetData, *RSP_LIST, *deleteTempFile;
    PyObject *_fpgaCtrlInit, *_fpgaGetId, *_fpgaGetVersion, *_fpgaCfgMode, *_fpgaErase,
        *_fpgaRstPagePtr, *_fpgaProgram, *_fpgaRead, *_fpgaDone, *_fpgaRefresh, *_fpgaGetInfo,
        *_fpgaGetControlFwVer, *_fpgaGetSerialNumber, *_fpgaProgramFile, *_checkUpdateFile,
        *_checkFileHeader;
    PyObject *debug, *info, *warning, *error, *write, *flush, *isatty;
    PyObject* kw_isdecode;            // ("isdecode",)
    PyObject* kw_getrecv;             // ("log_print", "size", "isdecode")
    PyObject* kw_programfile;         // ("image_path", "device_type")
};
extern const Names* S;

// logger.<level>(text) through the module's current `logger`.
void log(PyObject* level, nb::handle text);

// A method of FpgaTool from a nanobind body.
template <qv::NbBody F>
nb::object method(const char* name, const char* doc, std::initializer_list<qv::Param> params) {
    std::string qualname = std::string("FpgaTool.") + name;
    return qv::module_function<F>(name, qualname.c_str(), kModule, doc, params, g_globals);
}

// Argument conversions shared by the operations.
nb::object require_text(nb::handle value, const char* argname);          // str, else TypeError
nb::object require_text_or_none(nb::handle value, const char* argname);  // str or None
bool device_type_is(nb::handle device_type, long value);  // an int from qv::to_int

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
nb::object op_disconnect();

// Module constants owned by the other files (added after the base constants).
void add_update_constants(nb::module_& m);

}  // namespace fpga
