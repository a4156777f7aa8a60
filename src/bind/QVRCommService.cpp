// quorvex.QVRCommService: _TCPConn, the TCP link to a device.
//
// The socket work is qvcore::TcpLink (src/core/link.cpp); this file turns
// Python arguments into bytes, releases the GIL around every wait, lets
// Ctrl-C through between wait slices, and turns link failures into
// TimeoutError and ConnectionError.
#include "qvnb.h"

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string>
#include <utility>

#include "linkpy.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// Where replies get their RetType (stand_in_record); set by each import, kept for the process: every link uses it.
struct State {
    bool ready = false;
    PyObject* utils_dict = nullptr;     // quorvex.QVRUtils.__dict__
    PyObject* stand_in = nullptr;       // quorvex.QVRUtils.RetType at import, if a class
    PyObject* stand_in_init = nullptr;  // its __init__ at import
    PyObject *RetType, *RetCode, *RetMsg, *RetData, *__init__;  // interned names
    PyObject* kw_data;                  // ("data",)
} state;

using qv::raise;
using qv::raise_link_error;
using qv::Released;

nb::object text(const std::string& s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// The bytes of a bytes-like argument, held while the GIL is released.
class Bytes {
public:
    Bytes(nb::handle obj, const char* argname) {
        PyObject* o = obj.ptr();
        if (PyBytes_Check(o)) {
            data = PyBytes_AS_STRING(o);
            size = static_cast<size_t>(PyBytes_GET_SIZE(o));
            return;
        }
        if (PyUnicode_Check(o) || PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE) < 0) {
            PyErr_Clear();
            raise(PyExc_TypeError, "%s must be a bytes-like object, not %s", argname,
                  Py_TYPE(o)->tp_name);
        }
        has_view_ = true;
        data = static_cast<const char*>(view_.buf);
        size = static_cast<size_t>(view_.len);
    }
    ~Bytes() {
        if (has_view_) PyBuffer_Release(&view_);
    }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    const char* data = nullptr;
    size_t size = 0;

private:
    Py_buffer view_{};
    bool has_view_ = false;
};

double seconds_arg(nb::handle value, const char* argname) {
    PyObject* v = value.ptr();
    if (PyUnicode_Check(v) || PyBytes_Check(v))
        raise(PyExc_TypeError, "%s must be a number, not %s", argname, Py_TYPE(v)->tp_name);
    double s = PyFloat_AsDouble(v);
    if (s == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!(s > 0.0) || !(s <= 1e9))
        raise(PyExc_ValueError, "%s must be a positive number of seconds, not %R", argname, v);
    return s;
}

struct TCPConn {
    TCPConn(std::string host, uint16_t port, double timeout, double slow_timeout)
        : link(std::move(host), port, timeout, slow_timeout) {}
    qvcore::TcpLink link;
    nb::object last_error = nb::none();  // changed only with the GIL held
};

void init(TCPConn* self, nb::handle address, nb::handle port, nb::handle timeout,
          nb::handle slow_timeout) {
    if (!PyUnicode_Check(address.ptr()))
        raise(PyExc_TypeError, "address must be str, not %s", Py_TYPE(address.ptr())->tp_name);
    Py_ssize_t n = 0;
    const char* host = PyUnicode_AsUTF8AndSize(address.ptr(), &n);
    if (!host) throw nb::python_error();
    if (std::strlen(host) != static_cast<size_t>(n))
        raise(PyExc_ValueError, "address must not contain NUL characters");
    if (!PyLong_Check(port.ptr()) || PyBool_Check(port.ptr()))
        raise(PyExc_TypeError, "port must be int, not %s", Py_TYPE(port.ptr())->tp_name);
    int overflow = 0;
    long p = PyLong_AsLongAndOverflow(port.ptr(), &overflow);
    if (p == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || p < 1 || p > 65535)
        raise(PyExc_ValueError, "port must be in 1..65535, not %R", port.ptr());
    double t = seconds_arg(timeout, "timeout");
    double st = seconds_arg(slow_timeout, "slow_timeout");
    new (self) TCPConn(std::string(host, static_cast<size_t>(n)), static_cast<uint16_t>(p), t, st);
}

bool init_connection(TCPConn& self) {
    std::string why;
    bool ok = false;
    try {
        Released nogil;
        qvcore::TcpLink::Guard g(self.link, nogil.interrupt());
        ok = self.link.open(g, why);
    } catch (const qvcore::LinkError& e) {
        raise_link_error(e);
    }
    self.last_error = ok ? nb::none() : text(self.link.label() + ": " + why);
    return ok;
}

