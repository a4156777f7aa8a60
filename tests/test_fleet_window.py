"""The window through quorvex.fleet and quorvex-fpga: one device on the native
driver, the fallback attempt after a refusal inside a window, "auto", the
pipelined read-back of verify and --skip-current, and bad --window values."""

import io
import json
import os
import sqlite3
import sys
import threading

import pytest
from _cli import cli

from quorvex import fleet, tbin
from quorvex.cli import main
from quorvex.emulator import DeviceEmulator
from quorvex.fleet import FAILED, UNCHANGED, UPDATED, Device
from quorvex.fleet import _run
from quorvex.fleet._window import WINDOW


@pytest.fixture(autouse=True)
def quick_backoff(monkeypatch, tmp_path):
    monkeypatch.setattr(_run, "BACKOFF_BASE", 0.001)
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    monkeypatch.setattr(sys, "stdout", io.StringIO())  # the engine's progress lines


def make_image(tmp_path, size, kind="bin"):
    raw = tmp_path / "image.bin"
    raw.write_bytes(os.urandom(size))
    if kind == "bin":
        return raw, raw.read_bytes()
    out = tmp_path / "image.tbin"
    tbin.pack_file(str(raw), str(out), 32)
    return out, raw.read_bytes()


def device(emu):
    return Device(emu.host, emu.port)


@pytest.mark.parametrize("kind, size", [("bin", 4096 + 5), ("tbin", 1000)])
def test_one_device_with_a_window_sends_what_window_1_sends_and_holds_the_image(tmp_path, kind,
                                                                               size):
    path, want = make_image(tmp_path, size, kind)
    logs = {}
    for window in (1, 32):
        with DeviceEmulator(flash_size=1 << 16, record_commands=True, latency_us=200) as emu:
            r = fleet.update(path, [device(emu)], window=window, retries=0).results[0]
            assert (r.outcome, r.window, r.attempts) == (UPDATED, window, 1)
            assert emu.flash() == want and emu.state()["done"]
            logs[window] = emu.commands()
    assert logs[32] == logs[1]


@pytest.mark.parametrize("faults", [{"refuse_every": 7, "fault_connections": 1},
                                    {"refuse_every": 7}])
def test_a_refusal_inside_a_window_falls_back_even_without_retries(tmp_path, faults):
    path, want = make_image(tmp_path, 2048)
    history = tmp_path / "h.sqlite3"
    with DeviceEmulator(flash_size=1 << 16, **faults) as emu:
        r = fleet.update(path, [device(emu)], window=32, retries=0,
                         history=history).results[0]
        assert (r.outcome, r.attempts, r.window) == (UPDATED, 2, 1)
        assert emu.flash() == want and emu.state()["done"]
    with sqlite3.connect(history) as db:
        rows = db.execute("SELECT attempt, outcome, window_size, message FROM attempts "
                          "ORDER BY id").fetchall()
    assert [row[:3] for row in rows] == [(1, FAILED, 32), (2, UPDATED, 1)]
    assert "window fallback" in rows[0][3] and "offset 96" in rows[0][3]


def test_the_fallback_uses_up_no_retry(tmp_path):
    """Retries count the link's failures alone: after a fallback a dropped
    link still gets the run's retry, and the device ends updated."""
    path, want = make_image(tmp_path, 2048)
    with DeviceEmulator(flash_size=1 << 16, refuse_every=7, drop_on="FPGA_READ",
                        drop_on_count=100, fault_connections=2) as emu:
        r = fleet.update(path, [device(emu)], window=32, retries=1).results[0]
        assert (r.outcome, r.attempts, r.window) == (UPDATED, 3, 1)
        assert emu.flash() == want


