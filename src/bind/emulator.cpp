// quorvex._emulator: the native device emulator behind quorvex.emulator.
// Options are checked here, so that a bad one is refused before the device
// changes at all; what they are is the one table in src/emu/emu_options.h,
// exported as OPTIONS for the Python wrapper and the command line. The
// device and its server (src/emu/) never touch Python. The module keeps no
// state of its own.
#include "qvnb.h"
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "emulator.h"

namespace nb = nanobind;
using qvcore::Emulator;
using qvcore::EmulatorOptionInfo;
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
std::string to_text(const EmulatorOptionInfo& info, nb::handle v) {
    const char* name = info.name;
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
    if ((info.traits & qvcore::kOptNonEmpty) && t.empty())
        raise(PyExc_ValueError, "emulator option %s must not be empty", name);
    if ((info.traits & qvcore::kOptOneWord) && t.find(' ') != std::string::npos)
        raise(PyExc_ValueError, "emulator option %s must be one command word: %R", name,
              v.ptr());
    return t;
}

bool to_flag(const char* name, nb::handle v) {
    if (!PyBool_Check(v.ptr()))
        raise(PyExc_TypeError, "emulator option %s must be a bool, not %s", name,
              Py_TYPE(v.ptr())->tp_name);
    return v.ptr() == Py_True;
}

// --- one option's value, by its C++ type (see emu_options.h) ---------------------
// read(): the Python value `v` into `out`; None means `dflt` where the type
// has no "off". to_py(): back again. PyTypeOf<T>::get(): the Python type it takes.

void read(const EmulatorOptionInfo& i, nb::handle v, uint64_t& out, uint64_t dflt) {
    out = v.is_none() ? dflt : to_count(i.name, v, i.minimum);
}
void read(const EmulatorOptionInfo& i, nb::handle v, std::optional<uint64_t>& out,
          const std::optional<uint64_t>&) {
    out = v.is_none() ? std::nullopt : std::optional<uint64_t>(to_count(i.name, v, i.minimum));
}
void read(const EmulatorOptionInfo& i, nb::handle v, std::string& out, const std::string&) {
    out = to_text(i, v);
}
void read(const EmulatorOptionInfo& i, nb::handle v, std::optional<std::string>& out,
          const std::optional<std::string>&) {
    out = v.is_none() ? std::nullopt : std::optional<std::string>(to_text(i, v));
}
void read(const EmulatorOptionInfo& i, nb::handle v, bool& out, bool) {
    out = to_flag(i.name, v);
}
void read(const EmulatorOptionInfo& i, nb::handle v, double& out, double dflt) {
    out = v.is_none() ? dflt : to_seconds(i.name, v);
}

nb::object to_py(uint64_t v) { return nb::int_(v); }
nb::object to_py(bool v) { return nb::bool_(v); }
nb::object to_py(double v) { return nb::float_(v); }
nb::object to_py(const std::string& v) { return nb::str(v.data(), v.size()); }
template <typename T>
nb::object to_py(const std::optional<T>& v) {
    return v ? to_py(*v) : nb::none();
}

template <typename T> struct PyTypeOf;
template <> struct PyTypeOf<uint64_t> {
    static PyObject* get() { return reinterpret_cast<PyObject*>(&PyLong_Type); }
};
template <> struct PyTypeOf<bool> {
    static PyObject* get() { return reinterpret_cast<PyObject*>(&PyBool_Type); }
};
template <> struct PyTypeOf<double> {
    static PyObject* get() { return reinterpret_cast<PyObject*>(&PyFloat_Type); }
};
template <> struct PyTypeOf<std::string> {
    static PyObject* get() { return reinterpret_cast<PyObject*>(&PyUnicode_Type); }
};
template <typename T> struct PyTypeOf<std::optional<T>> : PyTypeOf<T> {};

template <typename T> constexpr bool kIsCount = false;
template <> constexpr bool kIsCount<uint64_t> = true;
template <> constexpr bool kIsCount<std::optional<uint64_t>> = true;

// Reads the options of `kwargs` into `o`; returns the bits
// (qvcore::emu_option_bit) of the ones given. Unknown names are all named in
// one TypeError.
uint32_t read_options(nb::dict kwargs, EmulatorOptions& o, bool construction) {
    using namespace qvcore;
    const EmulatorOptions defaults;
    std::vector<std::string> unknown;
    uint32_t changed = 0;
    for (auto [k, v] : kwargs) {
        if (!PyUnicode_Check(k.ptr())) raise(PyExc_TypeError, "option names must be str");
        std::string key = nb::cast<std::string>(k);
        size_t at = 0;
        while (at < kEmuOptionCount && key != kEmulatorOptionInfo[at].name) ++at;
        if (at == kEmuOptionCount) {
            unknown.push_back(key);
            continue;
        }
        const EmulatorOptionInfo& info = kEmulatorOptionInfo[at];
        if ((info.traits & kOptFixed) && !construction)
            raise(PyExc_ValueError, "%s can only be given when the emulator is built", info.name);
        switch (static_cast<EmulatorOptionIndex>(at)) {
#define QV_EMU_READ_OPTION(name, ...) \
    case kOpt_##name: read(info, v, o.name, defaults.name); break;
            QV_EMULATOR_OPTIONS(QV_EMU_READ_OPTION)
#undef QV_EMU_READ_OPTION
            case kEmuOptionCount: break;
        }
        changed |= emu_option_bit(static_cast<EmulatorOptionIndex>(at));
    }
    if (!unknown.empty()) {
        std::string names;
        for (auto& u : unknown) names += (names.empty() ? "'" : ", '") + u + "'";
        raise(PyExc_TypeError, "unknown emulator option%s: %s", unknown.size() > 1 ? "s" : "",
              names.c_str());
    }
    return changed;
}

