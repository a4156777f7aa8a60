"""quorvex.fleet: update or verify the FPGA image of many devices, as a
production line needs it.

- `load_inventory(path)` reads the devices (and their expected identities)
  from a .csv or .toml file; `check_duplicates` refuses one device reached
  by two names.
- `update(image, devices, ...)` pins each device's identity before the erase,
  retries link errors and read-back mismatches over a new connection with a
  capped, jittered backoff, runs a canary first, stops starting devices after
  `max_failures`, skips devices that already hold the image, and records
  every attempt in a history; `dry_run=True` stops each device before its
  erase.
- `verify(image, devices, ...)` reads each device's flash back and compares
  it with the image, without erasing or writing.
"""

from ._inventory import InventoryError, check_duplicates, load_inventory
from ._limits import DescriptorLimit
from ._model import Device, DeviceResult, FleetReport, Progress
from ._outcomes import (FAILED, INTERRUPTED, READY, REFUSED, SKIPPED, UNCHANGED, UPDATED,
                        run_status)
from ._run import update
from ._verify import verify

__all__ = ["Device", "InventoryError", "load_inventory", "check_duplicates",
           "UPDATED", "UNCHANGED", "READY", "FAILED", "REFUSED", "SKIPPED", "INTERRUPTED",
           "DeviceResult", "FleetReport", "Progress", "DescriptorLimit", "run_status",
           "update", "verify"]
