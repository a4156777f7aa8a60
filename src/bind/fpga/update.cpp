// Initialisation, page programming and the update procedure. (Being written.)
#include "fpga.h"

namespace fpga {
namespace {
nb::object not_yet(PyObject*, PyObject* const*) { qv::raise(PyExc_NotImplementedError, "not yet"); }
}  // namespace
void add_update_constants(nb::module_& m) { m.attr("_PROGRAM_BLOCK_ATTEMPTS") = 64; }
nb::object op_fpgaProgramFile() {
    return method<not_yet>("_fpgaProgramFile", "Write an image file to the FPGA flash and verify it.",
                           {{"self"}, {"image_path"}, {"device_type", nb::int_(28).ptr()}});
}
nb::object op_checkControlFwVersion() {
    return method<not_yet>("_checkControlFwVersion", "Check if the control firmware version is compatible.", {{"self"}});
}
nb::object op_initFpga() {
    return method<not_yet>("initFpga", "Initialize FPGA.", {{"self"}, {"device_type"}, {"disable_fw_check", Py_False}});
}
nb::object op_processFpgaUpdate() {
    return method<not_yet>("processFpgaUpdate", "Update the FPGA image of the device.",
                           {{"self"}, {"image_path", Py_None}, {"device_type", nb::int_(32).ptr()}});
}
}  // namespace fpga
