// Signing files in place or into a copy, and writing new key pairs: the
// file side of signatures. Every function here runs without the GIL and
// leaves nothing behind when it fails.
#pragma once

#include <string>

#include "sign.h"

namespace qvcore::sig {

// What became of adding a signature to a file.
struct SignOutcome {
    enum Kind {
        kOk,
        kKey,         // the private key file could not be used (`key_error`)
        kOntoKey,     // the output names the private key file itself
        kInError,     // the input could not be read (`err`)
        kSpecial,     // the input is not a regular file: refused unread
        kUnsignable,  // `trailer` is malformed, or the file too short to be signed
        kOutError,    // the output could not be written (`err`)
        kCut,         // the input was cut short while it was read
        kRefused,     // no signature was made, or it does not verify (`why`)
    } kind = kOk;
    int err = 0;
    std::string why;
    KeyFileError key_error;
    Trailer trailer;  // the input's trailer, once parsed
    PublicKey pub{};  // the key of the signature added
};

// Signs `in` with the private key file `key` and writes it, trailer and
// all, to `out` (which may be `in`: it is replaced atomically, keeping its
// permission bits).
SignOutcome sign_file(const std::string& in, const std::string& key, const std::string& out);

// Adds the signature `sig` made elsewhere by `pub`, once it verifies over
// the bytes written.
SignOutcome attach_signature(const std::string& in, const std::string& out, const PublicKey& pub,
                             const std::string& sig);

struct KeyPairOutcome {
    enum Kind { kOk, kKeygen, kExists, kError } kind = kOk;
    int err = 0;
    std::string why;     // kKeygen: what libcrypto said
    std::string failed;  // the file concerned (kExists, kError)
    PublicKey pub{};
};

// A new key pair: the private key to `path` (0600, never over an existing
// file), the public key to path + ".pub"; each written whole or not at all.
// The private key never leaves this function.
KeyPairOutcome write_key_pair(const std::string& path);

}  // namespace qvcore::sig
