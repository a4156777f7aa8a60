// The engine's run, native where it may be. Through self, every block costs
// a chain of Python-level calls (_fpgaProgram, _sendCmd, the link's sendCmd,
// a RetType) before its bytes reach the socket. While the tool's type and the tool
// itself still hold the module's own operations, and its link is a plain
// _TCPConn whose methods nobody replaced, that chain can only send what the
// transfer machine frames and hand back what the link reads; so the run
// drives the machine straight on the native link. What stays Python's is
// what a caller sees: the progress lines on the sys.stdout of the moment,
// the progress callback read afresh before each report, the log lines, and
// the clocks of the module's `time`.
#include "fastpath.h"

#include <algorithm>
#include <utility>

#include "engine.h"
#include "filebuf.h"
#include "image.h"
#include "linkpy.h"
#include "protocol.h"
#include "transfer.h"

namespace fpga {
namespace {

namespace proto = qvcore::proto;
using qvcore::Transfer;
constexpr size_t kBlockSize = proto::kPageSize;

// The operations the engine reaches through self, directly or through
// _sendCmd and _getRecv.
constexpr const char* kEngineOps[] = {"_sendCmd",       "_getRecv",     "_fpgaErase",
                                      "_fpgaRstPagePtr", "_fpgaProgram", "_fpgaRead",
                                      "_fpgaDone",       "_fpgaRefresh"};
constexpr const char* kLinkOps[] = {"sendCmd", "sendRawBytes", "recvRawBytes", "_lend_link"};
constexpr size_t kLinkOpCount = sizeof kLinkOps / sizeof *kLinkOps;

// Every import's own operations: function object -> its name. Kept for the
// process, as the classes that hold them may be.
PyObject* own_ops = nullptr;
PyObject* engine_names[sizeof kEngineOps / sizeof *kEngineOps];
PyObject* link_names[kLinkOpCount];

// The link type and its own methods, as first seen.
struct LinkType {
    PyTypeObject* type = nullptr;
    PyObject* methods[kLinkOpCount] = {};
} link_type;

void intern_names() {
    if (own_ops) return;
    own_ops = qv::keep(qv::check(PyDict_New()));
    size_t i = 0;
    for (const char* n : kEngineOps) engine_names[i++] = qv::intern(n);
    i = 0;
    for (const char* n : kLinkOps) link_names[i++] = qv::intern(n);
}

// `name` is absent from the instance dict of `obj` (or it has none).
bool not_in_instance(PyObject* obj, PyObject* name) {
    PyObject** dictp = _PyObject_GetDictPtr(obj);
    if (!dictp || !*dictp) return true;
    PyObject* v = PyDict_GetItemWithError(*dictp, name);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v == nullptr;
}

bool tool_is_own(nb::handle self) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;  // a __getattr(ibute)__
    for (PyObject* name : engine_names) {
        PyObject* found = _PyType_Lookup(type, name);
        if (!found) return false;
        PyObject* own_name = PyDict_GetItemWithError(own_ops, found);
        if (!own_name && PyErr_Occurred()) throw nb::python_error();
        if (own_name != name || !not_in_instance(self.ptr(), name)) return false;
    }
    return true;
}

// The native link of `conn` when it is our own _TCPConn, untouched.
qvcore::TcpLink* own_link(nb::handle conn) {
    if (!link_type.type) {
        // Not loaded: nothing can be one of its links.
        PyObject* mod = PyImport_GetModule(nb::str("quorvex.QVRCommService").ptr());
        if (!mod) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nullptr;
        }
        nb::object m = nb::steal(mod);
        nb::object tcp = qv::optional_attr(m, qv::intern("_TCPConn"));
        if (!tcp || !PyType_Check(tcp.ptr())) return nullptr;
        auto* type = reinterpret_cast<PyTypeObject*>(tcp.ptr());
        LinkType seen;
        seen.type = type;
        for (size_t i = 0; i < kLinkOpCount; ++i) {
            PyObject* m = _PyType_Lookup(type, link_names[i]);
            // nanobind's own function objects, never a replacement.
            if (!m || std::string_view(_PyType_Name(Py_TYPE(m))).substr(0, 3) != "nb_") return nullptr;
            seen.methods[i] = Py_NewRef(m);
        }
        Py_INCREF(type);
        link_type = seen;
    }
    if (Py_TYPE(conn.ptr()) != link_type.type) return nullptr;
    for (size_t i = 0; i < kLinkOpCount; ++i)
        if (_PyType_Lookup(link_type.type, link_names[i]) != link_type.methods[i] ||
            !not_in_instance(conn.ptr(), link_names[i]))
            return nullptr;
    nb::object capsule = qv::call_method(conn, link_names[kLinkOpCount - 1], nullptr);
    auto* link = static_cast<qvcore::TcpLink*>(PyCapsule_GetPointer(capsule.ptr(), "quorvex.TcpLink"));
    if (!link) throw nb::python_error();
    return link;
}

