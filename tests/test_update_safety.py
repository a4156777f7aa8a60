"""What reaches the device is what was checked: processFpgaUpdate against the
device emulator while the image file is replaced, rewritten or turned into a
FIFO at each moment of the update, and images that must never erase a device."""

import hashlib
import hmac
import json
import os
import struct
import subprocess
import threading
import time

import pytest

from _signed_images import Key, signed
from quorvex import QVRFpga, tbin
from quorvex.QVRCommService import _TCPConn
from quorvex.QVRFpga import FpgaTool
from quorvex.QVRPublic import RetCode

ERASE_SECONDS = 0.2  # the file is swapped a quarter of the way through the erase


@pytest.fixture
def emu_options():
    return {"fpga_version": "0.2.3.4", "version_after_update": "0.3.0.1"}


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("keys"))
    return {"site": Key(folder, "site"), "other": Key(folder, "other")}


class HookedLink:
    """A device link that runs `on_erase` just before FPGA_ERASE goes out, or
    `during_erase` on a thread of its own once it is out; the erase returns
    only when that thread is done, so it never races the engine."""

    def __init__(self, link, on_erase=None, during_erase=None):
        self._link = link
        self.on_erase = on_erase
        self.during_erase = during_erase

    def initConnection(self):
        return self._link.initConnection()

    def sendCmd(self, data, rsp_type):
        if not bytes(data).startswith(b"FPGA_ERASE"):
            return self._link.sendCmd(data, rsp_type)
        if self.on_erase:
            self.on_erase()
        during = self.during_erase and threading.Timer(ERASE_SECONDS / 4, self.during_erase)
        if during:
            during.start()
        try:
            return self._link.sendCmd(data, rsp_type)
        finally:
            if during:
                during.join()

    def sendRawBytes(self, data):
        return self._link.sendRawBytes(data)

    def recvRawBytes(self, size):
        return self._link.recvRawBytes(size)

    def closeConnection(self):
        return self._link.closeConnection()


@pytest.fixture
def make_fifo():
    """mkfifo, plus a writer that opens it after a few seconds: a reader that
    waits for one (the fault) is let go instead of hanging the test run."""
    writers = []

    def make(path):
        os.mkfifo(path)
        writers.append(subprocess.Popen(["sh", "-c", 'sleep 5; : > "$0"', str(path)]))

    yield make
    for w in writers:
        w.kill()
        w.wait()


def run_update(emu, path, on_erase=None, prepare=None, limit=30.0, during_erase=None):
    """processFpgaUpdate on a thread of its own: {"ret": RetType} or
    {"error": exception}. An update that hangs fails the test."""
    link = _TCPConn(emu.host, emu.port, timeout=5.0, slow_timeout=10.0)
    assert link.initConnection()
    tool = FpgaTool(connection=HookedLink(link, on_erase, during_erase))
    if prepare:
        prepare(tool)
    outcome = {}

    def update():
        try:
            outcome["ret"] = tool.processFpgaUpdate(path, 32)
        except Exception as e:
            outcome["error"] = e

    t = threading.Thread(target=update, daemon=True)
    t.start()
    t.join(limit)
    assert not t.is_alive(), "the update hangs"
    link.closeConnection()
    return outcome


def tampered(data, at=-1):
    b = bytearray(data)
    b[at] ^= 0xFF
    return bytes(b)


def empty_image_tbin():
    header = json.dumps({"dev_type": 32}).encode()
    key = (QVRFpga._TBIN_KEY_PREFIX + "032").encode()
    return (struct.pack(">IIII", len(header), 0, 80 + len(header), 0)
            + hmac.new(key, header, hashlib.sha256).digest()
            + hmac.new(key, b"", hashlib.sha256).digest() + header)


# The replacements, each with the reason the engine names: (policy?, make, reason).
REPLACEMENTS = {
    "tampered image": (False, lambda k, good: tampered(good), "FPGA tbin image hash mismatch"),
    "empty image": (False, lambda k, good: empty_image_tbin(), "its image is empty"),
    "unsigned": (True, lambda k, good: tbin.pack(os.urandom(3000), 32), "FPGA tbin signature missing"),
    "untrusted": (True, lambda k, good: signed(tbin.pack(os.urandom(3000), 32), k["other"]),
                  "FPGA tbin signature untrusted key id"),
    # the image's last byte, before the one-entry trailer
    "tampered signed": (True, lambda k, good: tampered(good, -93), "FPGA tbin image hash mismatch"),
    "fifo": (False, None, "Not a regular file"),
}


def make_good(tmp_path, keys, policy, monkeypatch):
    image = os.urandom(5000)
    packed = tbin.pack(image, 32)
    if policy:
        packed = signed(packed, keys["site"])
        monkeypatch.setattr(QVRFpga, "_TRUSTED_KEYS", frozenset([keys["site"].raw]))
    path = tmp_path / "good.tbin"
    path.write_bytes(packed)
    return str(path), image, packed


def swapper(tmp_path, path, keys, good, make, make_fifo=None):
    def swap():
        if make is None:
            os.unlink(path)
            make_fifo(path)
            return
        bad = tmp_path / "bad.tbin"
        bad.write_bytes(make(keys, good))
        os.replace(bad, path)  # as `mv bad.tbin good.tbin`
    return swap


