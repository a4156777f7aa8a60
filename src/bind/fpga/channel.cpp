// The device command channel and the FPGA command set: how a tool gets its
// link, frames one command, gets the reply back and lets the link go.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "fpga.h"
#include "protocol.h"

namespace fpga {
namespace {

// cmd as bytes: text is encoded as UTF-8 (strict), bytes-like taken as is.
nb::object command_bytes(nb::handle cmd) {
    PyObject* c = cmd.ptr();
    if (PyBytes_Check(c)) return nb::borrow(c);
    if (PyUnicode_Check(c)) return qv::check(PyUnicode_AsUTF8String(c));
    if (PyObject_CheckBuffer(c)) return qv::check(PyBytes_FromObject(c));
    qv::raise(PyExc_TypeError, "cmd must be bytes or str, not %s", Py_TYPE(c)->tp_name);
}

nb::object with_crlf(nb::handle bytes) {
    Py_ssize_t n = PyBytes_GET_SIZE(bytes.ptr());
    constexpr size_t eol = qvcore::proto::kEolLen;
    nb::object out = qv::check(PyBytes_FromStringAndSize(nullptr, n + static_cast<Py_ssize_t>(eol)));
    char* p = PyBytes_AS_STRING(out.ptr());
    std::memcpy(p, PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(n));
    std::memcpy(p + n, qvcore::proto::kEol, eol);
    return out;
}

nb::object conn_of(nb::handle self) { return qv::check(PyObject_GetAttr(self.ptr(), S->_conn)); }

// --- FpgaTool(connection=None, address=None, port=5025) -------------------
nb::object init_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]), connection(a[1]), address(a[2]), port(a[3]);
    if (!address.is_none() && !PyUnicode_Check(address.ptr()))
        qv::raise(PyExc_TypeError, "address must be str or None, not %s",
                  Py_TYPE(address.ptr())->tp_name);
    if (!PyLong_Check(port.ptr()) || PyBool_Check(port.ptr()))
        qv::raise(PyExc_TypeError, "port must be int, not %s", Py_TYPE(port.ptr())->tp_name);

    if (!connection.is_none()) {
        qv::setattr(self, S->_conn, connection);
        qv::setattr(self, S->_owns_conn, Py_False);
    } else if (!address.is_none()) {
        nb::object tcp = nb::module_::import_("quorvex.QVRCommService").attr("_TCPConn");
        nb::object link = tcp(address, port);
        qv::setattr(self, S->_conn, link);
        nb::object ok = qv::call_method(link, S->initConnection, nullptr);
        if (!qv::truth(ok)) {
            qv::raise(PyExc_ConnectionError, "Cannot connect to %U:%S", address.ptr(),
                      port.ptr());
        }
        qv::setattr(self, S->_owns_conn, Py_True);
    } else {
        qv::raise(PyExc_ValueError, "Either connection or address must be provided");
    }
    qv::setattr(self, S->progress_callback, Py_None);
    return nb::none();
}

// --- _getRecv(log_print=False, size=_RECV_SIZE, isdecode=True) ------------
nb::object getrecv_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]), log_print(a[1]), size(a[2]), isdecode(a[3]);
    nb::object data = qv::call_method(conn_of(self), S->recvRawBytes, nullptr, size);
    bool decode = qv::truth(isdecode);
    nb::object result;
    if (decode) {
        result = qv::check(PyUnicode_FromEncodedObject(data.ptr(), "utf-8", "strict"));
    } else if (PyBytes_Check(data.ptr())) {
        const std::string_view page = qvcore::proto::read_page(
            {PyBytes_AS_STRING(data.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()))});
        result = qv::check(PyBytes_FromStringAndSize(page.data(), static_cast<Py_ssize_t>(page.size())));
    } else {  // another sequence type: cut it by its own slicing
        nb::object cut = qv::check(PySlice_New(nb::int_(4).ptr(), nb::int_(-2).ptr(), nullptr));
        result = qv::check(PyObject_GetItem(data.ptr(), cut.ptr()));
    }
    if (qv::truth(log_print)) {
        nb::object shown = PyUnicode_Check(result.ptr()) ? result
                                                         : qv::check(PyObject_Repr(result.ptr()));
        log(S->debug, qv::check(PyUnicode_FromFormat("Received data: %U", shown.ptr())));
    }
    return result;
}

