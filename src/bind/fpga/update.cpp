// Device initialisation and version gating, the page programming engine
// (erase, 16-byte program blocks, read-back, digest comparison) and the
// update procedure that strings the checks, the engine and the version read.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "digest.h"
#include "fastpath.h"
#include "filebuf.h"
#include "fleet.h"
#include "fpga.h"
#include "progress.h"
#include "protocol.h"
#include "tbin.h"
#include "transfer.h"
#include "trust.h"

namespace fpga {
namespace {

namespace proto = qvcore::proto;
constexpr size_t kBlockSize = proto::kPageSize;

// A clock of clock_gettime in seconds, as Python's time functions give it.
double clock_seconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The clocks the engine reports are Python's: the module's `time`, taken at
// the start of each run, so a caller who fakes time.time or time.monotonic
// is obeyed. While they are the interpreter's own functions the same clocks
// are read here directly (time.time is CLOCK_REALTIME, time.monotonic
// CLOCK_MONOTONIC), without a Python call per block.
class Clocks {
public:
    Clocks() {
        nb::object mod = global(S->time);
        wall_ = qv::check(PyObject_GetAttr(mod.ptr(), S->time));
        mono_ = qv::check(PyObject_GetAttr(mod.ptr(), S->monotonic));
        native_wall_ = wall_.ptr() == S->real_time;
        native_mono_ = mono_.ptr() == S->real_monotonic;
    }
    double wall() { return native_wall_ ? clock_seconds(CLOCK_REALTIME) : call(wall_); }
    double monotonic() { return native_mono_ ? clock_seconds(CLOCK_MONOTONIC) : call(mono_); }

private:
    static double call(const nb::object& fn) {
        nb::object t = qv::check(PyObject_CallNoArgs(fn.ptr()));
        double v = PyFloat_AsDouble(t.ptr());
        if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    nb::object wall_, mono_;
    bool native_wall_ = false, native_mono_ = false;
};


using qv::truth;

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

nb::object make_ret(nb::handle code, nb::handle msg, nb::handle data = nb::handle()) {
    nb::object ret_type = global(S->RetType);
    if (data) return ret_type(code, msg, data);
    return ret_type(code, msg);
}

nb::object code(const char* member) { return global(S->RetCode).attr(member); }

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

// --- _fpgaProgramFile(image_path, device_type=28) ---------------------------
// One run of the engine: the tool, the progress output and the counters.
class Engine {
public:
    explicit Engine(nb::handle self) : self_(self) {
        stage_write_ = nb::str("write");
        stage_verify_ = nb::str("verify");
    }

    void report(nb::handle stage, long long done, long long total) {
        nb::object cb = qv::check(PyObject_GetAttr(self_.ptr(), S->progress_callback));
        if (!truth(cb)) return;
        cb(stage, done, total);
    }

    void progress_line(long long done, long long total, double elapsed) {
        double percent = total ? double(done) / double(total) * 100.0 : 100.0;
        char line[160];
        int n = qvcore::format_progress(line, sizeof line, percent, done, total, elapsed);
        write_out(line, n, false);
    }

    void end_stage() { write_out("\n", 1, true); }

    nb::handle self_;
    Clocks clocks_;
    nb::object stage_write_, stage_verify_;
    long long file_size_ = 0, max_attempts_ = 64;

private:
    void write_out(const char* text, int n, bool force_flush) {
        // Whatever sys.stdout is now, held: write() may rebind it.
        nb::object out = qv::optional_attr(nb::handle(S->sys), S->stdout_);
        if (!out || out.is_none()) return;
        nb::object s = qv::check(PyUnicode_FromStringAndSize(text, n));
        qv::call_method(out, S->write, nullptr, s);
        double now = clock_seconds(CLOCK_MONOTONIC);  // only paces flushes, reported nowhere
        if (force_flush || now - last_flush_ >= 0.05) {
            last_flush_ = now;
            if (nb::object flush = qv::optional_attr(out, S->flush))  // print() needs none
                qv::check(PyObject_CallNoArgs(flush.ptr()));
        }
    }
    double last_flush_ = 0;
};

nb::object program_file_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]);
    nb::object path = require_text(a[1], "image_path");
    nb::object device_type = qv::to_int(a[2], "device_type");
    std::string os_path = qv::fs_encode(path);
    // Checked: processFpgaUpdate ran the real check on this path and now
    // this engine. Taken away for whatever this run calls.
    CheckedRun* checked = CheckedRun::current(self, path);
    if (checked && !checked->policy_read) checked = nullptr;
    CheckedRunScope no_run(nullptr);

