"""VisaLink: the device link over any VISA resource (LAN sockets, VXI-11,
HiSLIP, USB-TMC, serial lines)::

    tool = FpgaTool(connection=VisaLink("TCPIP::192.0.2.10::5025::SOCKET"))

``VisaLink`` keeps the contract of the TCP link ``_TCPConn``, with the same
protocol rules and the same words for its failures (both from
``quorvex.QVRCommService``): commands go out unaltered, a reply is one line up
to CR LF or a definite-length block read by its length, a time-out raises
``TimeoutError`` and a lost peer ``ConnectionError``, and a link that failed
stays broken. PyVISA's own errors are turned into these.

On pyvisa-py's TCP sockets the link calls PyVISA on the caller's thread, each
read only once its bytes are there: it waits on the socket itself in slices
of a tenth of a second, so Ctrl-C gets through within one and no wait
outlasts its time-out. Every other call (opening, a large write, any other
backend) runs on a helper thread, waited for in the same slices. A call given
up breaks the link: the resource is closed under the backend's feet.

PyVISA is the optional extra ``quorvex[visa]`` (pyvisa and pyvisa-py).
"""

from __future__ import annotations

import contextlib
import operator
import os
import queue
import select
import socket
import threading
import time
from concurrent.futures import Future, wait
from typing import Any, Callable, NoReturn, Optional

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
from ._text import one_line
from .QVRCommService import (_MAX_REPLY, _protocol_block, _protocol_failure, _protocol_is_slow,
                             _protocol_word)

__all__ = ["VisaLink"]

_SLICE = 0.1          # seconds: how often a waiting caller looks for Ctrl-C
_GRACE = 1.0          # seconds past a time-out before the backend is given up on
_CHUNK = 64 * 1024    # bytes asked of one read that ends at a line feed
_CRLF = b"\r\n"
_DIRECT_WRITE = 4096  # bytes a socket that takes any takes at once: larger writes go to the helper
_PEEK = socket.MSG_PEEK | socket.MSG_DONTWAIT

_IDLE, _OPEN, _CLOSED = "idle", "open", "closed"


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


