"""FpgaTool._checkUpdateFile and FpgaTool._checkFileHeader: which update
image files pass, and the log line each refusal leaves."""

import hashlib
import hmac
import json
import logging
import os
import struct
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvex import QVRFpga, tbin

IMAGE = bytes(range(256)) * 3


class DummyLink:
    """Stands for a device link; the checks must never touch it."""

    def __getattr__(self, name):
        raise AssertionError(f"the image checks used the link: {name}")


@pytest.fixture
def tool():
    return QVRFpga.FpgaTool(connection=DummyLink())


def key_for(devtype_text, prefix=None):
    return ((QVRFpga._TBIN_KEY_PREFIX if prefix is None else prefix) + devtype_text).encode()


def container(header, image=IMAGE, *, key_text="032", prefix=None, before=b"", after=b"",
              start=None, reserved=0, header_length=None, image_length=None):
    """A .tbin built here with hmac/hashlib, independently of the packer.
    `header` is a dict (dumped as JSON) or the raw JSON header bytes."""
    hb = header if isinstance(header, bytes) else json.dumps(header).encode()
    hb = before + hb + after
    key = key_for(key_text, prefix)
    fixed = struct.pack(">IIII", len(hb) if header_length is None else header_length,
                        len(image) if image_length is None else image_length,
                        80 + len(hb) if start is None else start, reserved)
    fixed += hmac.new(key, hb, hashlib.sha256).digest()
    fixed += hmac.new(key, image, hashlib.sha256).digest()
    return fixed + hb + image


@pytest.fixture
def write(tmp_path):
    def write(name, content):
        p = tmp_path / name
        p.write_bytes(content)
        return str(p)

    return write


# --- _checkUpdateFile ---------------------------------------------------------

@pytest.mark.parametrize("method", ["_checkUpdateFile", "_checkFileHeader"])
@pytest.mark.parametrize("value", [None, b"x.bin", 5])
def test_non_text_path_is_a_type_error_naming_image_path(tool, method, value):
    with pytest.raises(TypeError, match="image_path"):
        getattr(tool, method)(value)


def test_path_arguments_can_be_passed_by_name(tool, write):
    p = write("a.bin", b"\x01")
    assert tool._checkUpdateFile(image_path=p) is True
    assert tool._checkFileHeader(image_path=p) is True


@pytest.mark.parametrize("name", ["a.bin", "a.tbin", "A.BIN", "a.TBIN", "a.Bin", "a.tBin", "x.y.bin"])
def test_accepted_suffixes_in_any_case(tool, write, log, name):
    assert tool._checkUpdateFile(write(name, b"\x00")) is True
    assert log() == []  # success logs nothing


@pytest.mark.parametrize("name", ["a.bin.gz", "abin", "a.txt", ".bin", "a.bin.", "bin"])
def test_other_suffixes_are_a_type_error(tool, write, log, name):
    p = write(name, b"data")
    assert tool._checkUpdateFile(p) is False
    assert log() == [("ERROR", "FPGA image file type error: " + p)]


def test_missing_path_is_not_found_before_the_type_is_looked_at(tool, tmp_path, log):
    for p in [str(tmp_path / "none.bin"), str(tmp_path / "none.gz"), "a\0b.bin",
              str(tmp_path / "none.bin" / "below.bin")]:
        assert tool._checkUpdateFile(p) is False
    assert [m for _, m in log("ERROR")] == [
        "FPGA image path not found: " + str(tmp_path / "none.bin"),
        "FPGA image path not found: " + str(tmp_path / "none.gz"),
        "FPGA image path not found: a\0b.bin",
        "FPGA image path not found: " + str(tmp_path / "none.bin" / "below.bin"),
    ]


def test_dangling_symlink_is_not_found_and_a_good_one_is_followed(tool, tmp_path, write, log):
    (tmp_path / "dangling.bin").symlink_to(tmp_path / "gone.bin")
    (tmp_path / "link.bin").symlink_to(write("real.dat", b"\x01\x02"))
    assert tool._checkUpdateFile(str(tmp_path / "dangling.bin")) is False
    assert tool._checkUpdateFile(str(tmp_path / "link.bin")) is True
    assert log() == [("ERROR", "FPGA image path not found: " + str(tmp_path / "dangling.bin"))]


