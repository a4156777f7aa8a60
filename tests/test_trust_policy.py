"""The signing policy of FpgaTool._checkFileHeader: with trusted keys in
_TRUSTED_KEYS (or QUORVEX_TRUST at load) a .tbin needs a valid signature by
one of them; with none, signed and unsigned files pass as they always did."""

import os
import subprocess
import sys

import pytest

from _signed_images import OPENSSL, Key, entry, needs_openssl, signed, trailer
from quorvex import QVRFpga, tbin

IMAGE = bytes(range(256)) * 5


class DummyLink:
    """Stands for a device link; the checks must never touch it."""

    def __getattr__(self, name):
        raise AssertionError(f"the image checks used the link: {name}")


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("keys"))
    keys = {name: Key(folder, name) for name in ("site", "other", "spare")}
    if OPENSSL:
        keys["openssl"] = Key(folder, "openssl", by_openssl=True)
    return keys


@pytest.fixture
def tool():
    return QVRFpga.FpgaTool(connection=DummyLink())


@pytest.fixture
def trust(monkeypatch):
    def set_keys(*keys):
        monkeypatch.setattr(QVRFpga, "_TRUSTED_KEYS", frozenset(k.raw for k in keys))
    return set_keys


@pytest.fixture
def write(tmp_path):
    def put(data, name="image.tbin"):
        p = tmp_path / name
        p.write_bytes(data)
        return str(p)
    return put


def test_no_policy_by_default_and_signed_files_pass_the_unsigned_checks(tool, write, keys):
    assert QVRFpga._TRUSTED_KEYS == frozenset()
    packed = tbin.pack(IMAGE, 32)
    assert tool._checkFileHeader(write(packed)) is True
    path = write(signed(packed, keys["other"], keys["spare"]))
    assert tool._checkUpdateFile(path) is True and tool._checkFileHeader(path) is True
    info = tbin.describe(path)
    assert info["ok"] and info["problems"] == []
    assert tool._checkFileHeader(write(IMAGE, "plain.bin")) is True


@pytest.mark.parametrize("size", [len(IMAGE), 3 * 2**20 + 5])  # small; hashed on a second thread
@pytest.mark.parametrize("signers", [("site",), ("other", "site"), ("site", "other")])
def test_a_valid_signature_by_a_trusted_key_passes(tool, write, keys, trust, log, size, signers):
    trust(keys["site"], keys["spare"])
    image = os.urandom(size)
    path = write(signed(tbin.pack(image, 32) + b"\0" * 7, *(keys[s] for s in signers)))
    assert tool._checkFileHeader(path) is True
    assert log("ERROR") == []
    assert log()[-1] == ("DEBUG", "FPGA tbin hash verify success")


def flip(data, at):
    b = bytearray(data)
    b[at] ^= 0x10
    return bytes(b)


@pytest.mark.parametrize("size", [len(IMAGE), 2 * 2**20])
@pytest.mark.parametrize("where", ["reserved word", "padding", "signature", "key id",
                                   "algorithm", "footer length", "footer count", "magic"])
def test_a_flipped_bit_outside_the_digested_bytes_is_refused(tool, write, keys, trust, log,
                                                             where, size):
    trust(keys["site"])
    region = tbin.pack(os.urandom(size), 32) + b"\0" * 16
    data = signed(region, keys["site"])
    n = len(region)
    at = {"reserved word": 13, "padding": n - 3, "algorithm": n + 1, "key id": n + 6,
          "signature": n + 40, "footer length": len(data) - 14, "footer count": len(data) - 10,
          "magic": len(data) - 2}[where]
    path = write(flip(data, at))
    assert tool._checkFileHeader(path) is False
    [(level, text)] = log("ERROR")
    assert text.startswith("FPGA tbin signature ") and text.endswith(": " + path)


@pytest.mark.parametrize("where", ["json", "image"])
def test_a_digest_mismatch_is_reported_before_the_signature(tool, write, keys, trust, log, where):
    trust(keys["site"])
    packed = tbin.pack(IMAGE, 32)
    data = signed(flip(packed, 20 if where == "json" else len(packed) - 1), keys["site"])
    assert tool._checkFileHeader(write(data)) is False
    assert log("ERROR") == [("ERROR", f"FPGA tbin {'header' if where == 'json' else 'image'} hash mismatch")]


def untrusted_text(keys, *names):
    return "untrusted key id " + ", ".join(keys[n].key_id.hex() for n in names)


