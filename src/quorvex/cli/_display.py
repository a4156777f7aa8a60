"""How a fleet run looks from the shell: its progress while it runs, and the
table of how each device ended.

`FleetDisplay` takes the fleet's progress events (from the devices' own
threads). On a terminal it keeps a live table up to date with `rich`, one
row per running device and a summary row; for a single device, just its
bar. Off a terminal it writes one plain line per device when its stage
changes and every 10 s while it stays in one, never a line per block.

`result_table` and `totals_line` render the end of a run from plain result
objects (device, outcome, attempts, old_version, new_version, bytes,
seconds, rate, message).
"""

from __future__ import annotations

import io
import threading
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from .._text import printable
from ..fleet._outcomes import INTERRUPTED, REFUSED, SKIPPED, SUCCESS

if TYPE_CHECKING:
    from ._console import Console

__all__ = ["FleetDisplay", "human_bytes", "human_rate", "result_table", "totals_line"]

# Off a terminal: at most one line per device this often while its stage stays.
PLAIN_EVERY = 10.0
# Stages whose counts are bytes of the image, so a bar, a rate and an ETA make sense.
_TRANSFER = ("write", "verify")


def human_bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB"):
        if n < 1024 or unit == "MiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n:.1f} GiB"  # not reached


def human_rate(bytes_per_second: float | None) -> str:
    return f"{human_bytes(bytes_per_second)}/s" if bytes_per_second else "-"