def test_the_cli_says_window_fallback_in_json_and_events(tmp_path):
    path, _ = make_image(tmp_path, 2048)
    events = tmp_path / "run.jsonl"
    with DeviceEmulator(flash_size=1 << 16, refuse_every=7, fault_connections=1) as emu:
        p = cli("update", path, "-a", f"{emu.host}:{emu.port}", "--window", "32",
                "--retries", "0", "--json", "--no-history", "--events", events)
    assert p.returncode == 0, p.stderr
    dev = json.loads(p.stdout)["devices"][0]
    assert (dev["outcome"], dev["attempts"], dev["window"]) == ("updated", 2, 1)
    ends = [e for e in map(json.loads, events.read_text().splitlines())
            if e["event"] == "attempt-end"]
    assert [(e["attempt"], e["outcome"], e["window"]) for e in ends] == \
        [(1, "failed", 32), (2, "updated", 1)]


def test_auto_takes_the_window_against_the_emulator_and_1_for_a_visa_device(tmp_path):
    path, want = make_image(tmp_path, 1000)
    with DeviceEmulator(flash_size=1 << 16) as emu:
        p = cli("update", path, "-a", f"{emu.host}:{emu.port}", "--window", "auto",
                "--json", "--no-history")
        assert p.returncode == 0, p.stderr
        assert json.loads(p.stdout)["devices"][0]["window"] == WINDOW
        assert emu.flash() == want
        pytest.importorskip("pyvisa_py")
        r = fleet.verify(path, [Device(resource=f"TCPIP::{emu.host}::{emu.port}::SOCKET")],
                         window="auto").results[0]
        assert (r.outcome, r.window) == (UNCHANGED, 1)


