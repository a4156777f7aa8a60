"""The dry run of quorvex-fpga update (`DeviceJob` checks one device over its
own TCP link and stops before the erase; `run_fleet` runs several at once),
and `run_cancellable`, which runs a quorvex.fleet update or verify so that
Ctrl-C stops it cleanly.

With several devices each job runs on a thread of its own; a shared stop
event, checked before every device command, ends them all on Ctrl-C and each
job knows where it left its device.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from .._netaddr import address_label
from ..fleet._device import Stopped, close_quietly, open_device_link, open_link
from ..fleet._model import Device
from ._common import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_LINK, EXIT_OK, EXIT_REFUSED

if TYPE_CHECKING:
    from ..QVRCommService import _TCPConn
    from ._console import Console
    from ._image import ImageReport

__all__ = ["DeviceJob", "run_cancellable", "run_fleet"]


# --- one device -----------------------------------------------------------------

class DeviceJob:
    """--dry-run on one device: connects, initialises it and checks its serial
    number and FPGA id, then stops before the erase.

    `state` says where the device is ("untouched", "initialising",
    "initialised"); `outcome` ("ready", "refused", "link-error", "failed",
    "interrupted"), `status`, `message` and `hint` what happened.
    """

    def __init__(self, host: str, port: int, *, image: ImageReport, device_type: int,
                 timeout: float, force_version: bool = False,
                 stop: threading.Event | None = None,
                 expect_serial: str | None = None, expect_fpga_id: str | None = None,
                 resource: str | None = None) -> None:
        self.host, self.port, self.resource = host, port, resource
        # A device reached through VISA is named by its resource string.
        self.label = resource if resource is not None else address_label(host, port)
        self.image, self.device_type, self.timeout = image, device_type, timeout
        self.force_version = force_version
        self.stop = stop or threading.Event()
        self.expect_serial, self.expect_fpga_id = expect_serial, expect_fpga_id

        self.state = "untouched"
        self.total = 0  # the bytes an update would write
        self.fpga_id: str | None = None
        self.old_version: str | None = None
        self.seconds: float | None = None
        self.outcome: str | None = None
        self.status: int | None = None
        self.message, self.hint = "", ""
        self.link: _TCPConn | None = None
        self.finished = threading.Event()
        self._link_error: OSError | None = None
        self._started: float | None = None

    # -- the run ------------------------------------------------------------

    def run(self) -> int | None:
        self._started = time.monotonic()
        try:
            self._run()
        except (Stopped, KeyboardInterrupt):
            self._interrupted()
        except OSError as e:
            if self.stop.is_set():
                self._interrupted()
            elif e is self._link_error or isinstance(e, (ConnectionError, TimeoutError)):
                self._end("link-error", EXIT_LINK, str(e) or type(e).__name__,
                          f"check that {self.label} is on and reachable")
            else:
                self._failed(e)
        except Exception as e:
            self._failed(e)
        finally:
            self.close()
            self.seconds = time.monotonic() - self._started
            self.finished.set()
        return self.status

    def close(self) -> None:
        link, self.link = self.link, None
        close_quietly(link)

    def abort(self) -> None:
        """From another thread: wake a command this job is waiting in."""
        close_quietly(self.link)

    def _run(self):
        from ..QVRPublic import RetCode

        tool = self._connect()
        ret = tool.initFpga(self.device_type, disable_fw_check=self.force_version)
        if self.state == "initialising":
            self.state = "initialised"
        if ret.RetCode is not RetCode.OK:
            if self._link_error is not None:
                raise self._link_error
            return self._refused_by_init(ret.RetMsg)
        self.fpga_id = ret.RetData.get("fpga_id")
        self.old_version = ret.RetData.get("fpga_version") or None
        problem = self._identity_problem(tool)
        if problem:
            return self._end("refused", EXIT_REFUSED, problem,
                             "check that the device at this address is the one you mean")
        self.total = self.image.image_bytes or 0
        return self._end("ready", EXIT_OK, "checked and initialised; stopped before the erase")

    def _identity_problem(self, tool) -> str:
        """The expected serial number and FPGA id against the device's."""
        found = []
        if self.expect_serial is not None:
            serial = str(tool._fpgaGetSerialNumber()).strip()
            if serial != self.expect_serial:
                found.append(f"serial number {serial!r} where {self.expect_serial!r} "
                             f"was expected")
        if self.expect_fpga_id is not None and \
                (self.fpga_id or "").lower() != self.expect_fpga_id.lower():
            found.append(f"FPGA id {self.fpga_id!r} where {self.expect_fpga_id!r} was expected")
        return ("not the device expected: it reports " + " and ".join(found)) if found else ""

    def _connect(self):
        from ..QVRFpga import FpgaTool

        if self.stop.is_set():
            raise Stopped()
        if self.resource is not None:
            self.link = open_device_link(Device(resource=self.resource), self.timeout)
        else:
            self.link = open_link(self.host, self.port, self.timeout)
        tool = FpgaTool(connection=self.link)
        cls, job = type(tool), self

        def _sendCmd(*args, **kwargs):
            # Every device command goes through here: a stop ends the job
            # between two commands, and a link error is known for what it is.
            if job.stop.is_set():
                raise Stopped()
            if job.state == "untouched":
                job.state = "initialising"
            try:
                return cls._sendCmd(tool, *args, **kwargs)
            except OSError as e:
                job._link_error = e
                raise

        tool._sendCmd = _sendCmd
        return tool

    # -- outcomes -------------------------------------------------------------

    def _end(self, outcome, status, message, hint=""):
        self.outcome, self.status, self.message, self.hint = outcome, status, message, hint

    def _failed(self, e):
        self._end("failed", EXIT_FAILED, f"{type(e).__name__}: {e}")

    def _interrupted(self):
        self._end("interrupted", EXIT_INTERRUPTED, "interrupted")

    def _refused_by_init(self, message):
        if message.startswith("FPGA version"):
            hint = "give --force-version to update it anyway"
        elif message.startswith("Device type"):
            hint = "check --device-type; this tool updates device type 32"
        else:
            hint = "check that the device at this address is the one you mean"
        self._end("refused", EXIT_REFUSED, message, hint)

    def where_left(self) -> str:
        """Where the device was left, in words."""
        if self.state == "untouched":
            return "not touched"
        return "initialised (FPGA control in transfer mode), flash not touched"

    # -- reports --------------------------------------------------------------

    def summary(self) -> str:
        outcome = self.outcome.replace("-", " ")
        parts = [f"{self.label}: {outcome}"]
        if self.outcome == "ready":
            parts.append(f"version {self.old_version or '(not reported)'}")
            parts.append(f"would write {self.total} bytes")
        else:
            parts[0] += f" after {self.seconds:.2f} s"
            parts.append(f"device {self.where_left()}")
        return ", ".join(parts)

    def as_dict(self) -> dict[str, Any]:
        return {
            "address": None if self.resource is not None else self.label,
            "host": self.host or None, "port": self.port if self.resource is None else None,
            "resource": self.resource,
            "outcome": self.outcome, "exit_status": self.status,
            "message": self.message or None, "hint": self.hint or None,
            "fpga_id": self.fpga_id, "old_version": self.old_version,
            "new_version": None, "bytes": 0,
            "seconds": round(self.seconds, 4) if self.seconds is not None else None,
            "bytes_per_second": None, "blocks_resent": 0, "state": self.state,
            "left": self.where_left(),
        }


