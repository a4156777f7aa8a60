// QVRFpga._Terms: the one internal interface through which a caller hands a
// run its terms and reads back what became of it.
//
// In, fixed at construction:
//   trusted       the trust policy of this run: Ed25519 public keys (raw,
//                 32 bytes each; empty: no policy). None: the module's
//                 _TRUSTED_KEYS, read when the check runs.
//   driver        a _FleetDriver: the engine hands its transfer to the
//                 driver's thread and needs a link that lends itself
//                 (_TCPConn._lend_link); None: every command through self.
//   before_erase  called with no argument once the image is checked and
//                 just before the driver erases: the run's last word (a
//                 cancelled run raises there, and nothing is erased).
// Out, after the check or update it was given to:
//   reason, errno, detail   the verdict: a reason code ("ok" when it
//                 passed), the errno of an "os_error", the refusal's own text
//                 (the line the check logged). None after an update that
//                 ended by an error nobody told a reason for (the link's).
//   counts        (bytes accepted, blocks refused) of a transfer the driver
//                 ran, however it ended; None when it ran none
//
// The reason codes, by who says them:
//   _checkUpdateFile   not_found, file_type, not_a_file, empty_image, os_error
//   _checkFileHeader   not_signed, untrusted_key, bad_signature, parse_error,
//                      digest_mismatch, file_changed (cut short while read),
//                      not_a_file, os_error
//   the update         no_path, empty_image, verify_failed; the engine, with
//                      the error it raises: file_changed, block_refused,
//                      not_a_file, os_error; file_check_failed and
//                      header_check_failed when a check that is not ours
//                      refused without saying why
//
// Two uses: tool._updateUnder(terms, image_path, device_type), which is
// processFpgaUpdate under these terms, and terms.check(tool._checkFileHeader,
// image_path) (or _checkUpdateFile), one check under them. Either calls the
// checks through the tool with the path alone, as processFpgaUpdate does, so
// an override or a patch is obeyed (and says no reason). Each use starts by
// clearing what the last one left.
#include "fleet.h"
#include "trust.h"

namespace fpga {

namespace {
void clear(Terms& t) {
    t.verdict = Verdict{};
    t.counted = false;
    t.sent = t.refused = 0;
}
}  // namespace

Terms* terms_arg(nb::handle value, const char* what) {
    if (!nb::isinstance<Terms>(value))
        qv::raise(PyExc_TypeError, "%s must be a QVRFpga._Terms, not %s", what,
                  Py_TYPE(value.ptr())->tp_name);
    Terms* t = nb::inst_ptr<Terms>(value);
    clear(*t);
    return t;
}

bool check_in_run(nb::handle check, CheckedRun& run) {
    run.verdict = Verdict{};
    const bool own = PyMethod_Check(check.ptr()) && is_own_method(check, nb::handle(run.self), S->own_checks);
    CheckedRunScope scope(own ? &run : nullptr);
    return qv::truth(qv::check(PyObject_CallOneArg(check.ptr(), run.path)));
}

namespace {

void init_terms(Terms* t, nb::handle trusted, nb::handle driver, nb::handle before_erase) {
    Terms made;  // filled first: a refused argument leaves no half-made object
    if (!driver.is_none() && !is_fleet_driver(driver))
        qv::raise(PyExc_TypeError, "driver must be a QVRFpga._FleetDriver or None, not %s",
                  Py_TYPE(driver.ptr())->tp_name);
    if (!before_erase.is_none() && !PyCallable_Check(before_erase.ptr()))
        qv::raise(PyExc_TypeError, "before_erase must be callable or None, not %s",
                  Py_TYPE(before_erase.ptr())->tp_name);
    made.trusted_keys = nb::none();
    if (!trusted.is_none()) {
        made.trusted = read_policy(trusted, "trusted");
        made.has_policy = true;
        nb::list keys;
        for (const PublicKey& k : made.trusted)
            keys.append(nb::bytes(reinterpret_cast<const char*>(k.data()), k.size()));
        made.trusted_keys = qv::check(PyFrozenSet_New(keys.ptr()));
    }
    made.driver = nb::borrow(driver);
    made.before_erase = nb::borrow(before_erase);
    new (t) Terms(std::move(made));
}

// terms.check(check, image_path): one check under these terms.
bool check_under(Terms& t, nb::handle check, nb::handle path) {
    clear(t);
    if (!PyCallable_Check(check.ptr()))
        qv::raise(PyExc_TypeError, "check must be a check of an FpgaTool, not %s",
                  Py_TYPE(check.ptr())->tp_name);
    PyObject* self = PyMethod_Check(check.ptr()) ? PyMethod_GET_SELF(check.ptr()) : nullptr;
    CheckedRun run{self, path.ptr(), &t, false, {}, {}};
    const bool passed = check_in_run(check, run);
    if (!t.verdict.reason) tell(&t, passed ? "ok" : "check_failed", nb::str(passed ? "ok" : "refused"));
    return passed;
}

nb::object reason_of(const Terms& t) {
    return t.verdict.reason ? nb::object(nb::str(t.verdict.reason)) : nb::none();
}

}  // namespace

void add_terms(nb::module_& m) {
    if (share_bound_class<Terms>(m, "_Terms")) return;
    nb::class_<Terms>(m, "_Terms",
                      "The terms of one check or update (trust policy, fleet driver, the last "
                      "look before the erase) and what it left: its verdict and its transfer "
                      "counts.")
        .def("__init__", &init_terms, nb::kw_only(), nb::arg("trusted").none() = nb::none(),
             nb::arg("driver").none() = nb::none(), nb::arg("before_erase").none() = nb::none())
        .def("check", &check_under, nb::arg("check"), nb::arg("image_path"),
             "Runs `check` (tool._checkUpdateFile or tool._checkFileHeader) on image_path "
             "under these terms, as an update runs it; its verdict is left here.")
        .def_prop_ro("trusted", [](const Terms& t) { return t.trusted_keys; })
        .def_prop_ro("driver", [](const Terms& t) { return t.driver; })
        .def_prop_ro("before_erase", [](const Terms& t) { return t.before_erase; })
        .def_prop_ro("reason", &reason_of)
        .def_prop_ro("errno", [](const Terms& t) -> nb::object {
            return t.verdict.err ? nb::object(nb::int_(t.verdict.err)) : nb::none();
        })
        .def_prop_ro("detail", [](const Terms& t) -> nb::object {
            return t.verdict.detail ? t.verdict.detail : nb::none();
        })
        .def_prop_ro("counts", [](const Terms& t) -> nb::object {
            if (!t.counted) return nb::none();
            return nb::make_tuple(t.sent, t.refused);
        });
}

}  // namespace fpga
