"""quorvex.tbin: packing images into .tbin containers that the checker
accepts, and describing what a container holds."""

import errno
import hashlib
import hmac
import json
import os
import struct
import subprocess
import sys

import pytest

from quorvex import QVRFpga, tbin

IMAGE = os.urandom(5000)


@pytest.fixture
def tool():
    return QVRFpga.FpgaTool(connection=object())


def checks(tool, path):
    return tool._checkUpdateFile(str(path)), tool._checkFileHeader(str(path))


@pytest.mark.parametrize("dev_type", [32, 7, 1024, [32, 28], [28, 32], (28, 32), [5], 10**30])
@pytest.mark.parametrize("header", [None, {}, {"version": "1.2.0", "notes": ["a", 1, None], "x": {"y": 2.5}}])
def test_packed_image_passes_both_checks(tool, tmp_path, dev_type, header):
    p = tmp_path / "p.tbin"
    p.write_bytes(tbin.pack(IMAGE, dev_type, header))
    assert checks(tool, p) == (True, True)


def test_pack_layout_and_digests_match_an_independent_computation():
    blob = tbin.pack(IMAGE, [32, 28], {"build": "r9"})
    hl, il, start, reserved = struct.unpack(">IIII", blob[:16])
    hb = blob[80:80 + hl]
    assert json.loads(hb) == {"DEV_TYPE": [32, 28], "build": "r9"}
    assert hb == json.dumps({"DEV_TYPE": [32, 28], "build": "r9"}).encode()
    assert (il, start, reserved) == (len(IMAGE), 80 + hl, 0)
    assert blob[start:] == IMAGE
    key = (QVRFpga._TBIN_KEY_PREFIX + "028032").encode()
    assert blob[16:48] == hmac.new(key, hb, hashlib.sha256).digest()
    assert blob[48:80] == hmac.new(key, IMAGE, hashlib.sha256).digest()


@pytest.mark.parametrize("kind", ["bytes", "bytearray", "memoryview", "str", "Path"])
def test_image_is_bytes_like_or_a_path(tmp_path, kind):
    src = tmp_path / "img.bin"
    src.write_bytes(IMAGE)
    image = {"bytes": IMAGE, "bytearray": bytearray(IMAGE), "memoryview": memoryview(IMAGE),
             "str": str(src), "Path": src}[kind]
    assert tbin.pack(image, 32) == tbin.pack(IMAGE, 32)


def test_pack_refuses_an_empty_image_and_leaves_an_existing_output_alone(tmp_path):
    # An empty image in a container would erase a device and write nothing.
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    with pytest.raises(ValueError, match="image is empty"):
        tbin.pack(b"", 32)
    with pytest.raises(ValueError, match="image is empty"):
        tbin.pack(empty, 32)
    out = tmp_path / "out.tbin"
    out.write_bytes(b"previous")
    with pytest.raises(ValueError, match="image is empty"):
        tbin.pack_file(empty, out, 32)
    assert out.read_bytes() == b"previous"


@pytest.mark.parametrize("dev_type, why", [
    (0, "positive"), (-3, "positive"), (True, "bool"), (False, "bool"), ([], "empty"),
    ([32, 0], r"dev_type\[1\]"), ([32, True], r"dev_type\[1\].*bool"), (3.0, "float"), ("32", "str"),
    (None, "NoneType"), ([32, "28"], r"dev_type\[1\]"), ([[32]], r"dev_type\[0\]"),
])
def test_pack_refuses_a_device_type_the_checker_cannot_key(dev_type, why):
    with pytest.raises(ValueError, match=why):
        tbin.pack(IMAGE, dev_type)


@pytest.mark.parametrize("own", ["DEV_TYPE", "dev_type"])
def test_pack_refuses_a_header_with_its_own_device_type(own):
    with pytest.raises(ValueError, match=own):
        tbin.pack(IMAGE, 32, {own: 28})


def test_pack_refuses_a_header_that_is_not_a_dict_or_not_json():
    with pytest.raises(TypeError, match="dict"):
        tbin.pack(IMAGE, 32, [("a", 1)])
    with pytest.raises(TypeError, match="JSON serializable"):
        tbin.pack(IMAGE, 32, {"a": object()})


