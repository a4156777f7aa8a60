"""One attempt at one device: connect, initialise, pin its identity, then
read its flash back, update it, both, or (a dry run) check the image as the
update would and stop before the erase. Every device command goes through
the FpgaTool object (its own link per attempt)."""

from __future__ import annotations

import hashlib
import logging
import os
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional

from .._files import open_regular
from ._link import close_quietly, host_shortage, open_device_link
from ._model import Device, Progress
from ._outcomes import (FAILED, INTERRUPTED, OS_ERROR, READY, REFUSED, UNCHANGED, UPDATED,
                        host_error_message, verdict)

if TYPE_CHECKING:
    from ..QVRCommService import _TCPConn

__all__ = ["VERIFY_FAILED", "WINDOW_FALLBACK", "BLOCK_REFUSED", "Image", "Attempt", "Stopped",
           "THROTTLE"]

#: The reason code of a read-back that did not match what was written.
VERIFY_FAILED = "verify_failed"
#: The reason code of an attempt ended by a block refused inside a window.
WINDOW_FALLBACK = "window_fallback"
#: The reason code of a block the device refused every time it was sent.
BLOCK_REFUSED = "block_refused"

logger = logging.getLogger("quorvex.fleet")

#: One page read back (Attempt.bytes shadows the type's name in its class).
_Page = bytes

#: Seconds between two progress reports of one device (stage changes apart).
THROTTLE = 0.05


class Stopped(BaseException):
    """Raised inside an attempt once the run is cancelled. A BaseException,
    so that initFpga, which turns errors into an ERROR result, lets it pass."""


@dataclass
class Image:
    """The image of a run: its path, the bytes the device receives (a .tbin's
    image range, or a raw file whole), their SHA-256 and the key ids of the
    .tbin's signatures; `file_sha256` is the whole file's (header and all)."""

    path: str
    payload: bytes
    sha256: str
    signers: list[str] = field(default_factory=list)
    file_sha256: Optional[str] = None

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Image:
        """Reads the image; OSError when it cannot be read."""
        from .. import tbin

        path = os.fspath(path)
        with open_regular(path) as f:
            data = f.read()
        payload, signers = data, []
        try:
            info = tbin.describe(data)
        except (ValueError, OSError):
            info = {}
        if info.get("ok"):
            start, length = info.get("image_start_addr") or 0, info.get("image_length") or 0
            payload = data[start:start + length]
            try:
                signers = [s["key_id"] for s in tbin.signature_report(data)["signatures"]]
            except (ValueError, OSError, KeyError):
                signers = []
        return cls(path, payload, hashlib.sha256(payload).hexdigest(), signers,
                   hashlib.sha256(data).hexdigest())


def init_reason(ret: Any, device_type: int) -> str:
    """Why initFpga answered as it did: "ok"; "device_type" (not on the
    whitelist) or "version" (below the minimum), its two warnings, told apart
    by the whitelist it checked (its records carry no data); "init_failed"
    for an error."""
    from .. import QVRFpga
    from ..QVRPublic import RetCode

    if ret.RetCode is RetCode.OK:
        return "ok"
    if ret.RetCode is RetCode.WARNING:
        return "version" if device_type in QVRFpga._DEVICE_WHITELIST else "device_type"
    return "init_failed"


class Reporter:
    """A device's progress events: stage changes always, counts at most
    every THROTTLE seconds. A callback that raises is logged, never allowed
    to break off the device's update halfway."""

    def __init__(self, device: Device, on_progress: Optional[Callable[[Progress], object]]):
        self.device, self.on_progress = device, on_progress
        self.stage: Optional[str] = None
        self.attempt = 1
        self.window: Optional[int] = None  # the attempt's, once decided
        self._last = 0.0

    def __call__(self, stage: str, done: int = 0, total: int = 0) -> None:
        if self.on_progress is None:
            return
        now = time.monotonic()
        if stage == self.stage and now - self._last < THROTTLE:
            return
        self.stage, self._last = stage, now
        self._send(Progress(self.device, stage, done, total, self.attempt,
                            window=self.window))

    def done(self, outcome: str) -> None:
        """The device's last event: it ended with `outcome`."""
        if self.on_progress is not None:
            self.stage = "done"
            self._send(Progress(self.device, "done", attempt=self.attempt, outcome=outcome,
                                window=self.window))

    def _send(self, event: Progress) -> None:
        callback = self.on_progress
        if callback is None:
            return
        try:
            callback(event)
        except Exception:
            logger.exception("%s: the progress callback failed", self.device.label)


