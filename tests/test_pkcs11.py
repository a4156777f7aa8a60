"""Signing with an Ed25519 key held in a PKCS#11 token: a SoftHSM2 token made
afresh in a temporary folder for each test (its own SOFTHSM2_CONF)."""

import glob
import os
import shutil
import struct
import subprocess

import pytest

from _cli import cli
from _signed_images import needs_openssl, openssl
from quorvex import _pkcs11, tbin

SOFTHSM_UTIL = shutil.which("softhsm2-util")
MODULE = next((p for p in ("/usr/lib/softhsm/libsofthsm2.so",
                           "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                           "/usr/lib64/pkcs11/libsofthsm2.so", "/usr/local/lib/softhsm/libsofthsm2.so")
               if os.path.exists(p)), None)
pytestmark = pytest.mark.skipif(SOFTHSM_UTIL is None or MODULE is None,
                                reason="needs SoftHSM2 (scripts/prereqs.sh installs softhsm2)")
PIN, SO_PIN = "1234", "5678"


class Token:
    """A fresh SoftHSM2 token "release" in `folder`, with an Ed25519 key pair
    "fpga" made by openssl and imported, its public PEM beside it."""

    def __init__(self, folder, monkeypatch):
        self.folder = folder
        (folder / "tokens").mkdir()
        self.conf = folder / "softhsm2.conf"
        self.conf.write_text(f"directories.tokendir = {folder / 'tokens'}\n"
                             "objectstore.backend = file\nlog.level = ERROR\n")
        monkeypatch.setenv("SOFTHSM2_CONF", str(self.conf))
        monkeypatch.setenv("QUORVEX_PKCS11_PIN", PIN)
        monkeypatch.delenv("QUORVEX_PKCS11_MODULE", raising=False)
        self.util("--init-token", "--free", "--label", "release", "--pin", PIN,
                  "--so-pin", SO_PIN)
        self.private, self.public = folder / "fpga.pem", folder / "fpga.pub"
        openssl("genpkey", "-algorithm", "ed25519", "-out", self.private)
        openssl("pkey", "-in", self.private, "-pubout", "-out", self.public)
        self.util("--import", self.private, "--token", "release", "--label", "fpga",
                  "--id", "01", "--pin", PIN)

    def util(self, *args):
        subprocess.run([SOFTHSM_UTIL, *map(str, args)], check=True, capture_output=True,
                       timeout=60, env={**os.environ, "SOFTHSM2_CONF": str(self.conf)})

    def uri(self, obj="fpga", token="release", **query):
        query.setdefault("module-path", MODULE)
        q = "&".join(f"{k}={v}" for k, v in query.items())
        return f"pkcs11:token={token};object={obj}" + (f"?{q}" if q else "")

    def lock(self):
        """Marks the token's user PIN locked, as a token does after too many
        wrong PINs (SoftHSM2 itself never locks)."""
        path, = glob.glob(str(self.folder / "tokens" / "*" / "token.object"))
        with open(path, "r+b") as f:
            data = bytearray(f.read())
            tag = bytes.fromhex("000000008000534b0000000000000002")  # the token's flags
            at = data.index(tag) + len(tag)
            flags, = struct.unpack(">Q", data[at:at + 8])
            f.seek(at)
            f.write(struct.pack(">Q", flags | 0x40000))  # CKF_USER_PIN_LOCKED


@pytest.fixture
def token(tmp_path, monkeypatch):
    if shutil.which("openssl") is None:
        pytest.skip("needs the openssl command")
    return Token(tmp_path, monkeypatch)


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fpga.tbin"
    path.write_bytes(tbin.pack(os.urandom(3000), 32, fpga_version="0.2.5.0"))
    return path


@needs_openssl
def test_a_token_signature_verifies_here_and_with_openssl(token, image, tmp_path):
    digest = tbin.signing_digest(image)
    unsigned_size = image.stat().st_size
    key_id = tbin.sign(image, token.uri())
    trusted = tbin.load_trust(token.public)
    assert key_id == tbin.key_id(next(iter(trusted)))
    assert tbin.signature_report(image, trusted)["accepted"] is True
    data = image.read_bytes()
    (tmp_path / "digest").write_bytes(digest)
    (tmp_path / "sig").write_bytes(data[unsigned_size + 12:unsigned_size + 12 + 64])
    openssl("pkeyutl", "-verify", "-rawin", "-pubin", "-inkey", token.public,
            "-in", tmp_path / "digest", "-sigfile", tmp_path / "sig")
    # The check FpgaTool runs before an update takes it under that policy.
    r = cli("check", image, "--trust", token.public)
    assert r.returncode == 0, r.stderr


def test_pack_signs_in_the_token_and_keygen_and_pubkey_agree(token, tmp_path):
    raw = tmp_path / "fpga.bin"
    raw.write_bytes(os.urandom(500))
    out = tmp_path / "signed.tbin"
    # The module from the environment, the PIN from a file.
    pin = tmp_path / "pin"
    pin.write_text(PIN + "\n")
    env = {"QUORVEX_PKCS11_MODULE": MODULE, "QUORVEX_PKCS11_PIN": ""}
    uri = f"pkcs11:token=release;object=fpga?pin-source={pin}"
    r = cli("pack", raw, "-d", 32, "-o", out, "--sign", uri, env=env)
    assert r.returncode == 0, r.stderr
    assert tbin.signature_report(out, tbin.load_trust(token.public))["accepted"] is True

    (tmp_path / "keys").mkdir()
    r = cli("keygen", "--pkcs11", token.uri("made-here"), "-o", tmp_path / "keys" / "made")
    assert r.returncode == 0, r.stderr
    made = tmp_path / "keys" / "made.pub"
    r = cli("pubkey", token.uri("made-here"))
    assert r.returncode == 0 and r.stdout == made.read_text(), r.stderr
    # The key made in the token signs, and its public key is the one written.
    tbin.sign(out, token.uri("made-here"))
    report = tbin.signature_report(out, tbin.load_trust(made), keys=tbin.load_trust(token.public))
    assert [s["valid"] for s in report["signatures"]] == [True, True] and report["accepted"]
    # The same label again is refused, and the public key file is not replaced.
    before = made.read_bytes()
    r = cli("keygen", "--pkcs11", token.uri("made-here"), "-o", tmp_path / "keys" / "again")
    assert r.returncode == 2 and "holds a key of this label" in r.stderr
    assert not (tmp_path / "keys" / "again.pub").exists() and made.read_bytes() == before


@pytest.mark.parametrize("case, said", [
    ("wrong PIN", "wrong PIN"),
    ("no such token", "no such token"),
    ("no such object", "no private key"),
    ("another key type", "not an Ed25519 key"),
    ("locked token", "is locked"),
    ("module not loadable", "cannot load the PKCS#11 module"),
    ("PIN in the URI", "must not be part of the URI"),
    ("PIN in the URI's path", "must not be part of the URI"),
    ("unreadable pin-source", "cannot read the PIN"),
    ("FIFO as pin-source", "a FIFO, not a regular file"),
])
def test_a_token_that_cannot_sign_names_the_uri_without_its_pin_and_writes_nothing(
        token, image, tmp_path, monkeypatch, case, said):
    uri = token.uri()
    if case == "wrong PIN":
        monkeypatch.setenv("QUORVEX_PKCS11_PIN", "9999")
    elif case == "no such token":
        uri = token.uri(token="nightly")
    elif case == "no such object":
        uri = token.uri("fpga-1999")
    elif case == "another key type":  # a P-256 key pair under its own label
        openssl("genpkey", "-algorithm", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-out", tmp_path / "ec.pem")
        token.util("--import", tmp_path / "ec.pem", "--token", "release", "--label", "ec",
                   "--id", "02", "--pin", PIN)
        uri = token.uri("ec")
    elif case == "locked token":
        token.lock()
    elif case == "module not loadable":
        (tmp_path / "not-a-module.so").write_bytes(b"\x7fELF nonsense")
        uri = token.uri(**{"module-path": tmp_path / "not-a-module.so"})
    elif case == "PIN in the URI":
        uri = token.uri(**{"pin-value": "1234"})
    elif case == "PIN in the URI's path":
        uri = token.uri("fpga;pin-value=1234")
    elif case == "unreadable pin-source":
        uri = token.uri(**{"pin-source": tmp_path / "no-pin-here"})
    elif case == "FIFO as pin-source":  # read at once, never waited on
        os.mkfifo(tmp_path / "pin")
        uri = token.uri(**{"pin-source": tmp_path / "pin"})
    before, stat = image.read_bytes(), image.stat()
    with pytest.raises(_pkcs11.TokenError) as caught:
        tbin.sign(image, uri)
    text = str(caught.value)
    assert said in text and text.startswith(_pkcs11.redact(uri) + ":")
    assert "1234" not in text
    r = cli("sign", image, "--key", uri)
    assert r.returncode == 2 and said in r.stderr and "1234" not in r.stderr + r.stdout
    assert image.read_bytes() == before and image.stat().st_mtime_ns == stat.st_mtime_ns
    assert not [n for n in os.listdir(image.parent) if n.startswith(".fpga.tbin")]


@pytest.mark.parametrize("uri, said", [
    ("pkcs11:token=release", "name the key"),
    ("pkcs11:tokn=release;object=fpga", "unknown or malformed attribute 'tokn'"),
    ("pkcs11:token=release;object=a;object=b", "given twice"),
    ("pkcs11:token=release;object=fpga", "no PKCS#11 module"),
])
def test_a_uri_that_names_no_usable_key_is_refused_before_any_token_is_touched(
        uri, said, monkeypatch):
    monkeypatch.delenv("QUORVEX_PKCS11_MODULE", raising=False)
    with pytest.raises(_pkcs11.TokenError, match=said):
        _pkcs11.sign_message(uri, bytes(32))
