"""The terminal side of quorvex-fpga, all of it: one owner for standard error
(log lines, messages), the log set-up, the redirection of the library's own
progress lines away from standard output. The progress of a fleet run is
_display's."""

from __future__ import annotations

import contextlib
import logging
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any, TextIO

from .._text import printable

PROG = "quorvex-fpga"

__all__ = ["PROG", "Collector", "Console", "LogSetup", "stdout_to"]


class Console:
    """Writes whole lines to standard error.

    Whatever else writes to the stream through `stream()` (the library's own
    carriage-return progress lines) is tracked, so that the next permanent
    line starts on a line of its own; a live display may take the lines
    over for a while (`divert`).

    A standard error that has gone (a pipe whose reader left, a terminal
    hung up) takes nothing and raises nothing: what is lost is messages,
    never the update they are about.
    """

    def __init__(self, err: TextIO) -> None:
        self._err = err
        self._lock = threading.RLock()
        self._at_line_start = True
        self._sink: Callable[[str], None] | None = None
        try:
            self.tty = err.isatty()
        except (AttributeError, ValueError):
            self.tty = False

    # Permanent lines -------------------------------------------------------

    def line(self, text: str) -> None:
        # Device answers and file contents reach messages: none may drive the terminal.
        text = "\n".join(map(printable, text.split("\n")))
        with self._lock:
            if self._sink is not None:
                try:
                    self._sink(text)
                except (OSError, ValueError):
                    pass
                return
            if not self._at_line_start:
                self._put("\n")
            self._put(text + "\n")
            self._at_line_start = True
            self._flush()

    def error(self, text: str, hint: str | None = None) -> None:
        self.line(f"{PROG}: error: {text}")
        if hint:
            self.line(f"{PROG}: hint: {hint}")

    def warning(self, text: str, hint: str | None = None) -> None:
        self.line(f"{PROG}: warning: {text}")
        if hint:
            self.line(f"{PROG}: hint: {hint}")

    def divert(self, sink: Callable[[str], None] | None) -> None:
        """Sends permanent lines to `sink` (a live display that prints them
        above itself) until divert(None)."""
        with self._lock:
            self._sink = sink

    def raw_stream(self) -> TextIO:
        """The stream itself, for a live display that owns it for a while."""
        return self._err

    def _put(self, text: str) -> None:
        try:
            self._err.write(text)
        except (OSError, ValueError):
            pass

    def _flush(self):
        try:
            self._err.flush()
        except (OSError, ValueError):
            pass

    # The library's progress lines -----------------------------------------

    def stream(self) -> _TrackedStream:
        """A text stream that writes through to standard error."""
        return _TrackedStream(self)

    def _raw_write(self, text: str) -> int:
        with self._lock:
            self._put(text)
            if text:
                self._at_line_start = text.endswith("\n")
        return len(text)


class _TrackedStream:
    """sys.stdout stand-in that sends the library's progress to stderr."""

    def __init__(self, console: Console) -> None:
        self._console = console

    def write(self, text: str) -> int:
        return self._console._raw_write(text)

    def flush(self) -> None:
        self._console._flush()

    def isatty(self) -> bool:
        return self._console.tty


class _NullStream:
    """sys.stdout stand-in that drops everything."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


@contextlib.contextmanager
def stdout_to(stream: Any) -> Iterator[None]:
    """sys.stdout is `stream` for the duration, or a sink that drops
    everything for None (process-wide: the library writes its progress lines
    to whatever sys.stdout is at that moment)."""
    saved = sys.stdout
    sys.stdout = stream if stream is not None else _NullStream()
    try:
        yield
    finally:
        sys.stdout = saved


class _Formatter(logging.Formatter):
    """`[FPGA] text`, `[FPGA] warning: text`; with the device in place of the
    logger when several devices are worked on at once (their threads are
    named after them)."""

    def __init__(self):
        super().__init__()
        self.per_device = False
        self.thread_names: dict[str, str] = {}  # a device thread's name -> the device

    def format(self, record):
        text = record.getMessage()
        if record.exc_info:
            text += "\n" + self.formatException(record.exc_info)
        level = "" if record.levelno < logging.WARNING else record.levelname.lower() + ": "
        where = (self.thread_names.get(record.threadName, record.threadName)
                 if self.per_device else record.name)
        return f"[{where}] {level}{text}"


class _ConsoleHandler(logging.Handler):
    def __init__(self, console):
        super().__init__()
        self.console = console

    def emit(self, record):
        try:
            self.console.line(self.format(record))
        except Exception:  # a broken stderr must not stop an update
            self.handleError(record)


class LogSetup:
    """The process-wide log on standard error, installed before the native
    modules are imported so that they leave it alone, and removed again."""

    def __init__(self, console: Console, verbosity: int) -> None:
        self.console = console
        self.handler = _ConsoleHandler(console)
        self.formatter = _Formatter()
        self.handler.setFormatter(self.formatter)
        # -q: warnings and errors only; default: info; -v: debug.
        self.handler.setLevel(logging.DEBUG if verbosity > 0 else
                              logging.WARNING if verbosity < 0 else logging.INFO)
        root = logging.getLogger()
        self._saved_level = root.level
        # The root passes everything to the handlers, so a check's debug
        # lines can be collected (see Collector); the handler filters.
        root.setLevel(logging.DEBUG)
        root.addHandler(self.handler)

    def per_device(self, on: bool, thread_names: dict[str, str] | None = None) -> None:
        """Log lines name the device whose thread logged them: the thread's
        name, or the device that `thread_names` maps it to (it may fill in as
        the threads start)."""
        self.formatter.per_device = on
        if thread_names is not None:
            self.formatter.thread_names = thread_names

    def close(self) -> None:
        root = logging.getLogger()
        root.removeHandler(self.handler)
        root.setLevel(self._saved_level)


class Collector(logging.Handler):
    """Collects the records of one logger for a while, instead of showing them."""

    def __init__(self, name: str) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []
        self._logger = logging.getLogger(name)

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)

    def __enter__(self) -> Collector:
        self._saved = (self._logger.propagate, self._logger.level)
        self._logger.propagate = False
        self._logger.setLevel(logging.DEBUG)
        self._logger.addHandler(self)
        return self

    def __exit__(self, *exc: object) -> None:
        self._logger.removeHandler(self)
        self._logger.propagate, level = self._saved
        self._logger.setLevel(level)

    def messages(self, min_level: int = logging.DEBUG) -> list[tuple[str, str]]:
        return [(r.levelname.lower(), r.getMessage()) for r in self.records
                if r.levelno >= min_level]
