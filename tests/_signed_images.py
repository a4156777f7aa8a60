"""Signed .tbin files for the policy tests. Keys and signatures come from the
openssl command line and the trailer is put together here byte by byte, so
the checker is tested against the layout, not against our own signer."""

import hashlib
import os
import shutil
import struct
import subprocess
import tempfile

import pytest

MAGIC = b"QVXSIG\x00\x01"
OPENSSL = shutil.which("openssl")

needs_openssl = pytest.mark.skipif(OPENSSL is None, reason="needs the openssl command")


def _openssl(*args):
    return subprocess.run([OPENSSL, *args], check=True, capture_output=True).stdout


class Key:
    """An Ed25519 key pair made by `openssl genpkey`: PEM files in `folder`."""

    def __init__(self, folder, name):
        self.private = os.path.join(folder, name)
        self.public = self.private + ".pub"
        _openssl("genpkey", "-algorithm", "ed25519", "-out", self.private)
        _openssl("pkey", "-in", self.private, "-pubout", "-out", self.public)
        self.raw = _openssl("pkey", "-in", self.private, "-pubout", "-outform", "DER")[-32:]
        self.key_id = hashlib.sha256(self.raw).digest()[:8]

    def sign(self, message):
        with tempfile.NamedTemporaryFile() as f:
            f.write(message)
            f.flush()
            return _openssl("pkeyutl", "-sign", "-rawin", "-inkey", self.private, "-in", f.name)


def entry(key_id, signature, algorithm=1):
    return struct.pack(">HH", algorithm, len(signature)) + key_id + signature


def trailer(entries, count=None, length=None):
    body = b"".join(entries)
    return body + struct.pack(">II", len(body) + 16 if length is None else length,
                              len(entries) if count is None else count) + MAGIC


def signed(region, *keys):
    """`region` (a whole .tbin, padding and all) with a signature by each key."""
    message = hashlib.sha256(region).digest()
    return region + trailer([entry(k.key_id, k.sign(message)) for k in keys])
