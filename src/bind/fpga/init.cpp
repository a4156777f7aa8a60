// Device initialisation and version gating: initFpga and
// _checkControlFwVersion.
#include "fpga.h"

namespace fpga {
namespace {

using qv::truth;

// --- initFpga(device_type, disable_fw_check=False) --------------------------
nb::object init_fpga_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]);
    nb::object device_type = qv::to_int(a[1], "device_type");
    bool skip_version_check = truth(a[2]);

    nb::dict result;
    result["success"] = false;
    result["error_message"] = "";
    result["device_count"] = 0;
    result["device_info"] = nb::none();
    result["fpga_id"] = "";
    result["fw_version"] = "";
    result["fpga_version"] = "";

    int listed = PySequence_Contains(global(S->_DEVICE_WHITELIST).ptr(), device_type.ptr());
    if (listed < 0) throw nb::python_error();
    if (!listed) {
        nb::object msg = qv::check(PyUnicode_FromFormat(
            "Device type %S is not supported for firmware version check.", device_type.ptr()));
        log(S->warning, msg);
        return make_ret(code("WARNING"), msg);
    }

    try {
        qv::call_method(self, S->_fpgaCtrlInit, nullptr);
        qv::call_method(self, S->_fpgaCfgMode, nullptr, nb::handle(S->TRANS));
        nb::object fpga_id = qv::call_method(self, S->_fpgaGetId, nullptr);
        result["fpga_id"] = fpga_id;
        log(S->info, concat("FPGA ID: ", fpga_id));
        if (device_type_is(device_type, 32)) {
            nb::object version = qv::call_method(self, S->_fpgaGetVersion, nullptr);
            result["fpga_version"] = version;
            log(S->info, concat("FPGA Version: ", version));
            if (truth(version) && !skip_version_check) {
                nb::object minimum = global(S->_FPGA_VER_MIN_DEV32);
                nb::object ver = global(S->VER);
                if (truth(qv::check(PyObject_RichCompare(ver(version).ptr(), ver(minimum).ptr(), Py_LT)))) {
                    nb::object msg =
                        concat({nb::str("FPGA version "), version,
                                nb::str(" is lower than minimum required version "), minimum,
                                nb::str(".")});
                    log(S->warning, msg);
                    return make_ret(code("WARNING"), msg);
                }
            }
        }
        result["success"] = true;
        return make_ret(code("OK"), nb::str("FPGA initialized successfully"), result);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        nb::object msg = concat("FPGA initialization failed: ", nb::str(e.value()));
        log(S->error, msg);
        return make_ret(code("ERROR"), msg);
    }
}

// --- _checkControlFwVersion() -----------------------------------------------
nb::object check_fw_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]);
    nb::object ver = global(S->VER);
    nb::object fw = ver(qv::call_method(self, S->_fpgaGetControlFwVer, nullptr));
    nb::str fw_text = nb::str(fw);
    log(S->debug, concat("RIS control FW version: ", fw_text));
    nb::object minimum = global(S->_FPGA_FW_VER_MIN);
    if (truth(qv::check(PyObject_RichCompare(fw.ptr(), ver(minimum).ptr(), Py_LT)))) {
        nb::object msg = concat({nb::str("RIS control FW version "), fw_text,
                                 nb::str(" is lower than minimum required version "), minimum});
        log(S->warning, msg);
        return nb::bool_(false);
    }
    return nb::bool_(true);
}

}  // namespace

nb::object op_checkControlFwVersion() {
    return method<check_fw_body>("_checkControlFwVersion",
                                 "Check if the control firmware version is compatible.", {{"self"}});
}

nb::object op_initFpga() {
    return method<init_fpga_body>("initFpga", "Initialize FPGA.",
                                  {{"self"}, {"device_type"}, {"disable_fw_check", Py_False}});
}

}  // namespace fpga