nb::dict options_dict(const EmulatorOptions& o) {
    nb::dict d;
#define QV_EMU_OPTION_ITEM(name, ...) d[#name] = to_py(o.name);
    QV_EMULATOR_OPTIONS(QV_EMU_OPTION_ITEM)
#undef QV_EMU_OPTION_ITEM
    return d;
}

// The table as Python sees it: one dict per option, in the table's order.
nb::tuple options_table() {
    using namespace qvcore;
    const EmulatorOptions defaults;
    nb::list out;
    auto entry = [&out](const EmulatorOptionInfo& i, PyObject* type, nb::object dflt,
                        bool count) {
        nb::dict d;
        d["name"] = i.name;
        d["type"] = nb::borrow(type);
        d["default"] = dflt;
        d["minimum"] = count ? nb::object(nb::int_(i.minimum)) : nb::none();
        d["fixed"] = (i.traits & kOptFixed) != 0;
        d["group"] = i.group;
        d["metavar"] = i.metavar ? nb::object(nb::str(i.metavar)) : nb::none();
        d["help"] = i.help;
        out.append(d);
    };
#define QV_EMU_OPTION_ENTRY(name, type, ...)                                                \
    entry(kEmulatorOptionInfo[kOpt_##name], PyTypeOf<type>::get(), to_py(defaults.name), \
          kIsCount<type>);
    QV_EMULATOR_OPTIONS(QV_EMU_OPTION_ENTRY)
#undef QV_EMU_OPTION_ENTRY
    return nb::tuple(out);
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

    nb::class_<Emulator>(m, "Emulator",
                         "An emulated device serving on host:port from the moment it is built.")
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
                    qv::raise_os_error(e.code().value(), nb::handle(), e.what());
                } catch (const std::bad_alloc&) {
                    raise(PyExc_MemoryError, "no memory for a flash of %llu bytes",
                          static_cast<unsigned long long>(o.flash_size));
                }
            },
            nb::arg("host"), nb::arg("port"), nb::arg("options"),
            "Binds host:port (port 0: a free one) and starts serving; `options` as in OPTIONS.")
        .def("close", &Emulator::close, nb::call_guard<nb::gil_scoped_release>(),
             "Stops serving: closes every connection; once it returns, no command is answered any more.")
        .def_prop_ro("closed", &Emulator::closed, "True once close() has run.")
        .def_prop_ro("host", &Emulator::host, "The host it listens on, as given.")
        .def_prop_ro("port", &Emulator::port,
                     "The port it listens on (the one picked when 0 was given).")
        .def_prop_ro("address", &Emulator::address,
                     "\"host:port\" (\"[host]:port\" for an IPv6 address).")
        .def("set",
             [](Emulator& e, nb::kwargs kwargs) {
                 EmulatorOptions o = e.options();
                 uint32_t changed = read_options(kwargs, o, false);
                 e.set_options(o, changed);
             },
             "Changes options while serving; a fault's counting restarts when it is set.")
        .def("options", [](const Emulator& e) { return options_dict(e.options()); },
             "The current options as a dict.")
        .def("flash",
             [](const Emulator& e) {
                 std::string f = e.flash();
                 return nb::bytes(f.data(), f.size());
             },
             "The programmed region of the flash, as bytes.")
        .def("flash_digest", &Emulator::flash_digest_hex, "Hex SHA-256 of the programmed region.")
        .def("counters", [](const Emulator& e) { return counters_dict(e.counters()); },
             "Commands received per keyword, plus unknown, blocks_refused, connections, "
             "pages_read and dropped.")
        .def("reset_counters", &Emulator::reset_counters, "Sets every counter back to 0.")
        .def("commands",
             [](const Emulator& e) {
                 nb::list out;
                 for (const std::string& c : e.commands()) out.append(nb::bytes(c.data(), c.size()));
                 return out;
             },
             "Every command received while record_commands is on, as it arrived.")
        .def("clear_commands", &Emulator::clear_commands, "Forgets the commands recorded so far.")
        .def("state", [](const Emulator& e) { return state_dict(e.state()); },
             "The device's state as a dict (see DeviceEmulator.state).");

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
    m.attr("OPTIONS") = options_table();
}
