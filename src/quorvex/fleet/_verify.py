"""verify(): read each device's flash back and compare it with an image."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Sequence
from typing import Optional

from ._model import Device, FleetReport, Progress

__all__ = ["verify"]


def verify(image: str | os.PathLike[str], devices: Sequence[Device], *,
           jobs: Optional[int] = None, timeout: float = 10.0,
           on_progress: Optional[Callable[[Progress], object]] = None,
           cancel: Optional[threading.Event] = None) -> FleetReport:
    """Read each device's flash back and compare its SHA-256 with the image's.

    Sends initFpga's commands, then FPGA_RST_PAGE_PTR CFG and FPGA_READ pages;
    never FPGA_ERASE or FPGA_PROGRAM. The device is left in transfer mode with
    its flash as it was. Outcome `unchanged` when it holds the image, `failed`
    when it differs."""
    raise NotImplementedError
