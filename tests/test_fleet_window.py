"""The window through quorvex.fleet and quorvex-fpga: one device on the native
driver, the fallback attempt after a refusal inside a window, "auto", the
pipelined read-back, and bad --window values."""

import json
import sqlite3
import threading

import pytest
from _cli import cli
from _helpers import image_and_data as make_image

from quorvex import fleet
from quorvex.cli import build_parser, main
from quorvex.config import apply_settings
from quorvex.emulator import DeviceEmulator
from quorvex.fleet import UNCHANGED, UPDATED, Device
from quorvex.fleet._device import Attempt, Image, Reporter

pytestmark = pytest.mark.usefixtures("quiet_engine")


@pytest.mark.parametrize("kind, size", [("bin", 4096 + 5), ("tbin", 1000)])
def test_one_device_with_a_window_sends_what_window_1_sends(tmp_path, kind, size):
    path, want = make_image(tmp_path, size, kind)
    logs = {}
    for window in (1, 32):
        with DeviceEmulator(flash_size=1 << 16, record_commands=True, latency_us=200) as emu:
            r = fleet.update(path, [Device(emu.host, emu.port)], window=window).results[0]
            assert (r.outcome, r.window, r.attempts) == (UPDATED, window, 1)
            assert emu.flash() == want and emu.state()["done"]
            logs[window] = emu.commands()
    assert logs[32] == logs[1]


def test_a_refusal_inside_a_window_falls_back_even_with_no_retries(tmp_path):
    path, want = make_image(tmp_path, 2048)
    history, events = tmp_path / "h.sqlite3", tmp_path / "run.jsonl"
    with DeviceEmulator(flash_size=1 << 16, refuse_every=7, fault_connections=1) as emu:
        p = cli("update", path, "-a", f"{emu.host}:{emu.port}", "--window", "32",
                "--retries", "0", "--json", "--history", history, "--events", events)
        assert p.returncode == 0, p.stderr
        assert emu.flash() == want
    dev = json.loads(p.stdout)["devices"][0]
    assert (dev["outcome"], dev["attempts"], dev["window"]) == ("updated", 2, 1)
    # The fallback outlives the attempt that ended in it.
    assert dev["fallback"] == {"offset": 96, "window": 32}
    assert dev["message"] == "updated with window 1 after a window fallback at byte 96"
    assert "window fallback" in p.stderr and "offset 96" in p.stderr
    with sqlite3.connect(history) as db:
        rows = db.execute("SELECT attempt, outcome, window_size, message FROM attempts").fetchall()
    assert [row[:3] for row in rows] == [(1, "failed", 32), (2, "updated", 1)]
    assert "window fallback" in rows[0][3] and "offset 96" in rows[0][3]
    ends = [e for e in map(json.loads, events.read_text().splitlines())
            if e["event"] == "attempt-end"]
    assert [(e["outcome"], e["window"]) for e in ends] == [("failed", 32), ("updated", 1)]


def test_the_fallback_uses_up_no_retry(tmp_path):
    path, want = make_image(tmp_path, 2048)
    # The window's refusal, then a link dropped mid read-back on the attempt after.
    with DeviceEmulator(flash_size=1 << 16, refuse_every=7, drop_on="FPGA_READ",
                        drop_on_count=100, fault_connections=2) as emu:
        r = fleet.update(path, [Device(emu.host, emu.port)], window=32, retries=1).results[0]
        assert (r.outcome, r.attempts, r.window) == (UPDATED, 3, 1) and emu.flash() == want


def test_auto_takes_the_window_of_a_device_that_answers_in_order(tmp_path):
    path, want = make_image(tmp_path, 1000)
    with DeviceEmulator(flash_size=1 << 16) as emu:
        p = cli("update", path, "-a", f"{emu.host}:{emu.port}", "--window", "auto",
                "--json", "--no-history")
        assert p.returncode == 0, p.stderr
        assert json.loads(p.stdout)["devices"][0]["window"] == 32 and emu.flash() == want


