// quorvex._emulator: the native device emulator behind quorvex.emulator.
// Options are checked here, so that a bad one is refused before the device
// changes at all; the device and its server live in src/core/emulator.cpp
// and never touch Python.
#include "qvnb.h"
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

#include "emulator.h"

namespace nb = nanobind;
using qvcore::Emulator;
using qvcore::EmulatorOptions;

namespace {

using qv::raise;

bool is_int(nb::handle v) { return PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr()); }

uint64_t to_count(const char* name, nb::handle v, uint64_t min = 0) {
    if (!is_int(v))
        raise(PyExc_TypeError, "emulator option %s must be an int, not %s", name,
              Py_TYPE(v.ptr())->tp_name);
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || x < static_cast<long long>(min))
        raise(PyExc_ValueError, "emulator option %s must be an int of at least %llu, not %R",
              name, static_cast<unsigned long long>(min), v.ptr());
    return static_cast<uint64_t>(x);
}

double to_seconds(const char* name, nb::handle v) {
    if (!(is_int(v) || PyFloat_Check(v.ptr())))
        raise(PyExc_TypeError, "emulator option %s must be a number of seconds, not %s", name,
              Py_TYPE(v.ptr())->tp_name);
    double s = PyFloat_AsDouble(v.ptr());
    if (s == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!std::isfinite(s) || s < 0)
        raise(PyExc_ValueError, "emulator option %s must be a finite number >= 0, not %R", name,
              v.ptr());
    return s;
}

// A reply text: one line, so no CR or LF in it.
std::string to_text(const char* name, nb::handle v, bool allow_empty = true) {
    if (!PyUnicode_Check(v.ptr()))
        raise(PyExc_TypeError, "emulator option %s must be a str, not %s", name,
              Py_TYPE(v.ptr())->tp_name);
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(v.ptr(), &n);
    if (!s) throw nb::python_error();
    std::string t(s, static_cast<size_t>(n));
    if (t.find_first_of("\r\n") != std::string::npos)
        raise(PyExc_ValueError, "emulator option %s must be one line (no CR or LF): %R", name,
              v.ptr());
    if (!allow_empty && t.empty())
        raise(PyExc_ValueError, "emulator option %s must not be empty", name);
    return t;
}

bool to_flag(const char* name, nb::handle v) {
    if (!PyBool_Check(v.ptr()))
        raise(PyExc_TypeError, "emulator option %s must be a bool, not %s", name,
              Py_TYPE(v.ptr())->tp_name);
    return v.ptr() == Py_True;
}