@pytest.mark.parametrize("size", [1, 16 * 40, 16 * 40 + 3])
def test_a_windowed_verify_reads_what_window_1_reads(tmp_path, size):
    path, want = make_image(tmp_path, size)
    logs = {}
    for window in (1, 8):
        with DeviceEmulator(flash_size=1 << 16, record_commands=True, latency_us=200) as emu:
            fleet.update(path, [device(emu)])
            emu.clear_commands()
            r = fleet.verify(path, [device(emu)], window=window).results[0]
            assert (r.outcome, r.window, r.bytes) == (UNCHANGED, window, size)
            logs[window] = emu.commands()
    assert logs[8] == logs[1]
    assert logs[8].count(b"FPGA_READ\r\n") == -(-size // 16)


@pytest.mark.parametrize("faults, outcome", [
    ({"corrupt_page": 30}, FAILED),                   # a page that differs
    ({"drop_on": "FPGA_READ", "drop_on_count": 20}, FAILED),  # the link gone mid-window
])
def test_a_windowed_verify_of_a_flash_that_differs_or_a_dropped_link_fails(tmp_path, faults,
                                                                          outcome):
    path, _ = make_image(tmp_path, 1024)
    with DeviceEmulator(flash_size=1 << 16) as emu:
        fleet.update(path, [device(emu)])
        emu.set(**faults)
        assert fleet.verify(path, [device(emu)], window=32).results[0].outcome == outcome


def test_skip_current_reads_windowed_then_updates_on_the_same_link(tmp_path):
    """The read-back sends no FPGA_READ past the image: the update after it,
    on the same link, meets no reply of the reading."""
    path, want = make_image(tmp_path, 4096)
    with DeviceEmulator(flash_size=1 << 16) as emu:
        r = fleet.update(path, [device(emu)], window=32, skip_current=True).results[0]
        assert (r.outcome, r.attempts) == (UPDATED, 1) and emu.flash() == want
        r = fleet.update(path, [device(emu)], window=32, skip_current=True).results[0]
        assert (r.outcome, r.window) == (UNCHANGED, 32)


@pytest.mark.parametrize("value", ["0", "257", "x", "-1"])
@pytest.mark.parametrize("verb", ["update", "verify"])
def test_a_bad_window_exits_64_naming_it(tmp_path, capsys, verb, value):
    path, _ = make_image(tmp_path, 16)
    with pytest.raises(SystemExit) as ended:
        main([verb, str(path), "-a", "127.0.0.1:9", "--window", value])
    assert ended.value.code == 64
    assert repr(value) in capsys.readouterr().err


@pytest.mark.parametrize("value", [0, 257, "x", 1.5, True])
def test_a_bad_window_is_a_value_error(tmp_path, value):
    path, _ = make_image(tmp_path, 16)
    with pytest.raises(ValueError, match="window"):
        fleet.update(path, [Device("127.0.0.1", 9)], window=value)


class ScriptedLink:
    """Answers each FPGA_READ sent with the next of `replies`; counts both."""

    def __init__(self, replies):
        self.replies, self.sent, self.taken = list(replies), 0, 0

    def sendRawBytes(self, data):
        assert data == b"FPGA_READ\r\n" * (len(data) // 11)
        self.sent += len(data) // 11
        assert self.sent <= len(self.replies), "a read past the pages needed"

    def recvRawBytes(self, size):
        assert self.taken < self.sent, "a reply awaited that was never asked for"
        self.taken += 1
        return self.replies[self.taken - 1]


def page(data):
    return b"#2%02d" % len(data) + data + b"\r\n"


@pytest.mark.parametrize("replies, pages", [
    ([page(b"a" * 16)] * 10, 10),
    # a reply that is no page (an error, a block cut short, a wrong length)
    ([page(b"a" * 16)] * 3 + [b"-1\r\n"] + [page(b"a" * 16)] * 6, 3),
    ([page(b"a" * 16)] * 3 + [b"#210abc\r\n"] + [page(b"a" * 16)] * 6, 3),
    ([page(b"a" * 16)] * 3 + [b"#2xy" + b"a" * 16 + b"\r\n"] + [page(b"a" * 16)] * 6, 3),
    # an empty page, and pages longer than asked for, end it early too
    ([page(b"a" * 16), page(b"")] + [page(b"a" * 16)] * 8, 1),
    ([page(b"a" * 40)] * 10, 4),
])
def test_windowed_reads_stop_at_a_bad_reply_and_leave_the_link_in_step(replies, pages):
    from quorvex.fleet._device import Attempt, Image, Reporter

    d = Device("127.0.0.1", 9)
    a = Attempt(d, Image("x", b"a" * 160, "", []), Reporter(d, None), threading.Event(),
                window=4)
    a.window_used, a.link = 4, ScriptedLink(replies)
    assert len(list(a._read_pages(None, 160))) == pages
    assert a.link.taken == a.link.sent  # nothing left in flight for the next command


@pytest.mark.parametrize("windows, shown", [([1, None], False), ([32, 1], True)])
def test_the_table_shows_the_window_only_where_one_was_used(windows, shown):
    from quorvex.cli._display import result_table
    from quorvex.fleet import DeviceResult

    rows = result_table([DeviceResult(Device("192.0.2.1", 5025 + i), UPDATED, attempts=1,
                                      window=w) for i, w in enumerate(windows)]).splitlines()
    assert ("window" in rows[0]) is shown
    assert [r.split()[-1] for r in rows[2:]] == (["32", "1"] if shown else ["-", "-"])


@pytest.mark.parametrize("text, env, flags, want", [
    ('window = "auto"\n', {}, [], "auto"),
    ("window = 64\n", {"QUORVEX_WINDOW": "8"}, [], 8),
    ("window = 64\n", {"QUORVEX_WINDOW": "auto"}, ["--window", "1"], 1),
    ("", {}, [], 1),
])
@pytest.mark.parametrize("verb", ["update", "verify"])
def test_the_window_default_comes_from_the_configuration(tmp_path, verb, text, env, flags, want):
    from quorvex.cli import build_parser
    from quorvex.config import apply_settings

    (tmp_path / "quorvex").mkdir()
    (tmp_path / "quorvex" / "config.toml").write_text(text)
    parser = build_parser()
    argv = [verb, "img", "-a", "h", *flags]
    apply_settings(parser, argv, {"XDG_CONFIG_HOME": str(tmp_path), **env})
    assert parser.parse_args(argv).window == want


@pytest.mark.parametrize("text", ["window = 0\n", "window = 257\n", 'window = "fast"\n'])
def test_a_bad_window_in_the_configuration_exits_64(tmp_path, capsys, text):
    path = tmp_path / "bay.toml"
    path.write_text(text)
    assert main(["update", "img", "-a", "h", "--config", str(path)]) == 64
    assert "line 1: window:" in capsys.readouterr().err