def assert_erased_and_unwritten(emu, outcome, path, reason):
    assert "ret" not in outcome, outcome["ret"].RetMsg
    error = outcome["error"]
    assert path in str(error) and reason in str(error)
    if reason != "Not a regular file":
        assert isinstance(error, RuntimeError) and "changed after its check" in str(error)
    else:
        assert isinstance(error, OSError)
    assert emu.state()["erases"] == 1
    assert emu.counters()["FPGA_PROGRAM"] == 0 and emu.counters()["FPGA_DONE"] == 0
    assert emu.flash() == b""


@pytest.mark.parametrize("name", list(REPLACEMENTS))
def test_a_file_swapped_during_the_erase_is_not_written(emu, tmp_path, keys, monkeypatch, make_fifo,
                                                        name):
    policy, make, reason = REPLACEMENTS[name]
    path, _, good = make_good(tmp_path, keys, policy, monkeypatch)
    emu.set(erase_seconds=ERASE_SECONDS)
    outcome = run_update(emu, path, during_erase=swapper(tmp_path, path, keys, good, make, make_fifo))
    assert_erased_and_unwritten(emu, outcome, path, reason)


@pytest.mark.parametrize("name", ["tampered image", "unsigned", "untrusted", "fifo"])
def test_a_file_replaced_between_the_checks_and_the_erase_is_not_written(emu, tmp_path, keys,
                                                                         monkeypatch, make_fifo, name):
    policy, make, reason = REPLACEMENTS[name]
    path, _, good = make_good(tmp_path, keys, policy, monkeypatch)
    outcome = run_update(emu, path, on_erase=swapper(tmp_path, path, keys, good, make, make_fifo))
    assert_erased_and_unwritten(emu, outcome, path, reason)


def test_a_patched_header_check_leaves_the_engine_unchecking(emu, tmp_path, keys, monkeypatch):
    # The engine alone checks no digests: with the check replaced, the run
    # writes whatever the file holds when the engine reads it.
    path, _, good = make_good(tmp_path, keys, False, monkeypatch)
    bad = tampered(good)
    swap = swapper(tmp_path, path, keys, good, lambda k, g: bad)
    outcome = run_update(emu, path, on_erase=swap,
                         prepare=lambda tool: setattr(tool, "_checkFileHeader", lambda p: True))
    assert outcome["ret"].RetCode is RetCode.OK
    assert emu.flash() == bad[-5000:]


@pytest.mark.parametrize("policy", [True, False])
@pytest.mark.parametrize("how", ["rewritten in place", "replaced"])
def test_a_file_changed_midway_through_the_write_does_not_reach_the_device(
        emu, tmp_path, keys, monkeypatch, policy, how):
    path, image, good = make_good(tmp_path, keys, policy, monkeypatch)
    changed = []

    def midway(stage, done, total):
        if stage == "write" and total and done * 2 >= total and not changed:
            if how == "replaced":
                os.replace(str(swapper_file(tmp_path, tampered(good))), path)
            else:
                with open(path, "r+b") as f:
                    f.seek(len(good) - 2000)
                    f.write(os.urandom(1000))
            changed.append(done)

    outcome = run_update(emu, path, prepare=lambda tool: tool.set_progress_callback(midway))
    assert changed and open(path, "rb").read() != good
    assert outcome["ret"].RetCode is RetCode.OK, outcome["ret"].RetMsg
    assert emu.flash() == image


def swapper_file(tmp_path, data):
    p = tmp_path / "other.tbin"
    p.write_bytes(data)
    return p


@pytest.mark.parametrize("policy", [False, True])
@pytest.mark.parametrize("patched", [False, True])
def test_an_empty_image_is_refused_before_any_device_command(emu, tmp_path, keys, monkeypatch,
                                                             policy, patched):
    data = empty_image_tbin()
    if policy:
        data = signed(data, keys["site"])
        monkeypatch.setattr(QVRFpga, "_TRUSTED_KEYS", frozenset([keys["site"].raw]))
    path = tmp_path / "empty.tbin"
    path.write_bytes(data)
    prepare = (lambda tool: setattr(tool, "_checkFileHeader", lambda p: True)) if patched else None
    ret = run_update(emu, str(path), prepare=prepare)["ret"]
    assert ret.RetCode is RetCode.ERROR
    assert ret.RetMsg == f"FPGA image is empty: {path}"
    assert not any(emu.counters()[w] for w in ("FPGA_ERASE", "FPGA_PROGRAM", "FPGA_RST_PAGE_PTR"))


@pytest.mark.parametrize("suffix", [".tbin", ".bin"])
def test_the_engine_on_its_own_refuses_a_fifo_without_waiting_or_erasing(emu, tmp_path, make_fifo,
                                                                         suffix):
    fifo = tmp_path / ("pipe" + suffix)
    make_fifo(fifo)
    link = _TCPConn(emu.host, emu.port)
    assert link.initConnection()
    t0 = time.monotonic()
    try:
        with pytest.raises(OSError, match="Not a regular file") as e:
            FpgaTool(connection=link)._fpgaProgramFile(str(fifo), 32)
    finally:
        link.closeConnection()
    assert time.monotonic() - t0 < 4, "the engine waited on the FIFO"
    assert e.value.filename == str(fifo)
    assert emu.state()["erases"] == 0
