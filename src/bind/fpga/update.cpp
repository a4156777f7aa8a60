// The page programming engine (erase, 16-byte program blocks, read-back,
// digest comparison) and the update procedure that strings the checks, the
// engine and the version read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "digest.h"
#include "engine.h"
#include "fastpath.h"
#include "filebuf.h"
#include "fleet.h"
#include "fpga.h"
#include "protocol.h"
#include "tbin.h"
#include "transfer.h"
#include "trust.h"

namespace fpga {
namespace {

using qv::truth;

// --- _fpgaProgramFile(image_path, device_type=28) ---------------------------
// _PROGRAM_BLOCK_ATTEMPTS as it is now: at least 1.
long long block_attempts() {
    nb::object attempts = global(S->_PROGRAM_BLOCK_ATTEMPTS);
    PyObject* n = PyLong_Check(attempts.ptr()) ? PyNumber_Index(attempts.ptr()) : nullptr;
    if (!n) {
        PyErr_Clear();
        qv::raise(PyExc_TypeError, "_PROGRAM_BLOCK_ATTEMPTS must be int, not %s",
                  Py_TYPE(attempts.ptr())->tp_name);
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    Py_DECREF(n);
    if (overflow > 0) v = LLONG_MAX;
    return v < 1 ? 1 : v;
}

// The erase is the machine's to choose by device type (none for a type it
// does not know, and none for a number past any device type).
std::string_view erase_for(nb::handle device_type) {
    int overflow = 0;
    const long long type_value = PyLong_AsLongLongAndOverflow(device_type.ptr(), &overflow);
    if (type_value == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow ? std::string_view() : qvcore::Transfer::erase_selector_for(type_value);
}

nb::object program_file_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]);
    nb::object path = require_text(a[1], "image_path");
    nb::object device_type = qv::to_int(a[2], "device_type");
    std::string os_path = qv::fs_encode(path);
    // The update this engine is part of (processFpgaUpdate ran the real
    // checks on this path), if any. Taken away for whatever this run calls.
    CheckedRun* run = CheckedRun::current(self, path);
    CheckedRunScope no_run(nullptr);

    Clocks clocks;
    const uint64_t max_attempts = static_cast<uint64_t>(block_attempts());
    long long file_size = 0;
    struct stat st {};
    {
        int rc, err = 0;
        Py_BEGIN_ALLOW_THREADS rc = ::stat(os_path.c_str(), &st); err = errno; Py_END_ALLOW_THREADS
        if (rc != 0) {
            tell(run, "os_error", qvtbin::os_failure_text(err, path), err);
            qv::raise_os_error(err, path);
        }
        if (qvcore::is_special(st)) {  // nothing erased for it
            qvcore::OsError special;
            special.special = true;
            raise_file_error(special, path, run);
        }
        file_size = static_cast<long long>(st.st_size);
    }
    const double start = clocks.monotonic();
    const std::string_view erase = erase_for(device_type);
    const bool tbin = image_kind(path) == ImageKind::tbin;

    // An update whose terms name a fleet driver: the transfer runs on it.
    const FleetOutcome f = fleet_transfer(self, run, path, os_path, st, tbin, erase, max_attempts);
    if (f.used) {
        log_write_digest(f.w_digest);
        log_read_verdict(f.r_digest, f.verified);
        log_finished(clocks, start);
        return nb::bool_(f.verified);
    }

