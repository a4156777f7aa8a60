"""Whether a device answers commands sent back to back, in order.

A window of commands in flight assumes that the device reads its input as
a stream and answers each command in turn. ``probe_window`` asks it on
harmless queries, on a connection of its own: two ``FPGA_GET_ID`` in one
write, then two ``GET_SN`` in one write. Both pairs must come back whole, in
order and within the time-out; then the device takes a window of
``WINDOW`` commands, otherwise 1 (one command at a time, always safe).
"""

from __future__ import annotations

import errno
import os
import select
import socket
import threading
import time
from typing import Optional

__all__ = ["AUTO", "MAX_WINDOW", "WINDOW", "check_window", "probe_window"]

#: The window a device that answers in order is given.
WINDOW = 32
#: The most commands one device may have in flight.
MAX_WINDOW = 256
#: The window that asks each device first (probe_window).
AUTO = "auto"


def check_window(value: object) -> int | str:
    """A run's window: a whole number 1..MAX_WINDOW (given as an int or as
    its digits) or "auto"; ValueError naming the value otherwise."""
    number = value
    if isinstance(value, str):
        text = value.strip()
        if text.lower() == AUTO:
            return AUTO
        if text.isdigit() and len(text) <= 9:
            number = int(text)
    if isinstance(number, int) and not isinstance(number, bool) and 1 <= number <= MAX_WINDOW:
        return number
    raise ValueError(f"window must be a whole number 1..{MAX_WINDOW} or 'auto', not {value!r}")

_MAX_LINE = 4096  # a query's answer is short: anything longer is not one


#: The longest single wait of the probe: a cancel is seen within it.
_SLICE = 0.05


class _Lines:
    """Reply lines from a socket, each within a deadline; a set `cancel`
    ends the wait within _SLICE seconds."""

    def __init__(self, sock: socket.socket, cancel: Optional[threading.Event] = None) -> None:
        self.sock, self.buf, self.cancel = sock, b"", cancel

    def line(self, deadline: float) -> Optional[bytes]:
        """The next line without its CR LF; None when it does not come whole in
        time (or the run was cancelled)."""
        while b"\r\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or len(self.buf) > _MAX_LINE or self.cancelled:
                return None
            self.sock.settimeout(min(left, _SLICE))
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return None
            if not chunk:
                return None
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line

    @property
    def cancelled(self) -> bool:
        return self.cancel is not None and self.cancel.is_set()


def _pair(sock: socket.socket, lines: _Lines, word: bytes, timeout: float) -> Optional[bytes]:
    """Sends `word` twice in one write: its answer when both come back the same
    and not empty, each within `timeout` of the write; else None."""
    try:
        sock.sendall(word + b"\r\n" + word + b"\r\n")
    except OSError:
        return None
    deadline = time.monotonic() + timeout
    first = lines.line(deadline)
    second = lines.line(deadline) if first else None
    return first if first and second == first else None


def probe_window(address: tuple[str, int], timeout: float = 2.0, *,
                 cancel: Optional[threading.Event] = None) -> int:
    """``WINDOW`` when the device at ``(host, port)`` answers commands sent
    together whole and in order within ``timeout`` seconds, else 1. Never
    raises for the device's sake: a device that cannot be reached, closes the
    connection or stays silent gets 1. Opens a connection of its own and
    closes it. A set `cancel` ends the probe within a twentieth of a second
    (1: the caller looks at its cancel itself)."""
    if not timeout > 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    try:
        sock = _connect(address, timeout, cancel)
    except OSError:
        return 1
    with sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        lines = _Lines(sock, cancel)
        ident = _pair(sock, lines, b"FPGA_GET_ID", timeout)
        serial = _pair(sock, lines, b"GET_SN", timeout) if ident else None
        # Two different queries answered alike would be no proof of order.
        if ident is None or serial is None or serial == ident or lines.buf:
            return 1
    return WINDOW


def _connect(address: tuple[str, int], timeout: float,
             cancel: Optional[threading.Event]) -> socket.socket:
    """A connection to `address` within `timeout`, each address of the host
    in turn; OSError when none answers in time or `cancel` was set meanwhile
    (the connect itself is waited for in slices, never restarted)."""
    if cancel is None:
        return socket.create_connection(address, timeout=timeout)
    deadline, last = time.monotonic() + timeout, None
    for family, kind, proto, _, where in socket.getaddrinfo(*address, type=socket.SOCK_STREAM):
        sock = socket.socket(family, kind, proto)
        try:
            sock.setblocking(False)
            code = sock.connect_ex(where)
            while code in (errno.EINPROGRESS, errno.EWOULDBLOCK, errno.EALREADY):
                left = deadline - time.monotonic()
                if cancel.is_set() or left <= 0:
                    raise InterruptedError("probe cancelled") if cancel.is_set() \
                        else TimeoutError("no connection in time")
                if select.select([], [sock], [], min(left, _SLICE))[1]:
                    code = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if code:
                raise OSError(code, os.strerror(code))
            sock.settimeout(timeout)
            return sock
        except (InterruptedError, TimeoutError):
            sock.close()
            raise
        except OSError as e:
            sock.close()
            last = e
    raise last or OSError(f"no address for {address[0]!r}")
