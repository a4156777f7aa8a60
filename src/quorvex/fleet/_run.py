"""update(): the fleet run, and the scheduler that verify() shares.

Each device runs on a worker thread of a pool of `jobs`: attempts with a
capped, jittered backoff between them, one history row per attempt. The
caller's thread waits, watching `cancel` (and Ctrl-C, which sets it).
"""

from __future__ import annotations

import contextlib
import logging
import os
import random
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures import wait as wait_futures
from typing import TYPE_CHECKING, Any, Optional

from ._device import WINDOW_FALLBACK, Attempt, Image, Reporter
from ._limits import ensure_descriptors
from ._window import AUTO
from ._model import Device, DeviceResult, FleetReport, Progress
from ._outcomes import FAILED, INTERRUPTED, OS_ERROR, REFUSED, SKIPPED, UPDATED, attempt_status
from ._downgrade import DowngradeRule

if TYPE_CHECKING:
    from ..history import History

__all__ = ["update"]

logger = logging.getLogger("quorvex.fleet")

#: The wait before the first retry, in seconds; it doubles for each further
#: one, up to BACKOFF_CAP, and is then drawn within ±20 %. Tests shrink it.
BACKOFF_BASE = 1.0
BACKOFF_CAP = 30.0
#: Seconds a running device gets to end by itself once the run is
#: cancelled, before its link is closed under it.
CANCEL_GRACE = 1.0


def backoff(retry: int) -> float:
    """The wait before retry number `retry` (1 for the first)."""
    d = min(BACKOFF_CAP, BACKOFF_BASE * 2.0 ** (retry - 1))
    return min(BACKOFF_CAP, d * random.uniform(0.8, 1.2))


def update(image: str | os.PathLike[str], devices: Sequence[Device], *, retries: int = 1,
           canary: int = 0, max_failures: Optional[int] = None, jobs: Optional[int] = None,
           skip_current: bool = False, history: str | os.PathLike[str] | None = None,
           operator: Optional[str] = None,
           on_progress: Optional[Callable[[Progress], object]] = None,
           trusted: Optional[Iterable[bytes]] = None, timeout: float = 10.0,
           force_version: bool = False, dry_run: bool = False,
           cancel: Optional[threading.Event] = None, run_id: Optional[str] = None,
           station: Optional[str] = None, allow_downgrade: bool = False,
           min_fpga_version: Optional[str] = None, window: int | str = 1) -> FleetReport:
    """Update every device with `image` and report how each ended.

    Each device: connect, initFpga, check its serial (GET_SN) and FPGA id
    against the expected ones (a mismatch refuses it, untouched), then erase,
    write, read back and verify. A link error or a read-back mismatch is tried
    again from the start over a new connection, at most `retries` more times,
    after a backoff of 1, 2, 4 ... s (capped at 30 s, with jitter); refusals
    are never retried. `canary` devices run first and the rest only if all of
    them succeeded; once `max_failures` devices have failed, devices not yet
    started are `skipped`; `jobs` caps the devices run at once. With
    `skip_current` a device that already holds the image is left `unchanged`,
    unerased. `history` is the path of the history database, opened before
    any device is touched (quorvex.history.HistoryError when it cannot be),
    or None. `on_progress` gets Progress events from each device's thread, at
    most every 50 ms per device. Setting `cancel` (Ctrl-C on the caller's
    thread sets it too) ends every retry wait at once and interrupts running
    devices. `trusted`: Ed25519 public keys for the signature policy of this
    run (None keeps QVRFpga._TRUSTED_KEYS).

    An image whose header records an FPGA version ("FPGA_VER") older than
    the one a device reports is `refused` there, before the erase, unless
    `allow_downgrade` (each allowed downgrade is said in the device's
    message and history row, with the operator). `min_fpga_version` is the
    site's floor, which holds even then (None: QUORVEX_MIN_FPGA_VERSION and
    the min-fpga-version files of the QUORVEX_TRUST folders); a floor that
    is no version is a ValueError.

    A device this run erased or wrote to is never `unchanged`: after a failed
    attempt that touched its flash, the retry updates it again from the
    start (a read-back alone would not mark it done and refresh it).

    `dry_run`: each device goes as far as an update goes before its erase
    (connect, initFpga, identity, the image checks) and ends `ready`;
    nothing is erased or recorded (`history` is not opened). The exit
    status follows the same rule as an update's.

    `run_id` names the run (a new UUID by default; the report and every
    history row carry it), `station` the host the history records (default:
    the host name); the run's device list is recorded before any device is
    touched.

    An error of this host (no descriptor, no memory, an I/O error) fails a
    device with its errno (`reason` "os_error") and is retried like a link
    error. A run that needs more descriptors than the soft RLIMIT_NOFILE
    raises it towards the hard limit; DescriptorLimit (an OSError) when
    even that is too few, before any device is touched. OSError when the
    image cannot be read; ValueError for bad arguments or a device listed
    twice.

    `window`: the program and read commands each device may have in flight
    (1..256), or "auto": each TCP device is first asked on harmless queries
    whether it answers commands sent together in order (then 32, else 1).
    1, the default, sends each command after the last one's reply. Any
    other window runs the transfer on the native driver, one device too. A
    block refused inside a window ends the attempt ("window_fallback"); the
    next attempt starts again from the erase with a window of 1, whatever
    `retries` is, and uses up no retry. A device reached through VISA
    always takes 1. DeviceResult.window is the window of the last attempt;
    DeviceResult.fallback keeps where the window was given up (the message
    of a device then updated says so too), and the fallback is logged as a
    warning of the "quorvex.fleet" logger."""
    mode = "dry-run" if dry_run else "skip-current" if skip_current else "update"
    return _Run(image, devices, mode=mode,
                retries=retries, canary=canary, max_failures=max_failures, jobs=jobs,
                history=history, operator=operator, on_progress=on_progress,
                trusted=trusted, timeout=timeout, force_version=force_version,
                cancel=cancel, run_id=run_id, station=station, window=window,
                downgrade=DowngradeRule.for_run(allow_downgrade, min_fpga_version,
                                                operator)).run()