// --- _sendCmd(cmd, log_print=False, size=_RECV_SIZE, isdecode=True) -------
nb::object sendcmd_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]), cmd(a[1]), log_print(a[2]), size(a[3]), isdecode(a[4]);
    nb::object wire = with_crlf(command_bytes(cmd));
    bool decode = qv::truth(isdecode);
    nb::object conn = conn_of(self);
    if (decode) {
        nb::object rsp_list = qv::check(PyObject_GetAttr(global(S->RspType).ptr(), S->RSP_LIST));
        nb::object ret = qv::call_method(conn, S->sendCmd, nullptr, wire, rsp_list);
        nb::object data = qv::check(PyObject_GetAttr(ret.ptr(), S->RetData));
        return qv::truth(data) ? data : nb::str("");
    }
    qv::call_method(conn, S->sendRawBytes, nullptr, wire);
    bool logp = qv::truth(log_print);
    return qv::call_method(self, S->_getRecv, S->kw_getrecv, nb::bool_(logp), size,
                           Py_False);
}

// --- the command set --------------------------------------------------------
// A plain command: its bytes handed to self._sendCmd, the reply returned.
template <Command C>
nb::object plain_body(PyObject*, PyObject* const* a) {
    return qv::call_method(nb::handle(a[0]), S->_sendCmd, nullptr, nb::handle(S->commands[C]));
}

// A command with one argument, "WORD arg": bytes as they are, anything else
// by its text.
template <const char* Word>
nb::object arg_body(PyObject*, PyObject* const* a) {
    nb::handle arg(a[1]);
    nb::object argb = PyBytes_Check(arg.ptr())
                          ? nb::borrow(arg)
                          : qv::check(PyUnicode_AsUTF8String(qv::check(PyObject_Str(arg.ptr())).ptr()));
    size_t wl = std::strlen(Word);
    Py_ssize_t al = PyBytes_GET_SIZE(argb.ptr());
    nb::object cmd = qv::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wl + 1) + al));
    char* p = PyBytes_AS_STRING(cmd.ptr());
    std::memcpy(p, Word, wl);
    p[wl] = qvcore::proto::kArgSeparator;
    std::memcpy(p + wl + 1, PyBytes_AS_STRING(argb.ptr()), static_cast<size_t>(al));
    return qv::call_method(nb::handle(a[0]), S->_sendCmd, nullptr, cmd);
}

// "FPGA_PROGRAM #" + digit count + length + data: a definite-length block.
nb::object program_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]), block(a[1]);
    Py_buffer view;
    if (PyUnicode_Check(block.ptr()) || PyObject_GetBuffer(block.ptr(), &view, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        qv::raise(PyExc_TypeError, "data_block must be a bytes-like object, not %s",
                  Py_TYPE(block.ptr())->tp_name);
    }
    char header[qvcore::proto::kMaxProgramHeader];
    Py_ssize_t header_size = static_cast<Py_ssize_t>(
        qvcore::proto::program_header(static_cast<uint64_t>(view.len), header, sizeof header));
    if (header_size == 0) {
        Py_ssize_t n = view.len;
        PyBuffer_Release(&view);
        qv::raise(PyExc_ValueError, "data_block of %zd bytes is longer than a block can carry", n);
    }
    PyObject* payload = PyBytes_FromStringAndSize(nullptr, header_size + view.len);
    if (payload) {
        std::memcpy(PyBytes_AS_STRING(payload), header, static_cast<size_t>(header_size));
        std::memcpy(PyBytes_AS_STRING(payload) + header_size, view.buf,
                    static_cast<size_t>(view.len));
    }
    PyBuffer_Release(&view);
    nb::object reply = qv::call_method(self, S->_sendCmd, nullptr, qv::check(payload));

    // The reply rule (protocol.h) on the reply's text; its white space is
    // what str.strip() removes. A lone surrogate can never trim to "0".
    PyObject* r = reply.ptr();
    if (!PyUnicode_Check(r)) return nb::bool_(false);
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(r, &n);
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::bool_(false);
    }
    return nb::bool_(qvcore::proto::reply_accepted({text, static_cast<size_t>(n)}));
}

nb::object read_body(PyObject*, PyObject* const* a) {
    return qv::call_method(nb::handle(a[0]), S->_sendCmd, S->kw_isdecode,
                           nb::handle(S->commands[kRead]), Py_False);
}

// --- set_progress_callback(callback), disconnect() ------------------------
nb::object set_callback_body(PyObject*, PyObject* const* a) {
    qv::setattr(nb::handle(a[0]), S->progress_callback, nb::handle(a[1]));
    return nb::none();
}

