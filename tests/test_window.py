"""Transfers with a window of commands in flight, on the native driver:
the same commands as a window of 1, the flash equal to the image, and
refusals, a corrupted read-back and a dropped link each ending as they must."""

import io
import socket
import sys
import threading

import pytest

from quorvex import QVRFpga
from quorvex.emulator import DeviceEmulator
from quorvex.QVRFpga import FpgaTool
from quorvex.QVRPublic import RetCode

from _helpers import image_and_data as image


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    monkeypatch.setattr(sys, "stdout", io.StringIO())  # the engine's progress lines


def update(emu, path, window):
    """An update on the native driver with `window`; the tool's result."""
    lane = QVRFpga._FleetDriver(window=window)
    tool = FpgaTool(address="127.0.0.1", port=emu.port)
    try:
        tool.initFpga(32)
        return tool._updateUnder(QVRFpga._Terms(driver=lane), path, 32)
    finally:
        tool.disconnect()
        lane.close()


@pytest.mark.parametrize("kind, size", [("bin", 33), ("tbin", 1000), ("bin", 4096 + 5)])
@pytest.mark.parametrize("options", [{}, {"latency_us": 300, "split_replies": 2}])
def test_a_window_sends_what_a_window_of_1_sends_and_the_flash_is_the_image(tmp_path, kind, size,
                                                                            options):
    path, want = image(tmp_path, size, kind)
    logs = {}
    for window in (1, 8, 32):
        with DeviceEmulator(flash_size=1 << 16, record_commands=True, **options) as emu:
            assert update(emu, path, window).RetCode is RetCode.OK
            assert emu.flash() == want
            assert emu.state()["done"] and emu.state()["refreshed"] == 1
            logs[window] = emu.commands()
    assert logs[8] == logs[1] and logs[32] == logs[1]


def test_a_refusal_inside_a_window_ends_in_the_fallback_and_a_window_of_1_then_verifies(tmp_path):
    path, want = image(tmp_path, 2048)
    with DeviceEmulator(flash_size=1 << 16, refuse_every=7) as emu:
        with pytest.raises(QVRFpga._WindowFallback) as caught:
            update(emu, path, 32)
        assert (caught.value.offset, caught.value.window) == (6 * 16, 32)
        # The blocks behind the refused one landed one place early: the
        # flash is not the image, and the attempt gave no verdict of success.
        assert not emu.state()["done"]
        assert emu.flash()[96:112] == want[112:128]
        assert update(emu, path, 1).RetCode is RetCode.OK
        assert emu.flash() == want


def test_a_corrupted_read_back_inside_a_window_fails(tmp_path):
    path, _ = image(tmp_path, 2048)
    with DeviceEmulator(flash_size=1 << 16, corrupt_page=40, record_commands=True) as emu:
        ret = update(emu, path, 32)
        assert ret.RetCode is RetCode.ERROR
        assert emu.commands()[-2:] == [b"FPGA_DONE\r\n", b"FPGA_REFRESH\r\n"]


@pytest.mark.parametrize("word, count", [("FPGA_PROGRAM", 40), ("FPGA_READ", 70)])
def test_a_drop_mid_window_ends_as_a_link_error(tmp_path, word, count):
    path, _ = image(tmp_path, 2048)
    with DeviceEmulator(flash_size=1 << 16, drop_on=word, drop_on_count=count) as emu:
        with pytest.raises(ConnectionError):
            update(emu, path, 32)
        assert not emu.state()["done"]


class LosingDevice:
    """A scripted device that says "0" to every block but loses the `lost`th
    one (not written, the pointer not moved): the blocks behind it land one
    place early, and nothing in its replies shows it."""

    def __init__(self, lost):
        self.lost, self.flash, self.blocks = lost, bytearray(), 0
        self.srv = socket.create_server(("127.0.0.1", 0))
        self.port = self.srv.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        conn, _ = self.srv.accept()
        buf, ptr = b"", 0
        with conn:
            while True:
                if b"\r\n" not in buf or (buf.startswith(b"FPGA_PROGRAM #2")
                                            and len(buf) < 17 + int(buf[15:17] or 0) + 2):
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    buf += chunk
                    continue
                if buf.startswith(b"FPGA_PROGRAM #2"):
                    n = int(buf[15:17])
                    block, buf = buf[17:17 + n], buf[17 + n + 2:]
                    self.blocks += 1
                    if self.blocks != self.lost:
                        self.flash[ptr:ptr + n] = block
                        ptr += n
                    conn.sendall(b"0\r\n")
                    continue
                line, _, buf = buf.partition(b"\r\n")
                if line == b"FPGA_RST_PAGE_PTR CFG":
                    ptr = 0
                if line == b"FPGA_READ":
                    page = bytes(self.flash[ptr:ptr + 16])
                    ptr += 16
                    conn.sendall(b"#2%02d" % len(page) + page + b"\r\n")
                else:
                    conn.sendall(b"0.2.4.0\r\n" if line == b"GET_FPGA_VER" else b"0\r\n")


@pytest.mark.parametrize("window", [1, 32])
def test_a_block_out_of_place_can_only_fail(tmp_path, window):
    path, _ = image(tmp_path, 1024)
    device = LosingDevice(lost=5)
    lane = QVRFpga._FleetDriver(window=window)
    tool = FpgaTool(address="127.0.0.1", port=device.port)
    try:
        assert tool._updateUnder(QVRFpga._Terms(driver=lane), path, 32).RetCode is RetCode.ERROR
    finally:
        tool.disconnect()
        lane.close()
        device.srv.close()
    assert device.blocks == 64


@pytest.mark.parametrize("window", [0, 257])
def test_a_window_out_of_range_is_refused(window):
    with pytest.raises(ValueError, match="window"):
        QVRFpga._FleetDriver(window=window)
