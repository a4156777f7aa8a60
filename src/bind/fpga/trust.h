// What makes a .tbin acceptable, in one place: the two HMAC digests of the
// container and, under a policy (a set of trusted Ed25519 public keys), a
// valid signature by one of them. _checkFileHeader runs it on the file, the
// engine on the copy it writes from.
#pragma once

#include <vector>

#include "filebuf.h"
#include "fpga.h"
#include "sign.h"

namespace fpga {
using qvcore::sig::PublicKey;

// A policy: any iterable of 32-byte bytes-like keys (empty: no policy).
// Anything else is a TypeError naming `what`. Without `keys`, the module's
// _TRUSTED_KEYS as it is now.
std::vector<PublicKey> read_policy(nb::handle keys, const char* what);
std::vector<PublicKey> read_policy();

// The module's _TRUSTED_KEYS at load: the keys of QUORVEX_TRUST (paths
// separated by os.pathsep, each a key file or a directory of them) as a
// frozenset of raw keys; empty when the variable is unset or empty. A path
// that cannot be read or holds no usable key fails the import (ImportError
// naming the path and the reason): a policy must never silently vanish.
nb::object trusted_keys_from_environment();

// The outcome of verify_tbin, first failure first.
enum class Outcome : uint8_t {
    ok,
    parse_error,      // fields, JSON header, device type or key; `text` says what
    cut,              // a mapped file lost bytes while it was read
    header_mismatch,  // the JSON header's digest
    image_mismatch,   // the image's digest
    signature,        // the policy refused; `signature` says why
};

struct TbinVerdict {
    Outcome outcome = Outcome::ok;
    nb::object text;                    // parse_error: the reason
    qvcore::sig::Verdict signature;     // outcome signature
    size_t image_size = 0;              // the image's bytes in the buffer
    bool ok() const { return outcome == Outcome::ok; }
};

// Checks the .tbin held in `buf`: the HMACs keyed with _TBIN_KEY_PREFIX (read
// now) and the device type of its JSON header, then, when `trusted` is not
// empty, the signature. The digests run without the GIL; for a large signed
// file the signed region's SHA-256 runs on a second thread beside them.
// `log_header` logs the header (debug) and a missing device type (warning),
// as the check does. Python errors other than Exception (KeyboardInterrupt)
// propagate.
TbinVerdict verify_tbin(const qvcore::FileBuffer& buf, const std::vector<PublicKey>& trusted,
                        bool log_header);

// Why a check or an update refused, beside the message for people: a
// reason code ("not_signed", "digest_mismatch", "os_error", ...; "ok" when
// it passed), the errno of an os_error, and the refusal's own text.
struct Verdict {
    const char* reason = nullptr;  // a static code; nullptr: nothing said yet
    int err = 0;
    nb::object detail;
};

// The terms one update (or one check) runs under, and what it leaves for
// its caller: the one internal interface between a caller such as
// quorvex.fleet and FpgaTool, as QVRFpga._Terms (terms.cpp documents it).
struct Terms {
    // The policy of this run; has_policy false: the module's _TRUSTED_KEYS,
    // read at call time.
    bool has_policy = false;
    std::vector<PublicKey> trusted;
    nb::object trusted_keys;  // as given, for reading back (None without)
    nb::object driver;        // a _FleetDriver, or None: every command through self
    nb::object before_erase;  // called once, last, before the driver erases; or None
    // What the run says back.
    Verdict verdict;
    bool counted = false;  // the driver ran the transfer: sent and refused hold
    unsigned long long sent = 0, refused = 0;
};

// `value` as the terms argument of an update: a _Terms (else TypeError
// naming `what`), its verdict and counts cleared for the run it starts.
Terms* terms_arg(nb::handle value, const char* what);

// An update in which processFpgaUpdate runs the real checks and then the
// real engine on one path: each check leaves its verdict here, the header
// check the policy it ran under, and the engine holds the copy it writes
// from to the same checks before its first block. Set for the duration of
// each of the calls.
struct CheckedRun {
    PyObject* self;
    PyObject* path;  // the very object passed to all
    Terms* terms = nullptr;  // the caller's, or nullptr
    bool policy_read = false;
    std::vector<PublicKey> trusted;
    Verdict verdict;  // the last one said in this run

    static inline thread_local CheckedRun* active = nullptr;
    // The run set for this call of `self` with `path`, if any.
    static CheckedRun* current(nb::handle self, nb::handle path) {
        CheckedRun* r = active;
        return r && r->self == self.ptr() && r->path == path.ptr() ? r : nullptr;
    }
};

// Sets the run for the call it wraps (nullptr: none), and restores the one before.
class CheckedRunScope {
public:
    explicit CheckedRunScope(CheckedRun* run) : saved_(CheckedRun::active) { CheckedRun::active = run; }
    ~CheckedRunScope() { CheckedRun::active = saved_; }
    CheckedRunScope(const CheckedRunScope&) = delete;
    CheckedRunScope& operator=(const CheckedRunScope&) = delete;

private:
    CheckedRun* saved_;
};

// Calls `check` (a check bound to a tool, or any callable) with the run's
// path alone, as processFpgaUpdate calls a check: our own check of the run's
// tool runs inside `run` (the run's policy, its verdict told there); any
// other is obeyed as it is and says no reason.
bool check_in_run(nb::handle check, CheckedRun& run);

// Records a verdict in `run` (and its terms), when there is a run.
void tell(CheckedRun* run, const char* reason, nb::handle detail, int err = 0);
// Records a verdict in `terms`, when given.
void tell(Terms* terms, const char* reason, nb::handle detail, int err = 0);

// The reason code of a refusal of verify_tbin (nullptr: it passed).
const char* verdict_reason(const TbinVerdict& v);

// The refusal in words, as the check logs it ("FPGA tbin image hash
// mismatch", "FPGA tbin signature missing: PATH", ...).
nb::object verdict_text(const TbinVerdict& v, nb::handle path);

// The engine's error for a path that is not a file it can read: OSError
// naming it, "Not a regular file" for a FIFO, socket or device; told to
// `run` as os_error first.
[[noreturn]] void raise_file_error(const qvcore::OsError& err, nb::handle path,
                                   CheckedRun* run = nullptr);
// The copy the engine is about to write failed the check its file passed
// (told to `run` as file_changed).
[[noreturn]] void raise_changed(CheckedRun* run, nb::handle path, nb::handle reason);

// The image range of the .tbin held in `file` (read from `path`), the copy
// held to the checks of `run` first when they ran: RuntimeError for a copy
// that fails them, struct.error for a file too short for its fields.
struct ImageSpan {
    const uint8_t* data;
    size_t size;
};
ImageSpan checked_tbin_image(const qvcore::FileBuffer& file, CheckedRun* run, nb::handle path);
// A raw image under a policy cannot have been checked: RuntimeError.
void refuse_unsigned_raw(CheckedRun* run, nb::handle path);

}  // namespace fpga
