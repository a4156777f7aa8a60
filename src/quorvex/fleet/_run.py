"""update(): the fleet run."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable, Sequence
from typing import Optional

from ._model import Device, FleetReport, Progress

__all__ = ["update"]


def update(image: str | os.PathLike[str], devices: Sequence[Device], *, retries: int = 1,
           canary: int = 0, max_failures: Optional[int] = None, jobs: Optional[int] = None,
           skip_current: bool = False, history: str | os.PathLike[str] | None = None,
           operator: Optional[str] = None,
           on_progress: Optional[Callable[[Progress], object]] = None,
           trusted: Optional[Iterable[bytes]] = None, timeout: float = 10.0,
           force_version: bool = False,
           cancel: Optional[threading.Event] = None) -> FleetReport:
    """Update every device with `image` and report how each ended.

    Each device: connect, initFpga, check its serial and FPGA id against the
    expected ones (a mismatch refuses it, untouched), then erase, write, read
    back and verify. A link error or a read-back mismatch is tried again from
    the start over a new connection, at most `retries` more times, after a
    backoff of 1, 2, 4 ... s (capped at 30 s, with jitter). `canary` devices
    run first and the rest only if all of them succeeded; after
    `max_failures` failed devices no further device starts (`skipped`);
    `jobs` caps devices run at once. With `skip_current` a device that already
    holds the image is left `unchanged`. `history` is the path of the history
    database (opened before any device is touched), or None. `on_progress`
    gets Progress events from each device's thread, at most every 50 ms per
    device. Setting `cancel` stops retries at once and interrupts running
    devices. `trusted`: Ed25519 public keys for the signature policy (None
    keeps the module's)."""
    raise NotImplementedError
