"""VisaLink: the device link over any VISA resource.

A rig that reaches its instruments through VISA (LAN sockets, VXI-11,
HiSLIP, USB-TMC, serial lines) reaches a device the same way::

    from quorvex.visa import VisaLink
    from quorvex.QVRFpga import FpgaTool

    tool = FpgaTool(connection=VisaLink("TCPIP::192.0.2.10::5025::SOCKET"))

``VisaLink`` keeps the contract of the TCP link ``_TCPConn``: commands go out
unaltered, a reply is one line up to CR LF or a definite-length block read by
its length, a time-out raises ``TimeoutError`` and a lost peer
``ConnectionError`` (each naming the resource string and what was awaited),
and a link that failed stays broken. PyVISA's own errors are turned into
these, so code written against ``_TCPConn`` behaves the same.

Every call into the VISA library runs on a helper thread of the link; the
caller waits for it in slices of a tenth of a second, so Ctrl-C gets through
within one whatever the backend, and no wait outlasts its time-out even where
the backend's own write has none (pyvisa-py's socket writes). A call that is
given up breaks the link: the resource is closed under the backend's feet.

PyVISA is the optional extra ``quorvex[visa]`` (pyvisa and pyvisa-py).
"""

from __future__ import annotations

import math
import operator
import os
import queue
import socket
import threading
import time
from typing import Any, Callable, Optional

try:
    import pyvisa
    from pyvisa import constants as _vc
    from pyvisa import errors as _verrors
    from pyvisa import rname as _rname
except ImportError as _e:  # pragma: no cover - exercised without the extra
    raise ImportError(
        "quorvex.visa needs PyVISA: install the extra with pip install 'quorvex[visa]' "
        f"(pyvisa and pyvisa-py) ({_e})", name=_e.name) from _e

from . import QVRUtils
from .QVRCommService import _MAX_REPLY

__all__ = ["VisaLink"]

_SLICE = 0.1          # seconds: how often a waiting caller looks for Ctrl-C
_GRACE = 1.0          # seconds past a time-out before the backend is given up on
_CHUNK = 64 * 1024    # bytes asked of one read that ends at a line feed
_SLOW_PREFIX = b"FPGA_ERASE"
_BLOCK_MARK = 0x23    # '#'
_CRLF = b"\r\n"

_IDLE, _OPEN, _CLOSED = "idle", "open", "closed"


def _seconds_text(s: float) -> str:
    return repr(float(s))


def _command_word(data: bytes) -> str:
    """The command's keyword as messages show it (printable ASCII, 40 at most)."""
    end = len(data)
    for stop in (b" ", b"\r", b"\n", b"#"):
        i = data.find(stop, 0, end)
        if i >= 0:
            end = i
    word = data[:min(end, 40)]
    return "".join(chr(c) if 0x20 < c < 0x7F else "?" for c in word)


def _check_seconds(value: Any, what: str) -> float:
    if isinstance(value, (str, bytes, bool)):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    try:
        s = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}") from None
    if not 0 < s <= 1e9:
        raise ValueError(f"{what} must be a positive number of seconds, not {value!r}")
    return s


class _Failed(Exception):
    """A link failure found on the helper thread: the error to raise."""

    def __init__(self, error: BaseException) -> None:
        super().__init__(str(error))
        self.error = error


class _Call:
    """One call handed to the helper thread, and its outcome."""

    __slots__ = ("fn", "done", "result", "error")

    def __init__(self, fn: Callable[[], Any]) -> None:
        self.fn = fn
        self.done = threading.Event()
        self.result: Any = None
        self.error: Optional[BaseException] = None


class _Worker:
    """A daemon thread that runs the link's VISA calls one at a time. It ends
    on its own once stopped (after the call it is in, if any, returns)."""

    def __init__(self, name: str) -> None:
        self._q: queue.SimpleQueue[Optional[_Call]] = queue.SimpleQueue()
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            call = self._q.get()
            if call is None:
                return
            try:
                call.result = call.fn()
            except BaseException as e:  # handed to the caller
                call.error = e
            call.done.set()

    def submit(self, fn: Callable[[], Any]) -> _Call:
        call = _Call(fn)
        self._q.put(call)
        return call

    def stop(self) -> None:
        self._q.put(None)