class _Worker:
    """A daemon thread that runs the link's VISA calls one at a time. It ends
    on its own once stopped (after the call it is in, if any, returns)."""

    def __init__(self, name: str) -> None:
        self._q: queue.SimpleQueue[Any] = queue.SimpleQueue()
        threading.Thread(target=self._run, name=name, daemon=True).start()

    def _run(self) -> None:
        while (item := self._q.get()) is not None:
            fn, future = item
            try:
                future.set_result(fn())
            except BaseException as e:  # handed to the caller
                future.set_exception(e)

    def submit(self, fn: Callable[[], Any]) -> Future:
        future: Future = Future()
        self._q.put((fn, future))
        return future

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
        self._sock: Any = None  # the backend's socket (a socket.socket), where it has one
        self._pending: Any = None  # pyvisa-py's session over it: read on the caller's thread
        self._drained = False  # every command sent so far was answered
        self._worker: Optional[_Worker] = None
        self._tail = b""          # the rest of a reply that recvRawBytes cut
        self._last_cmd, self._last_slow = b"", False  # the last command, and whether it is slow
        self._visa_timeout_ms: Optional[int] = None
        self._deadline = 0.0  # when the operation under way runs out of time
        self._peek = bytearray(_CHUNK)
        self._held = _Held(threading.Lock())  # one operation at a time
        self._state_lock = threading.Lock()  # _state, _res, _sock, _pending, _worker
        self.last_error: Optional[str] = None

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

    def initConnection(self) -> bool:
        """Opens the resource; True when it answers, False (the reason in
        last_error) when it cannot be opened within `timeout` seconds. A link
        that was connected or broken is closed first, dropping anything
        unread."""
        with self._held:
            after_failure = _IDLE if self._state == _IDLE else _CLOSED
            self._release()
            self._tail = b""
            self._last_cmd, self._last_slow = b"", False
            self._visa_timeout_ms = None
            worker = _Worker(f"VisaLink {self._name}")
            with self._state_lock:
                self._worker = worker
                self._state = _IDLE
            try:
                res, sock, pending = self._wait(worker, self._open, self._timeout, "opening")
            except Exception as e:  # why it could not be opened
                self._release()
                with self._state_lock:
                    self._state = after_failure if self._state == _IDLE else _CLOSED
                self.last_error = f"{self._name}: {e}"
                return False
            except BaseException:
                self._release()
                raise
            with self._state_lock:
                if self._worker is not worker:  # closed meanwhile
                    self._close_resource(res, sock)
                    self.last_error = f"{self._name}: closed while connecting"
                    return False
                self._res, self._sock, self._pending, self._drained = res, sock, pending, True
                self._state = _OPEN
            self.last_error = None
            return True

    def sendCmd(self, data: Any, rsp_type: Any) -> Any:
        """Sends data (a whole command, CR LF included) unaltered and returns
        RetType(data=reply) with the reply's CR LF removed, decoded as UTF-8
        (undecodable bytes replaced). rsp_type does not change the reading."""
        cmd = _as_bytes(data)
        with self._held:
            self._send(cmd)
            if self._tail:  # the rest of a cut reply is the next reply in the stream
                reply, self._tail = self._tail, b""
            else:
                reply, self._drained = self._call(self._read_reply, "reply"), True
            line = reply[:-2] if reply.endswith(_CRLF) else reply[:max(0, len(reply) - 2)]
        return QVRUtils.RetType(data=line.decode("utf-8", "replace"))

    def sendRawBytes(self, data: Any) -> None:
        """Sends all of data; the reply is left for recvRawBytes."""
        cmd = _as_bytes(data)
        with self._held:
            self._send(cmd)

    def _send(self, cmd: bytes) -> None:
        """Sends all of cmd (the link held); the reply's time starts now."""
        self._require_open()
        self._last_cmd, self._last_slow = cmd, _protocol_is_slow(cmd)
        self._deadline = time.monotonic() + self._seconds()
        if self._pending is None or len(cmd) > _DIRECT_WRITE:  # may wait inside the backend
            self._call(lambda: self._write(cmd), "send", False)
            return
        try:
            # A device that answered all it was sent left the socket room for it.
            if not (self._drained or select.select((), (self._sock,), (), 0)[1]):
                self._slice([], [self._sock], "send", None)
            self._drained = False
            self._res.write_raw(cmd)
        except BaseException as e:
            self._fail(e, "send")

    def recvRawBytes(self, size: int) -> bytes:
        """Reads one whole reply and returns its first `size` bytes, header and
        CR LF included: a definite-length block by its length, anything else up
        to its CR LF. The rest of a longer reply stays buffered for the next
        recvRawBytes, which returns up to `size` bytes of it without waiting."""
        limit = operator.index(size)
        if limit < 0:
            raise ValueError(f"size must not be negative, not {limit}")
        with self._held:
            self._require_open()
            if self._tail:
                out: bytes = self._tail[:limit]
                self._tail = self._tail[limit:]
                return out
            self._deadline = time.monotonic() + self._seconds()
            reply, self._drained = self._call(self._read_reply, "reply"), True
            self._tail = reply[limit:]
            return reply[:limit]

    def closeConnection(self) -> None:
        """Closes the link; harmless when closed already. A call that another
        thread is waiting in ends with ConnectionError."""
        with self._state_lock:
            self._state = _CLOSED
        self._release()

    def _failure(self, kind: str, **context: Any) -> str:
        return _protocol_failure(kind, self._name, _protocol_word(self._last_cmd), **context)

    def _closed(self) -> ConnectionError:
        return _LinkLost(self._failure("closed"))

    def _require_open(self) -> None:
        if self._state == _OPEN:
            return
        raise _LinkLost(self._failure("not_connected" if self._state == _IDLE else "closed"))

    def _seconds(self) -> float:
        return self._slow_timeout if self._last_slow else self._timeout

    def _release(self) -> None:
        """Drops the resource and the helper thread: closes the resource even
        while the helper is inside a call on it, which then fails there."""
        with self._state_lock:
            res, sock, worker = self._res, self._sock, self._worker
            self._res = self._sock = self._pending = self._worker = None
            if self._state == _OPEN:
                self._state = _CLOSED
        self._close_resource(res, sock)
        if worker is not None:
            worker.stop()

    @staticmethod
    def _close_resource(res: Any, sock: Optional[socket.socket]) -> None:
        if sock is not None:
            with contextlib.suppress(OSError):  # wakes a thread blocked on the socket
                sock.shutdown(socket.SHUT_RDWR)
        if res is not None:
            with contextlib.suppress(Exception):  # one that is gone already closes quietly
                res.close()

    def _call(self, fn: Callable[[], Any], what: str, direct: bool = True) -> Any:
        """fn on the caller's thread where the backend allows (waiting only in
        the link's own slices), else on the helper thread; a failure breaks the link."""
        if self._state != _OPEN:
            raise self._closed()
        if not (direct and self._pending is not None):
            return self._run(fn, what)
        try:
            return fn()
        except BaseException as e:
            self._fail(e, what)

    def _fail(self, e: BaseException, what: str) -> NoReturn:
        """Breaks the link for `e` (raised on this thread) and raises it as the link does."""
        error = self._translate(e, what) if isinstance(e, Exception) else e
        self._release()
        if error is not e:
            raise error from None
        raise e

    def _run(self, fn: Callable[[], Any], what: str) -> Any:
        """fn on the helper thread, waited for until the deadline (plus a grace
        for the backend's own time-out to fire first)."""
        worker = self._worker
        if worker is None or self._state != _OPEN:
            raise self._closed()
        try:
            return self._wait(worker, fn, max(0.0, self._deadline - time.monotonic()), what)
        except BaseException:
            self._release()
            raise

    def _wait(self, worker: _Worker, fn: Callable[[], Any], left: float, what: str) -> Any:
        call = worker.submit(fn)
        give_up = time.monotonic() + left + _GRACE
        while not wait([call], _SLICE).done:
            if self._worker is not worker or (what != "opening" and self._state != _OPEN):
                raise self._closed()
            if what == "reply" and self._peer_gone():
                # The peer is gone and the reply is not complete: give the
                # helper one more slice, then call it what it is.
                if not wait([call], _SLICE).done:
                    raise _LinkLost(self._failure("peer_closed_waiting"))
                break
            if time.monotonic() >= give_up:
                if what == "opening":
                    raise _Refusal(f"timed out after {float(left)!r} s")
                raise self._timeout_error(what, None)
        error = call.exception()
        if error is not None:
            raise self._translate(error, what) from None
        return call.result()

    def _peer_gone(self) -> bool:  # the backend's socket (where known) has reached its end
        sock = self._sock
        if sock is None:
            return False
        try:
            return sock.recv(1, _PEEK) == b""
        except (BlockingIOError, InterruptedError):
            return False
        except OSError:
            return True

    def _timeout_error(self, what: str, got: Optional[int]) -> TimeoutError:
        seconds = self._seconds()
        if what == "send":
            return _LinkTimeout(self._failure("send_timeout", seconds=seconds))
        if got:
            return _LinkTimeout(self._failure("incomplete_reply", seconds=seconds, count=got))
        return _LinkTimeout(self._failure("no_reply", seconds=seconds))

    def _translate(self, e: BaseException, what: str) -> BaseException:
        """A failure of a VISA call as the error the link raises."""
        if isinstance(e, (_LinkTimeout, _LinkLost)):  # already worded by a link here
            return e
        if what == "opening":
            return e if isinstance(e, _Refusal) else _Refusal(one_line(e))
        if isinstance(e, _verrors.VisaIOError) and e.error_code == _vc.StatusCode.error_timeout:
            if what == "reply" and self._peer_gone():
                return _LinkLost(self._failure("peer_closed_waiting"))
            return self._timeout_error(what, getattr(e, "_qv_received", None))
        if self._state != _OPEN:
            return self._closed()
        if isinstance(e, (BrokenPipeError, ConnectionResetError, ConnectionAbortedError)) \
                or (isinstance(e, _verrors.VisaIOError) and e.error_code in _LOST):
            return _LinkLost(self._failure(
                "peer_closed_sending" if what == "send" else "peer_closed_waiting"))
        if isinstance(e, _ReplyError):
            return _LinkLost(str(e))
        # Anything else (an OSError, a VISA error) leaves the stream in an unknown state.
        return _LinkLost(self._failure("send_failed" if what == "send" else "recv_failed",
                                             why=one_line(e)))

    def _open(self) -> tuple[Any, Optional[socket.socket], Any]:
        rm = self._rm
        if rm is None:
            try:
                rm = _default_manager()
            except Exception as e:
                raise _Refusal(f"no VISA library to open it with: {one_line(e)}") from None
        ms = max(1, round(self._timeout * 1000))
        try:
            res = rm.open_resource(self._name, open_timeout=ms)
        except Exception as e:
            raise _Refusal(one_line(e)) from None
        try:
            if not isinstance(res, pyvisa.resources.MessageBasedResource):
                raise _Refusal(f"not a message-based resource ({type(res).__name__}): "
                               f"it cannot carry commands and replies")
            res.read_termination = "\n"  # a read never takes bytes of the next reply
            res.write_termination = ""
            res.timeout = ms
            sock, session = _backend_socket(res)
            if sock is not None:
                try:
                    sock.getpeername()
                except OSError:
                    err = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                    raise _Refusal(os.strerror(err) if err else "not connected") from None
                with contextlib.suppress(OSError):
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            return res, sock, session
        except BaseException:
            with contextlib.suppress(Exception):
                res.close()
            raise

    def _live(self) -> Any:
        res = self._res
        if res is None:
            raise self._closed()
        return res

    def _set_timeout(self, res: Any) -> None:
        """The backend's time-out for a call on the helper thread: what is left
        of this operation's, set again only once it is a second off."""
        ms = max(1, int((self._deadline - time.monotonic()) * 1000) + 1)
        if self._visa_timeout_ms is None or not ms <= self._visa_timeout_ms <= ms + 1000:
            res.timeout = ms
            self._visa_timeout_ms = ms

    def _write(self, cmd: bytes) -> None:  # on the helper thread
        res = self._live()
        self._set_timeout(res)
        res.write_raw(cmd)

    def _slice(self, r: list, w: list, what: str, got: Optional[int]) -> None:  # waits in slices
        while True:
            if self._state != _OPEN:
                raise self._closed()
            left = self._deadline - time.monotonic()
            if left <= 0:
                raise self._timeout_error(what, got)
            if any(select.select(r, w, [], min(_SLICE, left))):
                return

    def _ready(self, have: int) -> int:
        """Bytes a read takes without waiting (pyvisa-py's and the socket's), once any came."""
        pending = len(self._pending._pending_buffer)
        if pending:
            return pending
        sock = self._sock
        while True:
            self._slice([sock], [], "reply", have)
            try:
                n = sock.recv_into(self._peek, _CHUNK, _PEEK)
            except (BlockingIOError, InterruptedError):
                continue
            if self._state != _OPEN:
                raise self._closed()
            if n == 0:
                raise _LinkLost(self._failure("peer_closed_waiting"))
            return n

    def _read_upto_lf(self, have: int) -> bytes:
        res = self._live()
        try:
            if self._pending is not None:
                return bytes(res.read_bytes(min(self._ready(have), _CHUNK),
                                            break_on_termchar=True))
            self._set_timeout(res)
            return bytes(res.read_bytes(_CHUNK, break_on_termchar=True))
        except _verrors.VisaIOError as e:
            e._qv_received = have  # type: ignore[attr-defined]
            raise

    def _read_exact(self, n: int, have: int) -> bytes:
        res = self._live()
        try:
            if self._pending is None:
                self._set_timeout(res)
                return bytes(res.read_bytes(n))
            out = bytearray()
            while len(out) < n:
                out += res.read_bytes(min(self._ready(have + len(out)), n - len(out)))
            return bytes(out)
        except _verrors.VisaIOError as e:
            e._qv_received = have  # type: ignore[attr-defined]
            raise

    def _read_reply(self) -> bytes:
        """One whole reply, CR LF included."""
        data = bytearray()
        while not data.endswith(b"\n"):  # the first line, as a read up to its LF gives it
            self._bound(data)
            data += self._read_upto_lf(len(data))
        block = _protocol_block(data) if data[:1] == b"#" else None
        if block is not None:
            header, length = block
            if length > _MAX_REPLY:
                raise _ReplyError(self._failure("block_too_long", count=_MAX_REPLY))
            total = header + length + 2
            if len(data) < total:
                data += self._read_exact(total - len(data), len(data))
            if bytes(data[total - 2:total]) != _CRLF:
                raise _ReplyError(self._failure("bad_block_end", count=length))
            if len(data) > total:  # not from a VISA read; kept all the same
                self._tail = bytes(data[total:]) + self._tail
            return bytes(data[:total])
        while not data.endswith(_CRLF):
            self._bound(data)
            data += self._read_upto_lf(len(data))
        if len(data) - 2 > _MAX_REPLY:
            raise _ReplyError(self._failure("reply_too_long", count=_MAX_REPLY))
        return bytes(data)

    def _bound(self, data: bytearray) -> None:
        if len(data) > _MAX_REPLY + 1:
            raise _ReplyError(self._failure("reply_too_long", count=_MAX_REPLY))


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


