"""The engine's native run against its run through self: the device sees the
same commands, stdout the same progress lines, the callback the same calls
and the log the same lines; any replaced operation or link method, on the
class or on one instance, takes every block through self again."""

import io
import logging
import sys
import types

import pytest

from quorvex import QVRCommService, QVRFpga, QVRUtils
from quorvex.emulator import DeviceEmulator
from quorvex.QVRFpga import FpgaTool

from _helpers import image

# A fixed clock: the block times in the progress lines are then the same.
CLOCK = types.SimpleNamespace(time=lambda: 5.0, monotonic=lambda: 7.0)


@pytest.fixture
def records(monkeypatch):
    """Counts the reply records the link builds: one per text command on the
    path through self, none on the native run."""
    made = []

    class Counted(QVRUtils.RetType):
        def __init__(self, *a, **k):
            made.append(1)
            super().__init__(*a, **k)

    monkeypatch.setattr(QVRUtils, "RetType", Counted)
    monkeypatch.setattr(QVRFpga, "time", CLOCK)
    return made


def run(path, emu_options, patch=None, cls=FpgaTool):
    """Commands, progress output, callbacks and log lines of one update."""
    emu = DeviceEmulator(flash_size=1 << 16, record_commands=True, **emu_options)
    out, calls, log = io.StringIO(), [], io.StringIO()
    handler = logging.StreamHandler(log)
    logging.getLogger("FPGA").addHandler(handler)
    saved = sys.stdout
    try:
        tool = cls(address="127.0.0.1", port=emu.port)
        tool.set_progress_callback(lambda *a: calls.append(a))
        if patch:
            patch(tool)
        sys.stdout = out
        try:
            result = tool._fpgaProgramFile(path, 32)
        except RuntimeError as e:
            result = str(e)
        finally:
            sys.stdout = saved
        tool.disconnect()
        return result, emu.commands(), out.getvalue(), calls, log.getvalue()
    finally:
        logging.getLogger("FPGA").removeHandler(handler)
        emu.close()


def through_self(name):
    """A patch of `name` on one instance that counts its calls."""
    seen = []

    def patch(tool):
        own = getattr(tool, name)

        def wrapper(*a, **k):
            seen.append(name)
            return own(*a, **k)
        setattr(tool, name, wrapper)
    return patch, seen


def on_class(monkeypatch, name):
    seen = []
    own = getattr(FpgaTool, name)

    def wrapper(self, *a, **k):
        seen.append(name)
        return own(self, *a, **k)
    monkeypatch.setattr(FpgaTool, name, wrapper)
    return seen


@pytest.mark.parametrize("kind, size, options", [
    ("bin", 33, {}),
    ("tbin", 1000, {}),
    ("bin", 200, {"refuse_every": 3}),
    ("bin", 100, {"corrupt_page": 2}),
    ("bin", 64, {"refuse_every": 1}),
])
@pytest.mark.parametrize("name", ["_fpgaProgram", "_fpgaRead", "_sendCmd", "_getRecv"])
def test_the_native_run_and_the_run_through_self_are_one_run(tmp_path, records, kind, size,
                                                             options, name, monkeypatch):
    monkeypatch.setattr(QVRFpga, "_PROGRAM_BLOCK_ATTEMPTS", 4)
    path = image(tmp_path, size, kind)
    native = run(path, options)
    assert records == []  # no command went through the link's sendCmd
    patch, seen = through_self(name)
    patched = run(path, options, patch)
    assert records and (seen or not any(c.startswith(b"FPGA_READ") for c in patched[1]))
    assert native == patched
    assert any(c.startswith(b"FPGA_PROGRAM") for c in native[1])
    assert native[3][0] == ("write", 0, 0)


def test_a_replaced_operation_anywhere_takes_the_path_through_self(tmp_path, records,
                                                                    monkeypatch):
    path = image(tmp_path, 48, "bin")
    expected = run(path, {})
    assert records == []

    class Sub(FpgaTool):
        def _fpgaDone(self):
            return FpgaTool._fpgaDone(self)
    assert run(path, {}, cls=Sub) == expected and records
    records.clear()

    seen = on_class(monkeypatch, "_fpgaRstPagePtr")
    assert run(path, {}) == expected and records and seen
    monkeypatch.undo()
    monkeypatch.setattr(QVRFpga, "time", CLOCK)
    records.clear()

    def link_patched(tool):  # one method of the tool's own link, on that link alone
        own = tool._conn.recvRawBytes
        tool._conn.recvRawBytes = lambda size: own(size)
    assert run(path, {}, link_patched)[:4] == expected[:4]

    sent = []
    monkeypatch.setattr(QVRCommService._TCPConn, "sendCmd",
                        lambda self, *a, _own=QVRCommService._TCPConn.sendCmd:
                        sent.append(a) or _own(self, *a))
    assert run(path, {})[:4] == expected[:4] and sent


def test_a_patch_made_during_the_run_is_called_for_every_block_after_it(tmp_path, records):
    path = image(tmp_path, 160, "bin")  # ten blocks
    expected = run(path, {})
    seen = []

    def patch_during_the_run(tool):
        own = tool._fpgaProgram

        def callback(stage, done, total):
            if (stage, done) == ("write", 48):
                tool._fpgaProgram = lambda block: seen.append(block) or own(block)
        tool.set_progress_callback(callback)
    patched = run(path, {}, patch_during_the_run)
    assert len(seen) == 7 and patched[:3] == expected[:3]