// RetType(data=line) for the RetType of our own quorvex.QVRUtils, built
// without running its Python __init__ (the costliest step of a command):
// a new instance whose three fields get what that __init__ would give them.
// Only while RetType is still that class with that very __init__; any other
// RetType, or a patched __init__, is called as usual. Returns nullptr (no
// error set) when it does not apply.
PyObject* stand_in_record(PyObject* cls, PyObject* line) {
    if (cls != state.stand_in) return nullptr;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, state.__init__);
    if (init != state.stand_in_init) return nullptr;
    PyObject* defaults = PyFunction_GetDefaults(init);  // (code, msg, data)
    if (!defaults || !PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults) != 3) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    if (PyObject_SetAttr(obj, state.RetCode, PyTuple_GET_ITEM(defaults, 0)) < 0 ||
        PyObject_SetAttr(obj, state.RetMsg, PyTuple_GET_ITEM(defaults, 1)) < 0 ||
        PyObject_SetAttr(obj, state.RetData, line) < 0) {
        Py_DECREF(obj);
        return nullptr;
    }
    return obj;
}

nb::object send_cmd(TCPConn& self, nb::handle data, nb::handle /*rsp_type*/) {
    Bytes cmd(data, "data");
    PyObject* line = nullptr;
    try {
        Released nogil;
        qvcore::TcpLink::Guard g(self.link, nogil.interrupt());
        std::string_view reply = self.link.command(g, cmd.data, cmd.size);
        nogil.acquire();  // the reply lives in the link's buffer: decode it under the lock
        line = PyUnicode_DecodeUTF8(reply.data(), static_cast<Py_ssize_t>(reply.size()),
                                    "replace");
    } catch (const qvcore::LinkError& e) {
        raise_link_error(e);
    }
    if (!line) throw nb::python_error();
    nb::object owned = nb::steal(line);

    PyObject* ret_type = PyDict_GetItemWithError(state.utils_dict, state.RetType);
    if (!ret_type) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_AttributeError, "quorvex.QVRUtils has no attribute 'RetType'");
        throw nb::python_error();
    }
    if (PyObject* fast = stand_in_record(ret_type, line)) return nb::steal(fast);
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object held = nb::borrow(ret_type);  // the call may rebind QVRUtils.RetType
    PyObject* args[] = {line};
    PyObject* result = PyObject_Vectorcall(held.ptr(), args, 0, state.kw_data);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

void send_raw_bytes(TCPConn& self, nb::handle data) {
    Bytes bytes(data, "data");
    try {
        Released nogil;
        qvcore::TcpLink::Guard g(self.link, nogil.interrupt());
        self.link.send_raw(g, bytes.data, bytes.size);
    } catch (const qvcore::LinkError& e) {
        raise_link_error(e);
    }
}

nb::object recv_raw_bytes(TCPConn& self, nb::handle size) {
    PyObject* index = PyNumber_Index(size.ptr());
    if (!index) throw nb::python_error();
    Py_ssize_t limit = PyNumber_AsSsize_t(index, nullptr);  // clamps a huge size
    Py_DECREF(index);
    if (limit == -1 && PyErr_Occurred()) throw nb::python_error();
    if (limit < 0) raise(PyExc_ValueError, "size must not be negative, not %zd", limit);

    PyObject* out = nullptr;
    try {
        Released nogil;
        qvcore::TcpLink::Guard g(self.link, nogil.interrupt());
        std::string_view reply = self.link.recv_reply(g, static_cast<size_t>(limit));
        nogil.acquire();
        out = PyBytes_FromStringAndSize(reply.data(), static_cast<Py_ssize_t>(reply.size()));
    } catch (const qvcore::LinkError& e) {
        raise_link_error(e);
    }
    if (!out) throw nb::python_error();
    return nb::steal(out);
}

void close_connection(TCPConn& self) {
    try {
        Released nogil;
        self.link.close(nogil.interrupt());
    } catch (const qvcore::LinkError& e) {
        raise_link_error(e);
    }
}

// --- the protocol's rules and words, for links written in Python -----------
namespace proto = qvcore::proto;

constexpr std::pair<const char*, proto::LinkFailure> kFailures[] = {
    {"closed", proto::LinkFailure::kClosed},
    {"not_connected", proto::LinkFailure::kNotConnected},
    {"no_reply", proto::LinkFailure::kNoReply},
    {"incomplete_reply", proto::LinkFailure::kIncompleteReply},
    {"send_timeout", proto::LinkFailure::kSendTimeout},
    {"peer_closed_waiting", proto::LinkFailure::kPeerClosedWaiting},
    {"peer_closed_sending", proto::LinkFailure::kPeerClosedSending},
    {"reset_waiting", proto::LinkFailure::kResetWaiting},
    {"reply_too_long", proto::LinkFailure::kReplyTooLong},
    {"block_too_long", proto::LinkFailure::kBlockTooLong},
    {"bad_block_end", proto::LinkFailure::kBadBlockEnd},
    {"send_failed", proto::LinkFailure::kSendFailed},
    {"recv_failed", proto::LinkFailure::kRecvFailed},
};