# The link's own failures (told apart from a backend's by type, not text);
# why a resource could not be opened; a reply that breaks the protocol.
class _LinkTimeout(TimeoutError): pass  # noqa: E701
class _LinkLost(ConnectionError): pass  # noqa: E701
class _Refusal(Exception): pass  # noqa: E701
class _ReplyError(Exception): pass  # noqa: E701


# VISA status codes that mean the other end is gone.
_LOST = {getattr(_vc.StatusCode, n) for n in (
    "error_connection_lost", "error_io", "error_closing_failed", "error_invalid_object",
    "error_resource_not_found", "error_no_listeners") if hasattr(_vc.StatusCode, n)}


def _as_bytes(data: Any) -> bytes:
    if type(data) is bytes:
        return data
    if isinstance(data, str):
        raise TypeError("data must be a bytes-like object, not str")
    try:
        return bytes(memoryview(data))
    except TypeError:
        raise TypeError(f"data must be a bytes-like object, not {type(data).__name__}") from None


def _backend_socket(res: Any) -> tuple[Optional[socket.socket], Any]:
    """The socket under a pyvisa-py TCPIP SOCKET session (through it the link
    tells a refused connection from an open one, and a peer gone from a silent
    one) and the session when its read buffer can be seen; else None."""
    try:
        session = res.visalib.sessions[res.session]
    except Exception:
        return None, None
    sock = getattr(session, "interface", None)
    if not isinstance(sock, socket.socket):
        return None, None
    return sock, session if isinstance(getattr(session, "_pending_buffer", None), bytearray) \
        else None