def test_pack_of_a_missing_image_file_raises_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        tbin.pack(tmp_path / "none.bin", 32)
    with pytest.raises(TypeError, match="image"):
        tbin.pack(12, 32)


def test_pack_and_describe_read_the_key_prefix_at_call_time(tool, tmp_path, monkeypatch):
    monkeypatch.setattr(QVRFpga, "_TBIN_KEY_PREFIX", "00000042")
    p = tmp_path / "k.tbin"
    p.write_bytes(tbin.pack(IMAGE, 32))
    assert checks(tool, p) == (True, True)
    assert tbin.describe(p)["key"] == "00000042032"
    monkeypatch.undo()
    assert tool._checkFileHeader(str(p)) is False
    assert tbin.describe(p)["ok"] is False
    assert tbin.describe(p, key_prefix="00000042")["ok"] is True


# A key longer than the 64-byte HMAC block is hashed first; streaming and
# one-shot digests must agree on every key length.
@pytest.mark.parametrize("key_prefix", [None, "", "9" * 80])
def test_pack_file_streams_the_same_container_as_pack(tool, tmp_path, key_prefix):
    src = tmp_path / "img.bin"
    src.write_bytes(IMAGE * 300)  # larger than one streaming chunk
    out = tmp_path / "out.tbin"
    n = tbin.pack_file(src, out, [28, 32], {"build": 1}, key_prefix=key_prefix)
    data = out.read_bytes()
    assert data == tbin.pack(src, [28, 32], {"build": 1}, key_prefix=key_prefix)
    assert n == out.stat().st_size
    key = ((key_prefix if key_prefix is not None else QVRFpga._TBIN_KEY_PREFIX) + "028032").encode()
    assert data[48:80] == hmac.new(key, IMAGE * 300, hashlib.sha256).digest()
    if key_prefix is None:
        assert checks(tool, out) == (True, True)


def test_pack_file_refuses_its_own_input_and_leaves_no_output_on_failure(tmp_path):
    src = tmp_path / "img.bin"
    src.write_bytes(IMAGE)
    with pytest.raises(ValueError, match="image file itself"):
        tbin.pack_file(src, src, 32)
    assert src.read_bytes() == IMAGE
    out = tmp_path / "out.tbin"
    with pytest.raises(FileNotFoundError):
        tbin.pack_file(tmp_path / "none.bin", out, 32)
    assert not out.exists()
    with pytest.raises(ValueError):
        tbin.pack_file(src, out, 0)
    assert not out.exists()



# Every entry point that opens a file encodes its path as os.fsencode does
# and reports a failure as the os module does, naming the path it was given.
@pytest.mark.parametrize("opener", [
    lambda tool, path, src: tbin.pack(path, 32),
    lambda tool, path, src: tbin.describe(path),
    lambda tool, path, src: tbin.pack_file(path, path.with_suffix(".tbin"), 32),
    lambda tool, path, src: tbin.pack_file(src, path, 32),
    lambda tool, path, src: tool._fpgaProgramFile(str(path), 32),
], ids=["pack", "describe", "pack_file-in", "pack_file-out", "program"])
def test_file_errors_name_the_path_as_the_os_module_does(tool, tmp_path, opener):
    src = tmp_path / "img.bin"
    src.write_bytes(IMAGE)
    missing = tmp_path / "no" / "none.bin"
    with pytest.raises(FileNotFoundError) as info:
        opener(tool, missing, src)
    assert (info.value.errno, info.value.filename) == (errno.ENOENT, str(missing))
    assert str(info.value) == f"[Errno 2] No such file or directory: {str(missing)!r}"
    with pytest.raises(ValueError, match="embedded null byte"):
        opener(tool, tmp_path / "a\0b.bin", src)


# --- describe -----------------------------------------------------------------

def test_describe_a_good_container(tmp_path):
    p = tmp_path / "d.tbin"
    p.write_bytes(tbin.pack(IMAGE, [32, 28], {"build": "r1"}))
    info = tbin.describe(str(p))
    hl = len(json.dumps({"DEV_TYPE": [32, 28], "build": "r1"}))
    assert info == {
        "file_size": 80 + hl + len(IMAGE), "header_length": hl, "image_length": len(IMAGE),
        "image_start_addr": 80 + hl, "reserved": 0,
        "header": {"DEV_TYPE": [32, 28], "build": "r1"},  # as stored, not sorted
        "dev_type": [32, 28], "device_types": [28, 32], "devtype_str": "028032",
        "key": QVRFpga._TBIN_KEY_PREFIX + "028032",
        "header_hash_ok": True, "image_hash_ok": True, "ok": True, "problems": [],
    }