def test_directory_named_like_an_image_is_not_found_not_a_type_error(tool, tmp_path, log):
    d = tmp_path / "x.bin"
    d.mkdir()
    assert tool._checkUpdateFile(str(d)) is False
    assert log() == [("ERROR", "FPGA image not found: " + str(d))]


def test_fifo_is_not_a_regular_file_and_nothing_waits_on_it(tool, tmp_path, log):
    fifo = tmp_path / "pipe.tbin"
    os.mkfifo(fifo)
    assert tool._checkUpdateFile(str(fifo)) is False
    assert tool._checkFileHeader(str(fifo)) is False
    assert log("ERROR") == [
        ("ERROR", "FPGA image not found: " + str(fifo)),
        ("ERROR", f"FPGA image file not readable: {fifo}, not a regular file: '{fifo}'"),
    ]


@pytest.mark.parametrize("name", ["empty.bin", "empty.tbin"])
def test_empty_file_is_refused(tool, write, log, name):
    p = write(name, b"")
    assert tool._checkUpdateFile(p) is False
    assert log() == [("ERROR", "FPGA image is empty: " + p)]


# Run as a user that permissions bind (root reads any file): the check of an
# unreadable file, its verdict and its log line, printed as JSON.
_UNREADABLE_CHECK = """
import json, logging, os, sys
from quorvex import QVRFpga
if os.geteuid() == 0:  # the module is loaded: give up root for the check itself
    os.setgroups([]); os.setgid(65534); os.setuid(65534)
lines = []
handler = logging.Handler()
handler.emit = lambda r: lines.append([r.levelname, r.getMessage()])
QVRFpga.logger.addHandler(handler)
terms = QVRFpga._Terms()
ok = terms.check(QVRFpga.FpgaTool(connection=object())._checkUpdateFile, sys.argv[1])
print(json.dumps([ok, terms.reason, terms.errno, lines]))
"""


