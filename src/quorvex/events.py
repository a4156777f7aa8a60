"""The events of a fleet run as JSON lines, for other systems to read.

One JSON object per line, each with "schema" (1), "event", "run_id", "time"
(UTC ISO 8601) and "device" (the device's label; null for the run's own
events). The events, in order: "run-start"; per device "stage" (each stage
change, with the bytes done and the rate), "progress" (at most once a second
while bytes move), "attempt-end" (with the window of commands in flight the
attempt used, null where none was decided) and "device-end"; "run-end" with
every device's result; and "dropped" when events had to be left out. The package
ships the JSON Schema: quorvex/schemas/events-1.json (schema_path()).

Writing never slows a device: events go through a bounded queue to a thread
of their own that writes them. When the reader falls behind (a full pipe)
and the queue is full, further events are dropped and counted, and a
"dropped" event with the count is written as soon as there is room. Only
the run's end waits for the writer, and at most END_WAIT seconds in all.
"""

from __future__ import annotations

import json
import os
import queue
import stat
import sys
import threading
import time
from collections.abc import Sequence
from datetime import datetime, timezone
from importlib import resources
from typing import Any, Optional

__all__ = ["SCHEMA", "CAPACITY", "END_WAIT", "EventWriter", "schema_path"]

SCHEMA = 1
#: Events held for a slow reader before further ones are dropped.
CAPACITY = 4096
#: Seconds the run's end waits for room in the queue, and then for the
#: writer to pass the events on.
END_WAIT = 5.0
#: Seconds between two "progress" events of one device.
PROGRESS_EVERY = 1.0

_STOP = object()


def schema_path() -> Any:
    """The JSON Schema of one event line (a Traversable; read_text() it)."""
    return resources.files("quorvex").joinpath("schemas", "events-1.json")


def _now() -> str:
    t = datetime.now(timezone.utc)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z"


class _DeviceState:
    __slots__ = ("stage", "attempt", "since", "start_bytes", "last_progress", "ran")

    def __init__(self) -> None:
        self.stage: Optional[str] = None
        self.attempt = 0
        self.since = self.last_progress = time.monotonic()
        self.start_bytes = 0
        self.ran = False