@pytest.mark.parametrize("make, reason", [
    (lambda k, p: p, lambda k: "missing"),
    (lambda k, p: signed(p, k["site"]) + b"\0", lambda k: "missing"),  # appended after the trailer
    (lambda k, p: signed(p, k["other"]), lambda k: untrusted_text(k, "other")),
    (lambda k, p: signed(p, k["other"], k["spare"]), lambda k: untrusted_text(k, "other", "spare")),
    # the trusted key's id, another key's signature
    (lambda k, p: p + trailer([entry(k["site"].key_id, k["other"].sign(p))]),
     lambda k: "invalid"),
    # a signature over another file
    (lambda k, p: p + trailer([entry(k["site"].key_id, k["site"].sign(b"x" * 100))]),
     lambda k: "invalid"),
    # an algorithm we do not know, by the trusted key id
    (lambda k, p: p + trailer([entry(k["site"].key_id, b"\1" * 64, algorithm=7)]), lambda k: "invalid"),
    (lambda k, p: p + trailer([], count=0), lambda k: "missing (malformed trailer: "),
    (lambda k, p: p + trailer([entry(k["site"].key_id, b"\0" * 64)], length=len(p) + 500),
     lambda k: "missing (malformed trailer: "),
    pytest.param(lambda k, p: signed(signed(p, k["site"]), k["openssl"]),
                 lambda k: untrusted_text(k, "openssl"), marks=needs_openssl),
], ids=["unsigned", "extended", "untrusted", "two untrusted", "wrong key", "other message",
        "unknown algorithm", "no entries", "too long", "second trailer"])
def test_refusals_name_their_reason_and_the_path(tool, write, keys, trust, log, make, reason):
    trust(keys["site"])
    path = write(make(keys, tbin.pack(IMAGE, 32)))
    assert tool._checkFileHeader(path) is False
    [(level, text)] = log("ERROR")
    want = "FPGA tbin signature " + reason(keys)
    assert text.startswith(want) and text.endswith(": " + path)
    if not want.endswith(": "):
        assert text == f"{want}: {path}"


def test_a_bin_is_refused_under_a_policy_only(tool, write, keys, trust, log):
    path = write(IMAGE, "image.bin")
    assert tool._checkFileHeader(path) is True
    trust(keys["site"])
    assert tool._checkFileHeader(path) is False
    assert log("ERROR") == [("ERROR", "FPGA image not signed: " + path)]


@pytest.mark.parametrize("container", [list, tuple, set, frozenset, iter])
def test_trusted_keys_set_in_code_may_be_any_iterable_of_bytes_like_keys(
        tool, write, keys, monkeypatch, container):
    path = write(signed(tbin.pack(IMAGE, 32), keys["site"]))
    hashable = container in (set, frozenset)
    monkeypatch.setattr(QVRFpga, "_TRUSTED_KEYS",
                        container([keys["site"].raw if hashable else bytearray(keys["site"].raw)]))
    assert tool._checkFileHeader(path) is True
    monkeypatch.setattr(QVRFpga, "_TRUSTED_KEYS",
                        container([keys["other"].raw if hashable else memoryview(keys["other"].raw)]))
    assert tool._checkFileHeader(path) is False


@pytest.mark.parametrize("value", [5, None, ["x" * 32], [b"short"], [b"k" * 33]])
def test_malformed_trusted_keys_are_a_type_error_naming_them(tool, write, monkeypatch, value):
    monkeypatch.setattr(QVRFpga, "_TRUSTED_KEYS", value)
    for path in (write(tbin.pack(IMAGE, 32)), write(IMAGE, "x.bin")):
        with pytest.raises(TypeError, match="_TRUSTED_KEYS"):
            tool._checkFileHeader(path)


def load_in_fresh_process(trust_value):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    env["QUORVEX_TRUST"] = trust_value
    code = "from quorvex import QVRFpga; print(sorted(k.hex() for k in QVRFpga._TRUSTED_KEYS))"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


def test_quorvex_trust_is_read_at_load(tmp_path, keys):
    folder = tmp_path / "trusted"
    folder.mkdir()
    for name in ("site", "other"):
        (folder / f"{name}.pem").write_bytes(open(keys[name].public, "rb").read())
    (folder / "notes.txt").write_text("not a key, not looked at")
    value = os.pathsep.join(["", str(folder), keys["spare"].public, keys["site"].public])
    r = load_in_fresh_process(value)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == str(sorted(keys[n].raw.hex() for n in ("site", "other", "spare")))
    assert load_in_fresh_process("").stdout.strip() == "[]"


@pytest.mark.parametrize("what", ["missing", "empty folder", "not a key", "private key", "only separators"])
def test_a_quorvex_trust_that_cannot_be_read_fails_the_import(tmp_path, keys, what):
    path = tmp_path / what.replace(" ", "_")
    if what == "empty folder":
        path.mkdir()
    elif what == "not a key":
        path.write_text("-----BEGIN PUBLIC KEY-----\nnonsense\n-----END PUBLIC KEY-----\n")
    elif what == "private key":
        path.write_bytes(open(keys["site"].private, "rb").read())
    value = os.pathsep * 2 if what == "only separators" else os.pathsep.join([keys["site"].public, str(path)])
    r = load_in_fresh_process(value)
    assert r.returncode != 0
    assert "ImportError: QUORVEX_TRUST" in r.stderr
    if what != "only separators":
        assert str(path) in r.stderr
        assert "PRIVATE" not in r.stderr
