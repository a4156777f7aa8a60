"""Signed .tbin files for the policy tests. The trailer is put together here
byte by byte, so the checker is tested against the layout rather than against
our own trailer writer. Keys come from quorvex.tbin (any machine), or from the
openssl command line where a test is about working with it."""

import hashlib
import os
import shutil
import struct
import subprocess
import tempfile

import pytest

from quorvex import tbin

MAGIC = b"QVXSIG\x00\x01"
OPENSSL = shutil.which("openssl")

needs_openssl = pytest.mark.skipif(OPENSSL is None, reason="needs the openssl command")


def openssl(*args):
    return subprocess.run([OPENSSL, *map(str, args)], check=True, capture_output=True,
                          timeout=60).stdout


class Key:
    """An Ed25519 key pair, PEM files in `folder`: made by quorvex.tbin, or
    by `openssl genpkey` with by_openssl=True."""

    def __init__(self, folder, name, by_openssl=False):
        self.private = os.path.join(folder, name)
        self.public = self.private + ".pub"
        self.by_openssl = by_openssl
        if by_openssl:
            openssl("genpkey", "-algorithm", "ed25519", "-out", self.private)
            openssl("pkey", "-in", self.private, "-pubout", "-out", self.public)
            self.raw = openssl("pkey", "-in", self.private, "-pubout", "-outform", "DER")[-32:]
        else:
            tbin.generate_key(self.private)
            self.raw = tbin.load_public_key(self.public)
        self.key_id = hashlib.sha256(self.raw).digest()[:8]

    def sign(self, region):
        """The Ed25519 signature of SHA-256(`region`)."""
        if self.by_openssl:
            with tempfile.NamedTemporaryFile() as f:
                f.write(hashlib.sha256(region).digest())
                f.flush()
                return openssl("pkeyutl", "-sign", "-rawin", "-inkey", self.private, "-in", f.name)
        # tbin.sign would add to a trailer that ends the region, not sign it whole.
        assert not region.endswith(MAGIC), "a region ending in a trailer needs an openssl key"
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "region.tbin")
            with open(path, "wb") as f:
                f.write(region)
            tbin.sign(path, self.private)
            with open(path, "rb") as f:
                return f.read()[-16 - 64:-16]


def entry(key_id, signature, algorithm=1):
    return struct.pack(">HH", algorithm, len(signature)) + key_id + signature


def trailer(entries, count=None, length=None):
    body = b"".join(entries)
    return body + struct.pack(">II", len(body) + 16 if length is None else length,
                              len(entries) if count is None else count) + MAGIC


def signed(region, *keys):
    """`region` (a whole .tbin, padding and all) with a signature by each key."""
    return region + trailer([entry(k.key_id, k.sign(region)) for k in keys])
