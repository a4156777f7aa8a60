#include "sign_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "atomic_file.h"
#include "filebuf.h"
#include "files.h"

namespace qvcore::sig {

namespace {

// Makes (or checks) the entry for the digest of the bytes written; false
// with `why` when there is none.
using MakeEntry = std::function<bool(const Digest&, Entry&, std::string&)>;

// Copies the signed region of `in` to a temporary file beside `out`,
// digesting exactly the bytes written, even while the file changes;
// `make_entry` then makes the signature over that digest, and the file gets
// the trailer and the name `out`.
void rewrite_signed(const std::string& in, const std::string& out_path, const MakeEntry& make_entry,
                    SignOutcome& r) {
    FileBuffer buf;
    OsError oe;
    if (!buf.map(in, oe)) {
        r.kind = oe.special ? SignOutcome::kSpecial : SignOutcome::kInError;
        r.err = oe.err;
        return;
    }
    const Trailer& t = r.trailer = parse_trailer(buf.data(), buf.size());
    if (t.malformed || t.signed_size < kMinSignedSize) {
        r.kind = SignOutcome::kUnsignable;
        return;
    }
    struct stat st {};
    bool keep_mode = ::stat(out_path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    AtomicFile out;
    if ((r.err = out.open(out_path, 0666)) || (keep_mode && (r.err = out.chmod(st.st_mode & 07777)))) {
        r.kind = SignOutcome::kOutError;
        return;
    }
    // Each slice is copied out of the mapping once, then digested and written
    // from the copy: the mapped pages follow the file, and a file rewritten
    // meanwhile must not get a signature over bytes other than those written.
    Sha256 h;
    constexpr uint64_t kChunk = 1 << 20;
    std::vector<uint8_t> slice(size_t(std::min<uint64_t>(kChunk, t.signed_size)));
    for (uint64_t at = 0; at < t.signed_size; at += kChunk) {
        size_t n = size_t(std::min(kChunk, t.signed_size - at));
        std::memcpy(slice.data(), buf.data() + at, n);
        h.update(slice.data(), n);
        if ((r.err = out.write(slice.data(), n))) {
            r.kind = SignOutcome::kOutError;
            return;
        }
    }
    if (buf.cut()) {
        r.kind = SignOutcome::kCut;
        return;
    }
    Entry e;
    if (!make_entry(h.finish(), e, r.why)) {
        r.kind = SignOutcome::kRefused;
        return;
    }
    std::vector<Entry> entries = t.entries;
    put_entry(entries, std::move(e));
    std::string trailer = build_trailer(entries);
    if ((r.err = out.write(trailer.data(), trailer.size())) || (r.err = out.commit(false)))
        r.kind = SignOutcome::kOutError;
}

}  // namespace

SignOutcome sign_file(const std::string& in, const std::string& key, const std::string& out) {
    SignOutcome r;
    Secret pem;
    if (!read_private_key(key, pem, r.key_error)) {
        r.kind = SignOutcome::kKey;
        return r;
    }
    // The output taking the key file's place would destroy the key.
    struct stat ks {};
    if (::stat(key.c_str(), &ks) == 0 && names_file(out, ks)) {
        r.kind = SignOutcome::kOntoKey;
        return r;
    }
    rewrite_signed(in, out, [&](const Digest& m, Entry& e, std::string& why) {
        Signature s{};
        if (!sign_ed25519(pem, m, s, r.pub, why)) return false;
        e.algorithm = kEd25519;
        e.key_id = key_id(r.pub.data());
        e.signature.assign(reinterpret_cast<const char*>(s.data()), s.size());
        return true;
    }, r);
    return r;
}

SignOutcome attach_signature(const std::string& in, const std::string& out, const PublicKey& pub,
                             const std::string& sig) {
    SignOutcome r;
    r.pub = pub;
    rewrite_signed(in, out, [&](const Digest& m, Entry& e, std::string& why) {
        if (!verify_ed25519(pub.data(), m.data(), m.size(), reinterpret_cast<const uint8_t*>(sig.data()),
                            sig.size())) {
            why = "the signature does not verify against public key " + key_id_hex(key_id(pub.data())) +
                  " over this file's signing digest: nothing attached";
            return false;
        }
        e.algorithm = kEd25519;
        e.key_id = key_id(pub.data());
        e.signature = sig;
        return true;
    }, r);
    return r;
}

KeyPairOutcome write_key_pair(const std::string& path) {
    KeyPairOutcome r;
    const std::string pub_path = path + ".pub";
    r.failed = path;
    struct stat st {};
    KeyPair kp;
    if (::lstat(path.c_str(), &st) == 0) {
        r.kind = KeyPairOutcome::kExists;
        return r;
    }
    if (::lstat(pub_path.c_str(), &st) == 0) {
        r.kind = KeyPairOutcome::kExists, r.failed = pub_path;
        return r;
    }
    if (!generate_key(kp, r.why)) {
        r.kind = KeyPairOutcome::kKeygen;
        return r;
    }
    r.pub = kp.public_key;
    AtomicFile priv, pub;
    const std::string& pem = kp.private_pem.text();
    if ((r.err = priv.open(path, 0600)) || (r.err = priv.chmod(0600)) || (r.err = priv.write(pem.data(), pem.size()))) {
        r.kind = KeyPairOutcome::kError;
    } else if ((r.err = pub.open(pub_path, 0666)) || (r.err = pub.write(kp.public_pem.data(), kp.public_pem.size()))) {
        r.kind = KeyPairOutcome::kError, r.failed = pub_path;
    } else if ((r.err = priv.commit(true))) {
        r.kind = r.err == EEXIST ? KeyPairOutcome::kExists : KeyPairOutcome::kError;
    } else if ((r.err = pub.commit(true))) {
        ::unlink(path.c_str());  // not a key pair without its public half
        r.kind = r.err == EEXIST ? KeyPairOutcome::kExists : KeyPairOutcome::kError, r.failed = pub_path;
    }
    return r;
}

}  // namespace qvcore::sig
