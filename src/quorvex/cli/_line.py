"""What update adds for a production line: the run's id, its station, runs
taken up again (--retry-failed, --resume), and results other systems read
(--events, --junit)."""

from __future__ import annotations

import argparse
import errno
import os
import sys
import time
from collections.abc import Callable
from datetime import datetime, timezone
from typing import Any, Optional

from ._common import PROG, Context, UsageError

__all__ = ["check_outputs", "history_path", "line_options", "LineRun", "name"]


def name(text: str) -> str:
    """An argparse `type=` for a station or operator name (config.check_name)."""
    from ..config import check_name

    try:
        return check_name(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"{e}"[:200]) from None


def line_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("the line")
    g.add_argument("--station", metavar="NAME", type=name,
                   help="the station the history records for every attempt (default: the "
                        "host name)")
    again = g.add_mutually_exclusive_group()
    again.add_argument("--retry-failed", metavar="RUN",
                       help="run again, with the same inventory rows, only the devices of the "
                            "run RUN (its id, printed at its start) whose last attempt did not "
                            "end updated or unchanged; RUN must have written this image")
    again.add_argument("--resume", metavar="RUN",
                       help="run the devices the run RUN never finished: interrupted, "
                            "skipped or never started; RUN must have written this image")
    g.add_argument("--events", metavar="PATH",
                   help="write every event of the run as one JSON object per line to PATH "
                        "('-': standard output, the result table then goes to standard "
                        "error); a reader that falls behind loses events, never slows a "
                        "device (see the README)")
    g.add_argument("--junit", metavar="PATH",
                   help="write a JUnit XML report to PATH: one test case per device, "
                        "refused, failed and interrupted devices as failures, skipped ones "
                        "as skipped")


def history_path(a: argparse.Namespace) -> Optional[str]:
    """Where the run records its attempts: --history, else the default;
    None with --no-history."""
    from ..history import default_path

    return None if a.no_history else (a.history or os.fspath(default_path()))


def rerun_devices(a: argparse.Namespace) -> Optional[list[Any]]:
    """The devices of --retry-failed / --resume (None without either):
    usage errors for a run that is not in the history or wrote another image."""
    from ..fleet._device import Image
    from ..fleet._runs import RESUME, RETRY_FAILED, RunError, rerun
    from ..history import History, HistoryError, is_url

    run = a.retry_failed or a.resume
    if run is None:
        return None
    option = "--retry-failed" if a.retry_failed else "--resume"
    if getattr(a, "targets", None) or a.inventory is not None:
        raise UsageError(f"{option} takes the devices of its run: give it without "
                         f"--address, --resource and --inventory")
    where = history_path(a)
    if where is None:
        raise UsageError(f"{option} reads the run from the history: not with --no-history")
    if not is_url(where) and not os.path.exists(where):
        raise UsageError(f"{option}: no history at {where}")
    try:
        image = Image.load(a.image)
    except OSError as e:
        raise UsageError(f"cannot read {a.image}: {e.strerror or e}") from None
    try:
        with History(where) as history:
            devices = rerun(history, run, RETRY_FAILED if a.retry_failed else RESUME,
                            image.sha256, image.file_sha256)
    except (RunError, ValueError) as e:
        raise UsageError(f"{option}: {e}") from None
    except HistoryError as e:
        raise UsageError(f"{option}: {e}") from None
    return devices


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them not there (yet)
        return os.path.realpath(a) == os.path.realpath(b)