@dataclass
class Attempt:
    """One attempt at a device. run() sets `outcome` (UPDATED, UNCHANGED,
    READY, REFUSED, FAILED or INTERRUPTED), `message`, `retry` (a link error,
    an error of the host or a read-back mismatch: worth a new attempt),
    `reached` (a connection was made) and `host_error` (an error of this
    host, not of the device or its link, ended it).

    `mode`: "update"; "skip-current" (read the flash back first, update only
    when it differs); "verify" (read back only); "dry-run" (every check an
    update makes before its erase, then stop). `state` follows the device
    through the attempt, and `left` says in words where it was left."""

    device: Device
    image: Image
    report: Reporter
    cancel: threading.Event
    timeout: float = 10.0
    force_version: bool = False
    mode: str = "update"
    #: The program and read commands in flight (1..256), or "auto": asked of
    #: the device after its identity (see fleet._window).
    window: int | str = 1
    #: drivers(window): the run's native driver (QVRFpga._FleetDriver) for
    #: that window, which then runs the transfer of the update; None (or
    #: None from it): every command goes through the tool.
    drivers: Optional[Callable[[int], Any]] = None
    #: The run's trust policy (raw Ed25519 public keys); None: the module's.
    trusted: Any = None
    #: The run's downgrade rule (fleet._downgrade.DowngradeRule); None: none.
    downgrade: Any = None

    outcome: str = FAILED
    message: str = ""
    retry: bool = False
    reached: bool = False
    host_error: bool = False
    reason: Optional[str] = None
    errno: Optional[int] = None
    serial: Optional[str] = None
    fpga_id: Optional[str] = None
    old_version: Optional[str] = None
    new_version: Optional[str] = None
    bytes: int = 0
    blocks_resent: int = 0
    #: The window this attempt used; None before it was decided ("auto").
    window_used: Optional[int] = None
    #: "untouched", "initialised", "reading" (the flash read back, not
    #: changed), "erasing", "writing", "verifying", "marking" (done, refresh,
    #: version), "updated", "verify-failed".
    state: str = "untouched"
    #: The flash was erased or written to: it no longer holds what it held.
    touched: bool = False
    written: int = 0
    read: int = 0
    total: int = 0
    #: {"offset", "window"} of a block refused inside a window (WINDOW_FALLBACK).
    fallback: Optional[dict[str, int]] = None
    link: Optional[_TCPConn] = None
    _link_error: Optional[OSError] = None

    def run(self) -> None:
        try:
            self._run()
        except (Stopped, KeyboardInterrupt) as e:
            if isinstance(e, KeyboardInterrupt):
                self.cancel.set()
            self._interrupted()
        except OSError as e:
            if self.cancel.is_set():
                self._interrupted()
            elif e is self._link_error or isinstance(e, (ConnectionError, TimeoutError)):
                self._end(FAILED, str(e) or type(e).__name__, retry=True)
            elif e.errno is not None:
                self._host_failure(e.errno, str(e.filename or ""))
            else:
                self._end(FAILED, f"{type(e).__name__}: {e}")
        except Exception as e:
            self._end(FAILED, f"{type(e).__name__}: {e}")
        finally:
            self.close()

    def close(self) -> None:
        """Closes the link; from another thread, wakes a command waiting on it."""
        close_quietly(self.link)

    def _end(self, outcome: str, message: str, retry: bool = False,
             reason: Optional[str] = None) -> None:
        self.outcome, self.message, self.retry = outcome, message, retry
        if reason is not None:
            self.reason = reason

    def _interrupted(self) -> None:
        self._end(INTERRUPTED, f"interrupted: device {self.left}")

    def _host_failure(self, number: Optional[int], what: str = "") -> None:
        self.host_error, self.errno = True, number
        self._end(FAILED, host_error_message(number, what), retry=True, reason=OS_ERROR)

    def _refusal(self, ret: Any, reason: Optional[str] = None) -> None:
        """A refusal of initFpga or processFpgaUpdate, by its verdict (else `reason`)."""
        v = verdict(ret)
        if v.host_error:
            return self._host_failure(v.errno, ret.RetMsg)
        if v.reason == VERIFY_FAILED:
            self.state = "verify-failed"
            return self._end(FAILED, "the image read back from the flash differs from "
                                     "the image written", retry=True, reason=VERIFY_FAILED)
        self._end(REFUSED, ret.RetMsg, reason=v.reason or reason)

    @property
    def got_through(self) -> bool:
        """A connection was made, or an error of this host ended the attempt:
        either way, not a device that could not be reached."""
        return self.reached or self.host_error

    @property
    def left(self) -> str:
        """Where the attempt left the device, in words."""
        s, total = self.state, self.total or len(self.image.payload)
        if s == "untouched":
            return "not touched"
        if s in ("initialised", "reading"):
            return "initialised (FPGA control in transfer mode), flash not touched"
        if s == "erasing":
            return "in the middle of an erase: its flash is partly or wholly erased"
        if s == "writing":
            if not self.written:
                return "erased, nothing written yet"
            return f"erased and partly written at byte {self.written} of {total}"
        if s == "verifying":
            return (f"written ({self.written or total} bytes), verifying: "
                    f"{min(self.read, total)} of {total} bytes read back, not marked done")
        if s == "marking":
            return "written and verified, being marked done and refreshed"
        if s == "verify-failed":
            return "written, read back different, marked done and refreshed"
        return "updated, marked done and refreshed"

    def _run(self) -> None:
        from ..QVRFpga import FpgaTool
        from ..QVRPublic import RetCode

        d = self.device
        self._check()
        self.report("connect")
        self.link = self._connect()
        self.reached = True
        self._check()
        tool = FpgaTool(connection=self.link)
        self._instrument(tool)

        self.report("init")
        ret = tool.initFpga(d.device_type, disable_fw_check=self.force_version)
        if self._link_error is not None:
            raise self._link_error
        if ret.RetCode is not RetCode.OK:
            why = init_reason(ret, d.device_type)
            if why == "init_failed" and not verdict(ret).host_error:
                # No answer it could use: the device could not be talked to,
                # which another attempt may mend; it refused nothing.
                return self._end(FAILED, ret.RetMsg, retry=True, reason=why)
            return self._refusal(ret, why)
        data = ret.RetData or {}
        self.fpga_id = data.get("fpga_id") or None
        self.old_version = data.get("fpga_version") or None

        self.report("identity")
        self.serial = str(tool._fpgaGetSerialNumber()).strip() or None
        problem = self._identity_problem()
        if problem:
            return self._end(REFUSED, problem, reason="identity")
        self.window_used = self.report.window = self._window()

        if self.mode in ("verify", "skip-current"):
            if self._holds_image(tool):
                return self._end(UNCHANGED, "holds the image")
            if self.mode == "verify":
                return self._end(FAILED, "the flash differs from the image" if self.image.payload
                                 else "the image is empty: there is nothing to compare")
        refusal, note = (None, "") if self.downgrade is None else \
            self.downgrade.judge(self.image.path, self.old_version)
        if refusal:
            return self._end(REFUSED, refusal, reason="downgrade")
        if self.mode == "dry-run":
            return self._dry_run(tool)

        from ..QVRFpga import _Terms, _WindowFallback

        # The run's terms travel with this update (the native driver, if any, the
        # last look before the erase); its verdict and counts come back in them.
        driver = None if self.drivers is None else self.drivers(self.window_used or 1)
        terms = _Terms(trusted=self.trusted, driver=driver, before_erase=self._before_erase)
        try:
            ret = tool._updateUnder(terms, self.image.path, d.device_type)
        except _WindowFallback as e:
            self.state, self.touched = "writing", True
            self.fallback = {"offset": e.offset, "window": e.window}
            return self._end(FAILED, f"window fallback: the device refused the block at "
                                     f"offset {e.offset} inside a window of {e.window}; "
                                     f"written again from the erase with a window of 1",
                             retry=True, reason=WINDOW_FALLBACK)
        except RuntimeError as e:
            if terms.reason != BLOCK_REFUSED:
                raise
            # The erase was done and the writing under way: a fresh attempt
            # erases and writes again from the start.
            self.state, self.touched = "writing", True
            return self._end(FAILED, str(e), retry=True, reason=BLOCK_REFUSED)
        finally:
            # A native transfer's counts, however it ended.
            if terms.counts is not None:
                self.bytes, resent = terms.counts
                self.blocks_resent += resent
                self._settle(self.bytes)
        if self._link_error is not None:
            raise self._link_error
        if ret.RetCode is RetCode.OK:
            self.new_version = (ret.RetData or {}).get("fw_version") or None
            self.bytes = len(self.image.payload)
            self.state = "updated"
            return self._end(UPDATED, note)
        return self._refusal(ret)

    def _dry_run(self, tool: Any) -> None:
        """The image checks the update would make on this device, then stop:
        nothing is erased."""
        from ..QVRFpga import _Terms

        path, terms = self.image.path, _Terms(trusted=self.trusted)  # the run's policy
        for check, refusal in ((tool._checkUpdateFile, "FPGA update file check failed."),
                               (tool._checkFileHeader, "FPGA image header check failed.")):
            if not terms.check(check, path):
                return self._end(REFUSED, refusal, reason="image")
        self._end(READY, "checked and initialised; stopped before the erase")

    def _connect(self) -> Any:
        """The device's link; a connection refused because this host is out
        of descriptors (or memory) is the host's error, not the device's."""
        try:
            return open_device_link(self.device, self.timeout)
        except ConnectionError:
            short = host_shortage()
            if short is not None:
                raise short from None
            raise

    def _identity_problem(self) -> str:
        d, found = self.device, []
        if d.serial is not None and self.serial != d.serial:
            found.append(f"serial number {self.serial!r} where {d.serial!r} was expected")
        if d.fpga_id is not None and (self.fpga_id or "").lower() != d.fpga_id.lower():
            found.append(f"FPGA id {self.fpga_id!r} where {d.fpga_id!r} was expected")
        if not found:
            return ""
        return "not the device expected: it reports " + " and ".join(found) + \
            "; nothing was erased"

    def _window(self) -> int:
        """The window of this attempt: the run's, or with "auto" the one the
        device earns by answering queries sent together (a TCP device; one
        reached through VISA, which lends no link to the driver, always 1)."""
        from ._window import AUTO, probe_window

        if self.device.resource is not None:
            return 1
        if self.window != AUTO:
            return int(self.window)
        self._check()
        return probe_window((self.device.address, self.device.port), self.timeout,
                            cancel=self.cancel)

    def _holds_image(self, tool: Any) -> bool:
        """Reads the flash back (FPGA_RST_PAGE_PTR CFG, then FPGA_READ pages)
        and compares it with the image: no erase, no write."""
        want = self.image.payload
        n = len(want)
        if not n:  # nothing to compare: an empty image is never "held"
            return False
        h = hashlib.sha256()
        self.state = "reading"
        self.report("verify", 0, n)
        tool._fpgaRstPagePtr("CFG")
        got = 0
        pages = self._read_pages(tool, n)
        for page in pages:
            take = page[:n - got]
            h.update(take)
            got += len(take)
            self.report("verify", got, n)
        if self.mode == "verify":
            self.bytes = got
        self.state = "initialised"
        return got == n and h.hexdigest() == self.image.sha256

    def _read_pages(self, tool: Any, n: int) -> Iterator[_Page]:
        """The pages of the flash from the read pointer on, until `n` bytes
        came or a page came empty. With a window, up to that many FPGA_READ
        are in flight at once and their replies are taken in order; never
        more are sent than the bytes left need, at a page each. A reply that
        is not a whole block ends the reading."""
        window = self.window_used or 1
        if window == 1 or self.link is None:
            got = 0
            while got < n:
                page = bytes(tool._fpgaRead())
                if not page:
                    return
                got += len(page)
                yield page
            return
        link, got, flight = self.link, 0, 0
        while got < n:
            self._check()
            more = min(window - flight, -(-(n - got) // PAGE) - flight)
            if more > 0:
                link.sendRawBytes(_READ * more)
                flight += more
            page = _page(link.recvRawBytes(_MAX_REPLY))
            flight -= 1
            if not page:
                break
            got += len(page)
            yield page
        # The replies still on their way are taken: the link stays in step
        # for the commands after (an update after --skip-current's read).
        for _ in range(flight):
            self._check()
            link.recvRawBytes(_MAX_REPLY)

    def _check(self) -> None:
        if self.cancel.is_set():
            raise Stopped()

    def _before_erase(self) -> None:
        """The last look before the erase; past it, the flash is being changed."""
        self._check()
        self.state, self.touched = "erasing", True
        self.total = self.total or len(self.image.payload)

    def _settle(self, accepted: int) -> None:
        """Where a native transfer left the device, from the bytes it had
        accepted and the last stage seen: its progress comes at most every
        50 ms, so a short or broken transfer may have told none of it."""
        if not self.touched:
            return
        total = self.total or len(self.image.payload)
        if self.state == "erasing" and accepted:
            self.state = "writing"
        if self.state == "writing":
            self.written = max(self.written, accepted)
            if total and self.written >= total:
                # Every byte written: the read-back comes next.
                self.state = "verifying"
        elif self.state == "verifying":
            self.written = max(self.written, accepted)

    def _progress(self, stage: str, done: int, total: int) -> None:
        """Where the transfer is, from the engine's progress (each block on
        the tool's path; every 50 ms from the native driver)."""
        if stage == "erase":
            self.state, self.touched = "erasing", True
        elif stage == "write":
            self.state, self.touched = "writing", True
            self.written, self.total = done, total or self.total
            self.bytes = done
        elif stage == "verify":
            if self.state != "verifying":
                self.written = max(self.written, total)
            self.state, self.read, self.total = "verifying", done, total or self.total
        elif stage == "version":
            self.state = "marking"

    def _instrument(self, tool: Any) -> None:
        """Instance attributes over the class's operations: the tool calls
        every device command through self, so these see each one."""
        cls = type(tool)
        attempt = self

        def _sendCmd(*args, **kwargs):
            attempt._check()
            if attempt.state == "untouched":
                attempt.state = "initialised"
            try:
                return cls._sendCmd(tool, *args, **kwargs)
            except OSError as e:
                attempt._link_error = e
                raise

        def _fpgaErase(erase_bits):
            # A cancel up to here (the callback's too) leaves the flash as it was.
            attempt._check()
            attempt.report("erase")
            attempt._check()
            attempt._progress("erase", 0, 0)
            accepted = cls._fpgaErase(tool, erase_bits)
            attempt._progress("write", 0, len(attempt.image.payload))
            return accepted

        def _fpgaProgram(data_block):
            accepted = cls._fpgaProgram(tool, data_block)
            if not accepted:
                attempt.blocks_resent += 1
            return accepted

        def _fpgaDone():
            attempt._progress("version", 0, 0)
            attempt.report("version")
            return cls._fpgaDone(tool)

        def progress(stage, done, total):
            # Where the device is first: a cancel raised here leaves it there.
            attempt._progress(stage, done, total)
            attempt._check()
            attempt.report(stage, done, total)

        # With a driver the transfer runs natively, with its own progress
        # stages ("erase", "write", "verify", "version") through the callback.
        tool._sendCmd = _sendCmd
        tool._fpgaErase = _fpgaErase
        tool._fpgaProgram = _fpgaProgram
        tool._fpgaDone = _fpgaDone
        # Always watched, also when nobody shows the progress: where a device
        # was left when the run is interrupted comes from here.
        tool.set_progress_callback(progress)


#: The bytes of one page read back.
PAGE = 16
#: The command that reads one page. Its words live in the native protocol
#: table, which exports no raw command bytes; this is the one copy on the
#: Python side, for the windowed read-back that sends several in one write.
_READ = b"FPGA_READ\r\n"
#: The longest reply taken for a page: larger is no page of ours.
_MAX_REPLY = 1024


def _page(reply: bytes) -> bytes:
    """The data of a definite-length block reply, by the protocol's own
    reading of its header; b"" for anything else."""
    from ..QVRCommService import _protocol_block

    block = _protocol_block(reply)
    if block is None:
        return b""
    header, length = block
    if len(reply) != header + length + 2 or reply[-2:] != b"\r\n":
        return b""
    return reply[header:header + length]