    Engine e(self);
    {
        nb::object attempts = global(S->_PROGRAM_BLOCK_ATTEMPTS);
        PyObject* n = PyLong_Check(attempts.ptr()) ? PyNumber_Index(attempts.ptr()) : nullptr;
        if (!n) {
            PyErr_Clear();
            qv::raise(PyExc_TypeError, "_PROGRAM_BLOCK_ATTEMPTS must be int, not %s",
                      Py_TYPE(attempts.ptr())->tp_name);
        }
        int overflow = 0;
        e.max_attempts_ = PyLong_AsLongLongAndOverflow(n, &overflow);
        Py_DECREF(n);
        if (overflow > 0) e.max_attempts_ = LLONG_MAX;
        if (e.max_attempts_ < 1) e.max_attempts_ = 1;
    }
    struct stat st {};
    {
        int rc, err = 0;
        Py_BEGIN_ALLOW_THREADS rc = ::stat(os_path.c_str(), &st); err = errno; Py_END_ALLOW_THREADS
        if (rc != 0) qv::raise_os_error(err, path);
        if (qvcore::is_special(st)) {  // nothing erased for it
            qvcore::OsError special;
            special.special = true;
            raise_file_error(special, path);
        }
        e.file_size_ = static_cast<long long>(st.st_size);
    }
    const double start = e.clocks_.monotonic();
    // The erase is the machine's to choose by device type (none for a type
    // it does not know, and none for a number past any device type).
    int overflow = 0;
    const long long type_value = PyLong_AsLongLongAndOverflow(device_type.ptr(), &overflow);
    if (type_value == -1 && PyErr_Occurred()) throw nb::python_error();
    const std::string_view erase =
        overflow ? std::string_view() : qvcore::Transfer::erase_selector_for(type_value);
    const bool tbin = image_kind(path) == ImageKind::tbin;

    // A tool of a fleet run: the transfer runs on the run's native driver.
    if (nb::object lane = qv::optional_attr(self, S->_fleet_driver)) {
        const FleetOutcome f = fleet_transfer(self, lane, path, os_path, st, tbin, erase,
                                              static_cast<uint64_t>(e.max_attempts_), checked);
        if (f.used) {
            log(S->debug, nb::str(("w hash: " + f.w_digest).c_str()));
            log(S->info, nb::str("Verify Data"));
            log(S->debug, nb::str(("r hash: " + f.r_digest).c_str()));
            if (f.verified) log(S->info, nb::str("Verify Success"));
            else log(S->error, nb::str("Verify Failed"));
            char total[96];
            std::snprintf(total, sizeof total, "FPGA program file finished. Total time: %.4f sec",
                          e.clocks_.monotonic() - start);
            log(S->info, nb::str(total));
            return nb::bool_(f.verified);
        }
    }

    // Nothing of the tool or its link replaced: the same run, natively.
    if (std::optional<bool> v = native_transfer({self, path, os_path, tbin, erase,
            static_cast<uint64_t>(e.max_attempts_), checked, e.file_size_, start}))
        return nb::bool_(*v);