// One command on the link without the GIL; Ctrl-C is looked for between
// the link's wait slices. The link's failures become the exceptions the
// link's own methods raise.
class Wire {
public:
    explicit Wire(qvcore::TcpLink* link) : link_(link) {}

    // The reply line to a framed command.
    std::string_view command(const char* data, size_t n) {
        return run([&](qvcore::TcpLink::Guard& g) { return link_->command(g, data, n); });
    }
    // A raw reply, cut to `limit` bytes, to a framed command.
    std::string_view raw(const char* data, size_t n, size_t limit) {
        return run([&](qvcore::TcpLink::Guard& g) {
            link_->send_raw(g, data, n);
            return link_->recv_reply(g, limit);
        });
    }

private:
    template <typename F>
    std::string_view run(F&& f) {
        std::string_view out;
        try {
            qv::Released nogil;
            qvcore::TcpLink::Guard g(*link_, nogil.interrupt());
            out = f(g);
        } catch (const qvcore::LinkError& e) {
            qv::raise_link_error(e);
        }
        return out;
    }
    qvcore::TcpLink* link_;
};

// The engine's commands: on the native link while nothing of the tool or
// its link has been replaced since the run began (a callback, a stream or a
// log handler may replace anything between two commands), and through self
// from the first change on, or from the start when there is no such link.
class Commands {
public:
    // `link`: the native link of the tool's own `conn`, or null.
    Commands(nb::handle self, nb::object conn, qvcore::TcpLink* link)
        : self_(self), conn_(std::move(conn)), link_(link), wire_(link), native_(link != nullptr) {
        if (native_) snapshot();
    }

    // kErase, kResetPointer, kDone or kRefresh, as the machine has it now.
    void plain(Transfer& t, char* frame, size_t cap) {
        if (native()) {
            wire_.command(frame, t.frame(frame, cap));
            return;
        }
        switch (t.next()) {
        case Transfer::Step::kErase:
            qv::call_method(self_, S->_fpgaErase, nullptr,
                            nb::bytes(t.erase_selector().data(), t.erase_selector().size()));
            break;
        case Transfer::Step::kResetPointer:
            qv::call_method(self_, S->_fpgaRstPagePtr, nullptr, nb::bytes(proto::kSectionCfg));
            break;
        case Transfer::Step::kDone: qv::call_method(self_, S->_fpgaDone, nullptr); break;
        default: qv::call_method(self_, S->_fpgaRefresh, nullptr); break;
        }
    }

    // The block in hand, once; true when the device took it. Through self
    // it goes as `block`, made on its first send and sent again if refused.
    bool program(Transfer& t, const char* frame, size_t n, nb::object& block) {
        if (native()) return proto::reply_accepted(wire_.command(frame, n));
        if (!block)
            block = qv::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(t.block_data()),
                                                        static_cast<Py_ssize_t>(t.block_size())));
        return qv::truth(qv::call_method(self_, S->_fpgaProgram, nullptr, block));
    }

    // The next page: read natively, fed to the machine at once (unobservable);
    // through self, returned for the caller to feed after its progress report.
    nb::object read(Transfer& t, char* frame, size_t cap) {
        if (native()) {
            // _getRecv's cut: the block header's four bytes and the CR LF.
            const std::string_view page = proto::read_page(wire_.raw(frame, t.frame(frame, cap), kRecvSize));
            t.page(page.data(), page.size());
            return {};
        }
        return qv::call_method(self_, S->_fpgaRead, nullptr);
    }