nb::object disconnect_body(PyObject*, PyObject* const* a) {
    nb::handle self(a[0]);
    // A clean-up step of a subclass runs first, if there is one; its failure
    // never keeps an owned link open.
    qv::PendingError pending;
    if (nb::object cleanup = qv::optional_attr(self, S->deleteTempFile)) {
        PyObject* r = PyObject_CallNoArgs(cleanup.ptr());
        if (r) Py_DECREF(r);
        else pending.fetch();
    }
    qv::PendingError::Handled handled(pending);  // a failure below chains to it
    nb::object conn = conn_of(self);
    nb::object owns = qv::check(PyObject_GetAttr(self.ptr(), S->_owns_conn));
    if (!conn.is_none() && qv::truth(owns)) {
        qv::call_method(conn, S->closeConnection, nullptr);
        log(S->info, nb::str("Disconnected from FPGA device."));
    }
    pending.rethrow();
    return nb::none();
}

}  // namespace

nb::object op_init() {
    return method<init_body>("__init__", "Build the tool on a device link or on an address and port.",
                             {{"self"}, {"connection", Py_None}, {"address", Py_None},
                              {"port", nb::int_(5025).ptr()}});
}

nb::object op_getRecv() {
    nb::object size = global(S->_RECV_SIZE);
    return method<getrecv_body>("_getRecv", "Receive one reply from the device link.",
                                {{"self"}, {"log_print", Py_False}, {"size", size.ptr()},
                                 {"isdecode", Py_True}});
}

nb::object op_sendCmd() {
    nb::object size = global(S->_RECV_SIZE);
    return method<sendcmd_body>("_sendCmd", "Send one command and return its reply.",
                                {{"self"}, {"cmd"}, {"log_print", Py_False}, {"size", size.ptr()},
                                 {"isdecode", Py_True}});
}

void add_command_set(nb::dict ns) {
    ns["_fpgaCtrlInit"] = method<plain_body<kCtrlInit>>("_fpgaCtrlInit", "Initialize the FPGA control.", {{"self"}});
    ns["_fpgaGetId"] = method<plain_body<kGetId>>("_fpgaGetId", "Get the FPGA ID.", {{"self"}});
    ns["_fpgaGetVersion"] = method<plain_body<kGetVer>>("_fpgaGetVersion", "Get the FPGA version.", {{"self"}});
    ns["_fpgaCfgMode"] = method<arg_body<qvcore::proto::kFpgaCfgMode>>("_fpgaCfgMode", "Configure the FPGA mode.", {{"self"}, {"mode"}});
    ns["_fpgaErase"] = method<arg_body<qvcore::proto::kFpgaErase>>("_fpgaErase", "Erase the FPGA memory.", {{"self"}, {"erase_bits"}});
    ns["_fpgaRstPagePtr"] = method<arg_body<qvcore::proto::kFpgaRstPagePtr>>("_fpgaRstPagePtr", "Reset the FPGA page pointer.", {{"self"}, {"section"}});
    ns["_fpgaProgram"] = method<program_body>("_fpgaProgram", "Program the FPGA with the given data block.", {{"self"}, {"data_block"}});
    ns["_fpgaRead"] = method<read_body>("_fpgaRead", "Read data from the FPGA.", {{"self"}});
    ns["_fpgaDone"] = method<plain_body<kDone>>("_fpgaDone", "Mark the FPGA programming as done.", {{"self"}});
    ns["_fpgaRefresh"] = method<plain_body<kRefresh>>("_fpgaRefresh", "Refresh the FPGA.", {{"self"}});
    ns["_fpgaGetInfo"] = method<plain_body<kInfo>>("_fpgaGetInfo", "Get the FPGA information.", {{"self"}});
    ns["_fpgaGetControlFwVer"] = method<plain_body<kFwVer>>("_fpgaGetControlFwVer", "Get the FPGA control firmware version.", {{"self"}});
    ns["_fpgaGetSerialNumber"] = method<plain_body<kSn>>("_fpgaGetSerialNumber", "Get the FPGA serial number.", {{"self"}});
}

nb::object op_set_progress_callback() {
    return method<set_callback_body>("set_progress_callback",
                                     "Set the progress callback, called as callback(stage, done, total); None switches it off.",
                                     {{"self"}, {"callback"}});
}

nb::object op_disconnect() {
    return method<disconnect_body>("disconnect", "Close the device link if the tool opened it.", {{"self"}});
}

}  // namespace fpga
