"""The live table as a terminal shows it: cut to the window with the counts
kept, an ETA for the whole transfer beside the stage's own, and -q keeping
the table on a terminal while it stays silent off one."""

import io
import types

import pytest
from rich.console import Console as RichConsole

from quorvex.cli._console import Console
from quorvex.cli._display import FleetDisplay
from quorvex.fleet import Device, Progress


class Tty(io.StringIO):
    def isatty(self):
        return True


def lines(show, height):
    """The table's lines in a window `height` rows tall."""
    show._live = types.SimpleNamespace(console=types.SimpleNamespace(
        size=types.SimpleNamespace(height=height)))
    out = RichConsole(width=120, file=io.StringIO())
    out.print(show.renderable())
    show._live = None
    return out.file.getvalue().splitlines()


@pytest.mark.parametrize("running, height, shown", [
    (50, 10, 6),    # six rows, "... and 44 more", the counts
    (5, 10, 5),     # all fit
    (8, 11, 8),     # exactly fit: header, 8 rows, counts, cursor line
    (9, 11, 7),
    (3, 3, 0),      # no room for rows: the counts alone
])
def test_a_table_taller_than_the_window_keeps_its_counts(running, height, shown):
    devs = [Device(f"192.0.2.{i + 1}", name=f"u{i}") for i in range(running + 1)]
    show = FleetDisplay(Console(io.StringIO()), devs, live=True, clock=lambda: 0.0)
    for d in devs[:running]:
        show(Progress(d, "write", 10, 100))
    show(Progress(devs[-1], "done", outcome="updated"))
    out = lines(show, height)
    assert len(out) <= height - 1
    assert out[-1] == f"done 1, failed 0, running {running}, waiting 0"
    assert sum(line.startswith("u") for line in out) == shown
    if shown < running and shown:
        assert out[-2] == f"... and {running - shown} more running"


@pytest.mark.parametrize("stage, done, stage_eta, all_eta", [
    ("write", 500, "0:01", "0:03"),   # 500 B left to write, then 1000 to read back
    ("verify", 500, "0:01", "0:01"),
    ("erase", 0, "-", "-"),
])
def test_the_whole_transfer_has_an_eta_beside_the_stage(stage, done, stage_eta, all_eta):
    devs = [Device("192.0.2.1", name="left"), Device("192.0.2.2", name="right")]
    now = [0.0]
    show = FleetDisplay(Console(io.StringIO()), devs, live=True, clock=lambda: now[0])
    show(Progress(devs[0], stage, 0, 1000 if stage != "erase" else 0))
    now[0] = 1.0
    show(Progress(devs[0], stage, done, 1000 if stage != "erase" else 0))
    header, row = lines(show, 40)[:2]
    assert header.split()[-3:] == ["ETA", "all", "attempt"]
    assert row.split()[-3:] == [stage_eta, all_eta, "1"]


@pytest.mark.parametrize("tty", [True, False])
def test_quiet_keeps_the_table_on_a_terminal_and_is_silent_off_one(tty):
    err = Tty() if tty else io.StringIO()
    dev = Device("192.0.2.1", name="left")
    show = FleetDisplay(Console(err), [dev, Device("192.0.2.2")], quiet=True)
    assert show.live is tty
    show(Progress(dev, "write", 10, 100))
    show(Progress(dev, "done", outcome="updated"))
    assert err.getvalue() == ""
    assert show.counts()["done"] == 1


def test_log_lines_under_the_live_table_come_out_whole_and_in_order():
    err = Tty()
    devs = [Device("192.0.2.1", name="left"), Device("192.0.2.2", name="right")]
    show = FleetDisplay(Console(err), devs)
    with show:
        show(Progress(devs[0], "write", 10, 100))
        for i in range(50):
            show.console.line(f"line {i}")
    show.console.line("after")
    out = err.getvalue()
    at = [out.index(f"line {i}\n") for i in range(50)]
    assert at == sorted(at) and out.endswith("after\n")
    assert "running 1, waiting 1" in out