GOOD = tbin.pack(IMAGE, 32)
HL = struct.unpack(">I", GOOD[:4])[0]


@pytest.mark.parametrize("data", [GOOD, GOOD[:-1] + b"?"], ids=["good", "bad image digest"])
def test_describe_without_digests_gives_the_fields_and_no_verdict(data):
    info = tbin.describe(data, digests=False)
    assert (info["header_hash_ok"], info["image_hash_ok"], info["ok"]) == (None, None, None)
    assert info["problems"] == []
    full = tbin.describe(data)
    assert {k: v for k, v in info.items() if not k.endswith("ok")} == {
        k: v for k, v in full.items() if not k.endswith("ok") and k != "problems"} | {"problems": []}


def with_field(offset, value, data=GOOD):
    return data[:offset] + struct.pack(">I", value) + data[offset + 4:]


@pytest.mark.parametrize("data, problem", [
    (GOOD[:7], "shorter than the three size fields"),
    (GOOD[:40], "shorter than the fixed header"),
    (GOOD[:80 + HL - 3], "JSON header cut at the end of the file"),
    (GOOD[:-10], "image cut at the end of the file"),
    (with_field(8, 0xFFFFFFFF), "lies at or past the end of the file"),
    (with_field(8, 20), "lies inside the header"),
    (GOOD[:80] + b'{"DEV_TYPE": 32'.ljust(HL) + GOOD[80 + HL:], "JSON header: Expecting"),
    (GOOD[:80] + b'{"other": 32}'.ljust(HL) + GOOD[80 + HL:], "no device type"),
    (GOOD[:80] + b'{"DEV_TYPE":"x"}'.ljust(HL) + GOOD[80 + HL:], "cannot be keyed: invalid literal"),
    (GOOD[:80] + b'{"DEV_TYPE": 31}'.ljust(HL) + GOOD[80 + HL:], "header_hash does not match"),
    (GOOD[:-1] + b"?", "image_hash does not match"),
])
def test_describe_names_what_is_wrong(data, problem):
    info = tbin.describe(data)
    assert info["ok"] is False
    assert any(problem in p for p in info["problems"]), info["problems"]


def test_describe_lists_a_cut_range_even_when_the_digest_passes():
    data = with_field(4, len(IMAGE) + 100)  # image_length past the end, digest over what is there
    info = tbin.describe(data)
    assert info["ok"] is True
    assert any("image cut at the end of the file" in p for p in info["problems"])


def test_describe_of_an_unreadable_path_raises_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        tbin.describe(tmp_path / "none.tbin")
    with pytest.raises(IsADirectoryError):
        tbin.describe(tmp_path)



# In a fresh interpreter whose json.loads (taken by the native modules at
# import) gives a header whose DEV_TYPE takes itself out of the header when
# its truth is asked. The debug allocator makes a freed object unusable.
SELF_REMOVING_DEVTYPE = r"""
import json, sys
real_loads = json.loads

class Vanishing(int):
    def __bool__(self):
        self.owner.pop("DEV_TYPE", None)
        return True

def loads(text, *args, **kwargs):
    header = real_loads(text, *args, **kwargs)
    if "DEV_TYPE" in header:
        value = Vanishing(header["DEV_TYPE"])
        value.owner = header
        header["DEV_TYPE"] = value
    return header

json.loads = loads
from quorvex import tbin
data = tbin.pack(b"image", 32, {"build": "x"})
print(tbin.describe(data)["device_types"])
"""