    // The sequence is the transfer machine's; the commands go through self.
    qvcore::Transfer t(erase, static_cast<uint64_t>(e.max_attempts_));
    const nb::object cfg = nb::bytes(proto::kSectionCfg);
    qvcore::FileBuffer file;        // a .tbin, whole
    const uint8_t* image = nullptr;  // its image range
    size_t image_size = 0, taken = 0;
    qvcore::BlockReader reader;     // any other file, streamed
    double t0 = 0, t1 = 0;
    for (;;) {
        switch (t.next()) {
        case qvcore::Transfer::Step::kErase:
            qv::call_method(self, S->_fpgaErase, nullptr, nb::bytes(t.erase_selector().data(), t.erase_selector().size()));
            t.acknowledge();
            break;
        case qvcore::Transfer::Step::kResetPointer:
            qv::call_method(self, S->_fpgaRstPagePtr, nullptr, cfg);
            t.acknowledge();
            break;
        case qvcore::Transfer::Step::kWriteBegin:
            e.report(e.stage_write_, 0, 0);
            if (tbin) {
                qvcore::OsError err;
                bool loaded;
                Py_BEGIN_ALLOW_THREADS loaded = file.load(os_path, err);
                Py_END_ALLOW_THREADS
                if (!loaded) raise_file_error(err, path);
                const ImageSpan span = checked_tbin_image(file, checked, path);
                e.file_size_ = static_cast<long long>(span.size);
                image = span.data;
                image_size = span.size;
            } else {
                refuse_unsigned_raw(checked, path);
                qvcore::OsError err;
                if (!reader.open(os_path, err)) raise_file_error(err, path);
            }
            break;
        case qvcore::Transfer::Step::kNeedBlock:
            if (tbin) {
                const size_t n = std::min(kBlockSize, image_size - taken);
                t.block(image + taken, n);
                taken += n;
            } else {
                uint8_t block[kBlockSize];
                qvcore::OsError err;
                long n = reader.read(block, kBlockSize, err);
                if (n < 0) qv::raise_os_error(err.err, path);
                if (n == 0) reader.close();
                t.block(block, static_cast<size_t>(n));
            }
            break;
        case qvcore::Transfer::Step::kProgram: {
            nb::object block = qv::check(PyBytes_FromStringAndSize(
                reinterpret_cast<const char*>(t.block_data()), static_cast<Py_ssize_t>(t.block_size())));
            for (;;) {
                t0 = e.clocks_.wall();
                nb::object ok = qv::call_method(self, S->_fpgaProgram, nullptr, block);
                t1 = e.clocks_.wall();
                const qvcore::Transfer::Reply r = t.program_reply(truth(ok));
                if (r == qvcore::Transfer::Reply::kAccepted) break;
                if (r == qvcore::Transfer::Reply::kRefused)
                    qv::raise(PyExc_RuntimeError,
                              "the device refused the block at offset %llu of the image %llu times; "
                              "the flash is left erased and partly written, not marked done",
                              static_cast<unsigned long long>(t.block_offset()),
                              static_cast<unsigned long long>(t.attempts()));
            }
            const long long sent = static_cast<long long>(t.sent());
            e.progress_line(sent, e.file_size_, t1 - t0);
            e.report(e.stage_write_, sent, e.file_size_);
            break;
        }
        case qvcore::Transfer::Step::kWriteEnd:
            e.end_stage();
            log(S->debug, nb::str(("w hash: " + t.w_digest()).c_str()));
            log(S->info, nb::str("Verify Data"));
            e.report(e.stage_verify_, 0, static_cast<long long>(t.sent()));
            break;
        case qvcore::Transfer::Step::kRead: {
            t0 = e.clocks_.wall();
            nb::object page = qv::call_method(self, S->_fpgaRead, nullptr);
            t1 = e.clocks_.wall();
            const long long read = static_cast<long long>(t.read() + kBlockSize);
            const long long sent = static_cast<long long>(t.sent());
            e.progress_line(read, sent, t1 - t0);
            e.report(e.stage_verify_, read, sent);
            Py_buffer view;
            if (PyUnicode_Check(page.ptr()) || PyObject_GetBuffer(page.ptr(), &view, PyBUF_SIMPLE) < 0) {
                PyErr_Clear();
                qv::raise(PyExc_TypeError, "the read-back page must be bytes, not %s",
                          Py_TYPE(page.ptr())->tp_name);
            }
            t.page(view.buf, static_cast<size_t>(view.len));
            PyBuffer_Release(&view);
            break;
        }
        case qvcore::Transfer::Step::kVerifyEnd:
            e.end_stage();
            log(S->debug, nb::str(("r hash: " + t.r_digest()).c_str()));
            if (t.verified()) log(S->info, nb::str("Verify Success"));
            else log(S->error, nb::str("Verify Failed"));
            break;
        case qvcore::Transfer::Step::kDone:
            qv::call_method(self, S->_fpgaDone, nullptr);
            t.acknowledge();
            break;
        case qvcore::Transfer::Step::kRefresh:
            qv::call_method(self, S->_fpgaRefresh, nullptr);
            t.acknowledge();
            break;
        case qvcore::Transfer::Step::kAwaitReply:      // never: one command at a time
        case qvcore::Transfer::Step::kWindowFallback:  // never: a window of 1
        case qvcore::Transfer::Step::kFinished:
        case qvcore::Transfer::Step::kRefused: {
            char total[96];
            std::snprintf(total, sizeof total, "FPGA program file finished. Total time: %.4f sec",
                          e.clocks_.monotonic() - start);
            log(S->info, nb::str(total));
            return nb::bool_(t.verified());
        }
        }
    }
}

