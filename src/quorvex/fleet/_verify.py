"""verify(): read each device's flash back and compare it with an image."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Sequence
from typing import Optional

from ._model import Device, FleetReport, Progress
from ._run import run_verify

__all__ = ["verify"]


def verify(image: str | os.PathLike[str], devices: Sequence[Device], *,
           jobs: Optional[int] = None, timeout: float = 10.0,
           on_progress: Optional[Callable[[Progress], object]] = None,
           cancel: Optional[threading.Event] = None, window: int | str = 1) -> FleetReport:
    """Read each device's flash back and compare it with the image's bytes
    (a .tbin's image range, a raw file whole).

    Sends what initFpga sends (FPGA_CTRL_INIT, FPGA_CFG_MODE, FPGA_GET_ID,
    GET_FPGA_VER), GET_SN, then FPGA_RST_PAGE_PTR CFG and one FPGA_READ per
    16 bytes; never FPGA_ERASE or FPGA_PROGRAM. The device is left in
    transfer mode with its read pointer moved and its flash as it was (a
    device that checks its identity against Device.serial / fpga_id and does
    not match is `refused`). Outcome `unchanged` when the flash holds the
    image, `failed` when it differs or cannot be read; no retries.

    `window`: the FPGA_READ commands each device may have in flight (1..256),
    or "auto" (see update()); the same commands are sent whatever it is.
    DeviceResult.window says the one each device used."""
    return run_verify(image, devices, jobs=jobs, timeout=timeout, on_progress=on_progress,
                      cancel=cancel, window=window)