std::string_view utf8(nb::handle s, const char* argname) {
    if (!PyUnicode_Check(s.ptr()))
        raise(PyExc_TypeError, "%s must be str, not %s", argname, Py_TYPE(s.ptr())->tp_name);
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw nb::python_error();
    return {p, static_cast<size_t>(n)};
}

nb::object protocol_word(nb::handle data) {
    Bytes b(data, "data");
    char out[proto::kShownWordMax];
    return text(std::string(out, proto::shown_word({b.data, b.size}, out)));
}

bool protocol_is_slow(nb::handle data) {
    Bytes b(data, "data");
    return proto::is_slow_command({b.data, b.size});
}

nb::object protocol_block(nb::handle data) {
    Bytes b(data, "data");
    proto::BlockParser parser(proto::kMaxBlockLength);
    parser.feed(b.data, b.size);
    if (!parser.header_done()) return nb::none();
    return nb::make_tuple(parser.header_size(), parser.length());
}

nb::object protocol_failure(nb::handle kind, nb::handle link, nb::handle command, double seconds,
                            uint64_t count, nb::handle why) {
    const std::string_view k = utf8(kind, "kind");
    for (const auto& [name, failure] : kFailures)
        if (k == name)
            return text(proto::link_failure(
                failure, {utf8(link, "link"), utf8(command, "command"), seconds, count, utf8(why, "why")}));
    raise(PyExc_ValueError, "no link failure is called %R", kind.ptr());
}

constexpr const char* kClassDoc =
    "TCP link to a device that answers each command with one line ending in CR LF.\n\n"
    "_TCPConn(address, port, timeout=10.0, slow_timeout=120.0)\n\n"
    "address is a host name or an IPv4/IPv6 address, port a TCP port. Nothing is\n"
    "connected until initConnection(). A reply is waited for `timeout` seconds, or\n"
    "`slow_timeout` for FPGA_ERASE. Any failure (time-out, peer gone, reply longer\n"
    "than _MAX_REPLY) raises TimeoutError or ConnectionError naming host:port and\n"
    "leaves the link closed: every later call but initConnection and\n"
    "closeConnection raises ConnectionError(\"link to HOST:PORT is closed\").\n"
    "Every wait lets Ctrl-C through within a tenth of a second. Calls on one link\n"
    "from several threads are serialised; closeConnection from another thread\n"
    "wakes a call that is waiting.";

}  // namespace