def check_outputs(a: argparse.Namespace) -> None:
    """Usage errors, before anything is opened or touched, for an --events or
    --junit path that names a file the run reads or keeps (the image, the
    inventory, the history, the other report), and for a --junit path that
    could not be written at the end (a folder, or in a folder this process
    may not write to)."""
    from ..history import is_url

    history = history_path(a)
    inputs = [("the image", a.image), ("the inventory", a.inventory),
              ("the history", None if history is None or is_url(history) else history)]
    outputs = [(o, p) for o, p in (("--events", a.events), ("--junit", a.junit))
               if p is not None and p != "-"]
    for i, (option, path) in enumerate(outputs):
        for what, other in inputs + [(f"the {o} file", p) for o, p in outputs[:i]]:
            if other is not None and _same_file(path, os.fspath(other)):
                raise UsageError(f"{option}: {path} is {what}: writing it would destroy it; "
                                 f"give another path")
    if a.junit is not None:
        target = os.path.realpath(a.junit)
        if os.path.isdir(target):
            raise UsageError(f"--junit: {a.junit} is a folder: give the path of a file in it")
        if os.path.lexists(target):
            writable = os.access(target, os.W_OK)
            if os.path.isfile(target):  # replaced through a file beside it
                writable = os.access(os.path.dirname(target), os.W_OK | os.X_OK)
        else:
            folder = os.path.dirname(target)
            writable = os.path.isdir(folder) and os.access(folder, os.W_OK | os.X_OK)
        if not writable:
            why = ("permission denied" if os.path.isdir(os.path.dirname(target))
                   else "no such folder")
            raise UsageError(f"--junit: cannot write {a.junit}: {why}")


class LineRun:
    """The line's part of one update run: its id (printed at the start), its
    station, and the events and JUnit report when asked for."""

    def __init__(self, ctx: Context, devices: list[Any], image: Any) -> None:
        from ..fleet._runs import new_run_id

        a = ctx.args
        if a.events == "-" and a.json:
            raise UsageError("--events - and --json both want standard output: give "
                             "--events a PATH")
        if a.dry_run and (a.events or a.junit):
            raise UsageError("--events and --junit report a run: not with --dry-run")
        check_outputs(a)
        self.ctx, self.devices, self.image = ctx, devices, image
        self.run_id = new_run_id()
        self.started = datetime.now(timezone.utc)
        self.t0 = time.monotonic()
        self.events: Any = None
        if a.events:
            from ..events import EventWriter
            try:
                self.events = EventWriter.open(a.events, self.run_id)
            except OSError as e:
                why = ("a named pipe with no reader yet: start the reader first"
                       if e.errno == errno.ENXIO else e.strerror or str(e))
                raise UsageError(f"--events: cannot write {a.events}: {why}") from None
            if a.events == "-":
                ctx.stdout = sys.stderr  # the table makes way for the events

    def start(self, mode: str) -> None:
        from ..fleet._device import Image

        if not self.ctx.args.quiet:  # -q: the id is in --json, --events and the history
            self.ctx.console.line(f"{PROG}: run {self.run_id}")
        if self.events is not None:
            try:
                sha256 = Image.load(self.image).sha256
            except OSError:
                sha256 = None
            self.events.run_start(self.devices, image=os.fspath(self.image),
                                  image_sha256=sha256, station=self.station, mode=mode)

    @property
    def station(self) -> str:
        from ..history import default_station

        return self.ctx.args.station or default_station()

    def progress(self, display: Callable[[Any], object]) -> Callable[[Any], object]:
        """The run's on_progress: the display, and the events when asked for."""
        if self.events is None:
            return display

        def both(p: Any) -> None:
            display(p)
            self.events(p)
        return both

    def finish(self, report: Any, status: int) -> int:
        """The run's end written out; the status, 1 where a report asked for
        could not be written (and it said so)."""
        from ..junit import write_junit

        a, seconds = self.ctx.args, time.monotonic() - self.t0
        if self.events is not None:
            self.events.run_end(report, seconds)
            self.events.close()
            error = self.events.error
            if error is not None and self.events.reader_gone:
                self.ctx.console.warning("--events: the reader has gone; the events after "
                                         "that were dropped")
            elif error is not None:  # the file is cut short: as a report not written
                self.ctx.console.error(f"--events: events could not be written: "
                                       f"{error.strerror or error}")
                status = status or 1
            elif self.events.dropped:
                self.ctx.console.warning(f"--events: {self.events.dropped} event(s) dropped: "
                                         f"the reader fell behind")
        if a.junit:
            try:
                write_junit(a.junit, report, seconds=seconds, image=os.fspath(self.image),
                            station=self.station, started=self.started)
            except OSError as e:
                self.ctx.console.error(f"--junit: cannot write {a.junit}: {e.strerror or e}")
                return status or 1
        return status

    def cancelled(self) -> None:
        if self.events is not None:
            self.events.close()