# --- several devices ------------------------------------------------------------

def run_fleet(jobs: Sequence[DeviceJob], console: Console, grace: float = 2.0) -> bool:
    """Runs the jobs on one thread each and waits. Ctrl-C sets the shared
    stop event; jobs that have not stopped within `grace` seconds (or at a
    second Ctrl-C) have their link closed under them. Returns True when it
    was interrupted."""
    for job in jobs:
        threading.Thread(target=job.run, name=job.label, daemon=True).start()
    interrupted = False
    try:
        _wait(jobs, None)
    except KeyboardInterrupt:
        interrupted = True
        running = sum(not job.finished.is_set() for job in jobs)
        console.line(f"stopping {running} running check{'s' if running != 1 else ''} "
                     f"(Ctrl-C again to drop the links at once) ...")
        for job in jobs:
            job.stop.set()
        try:
            _wait(jobs, time.monotonic() + grace)
        except KeyboardInterrupt:
            pass
        for job in jobs:
            if not job.finished.is_set():
                job.abort()
        try:
            _wait(jobs, time.monotonic() + grace)
        except KeyboardInterrupt:
            pass
    for job in jobs:
        if not job.finished.is_set():  # still inside a call that ignores the closed link
            job._interrupted()
            job.seconds = time.monotonic() - (job._started or time.monotonic())
    return interrupted


def _wait(jobs: Sequence[DeviceJob], deadline: float | None) -> None:
    """Waits for the jobs (Event.wait in short slices, so that Ctrl-C is seen)."""
    for job in jobs:
        while not job.finished.wait(0.1):
            if deadline is not None and time.monotonic() >= deadline:
                return


# --- a fleet run of quorvex.fleet ---------------------------------------------------

def run_cancellable(run: Callable[[threading.Event], Any], console: Console,
                    grace: float = 15.0) -> tuple[Any, bool]:
    """Runs `run(cancel)` (a quorvex.fleet update or verify) on a thread of
    its own and waits for it. Ctrl-C sets `cancel`: the fleet stops every
    retry wait and interrupts the running devices, and its report still
    comes back. Returns (what run returned, whether Ctrl-C was pressed);
    an exception of the run is raised here. A run that has not ended
    `grace` seconds after Ctrl-C (or at a second Ctrl-C after it) is left
    behind: KeyboardInterrupt."""
    cancel, finished = threading.Event(), threading.Event()
    box: dict[str, Any] = {}

    def target() -> None:
        try:
            box["value"] = run(cancel)
        except BaseException as e:  # handed to the waiting thread
            box["error"] = e
        finally:
            finished.set()

    worker = threading.Thread(target=target, name="fleet", daemon=True)
    worker.start()
    interrupted = False
    deadline = None
    # An Event, not Thread.join: a join that Ctrl-C interrupts may take the
    # thread for ended while it runs on.
    while not finished.is_set():
        try:
            finished.wait(0.1)
        except KeyboardInterrupt:
            if interrupted:
                raise
            interrupted = True
            cancel.set()
            console.line("stopping (Ctrl-C again to leave at once) ...")
            deadline = time.monotonic() + grace
        if deadline is not None and time.monotonic() > deadline:
            raise KeyboardInterrupt
    if "error" in box:
        raise box["error"]
    return box.get("value"), interrupted