NB_MODULE(QVRCommService, m) {
    m.doc() = "The TCP device link _TCPConn.";
    // A link still referenced when the interpreter exits (say, from a
    // traceback) is not a leak worth a report.
    nb::set_leak_warnings(false);
    if (!state.ready) {
        state.RetType = qv::intern("RetType");
        state.RetCode = qv::intern("RetCode");
        state.RetMsg = qv::intern("RetMsg");
        state.RetData = qv::intern("RetData");
        state.__init__ = qv::intern("__init__");
        state.kw_data = qv::kwnames({"data"});
        state.ready = true;
    }
    nb::module_ utils = nb::module_::import_("quorvex.QVRUtils");
    nb::object ret_type = utils.attr("RetType");
    nb::object ret_init = nb::getattr(ret_type, "__dict__")["__init__"];
    bool usable = PyType_Check(ret_type.ptr()) && PyFunction_Check(ret_init.ptr());
    // Owned: the class and its __init__ are compared by identity, so they
    // must stay alive however the module is changed.
    Py_XSETREF(state.utils_dict, Py_NewRef(PyModule_GetDict(utils.ptr())));
    Py_XSETREF(state.stand_in, usable ? ret_type.release().ptr() : nullptr);
    Py_XSETREF(state.stand_in_init, usable ? ret_init.release().ptr() : nullptr);

    m.attr("_MAX_REPLY") = qvcore::kMaxReply;
    m.def("_protocol_word", &protocol_word, "data"_a.none(),
          nb::sig("def _protocol_word(data: bytes) -> str"),
          "The command word of data as messages show it (printable ASCII, 40 bytes at most).");
    m.def("_protocol_is_slow", &protocol_is_slow, "data"_a.none(),
          nb::sig("def _protocol_is_slow(data: bytes) -> bool"),
          "True for a command whose reply is waited for with the slow time-out.");
    m.def("_protocol_block", &protocol_block, "data"_a.none(),
          nb::sig("def _protocol_block(data: bytes) -> tuple[int, int] | None"),
          "(header size, data length) of the definite-length block that data starts\n"
          "with, or None when data does not start with a whole block header.");
    m.def("_protocol_failure", &protocol_failure, "kind"_a.none(), "link"_a.none(),
          "command"_a.none() = "", "seconds"_a = 0.0, "count"_a = 0, "why"_a.none() = "",
          nb::sig("def _protocol_failure(kind: str, link: str, command: str = '', "
                  "seconds: float = 0.0, count: int = 0, why: str = '') -> str"),
          "The words of a link failure of `kind`, as every link words it.\n\n"
          "kind: closed, not_connected, no_reply, incomplete_reply, send_timeout,\n"
          "peer_closed_waiting, peer_closed_sending, reset_waiting, reply_too_long,\n"
          "block_too_long, bad_block_end, send_failed or recv_failed.");

    nb::class_<TCPConn>(m, "_TCPConn", nb::dynamic_attr(), kClassDoc)
        .def("__init__", &init, "address"_a.none(), "port"_a.none(), "timeout"_a.none() = 10.0,
             "slow_timeout"_a.none() = 120.0,
             nb::sig("def __init__(self, address: str, port: int, timeout: float = 10.0, "
                     "slow_timeout: float = 120.0) -> None"),
             "A link to address:port, not yet connected.")
        .def("initConnection", &init_connection,
             nb::sig("def initConnection(self) -> bool"),
             "Connects; True when connected, False when no address of the host answered\n"
             "within `timeout` seconds (the reason is in last_error). A link that was\n"
             "connected or broken is closed first, dropping anything unread.")
        .def("sendCmd", &send_cmd, "data"_a.none(), "rsp_type"_a.none(),
             nb::sig("def sendCmd(self, data: bytes, rsp_type: object) -> RetType"),
             "Sends data (a whole command, CR LF included) unaltered and returns\n"
             "RetType(data=reply) with the reply's CR LF removed, decoded as UTF-8\n"
             "(undecodable bytes replaced). A reply that is a definite-length block is\n"
             "read by its length. rsp_type is accepted and does not change the reading.\n"
             "Bytes behind the reply are kept for the next read; the rest of a reply\n"
             "that recvRawBytes cut is the next reply.")
        .def("sendRawBytes", &send_raw_bytes, "data"_a.none(),
             nb::sig("def sendRawBytes(self, data: bytes) -> None"),
             "Sends all of data; the reply is left for recvRawBytes.")
        .def("recvRawBytes", &recv_raw_bytes, "size"_a.none(),
             nb::sig("def recvRawBytes(self, size: int) -> bytes"),
             "Reads one whole reply and returns its first `size` bytes, header and CR LF\n"
             "included: a definite-length block (#, digit d, d digits of length n,\n"
             "n bytes, CR LF) by its length, anything else up to its CR LF. The rest of\n"
             "a longer reply stays buffered: the next recvRawBytes returns up to `size`\n"
             "bytes of it without waiting, and no received byte is ever dropped.")
        .def("closeConnection", &close_connection,
             nb::sig("def closeConnection(self) -> None"),
             "Closes the link; harmless when closed already. Wakes a call that another\n"
             "thread is waiting in; that call raises ConnectionError.")
        .def_prop_ro("address", [](TCPConn& c) { return text(c.link.host()); },
                     "The address as given.")
        .def_prop_ro("port", [](TCPConn& c) { return static_cast<int>(c.link.port()); },
                     "The TCP port.")
        .def_prop_ro("timeout", [](TCPConn& c) { return c.link.timeout(); },
                     "Seconds to wait for a connection or a reply.")
        .def_prop_ro("slow_timeout", [](TCPConn& c) { return c.link.slow_timeout(); },
                     "Seconds to wait for the reply to FPGA_ERASE.")
        .def_prop_ro("connected", [](TCPConn& c) { return c.link.is_open(); },
                     "True while the link is connected and not broken.")
        .def_prop_ro("last_error", [](TCPConn& c) { return c.last_error; },
                     "Why the last initConnection() failed, or None.")
        .def("_lend_link",
             [](TCPConn& c) {
                 return qv::check(PyCapsule_New(&c.link, "quorvex.TcpLink", nullptr));
             },
             "The native link, for the fleet driver of quorvex.QVRFpga: valid while this\n"
             "object lives; the borrower works it only under the link's own lock.")
        .def("__repr__", [](TCPConn& c) {
            return text("<_TCPConn " + c.link.label() +
                        (c.link.is_open() ? " connected>" : " not connected>"));
        });
}
