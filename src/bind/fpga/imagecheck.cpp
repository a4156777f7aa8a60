// Update image checks: .bin and .tbin files. (Being written.)
#include "fpga.h"

namespace fpga {
namespace {
nb::object not_yet(PyObject*, PyObject* const*) { qv::raise(PyExc_NotImplementedError, "not yet"); }
}  // namespace
nb::object op_checkUpdateFile() {
    return method<not_yet>("_checkUpdateFile", "Check if the update file is valid.", {{"self"}, {"image_path"}});
}
nb::object op_checkFileHeader() {
    return method<not_yet>("_checkFileHeader", "Check the header and digests of the update file.", {{"self"}, {"image_path"}});
}
}  // namespace fpga