// Reads the options of `kwargs` into `o`; returns the EmulatorOption bits
// of the ones given. Unknown names are all named in one TypeError.
uint32_t read_options(nb::dict kwargs, EmulatorOptions& o, bool construction) {
    using namespace qvcore;
    std::vector<std::string> unknown;
    uint32_t changed = 0;
    for (auto [k, v] : kwargs) {
        if (!PyUnicode_Check(k.ptr())) raise(PyExc_TypeError, "option names must be str");
        std::string key = nb::cast<std::string>(k);
        const char* n = key.c_str();
        bool none = v.is_none();
        if (key == "flash_size") {
            if (!construction)
                raise(PyExc_ValueError, "flash_size can only be given when the emulator is built");
            if (!none) o.flash_size = to_count(n, v, 1);
        } else if (key == "fpga_id") {
            o.fpga_id = to_text(n, v), changed |= kOptFpgaId;
        } else if (key == "fpga_version") {
            o.fpga_version = to_text(n, v), changed |= kOptFpgaVersion;
        } else if (key == "fw_version") {
            o.fw_version = to_text(n, v), changed |= kOptFwVersion;
        } else if (key == "serial") {
            o.serial = to_text(n, v), changed |= kOptSerial;
        } else if (key == "fe_info") {
            o.has_fe_info = !none;
            o.fe_info = none ? std::string() : to_text(n, v);
            changed |= kOptFeInfo;
        } else if (key == "version_after_update") {
            o.has_version_after_update = !none;
            o.version_after_update = none ? std::string() : to_text(n, v, false);
            changed |= kOptVersionAfterUpdate;
        } else if (key == "refuse_every") {
            o.refuse_every = none ? 0 : to_count(n, v), changed |= kOptRefuseEvery;
        } else if (key == "drop_after") {
            o.drop_after = none ? -1 : static_cast<int64_t>(to_count(n, v));
            changed |= kOptDropAfter;
        } else if (key == "drop_on") {
            o.has_drop_on = !none;
            o.drop_on = none ? std::string() : to_text(n, v, false);
            if (o.drop_on.find(' ') != std::string::npos)
                raise(PyExc_ValueError, "emulator option drop_on must be one command word: %R",
                      v.ptr());
            changed |= kOptDropOn;
        } else if (key == "drop_on_count") {
            o.drop_on_count = none ? 1 : to_count(n, v, 1), changed |= kOptDropOnCount;
        } else if (key == "delay_us") {
            o.delay_us = none ? 0 : to_count(n, v), changed |= kOptDelayUs;
        } else if (key == "delay_command") {
            o.delay_command = none ? 0 : to_count(n, v), changed |= kOptDelayCommand;
        } else if (key == "split_replies") {
            o.split_replies = none ? 0 : to_count(n, v), changed |= kOptSplitReplies;
        } else if (key == "corrupt_page") {
            o.corrupt_page = none ? 0 : to_count(n, v), changed |= kOptCorruptPage;
        } else if (key == "garbage") {
            o.garbage = to_flag(n, v), changed |= kOptGarbage;
        } else if (key == "erase_seconds") {
            o.erase_seconds = none ? 0.0 : to_seconds(n, v), changed |= kOptEraseSeconds;
        } else {
            unknown.push_back(key);
        }
    }
    if (!unknown.empty()) {
        std::string names;
        for (auto& u : unknown) names += (names.empty() ? "'" : ", '") + u + "'";
        raise(PyExc_TypeError, "unknown emulator option%s: %s", unknown.size() > 1 ? "s" : "",
              names.c_str());
    }
    return changed;
}

nb::object optional_text(bool has, const std::string& s) {
    return has ? nb::object(nb::str(s.data(), s.size())) : nb::none();
}

nb::dict options_dict(const EmulatorOptions& o) {
    nb::dict d;
    d["flash_size"] = o.flash_size;
    d["fpga_id"] = o.fpga_id;
    d["fpga_version"] = o.fpga_version;
    d["fw_version"] = o.fw_version;
    d["serial"] = o.serial;
    d["fe_info"] = optional_text(o.has_fe_info, o.fe_info);
    d["version_after_update"] = optional_text(o.has_version_after_update, o.version_after_update);
    d["refuse_every"] = o.refuse_every;
    d["drop_after"] = o.drop_after < 0 ? nb::none() : nb::object(nb::int_(o.drop_after));
    d["drop_on"] = optional_text(o.has_drop_on, o.drop_on);
    d["drop_on_count"] = o.drop_on_count;
    d["delay_us"] = o.delay_us;
    d["delay_command"] = o.delay_command;
    d["split_replies"] = o.split_replies;
    d["corrupt_page"] = o.corrupt_page;
    d["garbage"] = o.garbage;
    d["erase_seconds"] = o.erase_seconds;
    return d;
}

nb::dict gains_dict(const qvcore::GainTable& t) {
    nb::dict d;
    for (auto& [key, g] : t) {
        nb::dict v;
        v["enable"] = g.enable;
        v["com_gain"] = g.com_gain;
        v["ele_gain"] = g.ele_gain;
        d[nb::make_tuple(qvcore::emu_rf_mode_name(key.first), key.second)] = v;
    }
    return d;
}

nb::dict patterns_dict(const qvcore::PatternTable& t) {
    nb::dict d;
    for (auto& [id, p] : t) {
        nb::dict v;
        v["rf_freq"] = p.rf_freq;
        v["theta"] = p.theta;
        v["phi"] = p.phi;
        d[nb::int_(id)] = v;
    }
    return d;
}

nb::dict state_dict(const qvcore::EmulatorState& s) {
    nb::dict d;
    d["fpga_version"] = s.fpga_version;
    d["initialised"] = s.initialised;
    d["cfg_mode"] = s.cfg_mode;
    d["done"] = s.done;
    d["refreshed"] = s.refreshed;
    d["erases"] = s.erases;
    d["programmed_length"] = s.programmed_length;
    d["program_pointer"] = s.program_pointer;
    d["read_pointer"] = s.read_pointer;
    d["ext_ctrl"] = s.ext_ctrl;
    d["ext_mode"] = s.ext_mode;
    d["store_enabled"] = s.store_enabled;
    d["stored_gains"] = gains_dict(s.stored_gains);
    d["stored_patterns"] = patterns_dict(s.stored_patterns);
    d["applied_gains"] = gains_dict(s.applied_gains);
    d["applied_patterns"] = patterns_dict(s.applied_patterns);
    d["reboots"] = s.reboots;
    return d;
}