// --- processFpgaUpdate(image_path=None, device_type=32) ---------------------
nb::object refuse(nb::handle msg) {
    log(S->error, msg);
    return make_ret(code("ERROR"), msg);
}

nb::object refuse(const char* message) { return refuse(nb::str(message)); }

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

nb::object process_update_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]);
    nb::object path = require_text_or_none(a[1], "image_path");
    nb::object device_type = qv::to_int(a[2], "device_type");

    nb::dict result;
    result["success"] = false;
    result["error_message"] = "";
    result["fw_version"] = "";

    if (path.is_none() || PyUnicode_GET_LENGTH(path.ptr()) == 0)
        return refuse("FPGA image path is not provided.");
    if (!truth(qv::call_method(self, S->_checkUpdateFile, nullptr, path)))
        return refuse("FPGA update file check failed.");
    nb::object checker = qv::check(PyObject_GetAttr(self.ptr(), S->_checkFileHeader));
    CheckedRun run{self.ptr(), path.ptr(), false, {}};
    const bool real_check = is_own_method(checker, self, S->own_checks);
    bool passed;
    {
        CheckedRunScope scope(real_check ? &run : nullptr);  // the check leaves its policy in it
        passed = truth(qv::check(PyObject_CallOneArg(checker.ptr(), path.ptr())));
    }
    if (!passed) return refuse("FPGA image header check failed.");
    if (image_is_empty(path))  // the device would be erased and given nothing
        return refuse(qv::check(PyUnicode_FromFormat("FPGA image is empty: %U", path.ptr())));

    nb::object engine = qv::check(PyObject_GetAttr(self.ptr(), S->_fpgaProgramFile));
    bool programmed;
    {
        CheckedRunScope scope(real_check && is_own_method(engine, self, S->own_engines) ? &run : nullptr);
        PyObject* argv[] = {nullptr, path.ptr(), device_type.ptr()};
        programmed = truth(qv::check(
            PyObject_Vectorcall(engine.ptr(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, S->kw_programfile)));
    }
    if (!programmed) return refuse("FPGA update process failed.");

    nb::object version = nb::str("");
    if (device_type_is(device_type, 32)) {
        version = qv::call_method(self, S->_fpgaGetVersion, nullptr);
    } else if (device_type_is(device_type, 28)) {
        nb::object info = global(S->json).attr("loads")(qv::call_method(self, S->_fpgaGetInfo, nullptr));
        nb::object members = qv::check(PyObject_GetIter(info.attr("values")().ptr()));
        PyObject* first = PyIter_Next(members.ptr());
        if (!first && PyErr_Occurred()) throw nb::python_error();
        nb::object first_dev = first ? nb::steal(first) : nb::dict();
        version = first_dev.attr("get")("fpga_ver", "");
    }
    log(S->info, concat("Updated FPGA version: ", nb::str(version)));
    log(S->info, nb::str("FPGA update process completed successfully."));
    result["success"] = true;
    result["fw_version"] = version;
    return global(S->RetType)(nb::arg("data") = result);
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

nb::object op_checkControlFwVersion() {
    return method<check_fw_body>("_checkControlFwVersion",
                                 "Check if the control firmware version is compatible.", {{"self"}});
}

nb::object op_initFpga() {
    return method<init_fpga_body>("initFpga", "Initialize FPGA.",
                                  {{"self"}, {"device_type"}, {"disable_fw_check", Py_False}});
}

nb::object op_processFpgaUpdate() {
    return method<process_update_body>(
        "processFpgaUpdate",
        "Update the FPGA image of the device: check the image file, write and verify it, "
        "and read the new FPGA version.",
        {{"self"}, {"image_path", Py_None}, {"device_type", nb::int_(32).ptr()}});
}

}  // namespace fpga
