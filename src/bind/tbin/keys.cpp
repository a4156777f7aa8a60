// Key files: making a key pair, reading public keys, trust paths and the id
// of a private key.
#include "sign_file.h"
#include "tbinmod.h"

namespace tbinmod {

// generate_key(path) -> key id
nb::str generate_key(nb::handle path) {
    std::string fs = qv::fs_encode(path);
    sg::KeyPairOutcome r;
    {
        nb::gil_scoped_release nogil;
        r = sg::write_key_pair(fs);
    }
    using K = sg::KeyPairOutcome;
    switch (r.kind) {
        case K::kOk: break;
        case K::kKeygen: qv::raise(PyExc_RuntimeError, "%s", r.why.c_str());
        case K::kExists:
            qv::raise(PyExc_FileExistsError, "%U exists: a key file is never overwritten (choose another name)",
                      fs_text(r.failed).ptr());
        case K::kError: raise_out_error(r.err, fs_text(r.failed));
    }
    return key_id_str(r.pub);
}

nb::bytes load_public_key(nb::handle path) {
    std::string fs = qv::fs_encode(path);
    sg::PublicKey k{};
    sg::KeyFileError e;
    bool ok;
    {
        nb::gil_scoped_release nogil;
        ok = sg::read_public_key(fs, k, e);
    }
    if (!ok) raise_key_error(e);
    return as_bytes(k.data(), k.size());
}

nb::list load_trust(nb::handle path) {
    std::string fs = qv::fs_encode(path);
    std::vector<sg::PublicKey> keys;
    sg::KeyFileError e;
    bool ok;
    {
        nb::gil_scoped_release nogil;
        ok = sg::load_trust(fs, keys, e);
    }
    if (!ok) raise_key_error(e);
    nb::list out;
    for (const auto& k : keys) out.append(as_bytes(k.data(), k.size()));
    return out;
}

// The key id of a private key file (read and checked as sign() reads it).
nb::str private_key_id(nb::handle path) {
    std::string fs = qv::fs_encode(path);
    sg::KeyFileError e;
    std::string why;
    sg::PublicKey pub{};
    bool ok;
    {
        nb::gil_scoped_release nogil;
        sg::Secret pem;
        sg::Signature sig{};
        ok = sg::read_private_key(fs, pem, e) && sg::sign_ed25519(pem, qvcore::Digest{}, sig, pub, why);
        if (ok) why.clear();
    }
    if (!ok && !why.empty()) qv::raise(PyExc_ValueError, "%s: %s", fs.c_str(), why.c_str());
    if (!ok) raise_key_error(e);
    return key_id_str(pub);
}

nb::str key_id(nb::handle public_key) { return key_id_str(raw_public_key(public_key, "public_key")); }

}  // namespace tbinmod