    // The sequence is the transfer machine's; the commands go natively
    // while nothing of the tool or its link is replaced, else through self.
    return nb::bool_(run_transfer({self, path, os_path, tbin, erase, max_attempts, run, file_size,
                                   clocks, start}));
}

// --- processFpgaUpdate(image_path=None, device_type=32) ---------------------
// (and _updateUnder(terms, image_path=None, device_type=32): the same under
// the caller's terms, its refusals carrying their verdict as RetData)

// The image at `path` has 0 bytes: a .tbin whose image range is empty (the
// fields read from its start, the range cut at its end), else an empty file.
// False whenever that cannot be told; the engine then reports the file.
bool image_is_empty(nb::handle path) {
    std::string fs;
    if (!qvtbin::fs_path(path, fs)) return false;
    const bool tbin = image_kind(path) == ImageKind::tbin;
    nb::gil_scoped_release nogil;
    struct stat st {};
    qvcore::OsError e;
    qvcore::Fd fd(qvcore::open_regular(fs, st, e));
    if (fd.get() < 0) return false;
    if (!tbin) return st.st_size == 0;
    uint8_t head[qvcore::tbin::kFieldsSize];
    qvcore::tbin::Fields f;
    return ::pread(fd.get(), head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           qvcore::tbin::read_fields(head, sizeof head, f) &&
           qvcore::tbin::image_range(f, static_cast<size_t>(st.st_size)).size == 0;
}

// The refusals of one update: each is logged and returned as
// RetType(ERROR, message); under terms given by the caller, the verdict
// also goes to the terms and, as {"reason", "errno", "detail"}, to RetData.
struct Refusals {
    CheckedRun& run;
    bool verdict_data;

    // `reason` refuses; nullptr takes the verdict the step told the run,
    // else `fallback` (a step that is not ours says no reason).
    nb::object operator()(const char* message, const char* reason, const char* fallback = nullptr) {
        return (*this)(nb::str(message), reason, fallback);
    }
    nb::object operator()(nb::handle msg, const char* reason, const char* fallback = nullptr) {
        Verdict v = run.verdict;  // what the step told, if anything
        const bool told = v.reason && std::string_view(v.reason) != "ok";
        if (reason || !told) v = Verdict{reason ? reason : fallback, 0, nb::borrow(msg)};
        log(S->error, msg);
        tell(run.terms, v.reason, v.detail ? nb::handle(v.detail) : nb::handle(msg), v.err);
        if (!verdict_data) return make_ret(code("ERROR"), msg);
        nb::dict data;
        data["reason"] = v.reason;
        data["errno"] = v.err ? nb::object(nb::int_(v.err)) : nb::none();
        data["detail"] = v.detail ? v.detail : msg;
        return make_ret(code("ERROR"), msg, data);
    }
};

// A check of the update, through self: the verdict it told, when it is ours.
bool run_check(nb::handle self, PyObject* name, CheckedRun& run) {
    return check_in_run(qv::check(PyObject_GetAttr(self.ptr(), name)), run);
}

// The new FPGA version, as the device type reads it.
nb::object read_version(nb::handle self, nb::handle device_type) {
    if (device_type_is(device_type, 32)) return qv::call_method(self, S->_fpgaGetVersion, nullptr);
    if (!device_type_is(device_type, 28)) return nb::str("");
    nb::object info = global(S->json).attr("loads")(qv::call_method(self, S->_fpgaGetInfo, nullptr));
    nb::object members = qv::check(PyObject_GetIter(info.attr("values")().ptr()));
    PyObject* first = PyIter_Next(members.ptr());
    if (!first && PyErr_Occurred()) throw nb::python_error();
    nb::object first_dev = first ? nb::steal(first) : nb::dict();
    return first_dev.attr("get")("fpga_ver", "");
}

nb::object update(nb::handle self, nb::handle path_arg, nb::handle type_arg, Terms* terms) {
    nb::object path = require_text_or_none(path_arg, "image_path");
    nb::object device_type = qv::to_int(type_arg, "device_type");

    nb::dict result;
    result["success"] = false;
    result["error_message"] = "";
    result["fw_version"] = "";

    CheckedRun run{self.ptr(), path.ptr(), terms, false, {}, {}};
    Refusals refuse{run, terms != nullptr};
    if (path.is_none() || PyUnicode_GET_LENGTH(path.ptr()) == 0)
        return refuse("FPGA image path is not provided.", "no_path");
    if (!run_check(self, S->_checkUpdateFile, run))
        return refuse("FPGA update file check failed.", nullptr, "file_check_failed");
    if (!run_check(self, S->_checkFileHeader, run))
        return refuse("FPGA image header check failed.", nullptr, "header_check_failed");
    if (!run.policy_read && terms && terms->has_policy) {
        // A check of another's: the engine still holds the copy to this run's policy.
        run.trusted = terms->trusted;
        run.policy_read = true;
    }
    if (image_is_empty(path))  // the device would be erased and given nothing
        return refuse(qv::check(PyUnicode_FromFormat("FPGA image is empty: %U", path.ptr())), "empty_image");

    // From here an error that ends the update is raised, not refused: the
    // terms say no reason unless the engine tells one (file_changed, ...).
    if (terms) terms->verdict = Verdict{};
    nb::object engine = qv::check(PyObject_GetAttr(self.ptr(), S->_fpgaProgramFile));
    bool programmed;
    {
        run.verdict = Verdict{};
        const bool own = is_own_method(engine, self, S->own_engines);
        CheckedRunScope scope(own ? &run : nullptr);
        PyObject* argv[] = {nullptr, path.ptr(), device_type.ptr()};
        programmed = truth(qv::check(
            PyObject_Vectorcall(engine.ptr(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, S->kw_programfile)));
    }
    if (!programmed) return refuse("FPGA update process failed.", "verify_failed");

    nb::object version = read_version(self, device_type);
    log(S->info, concat("Updated FPGA version: ", nb::str(version)));
    log(S->info, nb::str("FPGA update process completed successfully."));
    tell(terms, "ok", nb::str("ok"));
    result["success"] = true;
    result["fw_version"] = version;
    return global(S->RetType)(nb::arg("data") = result);
}

nb::object process_update_body(PyObject*, PyObject* const* a) { return update(a[0], a[1], a[2], nullptr); }

nb::object update_under_body(PyObject*, PyObject* const* a) {
    return update(a[0], a[2], a[3], terms_arg(a[1], "terms"));
}

}  // namespace

void add_update_constants(nb::module_& m) {
    // Attempts allowed for one refused program block before the run gives up.
    m.attr("_PROGRAM_BLOCK_ATTEMPTS") = 64;
}

nb::object op_fpgaProgramFile() {
    return method<program_file_body>(
        "_fpgaProgramFile",
        "Write an image file to the FPGA flash in 16-byte blocks, read it back and verify it.",
        {{"self"}, {"image_path"}, {"device_type", nb::int_(28).ptr()}});
}

nb::object op_processFpgaUpdate() {
    return method<process_update_body>(
        "processFpgaUpdate",
        "Update the FPGA image of the device: check the image file, write and verify it, "
        "and read the new FPGA version.",
        {{"self"}, {"image_path", Py_None}, {"device_type", nb::int_(32).ptr()}});
}

nb::object op_updateUnder() {
    return method<update_under_body>(
        "_updateUnder",
        "processFpgaUpdate under `terms` (a _Terms: trust policy, fleet driver, last look\n"
        "before the erase). The terms receive the verdict and the transfer counts; a\n"
        "refusal's RetData is {'reason': ..., 'errno': ..., 'detail': ...}.",
        {{"self"}, {"terms"}, {"image_path", Py_None}, {"device_type", nb::int_(32).ptr()}});
}

}  // namespace fpga
