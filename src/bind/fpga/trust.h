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

// The policy in force: the module's _TRUSTED_KEYS as it is now, any iterable
// of 32-byte bytes-like keys (empty: no policy). Anything else is a
// TypeError naming _TRUSTED_KEYS.
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

// An update in which processFpgaUpdate runs the real _checkFileHeader and
// then the real engine on one path: the check leaves the policy it ran under
// here, and the engine holds the copy it writes from to the same checks
// before its first block. Set for the duration of each of the two calls.
struct CheckedRun {
    PyObject* self;
    PyObject* path;  // the very object passed to both
    bool policy_read = false;
    std::vector<PublicKey> trusted;

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

// The refusal in words, as the check logs it ("FPGA tbin image hash
// mismatch", "FPGA tbin signature missing: PATH", ...).
nb::object verdict_text(const TbinVerdict& v, nb::handle path);

// The engine's error for a path that is not a file it can read: OSError
// naming it, "Not a regular file" for a FIFO, socket or device.
[[noreturn]] void raise_file_error(const qvcore::OsError& err, nb::handle path);
// The copy the engine is about to write failed the check its file passed.
[[noreturn]] void raise_changed(nb::handle path, nb::handle reason);

// The image range of the .tbin held in `file` (read from `path`), the copy
// held to the checks of `checked` first when there is one: RuntimeError for
// a copy that fails them, struct.error for a file too short for its fields.
struct ImageSpan {
    const uint8_t* data;
    size_t size;
};
ImageSpan checked_tbin_image(const qvcore::FileBuffer& file, const CheckedRun* checked,
                             nb::handle path);
// A raw image under a policy cannot have been checked: RuntimeError.
void refuse_unsigned_raw(const CheckedRun* checked, nb::handle path);

}  // namespace fpga