def test_a_device_type_that_leaves_the_header_while_judged_is_kept_alive():
    env = dict(os.environ, PYTHONMALLOC="debug")
    proc = subprocess.run([sys.executable, "-c", SELF_REMOVING_DEVTYPE], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines()[-1] == "[32]"


# --- the signature trailer: read from the file's end, every length bounds-checked ------

SIG_MAGIC = b"QVXSIG\x00\x01"


def reference_trailer(data):
    """The trailer as the module docstring lays it out, read independently:
    None when unsigned, "malformed", or (signed_size, [(algorithm, key id hex, L)])."""
    if data[-8:] != SIG_MAGIC or len(data) < 8:
        return None
    if len(data) < 16:
        return "malformed"
    total, count = struct.unpack(">II", data[-16:-8])
    if count == 0 or count > 64 or total < 16 + 12 * count or total > len(data) \
            or len(data) - total < 80:
        return "malformed"
    at, end, entries = len(data) - total, len(data) - 16, []
    for _ in range(count):
        if end - at < 12:
            return "malformed"
        algorithm, length = struct.unpack(">HH", data[at:at + 4])
        if end - at - 12 < length:
            return "malformed"
        if any(k == data[at + 4:at + 12].hex() for _, k, _ in entries):
            return "malformed"  # one entry per key id
        entries.append((algorithm, data[at + 4:at + 12].hex(), length))
        at += 12 + length
    return "malformed" if at != end else (len(data) - total, entries)


def agrees_with_reference(data):
    report = tbin.signature_report(data)
    ref = reference_trailer(data)
    if ref is None or ref == "malformed":
        assert not report["signed"] and report["signed_size"] == len(data)
        assert report["signatures"] == []
        assert (report["problem"] or "").startswith("malformed") == (ref == "malformed")
    else:
        signed_size, entries = ref
        assert report["signed"] and report["signed_size"] == signed_size
        assert [(1 if s["algorithm"] == "ed25519" else int(s["algorithm"][8:-1]), s["key_id"])
                for s in report["signatures"]] == [(a, k) for a, k, _ in entries]
        # No key is at hand: an Ed25519 entry is unverified, any other never valid.
        assert [s["valid"] for s in report["signatures"]] == [
            None if a == 1 and n == 64 else False for a, _, n in entries]
    # The message an outside signer signs: the region before the trailer.
    if ref == "malformed" or report["signed_size"] < 80:
        with pytest.raises(ValueError, match="malformed|too short"):
            tbin.signing_digest(data)
    else:
        assert tbin.signing_digest(data) == hashlib.sha256(data[:report["signed_size"]]).digest()
    return report


def trailers():
    """Bytes that end like a trailer, with entry lengths, counts and a total
    that may say anything, over a region of any size."""
    from hypothesis import strategies as st

    entry = st.builds(lambda alg, key, sig, claimed: struct.pack(">HH", alg, claimed
                                                                  if claimed is not None
                                                                  else len(sig)) + key + sig,
                      st.sampled_from([1, 1, 2, 0xFFFF]), st.binary(min_size=8, max_size=8),
                      st.binary(max_size=80), st.none() | st.integers(0, 0xFFFF))
    def build(region, entries, total, count):
        exact = sum(map(len, entries)) + 16
        total = exact + total[1] if total[0] == "off by" else total[1]
        count = len(entries) + count[1] if count[0] == "off by" else count[1]
        return region + b"".join(entries) + struct.pack(">II", total % 2**32, count % 2**32) \
            + SIG_MAGIC

    def lengths(near):
        return (st.tuples(st.just("off by"), st.integers(-near, near))
                | st.tuples(st.just("any"), st.integers(0, 2**32 - 1)))

    return st.builds(build, st.binary(max_size=200) | st.binary(min_size=80, max_size=120),
                     st.lists(entry, max_size=4),
                     lengths(24), lengths(2))


def test_the_trailer_parser_agrees_with_the_layout_on_any_bytes():
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    @settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
    @given(data=trailers() | st.binary(max_size=300))
    def check(data):
        agrees_with_reference(data)

    check()


def test_a_signed_container_cut_at_every_byte_is_never_signed_and_never_crashes(tmp_path):
    key = tmp_path / "k"
    tbin.generate_key(key)
    path = tmp_path / "s.tbin"
    path.write_bytes(tbin.pack(os.urandom(40), 32))
    tbin.sign(path, key)
    tbin.sign(path, key, out=path)  # the same key: its entry replaced, not added
    data = path.read_bytes()
    for n in range(len(data)):
        report = agrees_with_reference(data[:n])
        assert not report["signed"]
    assert agrees_with_reference(data)["signed"]