nb::dict counters_dict(const qvcore::EmulatorCounters& c) {
    nb::dict d;
    for (size_t i = 0; i < qvcore::kEmuCommandCount; ++i)
        d[qvcore::kEmuCommandWords[i]] = c.commands[i];
    d["unknown"] = c.unknown;
    d["blocks_refused"] = c.blocks_refused;
    d["connections"] = c.connections;
    d["pages_read"] = c.pages_read;
    d["dropped"] = c.dropped;
    return d;
}

}  // namespace

NB_MODULE(_emulator, m) {
    m.doc() = "Native device emulator; use quorvex.emulator.DeviceEmulator.";

    nb::class_<Emulator>(m, "Emulator")
        .def(
            "__init__",
            [](Emulator* self, const std::string& host, nb::handle port, nb::dict options) {
                if (!is_int(port))
                    raise(PyExc_TypeError, "port must be an int, not %s",
                          Py_TYPE(port.ptr())->tp_name);
                long p = PyLong_AsLong(port.ptr());
                if (PyErr_Occurred()) throw nb::python_error();
                if (p < 0 || p > 65535) raise(PyExc_ValueError, "port out of range: %ld", p);
                EmulatorOptions o;
                read_options(options, o, true);
                try {
                    new (self) Emulator(host, static_cast<uint16_t>(p), o);
                } catch (const std::system_error& e) {
                    PyObject* args = Py_BuildValue("(is)", e.code().value(), e.what());
                    if (args) {
                        PyErr_SetObject(PyExc_OSError, args);
                        Py_DECREF(args);
                    }
                    throw nb::python_error();
                } catch (const std::bad_alloc&) {
                    raise(PyExc_MemoryError, "no memory for a flash of %llu bytes",
                          static_cast<unsigned long long>(o.flash_size));
                }
            },
            nb::arg("host"), nb::arg("port"), nb::arg("options"))
        .def("close", &Emulator::close, nb::call_guard<nb::gil_scoped_release>(),
             "Stops serving: closes every connection and joins every thread.")
        .def_prop_ro("closed", &Emulator::closed)
        .def_prop_ro("host", &Emulator::host)
        .def_prop_ro("port", &Emulator::port)
        .def_prop_ro("address", &Emulator::address)
        .def("set",
             [](Emulator& e, nb::kwargs kwargs) {
                 EmulatorOptions o = e.options();
                 uint32_t changed = read_options(kwargs, o, false);
                 e.set_options(o, changed);
             })
        .def("options", [](const Emulator& e) { return options_dict(e.options()); })
        .def("flash",
             [](const Emulator& e) {
                 std::string f = e.flash();
                 return nb::bytes(f.data(), f.size());
             })
        .def("flash_digest", &Emulator::flash_digest_hex)
        .def("counters", [](const Emulator& e) { return counters_dict(e.counters()); })
        .def("reset_counters", &Emulator::reset_counters)
        .def("state", [](const Emulator& e) { return state_dict(e.state()); });

    nb::dict codes;
    codes["REFUSED"] = qvcore::emu_reply::kRefused;
    codes["UNKNOWN"] = qvcore::emu_reply::kUnknown;
    codes["BAD_ARGUMENT"] = qvcore::emu_reply::kBadArgument;
    codes["BAD_BLOCK"] = qvcore::emu_reply::kBadBlock;
    codes["PAST_FLASH_END"] = qvcore::emu_reply::kPastFlashEnd;
    codes["STORE_DISABLED"] = qvcore::emu_reply::kStoreDisabled;
    codes["NOT_STORED"] = qvcore::emu_reply::kNotStored;
    codes["STORE_FULL"] = qvcore::emu_reply::kStoreFull;
    codes["LOST_FOOTING"] = qvcore::emu_reply::kLostFooting;
    m.attr("REPLY_CODES") = codes;
}