class VisaLink:
    """A device link over the VISA resource `resource_name`.

    ``VisaLink("TCPIP::192.0.2.10::5025::SOCKET")``: not connected until
    ``initConnection()``. A reply is waited for `timeout` seconds, or
    `slow_timeout` for FPGA_ERASE. `resource_manager` is a
    ``pyvisa.ResourceManager`` to open the resource with; by default one of
    the link's own, on PyVISA's default backend (pyvisa-py where no other
    VISA library is installed). Any failure raises TimeoutError or
    ConnectionError naming the resource and leaves the link closed: every
    later call but initConnection and closeConnection raises
    ConnectionError("link to RESOURCE is closed").
    """

    def __init__(self, resource_name: str, *, timeout: float = 10.0,
                 slow_timeout: float = 120.0, resource_manager: Any = None) -> None:
        if not isinstance(resource_name, str):
            raise TypeError(f"resource_name must be str, not {type(resource_name).__name__}")
        try:
            _rname.parse_resource_name(resource_name)
        except _rname.InvalidResourceName as e:
            raise ValueError(f"bad VISA resource {resource_name!r}: {e}") from None
        self._name = resource_name
        self._timeout = _check_seconds(timeout, "timeout")
        self._slow_timeout = _check_seconds(slow_timeout, "slow_timeout")
        self._rm = resource_manager
        self._state = _IDLE
        self._res: Any = None
        self._sock: Optional[socket.socket] = None  # the backend's socket, where it has one
        self._worker: Optional[_Worker] = None
        self._tail = b""          # the rest of a reply that recvRawBytes cut
        self._last_cmd = ""
        self._last_slow = False
        self._visa_timeout_ms: Optional[float] = None
        self._deadline = 0.0  # when the operation under way runs out of time
        self._lock = threading.Lock()  # one operation at a time
        self._state_lock = threading.Lock()  # _state, _res, _sock, _worker
        self.last_error: Optional[str] = None

    # -- properties ---------------------------------------------------------

    @property
    def resource_name(self) -> str:
        """The resource string as given."""
        return self._name

    @property
    def timeout(self) -> float:
        """Seconds to wait for a connection or a reply."""
        return self._timeout

    @property
    def slow_timeout(self) -> float:
        """Seconds to wait for the reply to FPGA_ERASE."""
        return self._slow_timeout

    @property
    def connected(self) -> bool:
        """True while the link is connected and not broken."""
        return self._state == _OPEN

    def __repr__(self) -> str:
        return f"<VisaLink {self._name} {'connected' if self.connected else 'not connected'}>"

    # -- the link -----------------------------------------------------------

    def initConnection(self) -> bool:
        """Opens the resource; True when it answers, False (the reason in
        last_error) when it cannot be opened within `timeout` seconds. A link
        that was connected or broken is closed first, dropping anything
        unread."""
        with self._hold():
            after_failure = _IDLE if self._state == _IDLE else _CLOSED
            self._release()
            self._tail = b""
            self._last_cmd, self._last_slow = "", False
            self._visa_timeout_ms = None
            worker = _Worker(f"VisaLink {self._name}")
            with self._state_lock:
                self._worker = worker
                self._state = _IDLE
            try:
                res, sock = self._wait(worker, self._open, self._timeout, "opening")
            except _Failed as f:
                self._release()
                with self._state_lock:
                    self._state = after_failure if self._state == _IDLE else _CLOSED
                self.last_error = f"{self._name}: {f.error}"
                return False
            except BaseException:
                self._release()
                raise
            with self._state_lock:
                if self._worker is not worker:  # closed meanwhile
                    self._close_resource(res, sock)
                    self.last_error = f"{self._name}: closed while connecting"
                    return False
                self._res, self._sock = res, sock
                self._state = _OPEN
            self.last_error = None
            return True

    def sendCmd(self, data: Any, rsp_type: Any) -> Any:
        """Sends data (a whole command, CR LF included) unaltered and returns
        RetType(data=reply) with the reply's CR LF removed, decoded as UTF-8
        (undecodable bytes replaced). rsp_type does not change the reading."""
        cmd = _as_bytes(data)
        with self._hold():
            seconds, deadline = self._send(cmd)
            if self._tail:  # the rest of a cut reply is the next reply in the stream
                reply, self._tail = self._tail, b""
            else:
                reply = self._run(self._read_reply, seconds, deadline, "reply")
            line = reply[:-2] if reply.endswith(_CRLF) else reply[:max(0, len(reply) - 2)]
        return QVRUtils.RetType(data=line.decode("utf-8", "replace"))

    def sendRawBytes(self, data: Any) -> None:
        """Sends all of data; the reply is left for recvRawBytes."""
        cmd = _as_bytes(data)
        with self._hold():
            self._send(cmd)

    def _send(self, cmd: bytes) -> tuple[float, float]:
        """Sends all of cmd (the link held); the seconds its reply may take
        and the deadline, both counted from now."""
        self._require_open()
        self._note(cmd)
        seconds = self._seconds()
        deadline = self._deadline = time.monotonic() + seconds
        self._run(lambda: self._write(cmd), seconds, deadline, "send")
        return seconds, deadline

    def recvRawBytes(self, size: int) -> bytes:
        """Reads one whole reply and returns its first `size` bytes, header and
        CR LF included: a definite-length block by its length, anything else up
        to its CR LF. The rest of a longer reply stays buffered for the next
        recvRawBytes, which returns up to `size` bytes of it without waiting."""
        limit = operator.index(size)
        if limit < 0:
            raise ValueError(f"size must not be negative, not {limit}")
        with self._hold():
            self._require_open()
            if self._tail:
                out: bytes = self._tail[:limit]
                self._tail = self._tail[limit:]
                return out
            seconds = self._seconds()
            deadline = self._deadline = time.monotonic() + seconds
            reply: bytes = self._run(self._read_reply, seconds, deadline, "reply")
            self._tail = reply[limit:]
            return reply[:limit]

    def closeConnection(self) -> None:
        """Closes the link; harmless when closed already. A call that another
        thread is waiting in ends with ConnectionError."""
        with self._state_lock:
            self._state = _CLOSED
        self._release()

    # -- internals ----------------------------------------------------------

    def _hold(self) -> "_Held":
        return _Held(self._lock)

    def _require_open(self) -> None:
        if self._state == _OPEN:
            return
        if self._state == _IDLE:
            raise ConnectionError(f"link to {self._name} is closed: it is not connected yet")
        raise ConnectionError(f"link to {self._name} is closed")

    def _note(self, cmd: bytes) -> None:
        self._last_cmd = _command_word(cmd)
        self._last_slow = cmd.startswith(_SLOW_PREFIX)

    def _seconds(self) -> float:
        return self._slow_timeout if self._last_slow else self._timeout

    def _awaited(self) -> str:
        return f"the reply to {self._last_cmd}" if self._last_cmd else "a reply"

    def _release(self) -> None:
        """Drops the resource and the helper thread: closes the resource even
        while the helper is inside a call on it, which then fails there."""
        with self._state_lock:
            res, sock, worker = self._res, self._sock, self._worker
            self._res = self._sock = self._worker = None
            if self._state == _OPEN:
                self._state = _CLOSED
        self._close_resource(res, sock)
        if worker is not None:
            worker.stop()

    @staticmethod
    def _close_resource(res: Any, sock: Optional[socket.socket]) -> None:
        if sock is not None:
            try:  # wakes a helper blocked on the socket
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if res is not None:
            try:
                res.close()
            except Exception:  # a resource that is gone already closes quietly
                pass

    def _break(self, error: BaseException) -> BaseException:
        """Breaks the link and returns `error` to raise."""
        self._release()
        return error

    def _run(self, fn: Callable[[], Any], seconds: float, deadline: float, what: str) -> Any:
        """fn on the helper thread, waited for until `deadline` (plus a grace
        for the backend's own time-out to fire first). Any failure breaks the
        link."""
        worker = self._worker
        if worker is None or self._state != _OPEN:
            raise ConnectionError(f"link to {self._name} is closed")
        try:
            return self._wait(worker, fn, max(0.0, deadline - time.monotonic()), what,
                              seconds=seconds)
        except _Failed as f:
            raise self._break(f.error) from None
        except BaseException:
            self._release()
            raise

    def _wait(self, worker: _Worker, fn: Callable[[], Any], left: float, what: str,
              seconds: Optional[float] = None) -> Any:
        call = worker.submit(fn)
        give_up = time.monotonic() + left + _GRACE
        while not call.done.wait(_SLICE):
            if self._worker is not worker or (what != "opening" and self._state != _OPEN):
                raise _Failed(ConnectionError(f"link to {self._name} is closed"))
            if what == "reply" and self._peer_gone():
                # The peer is gone and the reply is not complete: give the
                # helper one more slice, then call it what it is.
                if not call.done.wait(_SLICE):
                    raise _Failed(ConnectionError(
                        f"{self._name} closed the connection while waiting for "
                        f"{self._awaited()}"))
                break
            if time.monotonic() >= give_up:
                if what == "opening":
                    raise _Failed(_Refusal(f"timed out after {_seconds_text(left)} s"))
                raise _Failed(self._timeout_error(what, seconds or left, None))
        if call.error is not None:
            raise _Failed(self._translate(call.error, what, seconds or left))
        return call.result

    def _peer_gone(self) -> bool:
        """True when the backend's socket (where known) has reached its end."""
        sock = self._sock
        if sock is None:
            return False
        try:
            return sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
        except (BlockingIOError, InterruptedError):
            return False
        except OSError:
            return True

    def _timeout_error(self, what: str, seconds: float, got: Optional[int]) -> TimeoutError:
        within = f"within {_seconds_text(seconds)} s"
        if what == "send":
            return TimeoutError(f"could not send {self._last_cmd} to {self._name} {within} "
                                f"(the device is not reading)")
        to = f" to {self._last_cmd}" if self._last_cmd else ""
        if got:
            return TimeoutError(f"incomplete reply from {self._name}{to} {within} "
                                f"({got} bytes received)")
        return TimeoutError(f"no reply from {self._name}{to} {within}")

    def _translate(self, e: BaseException, what: str, seconds: float) -> BaseException:
        """A failure of a VISA call as the error the link raises."""
        if isinstance(e, _Failed):
            return e.error
        if isinstance(e, (TimeoutError, ConnectionError)) and self._name in str(e):
            return e
        if what == "opening":
            return e if isinstance(e, _Refusal) else _Refusal(_describe(e))
        if isinstance(e, _verrors.VisaIOError) and e.error_code == _vc.StatusCode.error_timeout:
            if what == "reply" and self._peer_gone():
                return ConnectionError(f"{self._name} closed the connection while waiting "
                                       f"for {self._awaited()}")
            return self._timeout_error(what, seconds, getattr(e, "_qv_received", None))
        if self._state != _OPEN:
            return ConnectionError(f"link to {self._name} is closed")
        if isinstance(e, (BrokenPipeError, ConnectionResetError, ConnectionAbortedError)) \
                or (isinstance(e, _verrors.VisaIOError) and e.error_code in _LOST):
            if what == "send":
                return ConnectionError(f"{self._name} closed the connection while "
                                       f"{self._last_cmd} was being sent")
            return ConnectionError(f"{self._name} closed the connection while waiting for "
                                   f"{self._awaited()}")
        if isinstance(e, _ReplyError):
            return ConnectionError(str(e))
        # Anything else the backend raised (an OSError of its socket, a VISA
        # error, a fault of its own) leaves the stream in an unknown state.
        if what == "send":
            return ConnectionError(f"sending {self._last_cmd} to {self._name} failed: "
                                   f"{_describe(e)}")
        return ConnectionError(f"receiving {self._awaited()} from {self._name} failed: "
                               f"{_describe(e)}")

    # -- on the helper thread ------------------------------------------------

    def _open(self) -> tuple[Any, Optional[socket.socket]]:
        rm = self._rm
        if rm is None:
            try:
                rm = _default_manager()
            except Exception as e:
                raise _Refusal(f"no VISA library to open it with: {_describe(e)}") from None
        ms = max(1, round(self._timeout * 1000))
        try:
            res = rm.open_resource(self._name, open_timeout=ms)
        except Exception as e:
            raise _Refusal(_describe(e)) from None
        try:
            if not isinstance(res, pyvisa.resources.MessageBasedResource):
                raise _Refusal(f"not a message-based resource ({type(res).__name__}): "
                               f"it cannot carry commands and replies")
            # Replies end in CR LF: a read ends at a line feed, so it never
            # takes bytes of the next reply. Commands go out as given.
            res.read_termination = "\n"
            res.write_termination = ""
            res.timeout = ms
            sock = _backend_socket(res)
            if sock is not None:
                try:
                    sock.getpeername()
                except OSError:
                    err = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                    raise _Refusal(os.strerror(err) if err else "not connected") from None
                try:
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                except OSError:
                    pass
            return res, sock
        except BaseException:
            try:
                res.close()
            except Exception:
                pass
            raise

    def _set_timeout(self, res: Any) -> None:
        """The backend's time-out: what is left of this operation's."""
        ms = max(1, math.ceil((self._deadline - time.monotonic()) * 1000))
        if self._visa_timeout_ms != ms:
            res.timeout = ms
            self._visa_timeout_ms = ms

    def _write(self, cmd: bytes) -> None:
        res = self._res
        if res is None:
            raise ConnectionError(f"link to {self._name} is closed")
        self._set_timeout(res)
        res.write_raw(cmd)

    def _read_upto_lf(self, have: int) -> bytes:
        res = self._res
        if res is None:
            raise ConnectionError(f"link to {self._name} is closed")
        try:
            self._set_timeout(res)
            return bytes(res.read_bytes(_CHUNK, break_on_termchar=True))
        except _verrors.VisaIOError as e:
            e._qv_received = have  # type: ignore[attr-defined]
            raise

    def _read_exact(self, n: int, have: int) -> bytes:
        res = self._res
        if res is None:
            raise ConnectionError(f"link to {self._name} is closed")
        try:
            self._set_timeout(res)
            return bytes(res.read_bytes(n))
        except _verrors.VisaIOError as e:
            e._qv_received = have  # type: ignore[attr-defined]
            raise

    def _read_reply(self) -> bytes:
        """One whole reply, CR LF included."""
        data = bytearray(self._read_upto_lf(0))
        if data[:1] == b"#":
            total = self._block_size(data)
            if total is not None:
                if len(data) < total:
                    data += self._read_exact(total - len(data), len(data))
                if bytes(data[total - 2:total]) != _CRLF:
                    raise _ReplyError(
                        f"malformed reply from {self._name} to {self._last_cmd}: its block of "
                        f"{total - len(_block_header(data)) - 2} bytes is not followed by CR LF")
                if len(data) > total:  # not from a VISA read; kept all the same
                    self._tail = bytes(data[total:]) + self._tail
                return bytes(data[:total])
        while not data.endswith(_CRLF):
            if len(data) > _MAX_REPLY + 1:
                raise _ReplyError(f"reply from {self._name} to {self._last_cmd} is longer than "
                                  f"{_MAX_REPLY} bytes")
            data += self._read_upto_lf(len(data))
        if len(data) - 2 > _MAX_REPLY:
            raise _ReplyError(f"reply from {self._name} to {self._last_cmd} is longer than "
                              f"{_MAX_REPLY} bytes")
        return bytes(data)

    def _block_size(self, data: bytearray) -> Optional[int]:
        """The whole size of the block that `data` starts, or None when its
        header is not a block header (the reply is then a line)."""
        header = _block_header(data)
        if not header:
            return None
        n = int(header[2:])
        if n > _MAX_REPLY:
            raise _ReplyError(f"reply from {self._name} to {self._last_cmd} announces a block "
                              f"of more than the limit of {_MAX_REPLY} bytes")
        return len(header) + n + 2