private:
    static PyObject* dict_of(PyObject* obj) {
        PyObject** d = _PyObject_GetDictPtr(obj);
        return d ? *d : nullptr;
    }
    // What a replacement would change: the types' version tags (any
    // assignment on a class or its bases renews them), the instance dicts
    // and their sizes, and the tool's link.
    void snapshot() {
        tool_tag_ = Py_TYPE(self_.ptr())->tp_version_tag;
        tool_dict_ = nb::borrow(dict_of(self_.ptr()));
        tool_size_ = tool_dict_ ? PyDict_GET_SIZE(tool_dict_.ptr()) : -1;
        conn_tag_ = Py_TYPE(conn_.ptr())->tp_version_tag;
        conn_dict_ = nb::borrow(dict_of(conn_.ptr()));
        conn_size_ = conn_dict_ ? PyDict_GET_SIZE(conn_dict_.ptr()) : -1;
    }
    bool unchanged() const {
        if (!tool_tag_ || !conn_tag_ || Py_TYPE(self_.ptr())->tp_version_tag != tool_tag_ ||
            Py_TYPE(conn_.ptr())->tp_version_tag != conn_tag_ || !tool_dict_ ||
            dict_of(self_.ptr()) != tool_dict_.ptr() || PyDict_GET_SIZE(tool_dict_.ptr()) != tool_size_ ||
            dict_of(conn_.ptr()) != conn_dict_.ptr() ||
            (conn_dict_ && PyDict_GET_SIZE(conn_dict_.ptr()) != conn_size_))
            return false;
        PyObject* conn = PyDict_GetItemWithError(tool_dict_.ptr(), S->_conn);
        if (!conn && PyErr_Occurred()) throw nb::python_error();
        return conn == conn_.ptr();
    }
    bool native() {
        if (!native_ || unchanged()) return native_;
        nb::object conn = qv::check(PyObject_GetAttr(self_.ptr(), S->_conn));
        if (conn.ptr() == conn_.ptr() && tool_is_own(self_) && own_link(conn) == link_) {
            snapshot();  // a change that replaced nothing of ours
            return true;
        }
        native_ = false;
        return false;
    }

    nb::handle self_;
    nb::object conn_;
    qvcore::TcpLink* link_;
    Wire wire_;
    bool native_;
    unsigned int tool_tag_ = 0, conn_tag_ = 0;
    nb::object tool_dict_, conn_dict_;
    Py_ssize_t tool_size_ = -1, conn_size_ = -1;
};

}  // namespace

void note_own_operations(nb::dict ns) {
    intern_names();
    for (PyObject* name : engine_names) {
        PyObject* fn = PyDict_GetItemWithError(ns.ptr(), name);
        if (!fn) {
            if (PyErr_Occurred()) throw nb::python_error();
            continue;
        }
        if (PyDict_SetItem(own_ops, fn, name) < 0) throw nb::python_error();
    }
}

bool run_transfer(const EngineRun& run) {
    nb::object conn;
    qvcore::TcpLink* link = nullptr;
    if (own_ops && tool_is_own(run.self)) {
        conn = qv::check(PyObject_GetAttr(run.self.ptr(), S->_conn));
        link = own_link(conn);
    }

    Clocks& clocks = run.clocks;
    Progress progress(run.self);
    Commands commands(run.self, std::move(conn), link);
    ImageSource image(run.path, run.os_path, run.tbin, run.checked, run.file_size);
    Transfer t(run.erase, run.max_attempts);
    long long file_size = run.file_size;
    char frame[Transfer::kMaxCommand];
    for (;;) {
        const Transfer::Step step = t.next();
        switch (step) {
        case Transfer::Step::kErase:
        case Transfer::Step::kResetPointer:
        case Transfer::Step::kDone:
        case Transfer::Step::kRefresh:
            commands.plain(t, frame, sizeof frame);
            t.acknowledge();
            break;
        case Transfer::Step::kWriteBegin:
            progress.report(false, 0, 0);
            file_size = image.open();
            break;
        case Transfer::Step::kNeedBlock:
            image.next(t);
            break;
        case Transfer::Step::kProgram: {
            const size_t n = t.frame(frame, sizeof frame);
            nb::object block;
            double t0 = 0, t1 = 0;
            for (;;) {
                t0 = clocks.wall();
                const bool ok = commands.program(t, frame, n, block);
                t1 = clocks.wall();
                const Transfer::Reply r = t.program_reply(ok);
                if (r == Transfer::Reply::kAccepted) break;
                if (r == Transfer::Reply::kRefused) raise_block_refused(run.checked, t);
            }
            const long long sent = static_cast<long long>(t.sent());
            progress.line(sent, file_size, t1 - t0);
            progress.report(false, sent, file_size);
            break;
        }
        case Transfer::Step::kWriteEnd:
            progress.end_stage();
            log_write_digest(t.w_digest());
            progress.report(true, 0, static_cast<long long>(t.sent()));
            break;
        case Transfer::Step::kRead: {
            const long long read = static_cast<long long>(t.read() + kBlockSize);
            const long long sent = static_cast<long long>(t.sent());
            const double t0 = clocks.wall();
            nb::object page = commands.read(t, frame, sizeof frame);
            const double t1 = clocks.wall();
            progress.line(read, sent, t1 - t0);
            progress.report(true, read, sent);
            if (page) feed_page(t, page);
            break;
        }
        case Transfer::Step::kVerifyEnd:
            progress.end_stage();
            log_read_verdict(t.r_digest(), t.verified());
            break;
        case Transfer::Step::kAwaitReply:      // never: one command at a time
        case Transfer::Step::kWindowFallback:  // never: a window of 1
        case Transfer::Step::kFinished:
        case Transfer::Step::kRefused:
            log_finished(clocks, run.start);
            return t.verified();
        }
    }
}

}  // namespace fpga