def _policy_of(trusted: Iterable[bytes]) -> frozenset[bytes]:
    """A caller's own key list as a policy: the site's revocations
    (QUORVEX_REVOKED, the revoked/ folders of QUORVEX_TRUST) apply to it too.
    TrustError (a ValueError) when every key in it is revoked."""
    from .._trust_store import Policy, load

    return trusted if isinstance(trusted, Policy) else load((), base=trusted)


class _Run:
    def __init__(self, image: str | os.PathLike[str], devices: Sequence[Device], *, mode: str,
                 retries: int = 0, canary: int = 0, max_failures: Optional[int] = None,
                 jobs: Optional[int] = None, history: str | os.PathLike[str] | None = None,
                 operator: Optional[str] = None,
                 on_progress: Optional[Callable[[Progress], object]] = None,
                 trusted: Optional[Iterable[bytes]] = None, timeout: float = 10.0,
                 force_version: bool = False, cancel: Optional[threading.Event] = None,
                 run_id: Optional[str] = None, station: Optional[str] = None,
                 downgrade: Any = None, window: int | str = 1) -> None:
        from ._inventory import check_duplicates
        from ._runs import run_id_for
        from ._window import check_window

        for what, value, low in (("retries", retries, 0), ("canary", canary, 0),
                                 ("max_failures", max_failures, 1), ("jobs", jobs, 1)):
            if value is None and what in ("max_failures", "jobs"):
                continue
            if isinstance(value, bool) or not isinstance(value, int) or value < low:
                raise ValueError(f"{what} must be a whole number >= {low}, not {value!r}")
        if not timeout > 0:
            raise ValueError(f"timeout must be > 0 seconds, not {timeout!r}")
        self.window = check_window(window)
        self.devices = list(devices)
        check_duplicates(self.devices)
        self.image = Image.load(image)
        self.mode, self.retries, self.canary = mode, retries, canary
        self.max_failures, self.operator = max_failures, operator
        self.jobs = jobs or max(1, len(self.devices))
        # The run's policy travels with each of its updates; None: the module's
        # _TRUSTED_KEYS, read when each check runs.
        self.on_progress = on_progress
        self.trusted = None if trusted is None else _policy_of(trusted)
        self.timeout, self.force_version = timeout, force_version
        self.downgrade = downgrade
        self.cancel = cancel if cancel is not None else threading.Event()
        self.run_id, self.station = run_id_for(run_id), station
        self.history: Optional[History] = None
        if history is not None and mode != "dry-run":
            from ._runs import open_history
            self.history = open_history(history, self)
        self.results: list[Optional[DeviceResult]] = [None] * len(self.devices)
        self.running: dict[int, Attempt] = {}
        self.lock = threading.Lock()
        self.failures = 0
        # The native drivers of the run, one per window in use (a driver's
        # window is its own), made when a device first needs one.
        self.drivers: dict[int, Any] = {}
        self.closed = False

    def run(self) -> FleetReport:
        try:
            ensure_descriptors(min(self.jobs, len(self.devices)))
            with self._native_drivers():
                n = min(self.canary, len(self.devices))
                self._batch(range(n))
                if n and not self.cancel.is_set() and \
                        not all(r is not None and r.ok for r in self.results[:n]):
                    for i in range(n, len(self.devices)):
                        self._end(i, DeviceResult(self.devices[i], SKIPPED,
                                                  message="not started: the canary failed"))
                self._batch(range(n, len(self.devices)))
        finally:
            if self.history is not None:
                self.history.close()
        return FleetReport([r for r in self.results if r is not None],
                           dry_run=self.mode == "dry-run", run_id=self.run_id)

    @contextlib.contextmanager
    def _native_drivers(self) -> Iterator[None]:
        """Closes every driver the run made, once it ends."""
        try:
            yield
        finally:
            with self.lock:
                self.closed = True
                drivers, self.drivers = list(self.drivers.values()), {}
            for driver in drivers:
                driver.close()

    def driver_for(self, window: int) -> Any:
        """The native driver that runs an update's transfer with `window`, or
        None: the tool sends every command. Two devices or more, or a window
        other than 1: the transfer runs on a native driver thread, without
        the GIL. One device with a window of 1, and a run that writes
        nothing, go through the tool."""
        if self.mode in ("verify", "dry-run") or (window == 1 and len(self.devices) < 2):
            return None
        from ..QVRFpga import _FleetDriver

        with self.lock:
            if self.closed:
                return None
            driver = self.drivers.get(window)
            if driver is None:
                driver = self.drivers[window] = _FleetDriver(window=window)
            return driver

    def _end(self, i: int, result: DeviceResult, report: Optional[Reporter] = None) -> None:
        """Device i ended (or will never start): its result, counted against
        max_failures when it failed, and its "done" event."""
        with self.lock:
            if self.results[i] is not None:
                return
            self.results[i] = result
            if result.outcome == FAILED:
                self.failures += 1
        (report or Reporter(result.device, self.on_progress)).done(result.outcome)

    def _batch(self, indices: range) -> None:
        todo = [i for i in indices if self.results[i] is None]
        if not todo:
            return
        with ThreadPoolExecutor(max_workers=min(self.jobs, len(todo)),
                                thread_name_prefix="quorvex-fleet") as pool:
            futures = [pool.submit(self._device, i) for i in todo]
            cancelled_at = None
            while True:
                # Ctrl-C anywhere in here (not only in the wait) cancels the run.
                try:
                    if self.cancel.is_set():
                        if cancelled_at is None:
                            cancelled_at = time.monotonic()
                            with self.lock:  # every native transfer ends now
                                drivers = list(self.drivers.values())
                            for driver in drivers:
                                driver.cancel()
                        elif time.monotonic() - cancelled_at >= CANCEL_GRACE:
                            with self.lock:
                                attempts = list(self.running.values())
                            for a in attempts:
                                a.close()
                    # Back as soon as the last device ends; a look at cancel
                    # every 50 ms meanwhile.
                    if not wait_futures(futures, timeout=0.05).not_done:
                        break
                except KeyboardInterrupt:
                    self.cancel.set()
            for f in futures:
                f.result()

    # -- one device, on a worker thread ------------------------------------

    def _device(self, i: int) -> None:
        d = self.devices[i]
        with self.lock:
            skip = None
            if self.cancel.is_set():
                skip = DeviceResult(d, INTERRUPTED, message="not started: interrupted")
            elif self.max_failures is not None and self.failures >= self.max_failures:
                skip = DeviceResult(d, SKIPPED, message=f"not started: {self.failures} device"
                                                        f"{'s' if self.failures != 1 else ''} "
                                                        f"failed")
        if skip is not None:
            return self._end(i, skip)
        started = time.monotonic()
        report = Reporter(d, self.on_progress)
        result = DeviceResult(d, FAILED)
        reached = touched = False
        flash_left = ""  # where the last attempt that touched the flash left it
        window, retried, n = self.window, 0, 0
        try:
            while True:
                n += 1
                report.attempt = result.attempts = n
                report.window = None
                # Once an attempt has erased or written, the device is updated
                # again from the start: it never ends unchanged.
                mode = "update" if touched and self.mode == "skip-current" else self.mode
                a = self._attempt(i, d, report, n, mode, window)
                reached = reached or a.got_through
                touched = touched or a.touched
                if a.touched:
                    flash_left = a.left
                result.outcome, result.message = a.outcome, a.message
                result.reason, result.errno = a.reason, a.errno
                result.left = a.left if a.touched or not flash_left else flash_left
                for k in ("serial", "fpga_id", "old_version", "new_version"):
                    v = getattr(a, k)
                    if v is not None:
                        setattr(result, k, v)
                result.bytes, result.blocks_resent = a.bytes, result.blocks_resent + a.blocks_resent
                result.window = a.window_used
                if window == AUTO and a.window_used is not None:
                    window = a.window_used  # asked once a run: the retries keep it
                if a.reason == WINDOW_FALLBACK:
                    # Again from the erase, one command at a time, at once: no
                    # retry of the run's is used up.
                    window = 1
                    result.fallback = a.fallback
                    logger.warning("%s: %s", d.label, a.message)
                    report("retry-wait")
                    continue
                if not a.retry or retried >= self.retries:
                    break
                retried += 1
                report("retry-wait")
                if self.cancel.wait(backoff(retried)):
                    result.outcome, result.message = INTERRUPTED, \
                        f"interrupted while waiting to retry after: {a.message}"
                    break
            if touched and result.outcome == REFUSED:
                # "refused" promises a flash untouched; this one was not.
                result.outcome = FAILED
                result.message = f"refused after an earlier attempt had changed its flash " \
                                 f"(device {flash_left}): {result.message}"
            if result.fallback is not None and result.outcome == UPDATED:
                said = f"updated with window 1 after a window fallback at byte " \
                       f"{result.fallback['offset']}"
                result.message = f"{said}; {result.message}" if result.message else said
            if result.outcome == FAILED and result.attempts > 1:
                result.message = f"after {result.attempts} attempts: {result.message}"
        except BaseException as e:  # a history that cannot be written, or a fault of ours
            result.outcome, result.message = FAILED, f"{type(e).__name__}: {e}"
            if isinstance(e, OSError):  # the history's (HistoryError): an error of this host
                result.reason, result.errno = OS_ERROR, e.errno
            reached = True  # not a link that failed: never counted as unreachable
        result.unreachable = result.outcome == FAILED and not reached
        result.seconds = time.monotonic() - started
        self._end(i, result, report)

    def _attempt(self, i: int, d: Device, report: Reporter, n: int, mode: str,
                 window: int | str) -> Attempt:
        a = Attempt(d, self.image, report, self.cancel, timeout=self.timeout,
                    force_version=self.force_version, mode=mode, window=window,
                    drivers=self.driver_for, trusted=self.trusted, downgrade=self.downgrade)
        row = None
        if self.history is not None:
            # Recorded (and committed) before the attempt touches the device.
            row = self.history.start(
                host=d.address, port=d.port, name=d.name, serial=d.serial, fpga_id=d.fpga_id,
                resource=d.resource,
                device_type=d.device_type, image_path=self.image.path,
                image_sha256=self.image.sha256, signers=self.image.signers, attempt=n,
                operator=self.operator, station=self.station, run_id=self.run_id)
        with self.lock:
            self.running[i] = a
        t0 = time.monotonic()
        try:
            a.run()
        finally:
            with self.lock:
                self.running.pop(i, None)
            if row is not None and self.history is not None:
                unreachable = a.outcome == FAILED and not a.got_through
                self.history.finish(
                    row, outcome=a.outcome, exit_status=attempt_status(a.outcome, unreachable),
                    message=a.message or None,
                    old_version=a.old_version, new_version=a.new_version, bytes=a.bytes,
                    seconds=round(time.monotonic() - t0, 4), blocks_resent=a.blocks_resent,
                    serial=a.serial, fpga_id=a.fpga_id, window=a.window_used)
        return a


def run_verify(image: Any, devices: Sequence[Device], **kwargs: Any) -> FleetReport:
    """The read-back run of verify()."""
    return _Run(image, devices, mode="verify", **kwargs).run()