_manager: Any = None
_manager_lock = threading.Lock()


def _default_manager() -> Any:
    """The resource manager of the links given none: one for the process,
    on PyVISA's default backend."""
    global _manager
    with _manager_lock:
        if _manager is None:
            _manager = pyvisa.ResourceManager()
        return _manager


class _Held:
    """The link's operation lock, waited for in slices (Ctrl-C gets through)."""

    def __init__(self, lock: threading.Lock) -> None:
        self._l = lock

    def __enter__(self) -> None:
        while not self._l.acquire(timeout=_SLICE):
            pass

    def __exit__(self, *exc: object) -> None:
        self._l.release()


class _Refusal(Exception):
    """Why a resource could not be opened."""


class _ReplyError(Exception):
    """A reply that breaks the protocol."""


# VISA status codes that mean the other end is gone.
_LOST = {
    getattr(_vc.StatusCode, n) for n in (
        "error_connection_lost", "error_io", "error_closing_failed", "error_invalid_object",
        "error_resource_not_found", "error_no_listeners")
    if hasattr(_vc.StatusCode, n)
}


def _block_header(data: bytes | bytearray) -> bytes:
    """'#', d (1..9) and d length digits at the start of data, or b''."""
    if len(data) < 2 or data[0] != _BLOCK_MARK or not 0x31 <= data[1] <= 0x39:
        return b""
    end = 2 + data[1] - 0x30
    digits = bytes(data[2:end])
    if len(digits) != end - 2 or not digits.isdigit():
        return b""
    return bytes(data[:end])


def _as_bytes(data: Any) -> bytes:
    if isinstance(data, str):
        raise TypeError("data must be a bytes-like object, not str")
    try:
        return bytes(memoryview(data))
    except TypeError:
        raise TypeError(f"data must be a bytes-like object, not {type(data).__name__}") from None


def _describe(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__


def _backend_socket(res: Any) -> Optional[socket.socket]:
    """The socket under a pyvisa-py TCPIP SOCKET session, or None. Through
    it the link tells a refused connection from an open one (pyvisa-py
    opens either) and a peer that went away from one that is silent."""
    try:
        session = res.visalib.sessions[res.session]
    except Exception:
        return None
    sock = getattr(session, "interface", None)
    return sock if isinstance(sock, socket.socket) else None
