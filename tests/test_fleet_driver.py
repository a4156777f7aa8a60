"""The fleet's native transfer driver against FpgaTool's own engine: the same
commands byte for byte, the same outcomes, and a device that fails or stalls
ends alone while the others go on."""

import threading
import time

import pytest

from quorvex import QVRFpga, fleet
from quorvex.emulator import DeviceEmulator
from quorvex.fleet import FAILED, INTERRUPTED, UPDATED, Device
from quorvex.QVRFpga import FpgaTool
from quorvex.QVRPublic import RetCode

from _helpers import image

pytestmark = pytest.mark.usefixtures("quiet_engine")


@pytest.fixture
def drivers(monkeypatch):
    """The native drivers the runs made: a run that should have used one and
    did not would compare the per-command path with itself."""
    made = []

    class Counted(QVRFpga._FleetDriver):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            made.append(self)

    monkeypatch.setattr(QVRFpga, "_FleetDriver", Counted)
    return made


@pytest.fixture
def emus():
    made = []

    def make(n, **options):
        for _ in range(n):
            made.append(DeviceEmulator(flash_size=1 << 16, record_commands=True, **options))
        return made[-n:]

    yield make
    for e in made:
        e.close()


def by_tool(emu, path):
    """What the fleet does to one device, with every command through FpgaTool."""
    tool = FpgaTool(address="127.0.0.1", port=emu.port)
    try:
        tool.initFpga(32)
        tool._fpgaGetSerialNumber()
        return tool.processFpgaUpdate(path, 32)
    finally:
        tool.disconnect()


@pytest.mark.parametrize("kind, size, options", [
    ("bin", 33, {}),
    ("tbin", 1000, {}),
    ("bin", 200, {"refuse_every": 3}),
    ("bin", 100, {"corrupt_page": 2}),
])
def test_the_device_sees_the_same_commands_from_both_drivers(tmp_path, emus, drivers, kind, size,
                                                             options):
    path = image(tmp_path, size, kind)
    native_a, native_b, alone = emus(3, **options)
    report = fleet.update(path, [Device("127.0.0.1", e.port) for e in (native_a, native_b)],
                          retries=0)
    by_tool(alone, path)
    assert len(drivers) == 1
    assert native_a.commands() == alone.commands()
    assert native_b.commands() == alone.commands()
    assert any(c.startswith(b"FPGA_PROGRAM") for c in alone.commands())
    ok = "corrupt_page" not in options
    assert [r.outcome for r in report.results] == [UPDATED if ok else FAILED] * 2
    if options.get("refuse_every"):
        assert all(r.blocks_resent > 0 for r in report.results)


def outcome(path, emu_options, native, monkeypatch=None):
    """(outcome, message, bytes written, blocks refused) of one device run natively (beside a
    sound second device) or alone through the tool's commands."""
    bad = DeviceEmulator(flash_size=1 << 16, **emu_options)
    good = DeviceEmulator(flash_size=1 << 16)
    try:
        devices = [Device("127.0.0.1", bad.port)] + ([Device("127.0.0.1", good.port)] if native else [])
        report = fleet.update(path, devices, retries=0, timeout=1.0)
        first = report.results[0]
        if native:
            assert report.results[1].outcome == UPDATED  # the other device went on
        return (first.outcome, first.message.replace(str(bad.port), "PORT"), first.bytes,
                first.blocks_resent)
    finally:
        bad.close()
        good.close()


@pytest.mark.parametrize("options", [
    {"corrupt_page": 3},                                 # the read-back differs
    {"drop_on": "FPGA_PROGRAM", "drop_on_count": 5},     # the link drops mid-write
    {"refuse_every": 1},                                 # the refusal bound is reached
    {"delay_us": 3_000_000, "delay_command": 9},         # a reply that never comes in time
])
def test_a_failing_device_ends_as_it_would_alone_and_the_others_go_on(tmp_path, drivers,
                                                                      monkeypatch, options):
    monkeypatch.setattr(QVRFpga, "_PROGRAM_BLOCK_ATTEMPTS", 4)
    path = image(tmp_path, 256)
    native = outcome(path, options, native=True)
    alone = outcome(path, options, native=False)
    assert native == alone
    assert native[0] == FAILED
    assert len(drivers) == 1


def test_the_native_transfer_reports_progress_and_the_link_is_given_back(tmp_path, emus, drivers):
    path = image(tmp_path, 4096)
    devices = emus(3, delay_us=200)
    events = []
    report = fleet.update(path, [Device("127.0.0.1", e.port) for e in devices],
                          on_progress=events.append)
    assert [r.outcome for r in report.results] == [UPDATED] * 3
    # The version was read over the same link after the transfer.
    assert all(r.new_version for r in report.results)
    assert all(e.commands()[-1] == b"GET_FPGA_VER\r\n" for e in devices)
    for d in report.results:
        stages = [e.stage for e in events if e.device == d.device]
        assert stages.index("erase") < stages.index("write") < stages.index("verify")
        writes = [e for e in events if e.device == d.device and e.stage == "write"]
        assert writes[-1].total == 4096 and 0 < len(writes) < 256


def test_cancelling_ends_every_native_transfer_and_reports_each_device(tmp_path, emus, drivers):
    # 20 ms a reply and 64 KiB: minutes of work, unless the cancel is seen.
    path = image(tmp_path, 1 << 16)
    devices = emus(4, delay_us=20_000)
    cancel = threading.Event()

    def on_progress(event):
        if event.stage == "write" and event.done >= 64:
            cancel.set()

    started = time.monotonic()
    report = fleet.update(path, [Device("127.0.0.1", e.port) for e in devices],
                          on_progress=on_progress, cancel=cancel)
    assert time.monotonic() - started < 30
    assert [r.outcome for r in report.results] == [INTERRUPTED] * 4


def test_a_device_closed_under_the_driver_fails_with_a_connection_error(tmp_path, emus, drivers):
    path = image(tmp_path, 4096)
    a, b = emus(2, delay_us=2000)
    done = threading.Event()

    def on_progress(event):
        if event.stage == "write" and event.device.port == a.port and not done.is_set():
            done.set()
            a.close()  # the device goes away mid-write

    report = fleet.update(path, [Device("127.0.0.1", e.port) for e in (a, b)], retries=0,
                          on_progress=on_progress, timeout=2.0)
    first, second = report.results
    assert first.outcome == FAILED and f"127.0.0.1:{a.port}" in first.message
    assert second.outcome == UPDATED


def test_the_driver_survives_a_link_it_cannot_use_and_a_cancelled_one_sends_nothing(tmp_path):
    from quorvex.QVRCommService import _TCPConn

    path = image(tmp_path, 64)
    driver = QVRFpga._FleetDriver()
    emu = DeviceEmulator(flash_size=1 << 16, record_commands=True)
    try:
        terms = QVRFpga._Terms(driver=driver)
        never = FpgaTool(connection=_TCPConn("127.0.0.1", emu.port))  # not connected
        with pytest.raises(ConnectionError, match="not connected"):
            never._updateUnder(terms, path, 32)

        tool = FpgaTool(connection=_TCPConn("127.0.0.1", emu.port))
        tool._conn.initConnection()
        assert tool._updateUnder(terms, path, 32).RetCode is RetCode.OK  # the same driver goes on
        assert (terms.counts, terms.reason) == ((64, 0), "ok")
        emu.clear_commands()

        driver.cancel()
        with pytest.raises(ConnectionError, match="interrupted"):
            tool._updateUnder(terms, path, 32)
        assert emu.commands() == []  # not even the erase
        assert not tool._conn.connected
    finally:
        driver.close()
        emu.close()