def test_auto_asks_each_device_once_a_run(tmp_path, monkeypatch):
    from quorvex.fleet import _window

    path, want = make_image(tmp_path, 2048)
    asked = []
    probe = _window.probe_window
    monkeypatch.setattr(_window, "probe_window",
                        lambda *a, **k: asked.append(a[0]) or probe(*a, **k))
    # The first attempt fails mid-write (the link dropped): the second updates it.
    with DeviceEmulator(flash_size=1 << 16, drop_on="FPGA_PROGRAM", drop_on_count=50) as emu:
        r = fleet.update(path, [Device(emu.host, emu.port)], window="auto",
                         retries=2).results[0]
        assert (r.outcome, r.attempts, r.window) == (UPDATED, 2, 32) and emu.flash() == want
    assert asked == [(emu.host, emu.port)]


@pytest.mark.parametrize("size", [1, 16 * 40 + 3])
def test_a_windowed_verify_reads_what_window_1_reads(tmp_path, size):
    path, _ = make_image(tmp_path, size)
    logs = {}
    for window in (1, 8):
        with DeviceEmulator(flash_size=1 << 16, record_commands=True, latency_us=200) as emu:
            fleet.update(path, [Device(emu.host, emu.port)])
            emu.clear_commands()
            r = fleet.verify(path, [Device(emu.host, emu.port)], window=window).results[0]
            assert (r.outcome, r.window, r.bytes) == (UNCHANGED, window, size)
            logs[window] = emu.commands()
    assert logs[8] == logs[1] and logs[8].count(b"FPGA_READ\r\n") == -(-size // 16)


class ScriptedLink:
    """Answers each FPGA_READ sent with the next of `replies`."""

    def __init__(self, replies):
        self.replies, self.sent, self.taken = replies, 0, 0

    def sendRawBytes(self, data):
        assert data == b"FPGA_READ\r\n" * (len(data) // 11)
        self.sent += len(data) // 11
        assert self.sent <= len(self.replies), "a read past the pages needed"

    def recvRawBytes(self, size):
        assert self.taken < self.sent, "a reply awaited that was never asked for"
        self.taken += 1
        return self.replies[self.taken - 1]


PAGE = b"#216" + b"a" * 16 + b"\r\n"


@pytest.mark.parametrize("bad, pages", [
    (None, 10), (b"-1\r\n", 3), (b"#210abc\r\n", 3), (b"#2xy" + b"a" * 16 + b"\r\n", 3),
    (b"#200\r\n", 3), (b"#240" + b"a" * 40 + b"\r\n", 6),  # empty; longer than a page
    (b"#3016" + b"a" * 16 + b"\r\n", 10), (b"#216" + b"a" * 18 + b"\r\n", 3),  # sound; too long
])
def test_windowed_reads_stop_at_a_bad_reply_and_leave_the_link_in_step(bad, pages):
    d = Device("127.0.0.1", 9)
    a = Attempt(d, Image("x", b"a" * 160, "", []), Reporter(d, None), threading.Event())
    replies = [PAGE] * 10 if bad is None else [PAGE] * 3 + [bad] * 7
    a.window_used, a.link = 4, ScriptedLink(replies)
    assert len(list(a._read_pages(None, 160))) == pages
    assert a.link.taken == a.link.sent  # nothing left in flight for the next command


@pytest.mark.parametrize("verb", ["update", "verify"])
@pytest.mark.parametrize("value", ["0", "257", "x"])
def test_a_bad_window_exits_64_naming_it(tmp_path, capsys, verb, value):
    with pytest.raises(SystemExit) as ended:
        main([verb, "img", "-a", "127.0.0.1:9", "--window", value])
    assert ended.value.code == 64 and repr(value) in capsys.readouterr().err
    path = tmp_path / "bay.toml"
    path.write_text(f"window = {value if value != 'x' else json.dumps(value)}\n")
    assert main([verb, "img", "-a", "h", "--config", str(path)]) == 64
    assert "line 1: window:" in capsys.readouterr().err


@pytest.mark.parametrize("text, env, flags, want", [
    ('window = "auto"\n', {}, [], "auto"), ("window = 64\n", {"QUORVEX_WINDOW": "8"}, [], 8),
    ("window = 64\n", {}, ["--window", "1"], 1), ("", {}, [], 1),
])
def test_the_window_default_comes_from_the_configuration(tmp_path, text, env, flags, want):
    (tmp_path / "quorvex").mkdir()
    (tmp_path / "quorvex" / "config.toml").write_text(text)
    for verb in ("update", "verify"):
        parser, argv = build_parser(), [verb, "img", "-a", "h", *flags]
        apply_settings(parser, argv, {"XDG_CONFIG_HOME": str(tmp_path), **env})
        assert parser.parse_args(argv).window == want