def _clock(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    seconds = int(round(seconds))
    return f"{seconds // 60}:{seconds % 60:02d}"


def _label(device: Any) -> str:
    return printable(getattr(device, "label", None) or str(device))


def _key(device: Any) -> Any:
    """What tells a device's row from another's: the device itself (two
    devices of an inventory may share a name), else its label."""
    try:
        hash(device)
        return device
    except TypeError:
        return _label(device)


class _Row:
    """What the display knows of one device."""

    __slots__ = ("label", "stage", "done", "total", "attempt", "since", "since_done",
                 "last_line", "outcome", "work", "work_total", "device")

    def __init__(self, label: str) -> None:
        self.label = label
        self.stage: str | None = None
        self.done = self.total = 0
        self.attempt = 1
        self.since = self.since_done = 0.0
        self.last_line = 0.0
        self.outcome: str | None = None
        self.work: str | None = None  # the last stage before "done", and its total
        self.work_total = 0
        self.device: Any = None  # the device object its events last came with

    @property
    def percent(self) -> float | None:
        if self.stage not in _TRANSFER or not self.total:
            return None
        return min(100.0, 100.0 * self.done / self.total)

    def rate(self, now: float) -> float | None:
        if self.stage not in _TRANSFER or now - self.since < 0.2:
            return None
        return max(0, self.done - self.since_done) / (now - self.since) or None

    def eta(self, now: float) -> float | None:
        rate = self.rate(now)
        return max(0, self.total - self.done) / rate if rate else None

    def eta_all(self, now: float) -> float | None:
        """Until the read-back ends: the rest of the write, then as many bytes
        read back, at the stage's rate."""
        rate = self.rate(now)
        if not rate:
            return None
        left = max(0, self.total - self.done)
        return (left + self.total if self.stage == "write" else left) / rate


class FleetDisplay:
    """The progress of a fleet run on standard error. Call it with each
    progress event (a device's "done" event carries its outcome, which the
    summary row counts); use it as a context manager around the run."""

    def __init__(self, console: Console, devices: Sequence[Any], *, live: bool | None = None,
                 quiet: bool = False, clock: Callable[[], float] = time.monotonic) -> None:
        self.console = console
        # -q drops the log lines; on a terminal the live table stays, off one
        # nothing is shown and the display only keeps track (see counts).
        self.quiet = quiet
        self.live = console.tty if live is None else live
        self.clock = clock
        self._lock = threading.Lock()
        self._rows = {_key(d): _Row(_label(d)) for d in devices}
        self._seen: dict[int, _Row] = {}  # id(device) -> its row
        # The device each worker thread runs (events come from its thread),
        # so that its log lines can name the device.
        self.thread_names: dict[str, str] = {}
        self._live: Any = None

    # -- the events ---------------------------------------------------------

    def __call__(self, event: Any) -> None:
        now = self.clock()
        device = event.device
        with self._lock:
            # The row of the very device object seen before, without working
            # out its key and label again (a run sends thousands of events).
            row = self._seen.get(id(device))
            if row is None or row.device is not device:
                key = _key(device)
                row = self._rows.get(key)
                if row is None:
                    row = self._rows[key] = _Row(_label(device))
                row.device = device
                self._seen[id(device)] = row
                self.thread_names[threading.current_thread().name] = row.label
            attempt = getattr(event, "attempt", row.attempt)
            changed = event.stage != row.stage or attempt != row.attempt
            if changed:
                row.since, row.since_done = now, event.done or 0
                self.thread_names[threading.current_thread().name] = row.label
            row.stage = event.stage
            row.attempt = attempt or 1
            if event.stage != "done":
                row.done, row.total = event.done or 0, event.total or 0
                row.work, row.work_total = row.stage, row.total
            else:  # its bar stays where the device ended
                row.outcome = getattr(event, "outcome", None) or row.outcome or "ended"
            if self.live or self.quiet:
                return
            if not changed and now - row.last_line < PLAIN_EVERY:
                return
            row.last_line = now
            text = self._plain(row)
        self.console.line(text)

    def _plain(self, row: _Row) -> str:
        parts = [f"{row.label}: {row.stage}"]
        if row.attempt > 1:
            parts.append(f"attempt {row.attempt}")
        if row.stage in _TRANSFER and row.total:
            parts.append(f"{min(row.done, row.total)}/{row.total} bytes ({row.percent:.0f}%)")
            rate = row.rate(self.clock())
            if rate:
                parts.append(human_rate(rate))
        elif row.stage == "done" and row.outcome and row.outcome != "ended":
            parts.append(row.outcome)
        return ", ".join(parts)

    # -- the live table -----------------------------------------------------

    def __enter__(self) -> FleetDisplay:
        if self.live:
            from rich.console import Console as RichConsole
            from rich.live import Live

            rich_console = RichConsole(file=self.console.raw_stream(), stderr=True)
            live = self._live = _batching(Live)(
                console=rich_console, get_renderable=self.renderable,
                refresh_per_second=_REFRESH_PER_SECOND, transient=False,
                redirect_stdout=False, redirect_stderr=False)
            live.start()
            # Log lines and messages go above the table, not through it.
            self.console.divert(live.log_line)
        return self

    def __exit__(self, *exc: object) -> None:
        live, self._live = self._live, None
        if live is None:
            return
        # However the last refresh ends (Ctrl-C again, a standard error gone),
        # the refresh thread stops and the cursor comes back.
        stopped = False
        try:
            try:
                live.refresh()
            finally:
                live.stop()
                stopped = True
        except (OSError, ValueError):
            pass
        finally:
            self.console.divert(None)
            if not stopped:
                try:
                    live.console.show_cursor(True)
                except Exception:
                    pass

    def counts(self) -> dict[str, int]:
        """Devices done (updated, unchanged or ready, or ended when the
        outcome is not known), refused, skipped (never started), interrupted,
        failed (any other outcome), running and waiting: the devices ended
        are counted by the outcomes of the report."""
        c = dict.fromkeys(("done", "failed", "refused", "skipped", "interrupted", "running",
                           "waiting"), 0)
        for row in self._rows.values():
            if row.outcome is not None:
                o = row.outcome
                c["done" if o in SUCCESS or o == "ended" else
                  o if o in (REFUSED, SKIPPED, INTERRUPTED) else "failed"] += 1
            elif row.stage is None:
                c["waiting"] += 1
            else:
                c["running"] += 1
        return c

    def summary(self) -> str:
        """The summary row: `done 3, failed 1, interrupted 4, running 0,
        waiting 0` (refused, skipped and interrupted only where any)."""
        c = self.counts()
        return ", ".join(f"{k} {c[k]}" for k in c
                         if c[k] or k not in ("refused", "skipped", "interrupted"))

    def renderable(self) -> Any:
        """The table as plain lines, cut to the terminal's height with the
        counts kept. Built a few times a second and drawn again under every
        log line, so it is made of text alone: a rich Table of progress bars
        costs the run more than it shows."""
        now = self.clock()
        with self._lock:
            rows = list(self._rows.values())
            if len(rows) == 1:
                c = _cells(rows[0], now)
                return _Frame(["  ".join(x for x in c[:-1] if x) + f"  attempt {c[-1]}"])
            summary = self.summary()
            shown = [r for r in rows if r.stage is not None and r.outcome is None]
            room = self._height() - 2  # lines above the counts and the cursor's line
            fit = shown if len(shown) + 1 <= room else shown[:room - 2] if room >= 3 else []
            cells = [_cells(r, now) for r in fit]
        lines = []
        if cells:
            width = min(32, max(len("device"), *(len(c[0]) for c in cells)))
            for c in [_HEADER] + cells:
                label = c[0] if len(c[0]) <= width else c[0][:width - 1] + "~"
                lines.append(f"{label:<{width}} {c[1]:<9} {c[2]:<{_BAR}} {c[3]:>4} {c[4]:>11} "
                             f"{c[5]:>5} {c[6]:>5} {c[7]:>7}")
            if len(shown) > len(cells):
                lines.append(f"... and {len(shown) - len(cells)} more running")
        lines.append(summary)
        return _Frame(lines, bold_last=True)

    def _height(self) -> int:
        live = self._live
        try:
            return live.console.size.height if live is not None else 1 << 30
        except Exception:  # a terminal whose size cannot be had
            return 24


# Table refreshes a second, the width of a bar, and the header of the table.
_REFRESH_PER_SECOND = 4
_BAR = 24
_HEADER = ("device", "stage", "", "%", "rate", "ETA", "all", "attempt")


def _batching(live_class: Any) -> Any:
    """A rich Live whose log lines (log_line) wait for its next refresh and
    go above the table together: drawing the table again under every line
    of a run of a hundred devices costs more than the table itself."""

    class BatchingLive(live_class):  # type: ignore[misc, valid-type]
        def __init__(self, **kw: Any) -> None:
            super().__init__(**kw)
            self._lines: list[str] = []

        def log_line(self, text: str) -> None:
            with self._lock:
                if self.is_started:
                    self._lines.append(text)
                    return
            self._print(text)

        def refresh(self) -> None:
            with self._lock:
                if self._lines:
                    text, self._lines = "\n".join(self._lines), []
                    self._print(text)
                super().refresh()

        def _print(self, text: str) -> None:
            self.console.print(text, markup=False, highlight=False, soft_wrap=True)

    return BatchingLive


class _Frame:
    """Lines of text drawn as they are, each cut at the console's width; the
    last one bold where asked."""

    def __init__(self, lines: list[str], bold_last: bool = False) -> None:
        self.lines, self.bold_last = lines, bold_last

    def __rich_console__(self, console: Any, options: Any) -> Any:
        from rich.segment import Segment
        from rich.style import Style

        width, last = options.max_width, len(self.lines) - 1
        for i, line in enumerate(self.lines):
            if i:
                yield Segment.line()
            yield Segment(line[:width], Style(bold=True) if i == last and self.bold_last else None)


def _cells(r: _Row, now: float) -> tuple[str, ...]:
    """A running device's row: label, stage, bar, percent, rate, the stage's
    ETA, the ETA of its write and read-back together, attempt."""
    pct = r.percent
    # A device that has ended shows its outcome, and its bar where it stopped.
    stage = (r.outcome or "ended") if r.stage == "done" else r.stage or ""
    if r.total and (r.stage in _TRANSFER or r.stage == "done" and r.work in _TRANSFER):
        filled = min(_BAR, _BAR * r.done // r.total)
        bar = "\u2501" * filled + "\u2500" * (_BAR - filled)
    else:
        bar = ""
    return (r.label, stage, bar, f"{pct:.0f}%" if pct is not None else "",
            human_rate(r.rate(now)), _clock(r.eta(now)), _clock(r.eta_all(now)), str(r.attempt))


# --- the end of a run ---------------------------------------------------------------

def result_table(results: Sequence[Any], *, width: int = 160) -> str:
    """One row per device: outcome, old and new version, attempts, time and
    rate; and the window of commands in flight where any device had one."""
    from rich.console import Console as RichConsole
    from rich.table import Table, box
    from rich.text import Text

    windows = [getattr(r, "window", None) for r in results]
    windowed = any(w not in (None, 1) for w in windows)
    table = Table(box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False)
    for name, justify in (("device", "left"), ("outcome", "left"), ("old version", "left"),
                          ("new version", "left"), ("attempts", "right"), ("time", "right"),
                          ("rate", "right")) + ((("window", "right"),) if windowed else ()):
        table.add_column(name, justify=justify, no_wrap=True)
    for r, w in zip(results, windows):
        table.add_row(*(Text(printable(v)) for v in (_label(r.device), r.outcome,
                                                     r.old_version or "-", r.new_version or "-")),
                      str(r.attempts), f"{r.seconds:.2f} s" if r.seconds else "-",
                      human_rate(r.rate), *((str(w or "-"),) if windowed else ()))
    out = io.StringIO()
    RichConsole(file=out, width=width, color_system=None, force_terminal=False,
                legacy_windows=False).print(table)
    return "\n".join(line.rstrip() for line in out.getvalue().rstrip("\n").splitlines())


def totals_line(results: Sequence[Any], seconds: float | None = None) -> str:
    """`3 devices: 2 updated, 1 failed; 512.0 KiB written in 4.10 s`."""
    counts: dict[str, int] = {}
    for r in results:
        counts[r.outcome] = counts.get(r.outcome, 0) + 1
    n = len(results)
    text = f"{n} device{'s' if n != 1 else ''}: " + ", ".join(
        f"{k} {o}" for o, k in counts.items())
    written = sum(r.bytes or 0 for r in results if r.outcome == "updated")
    if written:
        text += f"; {human_bytes(written)} written"
    if seconds is not None:
        text += f" in {seconds:.2f} s"
    return text
