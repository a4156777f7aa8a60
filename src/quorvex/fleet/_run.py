"""update(): the fleet run, and the scheduler that verify() shares.

Each device runs on a worker thread of a pool of `jobs`: attempts with a
capped, jittered backoff between them, one history row per attempt. The
caller's thread waits, watching `cancel` (and Ctrl-C, which sets it).
"""

from __future__ import annotations

import contextlib
import os
import random
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures import wait as wait_futures
from typing import TYPE_CHECKING, Any, Optional

from ._device import Attempt, Image, Reporter
from ._limits import ensure_descriptors
from ._model import Device, DeviceResult, FleetReport, Progress
from ._outcomes import FAILED, INTERRUPTED, REFUSED, SKIPPED, attempt_status

if TYPE_CHECKING:
    from ..history import History

__all__ = ["update"]

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
           cancel: Optional[threading.Event] = None) -> FleetReport:
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

    A device this run erased or wrote to is never `unchanged`: after a failed
    attempt that touched its flash, the retry updates it again from the
    start (a read-back alone would not mark it done and refresh it).

    `dry_run`: each device goes as far as an update goes before its erase
    (connect, initFpga, identity, the image checks) and ends `ready`;
    nothing is erased or recorded (`history` is not opened). The exit
    status follows the same rule as an update's.

    An error of this host (no descriptor, no memory, an I/O error) fails a
    device with its errno (`reason` "os_error") and is retried like a link
    error. A run that needs more descriptors than the soft RLIMIT_NOFILE
    raises it towards the hard limit; DescriptorLimit (an OSError) when
    even that is too few, before any device is touched. OSError when the
    image cannot be read; ValueError for bad arguments or a device listed
    twice."""
    mode = "dry-run" if dry_run else "skip-current" if skip_current else "update"
    return _Run(image, devices, mode=mode,
                retries=retries, canary=canary, max_failures=max_failures, jobs=jobs,
                history=history, operator=operator, on_progress=on_progress,
                trusted=trusted, timeout=timeout, force_version=force_version,
                cancel=cancel).run()


class _Run:
    def __init__(self, image: str | os.PathLike[str], devices: Sequence[Device], *, mode: str,
                 retries: int = 0, canary: int = 0, max_failures: Optional[int] = None,
                 jobs: Optional[int] = None, history: str | os.PathLike[str] | None = None,
                 operator: Optional[str] = None,
                 on_progress: Optional[Callable[[Progress], object]] = None,
                 trusted: Optional[Iterable[bytes]] = None, timeout: float = 10.0,
                 force_version: bool = False, cancel: Optional[threading.Event] = None) -> None:
        from ._inventory import check_duplicates

        for what, value, low in (("retries", retries, 0), ("canary", canary, 0),
                                 ("max_failures", max_failures, 1), ("jobs", jobs, 1)):
            if value is None and what in ("max_failures", "jobs"):
                continue
            if isinstance(value, bool) or not isinstance(value, int) or value < low:
                raise ValueError(f"{what} must be a whole number >= {low}, not {value!r}")
        if not timeout > 0:
            raise ValueError(f"timeout must be > 0 seconds, not {timeout!r}")
        self.devices = list(devices)
        check_duplicates(self.devices)
        self.image = Image.load(image)
        self.mode, self.retries, self.canary = mode, retries, canary
        self.max_failures, self.operator = max_failures, operator
        self.jobs = jobs or max(1, len(self.devices))
        self.on_progress, self.trusted = on_progress, trusted
        self.timeout, self.force_version = timeout, force_version
        self.cancel = cancel if cancel is not None else threading.Event()
        self.history: Optional[History] = None
        if history is not None and mode != "dry-run":
            from ..history import History
            self.history = History(history)
        self.results: list[Optional[DeviceResult]] = [None] * len(self.devices)
        self.running: dict[int, Attempt] = {}
        self.lock = threading.Lock()
        self.failures = 0
        self.driver: Any = None

    def run(self) -> FleetReport:
        try:
            ensure_descriptors(min(self.jobs, len(self.devices)))
            with self._policy(), self._native_driver():
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
                           dry_run=self.mode == "dry-run")

    @contextlib.contextmanager
    def _native_driver(self) -> Iterator[None]:
        """Two devices or more to update: their transfers run on one native
        driver thread, without the GIL. One device, and a verify run, send
        every command through the tool."""
        if self.mode in ("verify", "dry-run") or len(self.devices) < 2:
            yield
            return
        from ..QVRFpga import _FleetDriver
        self.driver = _FleetDriver()
        try:
            yield
        finally:
            self.driver.close()
            self.driver = None

    @contextlib.contextmanager
    def _policy(self) -> Iterator[None]:
        if self.trusted is None:
            yield
            return
        from .. import QVRFpga
        old = QVRFpga._TRUSTED_KEYS
        QVRFpga._TRUSTED_KEYS = [bytes(k) for k in self.trusted]
        try:
            yield
        finally:
            QVRFpga._TRUSTED_KEYS = old

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
                            if self.driver is not None:  # every native transfer ends now
                                self.driver.cancel()
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
        try:
            for n in range(1, self.retries + 2):
                report.attempt = result.attempts = n
                # Once an attempt has erased or written, the device is updated
                # again from the start: it never ends unchanged.
                mode = "update" if touched and self.mode == "skip-current" else self.mode
                a = self._attempt(i, d, report, n, mode)
                reached = reached or a.reached or a.host_error
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
                if not a.retry or n > self.retries:
                    break
                report("retry-wait")
                if self.cancel.wait(backoff(n)):
                    result.outcome, result.message = INTERRUPTED, \
                        f"interrupted while waiting to retry after: {a.message}"
                    break
            if touched and result.outcome == REFUSED:
                # "refused" promises a flash untouched; this one was not.
                result.outcome = FAILED
                result.message = f"refused after an earlier attempt had changed its flash " \
                                 f"(device {flash_left}): {result.message}"
            if result.outcome == FAILED and result.attempts > 1:
                result.message = f"after {result.attempts} attempts: {result.message}"
        except BaseException as e:  # a history that cannot be written, or a fault of ours
            result.outcome, result.message = FAILED, f"{type(e).__name__}: {e}"
            reached = True  # not a link that failed: never counted as unreachable
        result.unreachable = result.outcome == FAILED and not reached
        result.seconds = time.monotonic() - started
        self._end(i, result, report)

    def _attempt(self, i: int, d: Device, report: Reporter, n: int, mode: str) -> Attempt:
        a = Attempt(d, self.image, report, self.cancel, timeout=self.timeout,
                    force_version=self.force_version, mode=mode, driver=self.driver)
        row = None
        if self.history is not None:
            # Recorded (and committed) before the attempt touches the device.
            row = self.history.start(
                host=d.address, port=d.port, name=d.name, serial=d.serial, fpga_id=d.fpga_id,
                resource=d.resource,
                device_type=d.device_type, image_path=self.image.path,
                image_sha256=self.image.sha256, signers=self.image.signers, attempt=n,
                operator=self.operator)
        with self.lock:
            self.running[i] = a
        t0 = time.monotonic()
        try:
            a.run()
        finally:
            with self.lock:
                self.running.pop(i, None)
            if row is not None and self.history is not None:
                unreachable = a.outcome == FAILED and not (a.reached or a.host_error)
                self.history.finish(
                    row, outcome=a.outcome, exit_status=attempt_status(a.outcome, unreachable),
                    message=a.message or None,
                    old_version=a.old_version, new_version=a.new_version, bytes=a.bytes,
                    seconds=round(time.monotonic() - t0, 4), blocks_resent=a.blocks_resent,
                    serial=a.serial, fpga_id=a.fpga_id)
        return a


def run_verify(image: Any, devices: Sequence[Device], **kwargs: Any) -> FleetReport:
    """The read-back run of verify()."""
    return _Run(image, devices, mode="verify", **kwargs).run()