def test_unreadable_file_is_refused_with_the_os_reason():
    import errno
    import subprocess
    import sys

    folder = tempfile.mkdtemp()  # one that the unprivileged user may look into
    try:
        os.chmod(folder, 0o711)
        p = os.path.join(folder, "locked.bin")
        with open(p, "wb") as f:
            f.write(b"\x01")
        os.chmod(p, 0)
        proc = subprocess.run([sys.executable, "-c", _UNREADABLE_CHECK, p], capture_output=True,
                              text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        ok, reason, err, lines = json.loads(proc.stdout.splitlines()[-1])
    finally:
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        os.rmdir(folder)
    assert (ok, reason, err) == (False, "os_error", errno.EACCES)
    assert lines == [["ERROR", f"FPGA image file not readable: {p}, [Errno 13] Permission denied: '{p}'"]]


# --- _checkFileHeader: .bin ------------------------------------------------------

def test_bin_passes_unopened_with_its_size_in_the_debug_line(tool, write, log):
    p = write("raw.bin", b"not an image at all" * 3)
    os.chmod(p, 0)  # not opened, so not needing read permission either
    assert tool._checkFileHeader(p) is True
    assert log() == [("DEBUG", f"FPGA image header check: {p}, size=57")]


def test_bin_gone_since_the_first_check_is_refused_not_raised(tool, tmp_path, log):
    p = str(tmp_path / "gone.bin")
    assert tool._checkFileHeader(p) is False
    assert log() == [("ERROR", f"FPGA image file not readable: {p}, [Errno 2] No such file or directory: '{p}'")]


# --- _checkFileHeader: .tbin ---------------------------------------------------

def test_good_tbin_passes_and_logs_header_and_success_at_debug(tool, write, log):
    p = write("good.tbin", container({"DEV_TYPE": 32, "build": "r7"}))
    assert tool._checkUpdateFile(p) is True
    assert tool._checkFileHeader(p) is True
    assert log() == [("DEBUG", "FPGA tbin header: {'DEV_TYPE': 32, 'build': 'r7'}"),
                     ("DEBUG", "FPGA tbin hash verify success")]


@pytest.mark.parametrize("devtype, key_text", [
    (32, "032"), (7, "007"), (1024, "1024"), ("32", "032"), (" 28 ", "028"), (32.9, "032"),
    ([32, 28], "028032"), ([28, 32], "028032"), (["7", "28"], "028007"), ([3, 1, 2], "001002003"),
    (10**20, "100000000000000000000"),
])
def test_key_is_prefix_and_sorted_zero_padded_device_types(tool, write, devtype, key_text):
    # ["7", "28"] sorts as text: "28" < "7"
    p = write("k.tbin", container({"dev_type": devtype}, key_text=key_text))
    assert tool._checkFileHeader(p) is True


@pytest.mark.parametrize("header, key_text", [
    ({"DEV_TYPE": 32, "dev_type": 28}, "032"),
    ({"DEV_TYPE": 0, "dev_type": 28}, "028"),
    ({"DEV_TYPE": [], "dev_type": [28]}, "028"),
    ({"DEV_TYPE": "", "dev_type": 7}, "007"),
])
def test_dev_type_upper_wins_only_when_true(tool, write, header, key_text):
    assert tool._checkFileHeader(write("k.tbin", container(header, key_text=key_text))) is True


def test_padding_with_nul_before_and_after_json_parses_and_is_digested(tool, write, log):
    good = container({"DEV_TYPE": 32}, before=b"\0\0\0", after=b"\0" * 13)
    assert tool._checkFileHeader(write("pad.tbin", good)) is True
    # The same header digested without its padding no longer matches.
    hb = json.dumps({"DEV_TYPE": 32}).encode()
    tampered = bytearray(good)
    tampered[16:48] = hmac.new(key_for("032"), hb, hashlib.sha256).digest()
    assert tool._checkFileHeader(write("pad2.tbin", bytes(tampered))) is False
    assert log("ERROR") == [("ERROR", "FPGA tbin header hash mismatch")]


def test_reserved_field_is_ignored(tool, write):
    assert tool._checkFileHeader(write("r.tbin", container({"DEV_TYPE": 32}, reserved=0xDEADBEEF))) is True


def test_zero_dev_type_warns_then_fails_to_parse(tool, write, log):
    assert tool._checkFileHeader(write("z.tbin", container({"DEV_TYPE": 0}))) is False
    assert log("WARNING") + log("ERROR") == [
        ("WARNING", "FPGA tbin header missing dev_type/DEV_TYPE"),
        ("ERROR", "FPGA tbin header parse error: int() argument must be a string, a bytes-like object "
                  "or a real number, not 'NoneType'"),
    ]


@pytest.mark.parametrize("header_bytes, error", [
    (b'{"DEV_TYPE": [32, "28"]}', "'<' not supported between instances of 'str' and 'int'"),
    (b'{"DEV_TYPE": [[32], [28]]}', "int() argument must be"),
    (b'{"DEV_TYPE": [32, null]}', "not supported between instances"),
    (b'{"DEV_TYPE": "abc"}', "invalid literal for int() with base 10: 'abc'"),
    (b'{"DEV_TYPE": {"a": 1}}', "int() argument must be"),
    (b'{"DEV_TYPE": NaN}', "cannot convert float NaN to integer"),
    (b'{"DEV_TYPE": Infinity}', "cannot convert float infinity to integer"),
    (b'{"DEV_TYPE": 32', "Expecting ',' delimiter"),
    (b'', "Expecting value: line 1 column 1 (char 0)"),
    (b'[32]', "not an object"),
    (b'"DEV_TYPE"', "not an object"),
    (b'{"DEV_TYPE": 32}\xff', "'utf-8' codec can't decode byte 0xff"),
    (b'\xef\xbb\xbf{"DEV_TYPE": 32}', "Unexpected UTF-8 BOM"),
    (b'{"DEV_TYPE": 1' + b"0" * 5000 + b"}", "Exceeds the limit"),
])
def test_bad_json_header_is_a_parse_error(tool, write, log, header_bytes, error):
    assert tool._checkFileHeader(write("bad.tbin", container(header_bytes))) is False
    (level, message), = log("ERROR")
    assert message.startswith("FPGA tbin header parse error: ")
    assert error in message


def test_mismatching_image_digest(tool, write, log):
    good = container({"DEV_TYPE": 32})
    bad = good[:-1] + bytes([good[-1] ^ 1])
    assert tool._checkFileHeader(write("i.tbin", bad)) is False
    assert log("ERROR") == [("ERROR", "FPGA tbin image hash mismatch")]


@pytest.mark.parametrize("image, passes", [(IMAGE, False), (b"", True)])
def test_image_start_past_the_end_hashes_as_empty(tool, write, log, image, passes):
    # The stored digest is of `image`; the file holds no image bytes at all.
    data = container({"DEV_TYPE": 32}, image, start=10**6, image_length=len(IMAGE))
    data = data[:len(data) - len(image)]
    assert tool._checkFileHeader(write("far.tbin", data)) is passes


def test_image_anywhere_in_the_file_is_taken_from_its_start_address(tool, write):
    hb = json.dumps({"DEV_TYPE": 32}).encode()
    key = key_for("032")
    start = 80 + len(hb) + 5
    data = (struct.pack(">IIII", len(hb), 4, start, 0) + hmac.new(key, hb, hashlib.sha256).digest()
            + hmac.new(key, b"IMG!", hashlib.sha256).digest() + hb + b"gap.." + b"IMG!" + b"trailer")
    assert tool._checkFileHeader(write("anywhere.tbin", data)) is True


def test_key_prefix_changed_at_run_time_is_obeyed(tool, write, log, monkeypatch):
    old = container({"DEV_TYPE": 32})
    monkeypatch.setattr(QVRFpga, "_TBIN_KEY_PREFIX", "12345678")
    new = container({"DEV_TYPE": 32})
    assert tool._checkFileHeader(write("new.tbin", new)) is True
    assert tool._checkFileHeader(write("old.tbin", old)) is False
    assert log("ERROR") == [("ERROR", "FPGA tbin header hash mismatch")]


def test_key_prefix_that_is_not_text_is_a_parse_error(tool, write, log, monkeypatch):
    p = write("a.tbin", container({"DEV_TYPE": 32}))
    monkeypatch.setattr(QVRFpga, "_TBIN_KEY_PREFIX", 12345678)
    assert tool._checkFileHeader(p) is False
    assert log("ERROR") == [("ERROR", "FPGA tbin header parse error: _TBIN_KEY_PREFIX must be str, not int")]


class Recorder:
    """A stand-in logger: records (level, text), raising `fail` from debug()."""

    def __init__(self, fail=None):
        self.seen, self.fail = [], fail

    def __getattr__(self, level):
        def record(text):
            self.seen.append((level, text))
            if level == "debug" and self.fail:
                raise self.fail
        return record


def test_replaced_logger_is_used(tool, write, monkeypatch):
    monkeypatch.setattr(QVRFpga, "logger", Recorder())
    assert tool._checkFileHeader(write("z.tbin", container({"DEV_TYPE": 0}))) is False
    assert [lvl for lvl, _ in QVRFpga.logger.seen] == ["debug", "warning", "error"]


def test_errors_inside_the_parse_are_refusals_but_interrupts_pass(tool, write, monkeypatch):
    p = write("a.tbin", container({"DEV_TYPE": 32}))
    monkeypatch.setattr(QVRFpga, "logger", Recorder(fail=ValueError("boom")))
    assert tool._checkFileHeader(p) is False
    assert QVRFpga.logger.seen[-1] == ("error", "FPGA tbin header parse error: boom")
    monkeypatch.setattr(QVRFpga, "logger", Recorder(fail=KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        tool._checkFileHeader(p)


# --- truncation at every byte -------------------------------------------------

PADDED = container({"DEV_TYPE": 32}, IMAGE[:40], after=b"\0" * 8)
JSON_END = 80 + len(json.dumps({"DEV_TYPE": 32}))
PAD_END = JSON_END + 8


def expected_for_cut(n):
    if n < JSON_END:
        return "FPGA tbin header parse error: "
    if n < PAD_END:
        return "FPGA tbin header hash mismatch"
    if n < len(PADDED):
        return "FPGA tbin image hash mismatch"
    return None


def test_container_cut_at_every_byte_ends_in_the_right_refusal(tool, tmp_path, log):
    p = str(tmp_path / "cut.tbin")
    for n in range(len(PADDED) + 1):
        with open(p, "wb") as f:
            f.write(PADDED[:n])
        before = len(log("ERROR"))
        want = expected_for_cut(n)
        assert tool._checkFileHeader(p) is (want is None), n
        errors = log("ERROR")[before:]
        if want is None:
            assert errors == [], n
        else:
            assert len(errors) == 1 and errors[0][1].startswith(want), (n, errors)


@pytest.mark.parametrize("fields, passes", [
    (dict(header_length=0xFFFFFFFF), False),  # the JSON text runs into the image: parse error
    (dict(image_length=0xFFFFFFFF), True),  # cut at the end of the file, digest made over the rest
    (dict(start=0xFFFFFFFF, image_length=0xFFFFFFFF), False),  # image empty
    (dict(header_length=0xFFFFFFFF, start=0xFFFFFFFF, image_length=0xFFFFFFFF), False),
    (dict(start=0), False),  # the image would start at the fixed header
])
def test_fields_pointing_far_past_the_end_are_cut_not_read(tool, write, fields, passes):
    assert tool._checkFileHeader(write("far.tbin", container({"DEV_TYPE": 32}, **fields))) is passes


# --- random and mutated containers ------------------------------------------

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=10)
devtypes = st.one_of(json_values, st.lists(st.integers(0, 2000) | st.text("0123456789", max_size=4),
                                           max_size=4))


def reference_key_text(header):
    """devtype_str as Python derives it, or None where it cannot."""
    value = header.get("DEV_TYPE") or header.get("dev_type")
    try:
        if isinstance(value, list):
            return "".join(format(int(x), "03d") for x in sorted(value))
        return format(int(value), "03d")
    except Exception:
        return None


@st.composite
def containers(draw):
    kind = draw(st.sampled_from(["random", "header", "mutated"]))
    if kind == "random":
        return draw(st.binary(max_size=300))
    header = {draw(st.sampled_from(["DEV_TYPE", "dev_type", "other"])): draw(devtypes)}
    data = bytearray(container(header, draw(st.binary(max_size=64)),
                               after=b"\0" * draw(st.integers(0, 4)),
                               key_text=reference_key_text(header) or "032"))
    if kind == "mutated":
        for _ in range(draw(st.integers(1, 4))):
            op = draw(st.sampled_from(["flip", "field", "cut", "insert"]))
            if op == "flip" and data:
                i = draw(st.integers(0, len(data) - 1))
                data[i] ^= draw(st.integers(1, 255))
            elif op == "field":
                off = draw(st.sampled_from([0, 4, 8, 12]))
                val = draw(st.sampled_from([0, 1, 79, 80, 81, len(data), 0x7FFFFFFF, 0xFFFFFFFF])
                           | st.integers(0, 0xFFFFFFFF))
                data[off:off + 4] = struct.pack(">I", val)
            elif op == "cut":
                del data[draw(st.integers(0, len(data))):]
            else:
                i = draw(st.integers(0, len(data)))
                data[i:i] = draw(st.binary(min_size=1, max_size=8))
    return bytes(data)


@pytest.fixture(scope="module")
def scratch():
    with tempfile.TemporaryDirectory() as d:
        yield d


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=containers())
def test_any_container_ends_in_true_or_false_and_describe_agrees(scratch, data):
    tool = QVRFpga.FpgaTool(connection=DummyLink())
    p = os.path.join(scratch, "fuzz.tbin")
    with open(p, "wb") as f:
        f.write(data)
    logging.disable(logging.CRITICAL)  # thousands of refusals need no output
    try:
        assert tool._checkUpdateFile(p) is (len(data) > 0)
        verdict = tool._checkFileHeader(p)
    finally:
        logging.disable(logging.NOTSET)
    assert verdict in (True, False)
    info = tbin.describe(p)
    assert info["ok"] is verdict
    assert info["file_size"] == len(data)
    assert verdict or info["problems"]


def test_paths_are_looked_up_as_pathlib_makes_them(tmp_path, caplog):
    from quorvex.QVRFpga import FpgaTool

    tool = FpgaTool(connection=object())
    f = tmp_path / "a.bin"
    f.write_bytes(b"x")
    assert tool._checkUpdateFile(str(f) + "/") is True  # a trailing slash names the same file
    assert tool._checkUpdateFile("") is False  # "." exists but has no accepted suffix
    assert caplog.messages[-1] == "FPGA image file type error: "