class EventWriter:
    """Writes a run's events to the file descriptor `fd` (owned: closed by
    close()). EventWriter.open("-") writes to standard output, open(PATH)
    to a new file. Callable as a fleet run's on_progress; run_start() and
    run_end() frame the run. `dropped` counts the events left out."""

    def __init__(self, fd: int, run_id: str, *, capacity: int = CAPACITY) -> None:
        self.fd, self.run_id = fd, run_id
        self.dropped = 0
        self._unreported = 0
        self._lock = threading.Lock()  # the counts
        self._state = threading.Lock()  # the devices' states
        self._queue: queue.Queue[Any] = queue.Queue(maxsize=capacity)
        self._devices: dict[str, _DeviceState] = {}
        self.error: Optional[OSError] = None
        self._deadline: Optional[float] = None  # set when the run's end is queued
        self._thread = threading.Thread(target=self._write_all, name="quorvex-events",
                                        daemon=True)
        self._thread.start()

    @classmethod
    def open(cls, target: str, run_id: str, **kwargs: Any) -> EventWriter:
        """To standard output ("-") or to the file `target`, created or
        emptied (OSError when it cannot be)."""
        if target == "-":
            sys.stdout.flush()
            fd = os.dup(sys.stdout.fileno())  # our own: the thread never holds sys.stdout
        else:
            # Never waited on: a named pipe with no reader yet is refused (ENXIO),
            # not waited for; its writes then block the writer thread alone.
            fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | os.O_NONBLOCK,
                         0o644)
            try:
                if stat.S_ISREG(os.fstat(fd).st_mode):
                    os.ftruncate(fd, 0)
                os.set_blocking(fd, True)
            except BaseException:
                os.close(fd)
                raise
        return cls(fd, run_id, **kwargs)

    # -- what the run says ---------------------------------------------------

    def _line(self, event: str, device: Optional[str], **fields: Any) -> dict[str, Any]:
        """One event line: the fields every event has, then its own."""
        return {"schema": SCHEMA, "event": event, "run_id": self.run_id, "time": _now(),
                "device": device, **fields}

    def _drop(self) -> None:
        with self._lock:
            self.dropped += 1
            self._unreported += 1

    def emit(self, event: str, device: Optional[str] = None, **fields: Any) -> None:
        """Queues one event; drops (and counts) it when the queue is full."""
        try:
            self._queue.put_nowait(self._line(event, device, **fields))
        except queue.Full:
            self._drop()

    def run_start(self, devices: Sequence[Any], **fields: Any) -> None:
        self.emit("run-start", devices=[d.label for d in devices], **fields)

    def __call__(self, p: Any) -> None:
        """A fleet Progress event: a stage change, a count, a device's end."""
        label = p.device.label
        with self._state:
            st = self._devices.setdefault(label, _DeviceState())
            now = time.monotonic()
            window = getattr(p, "window", None)
            if p.stage == "done":
                if st.ran:
                    self.emit("attempt-end", label, attempt=st.attempt, outcome=p.outcome,
                              retry=False, window=window)
                self.emit("device-end", label, outcome=p.outcome, attempts=st.attempt)
                return
            st.ran, st.attempt = True, p.attempt
            if p.stage != st.stage:
                if p.stage == "retry-wait":
                    self.emit("attempt-end", label, attempt=p.attempt, outcome="failed",
                              retry=True, window=window)
                st.stage, st.since, st.start_bytes, st.last_progress = \
                    p.stage, now, p.done, now
                self.emit("stage", label, stage=p.stage, attempt=p.attempt, bytes=p.done,
                          total=p.total, rate=None)
            elif now - st.last_progress >= PROGRESS_EVERY:
                st.last_progress = now
                moved, took = p.done - st.start_bytes, now - st.since
                self.emit("progress", label, stage=p.stage, attempt=p.attempt, bytes=p.done,
                          total=p.total, rate=round(moved / took, 1) if took > 0 else None)

    def run_end(self, report: Any, seconds: float) -> None:
        """The run's end: every device's result, the counts and the exit
        status. Waits up to END_WAIT for room, then for the writer."""
        line = self._line("run-end", None, exit_status=report.exit_status,
                          counts=report.counts(), seconds=round(seconds, 3),
                          devices=[{"device": r.device.label, "outcome": r.outcome,
                                    "attempts": r.attempts, "seconds": round(r.seconds, 3),
                                    "message": r.message or None,
                                    "window": getattr(r, "window", None)}
                                   for r in report.results])
        self._deadline = time.monotonic() + END_WAIT
        try:
            self._queue.put(line, timeout=END_WAIT)
        except queue.Full:
            self._drop()

    @property
    def reader_gone(self) -> bool:
        """Whether writing stopped because the reader closed its end (EPIPE),
        not because of a write error (a full disk, an I/O error)."""
        return isinstance(self.error, BrokenPipeError)

    def close(self) -> None:
        """Ends the writer and closes the descriptor once it is done with it.
        Waits for it until END_WAIT after run_end() began (or END_WAIT from
        now); a reader stuck past that keeps the thread, which dies with the
        process, and the descriptor."""
        deadline = self._deadline or time.monotonic() + END_WAIT
        try:
            self._queue.put(_STOP, timeout=max(0.0, deadline - time.monotonic()))
        except queue.Full:
            return  # the reader is stuck
        self._thread.join(max(0.0, deadline - time.monotonic()))

    # -- the writer thread ---------------------------------------------------

    def _write_all(self) -> None:
        try:
            while True:
                line = self._queue.get()
                with self._lock:
                    count, self._unreported = self._unreported, 0
                if count:
                    self._write(self._line("dropped", None, count=count))
                if line is _STOP:
                    break
                self._write(line)
        except OSError as e:  # the reader gone (EPIPE) or a write error: drop the rest
            self.error = e
            while True:
                try:
                    if self._queue.get(timeout=END_WAIT) is _STOP:
                        break
                except queue.Empty:
                    break
        finally:
            os.close(self.fd)

    def _write(self, line: dict[str, Any]) -> None:
        data = (json.dumps(line, separators=(",", ":")) + "\n").encode()
        while data:
            data = data[os.write(self.fd, data):]
