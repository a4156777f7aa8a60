"""The fleet's data: the expected identity of a device, the outcome of one
device's run, the report of a whole run, and the progress events."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any, Optional

from .._netaddr import address_label, is_host
from ._outcomes import OUTCOMES, READY, SUCCESS, attempt_status, run_status

__all__ = ["STAGES", "Device", "DeviceResult", "FleetReport", "Progress"]

STAGES = ("connect", "init", "identity", "erase", "write", "verify", "version", "retry-wait",
          "done")


@dataclass(frozen=True)
class Device:
    """The expected identity of one device: serial and fpga_id, where given,
    are checked before anything is erased. A device is reached on its
    address and port, or through the VISA resource `resource` (then without
    an address): ``Device(resource="TCPIP::192.0.2.10::5025::SOCKET")``."""

    address: str = ""
    port: int = 5025
    name: Optional[str] = field(default=None, kw_only=True)
    serial: Optional[str] = field(default=None, kw_only=True)
    fpga_id: Optional[str] = field(default=None, kw_only=True)
    device_type: int = field(default=32, kw_only=True)
    resource: Optional[str] = field(default=None, kw_only=True)

    def __post_init__(self) -> None:
        if self.resource is not None:
            if not isinstance(self.resource, str) or not self.resource.strip():
                raise ValueError(f"bad VISA resource {self.resource!r}")
            if self.address:
                raise ValueError(f"device {self.resource!r}: give an address or a VISA "
                                 f"resource, not both (address {self.address!r})")
        elif not is_host(self.address):
            raise ValueError(f"bad device address {self.address!r}: expected a host name, "
                             f"an IPv4 or an IPv6 address (the port apart)")
        for what, value, low, high in (("port", self.port, 1, 65535),
                                       ("device_type", self.device_type, 0, 0xFFFF)):
            if isinstance(value, bool) or not isinstance(value, int) \
                    or not low <= value <= high:
                raise ValueError(f"bad {what} {value!r} for device {self.endpoint!r}: "
                                 f"expected an int {low}..{high}")

    @property
    def endpoint(self) -> str:
        """Where the device is reached: its VISA resource string, else host:port."""
        if self.resource is not None:
            return self.resource
        return address_label(self.address, self.port)

    @property
    def label(self) -> str:
        """How messages name the device: its name, else its resource string
        or host:port."""
        return self.name or self.endpoint

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


@dataclass
class DeviceResult:
    """How one device ended. `attempts` counts the connections tried;
    `unreachable` is True when no attempt ever reached the device.

    `seconds` is the whole time the device took, from its first connection
    to its end: every attempt and every wait before a retry. `bytes` are the
    bytes its last attempt moved (written by an update, read back by verify),
    and `rate` is bytes / seconds: the device's own pace, retries included,
    the same figure in the table and in as_dict().

    `left` says where the run left the device, in words ("erased and partly
    written at byte 4096 of 6400"); `reason` is the reason code of a refusal
    or failure where one is known ("os_error" for an error of the host, with
    its `errno`). `window` is the window of commands in flight of its last
    attempt (None where none was decided: the device was never reached, or
    not far enough for "auto" to ask it). `fallback` is {"offset", "window"}
    of a block refused inside a window, which made the run write the device
    again from the erase with a window of 1 (None: no such refusal).
    as_dict()'s "exit_status" is the one the device would give alone; the
    run's is FleetReport.exit_status."""

    device: Device
    outcome: str
    attempts: int = 0
    old_version: Optional[str] = None
    new_version: Optional[str] = None
    bytes: int = 0
    seconds: float = 0.0
    message: str = ""
    unreachable: bool = False
    serial: Optional[str] = None
    fpga_id: Optional[str] = None
    blocks_resent: int = 0
    left: str = ""
    reason: Optional[str] = None
    errno: Optional[int] = None
    window: Optional[int] = None
    fallback: Optional[dict[str, int]] = None

    @property
    def ok(self) -> bool:
        return self.outcome in SUCCESS

    @property
    def rate(self) -> Optional[float]:
        """Bytes per second over the whole time (None without bytes or time)."""
        return self.bytes / self.seconds if self.bytes and self.seconds > 0 else None

    def as_dict(self) -> dict[str, Any]:
        d = self.device
        return {
            "device": d.as_dict(), "label": d.label,
            "address": None if d.resource is not None else address_label(d.address, d.port),
            "resource": d.resource,
            "outcome": self.outcome, "attempts": self.attempts,
            "exit_status": attempt_status(self.outcome, self.unreachable),
            "old_version": self.old_version, "new_version": self.new_version,
            "bytes": self.bytes, "seconds": round(self.seconds, 4),
            "bytes_per_second": round(rate, 1) if (rate := self.rate) else None,
            "message": self.message or None, "unreachable": self.unreachable,
            "serial": self.serial, "fpga_id": self.fpga_id,
            "blocks_resent": self.blocks_resent, "left": self.left or None,
            "reason": self.reason, "errno": self.errno, "window": self.window,
            "fallback": dict(self.fallback) if self.fallback else None,
        }


@dataclass
class FleetReport:
    """The results of a run, one per device in the order given; `dry_run`
    when the run stopped every device before its erase; the run's id (its
    history rows carry it)."""

    results: list[DeviceResult] = field(default_factory=list)
    dry_run: bool = False
    run_id: Optional[str] = None

    def counts(self) -> dict[str, int]:
        """Devices per outcome (every outcome present, zero or not)."""
        c = dict.fromkeys(OUTCOMES + ((READY,) if self.dry_run else ()), 0)
        for r in self.results:
            c[r.outcome] = c.get(r.outcome, 0) + 1
        return c

    @property
    def exit_status(self) -> int:
        """0 when every device is updated or unchanged (ready, in a dry run);
        else 130 when any was interrupted; else 74 when every device was
        unreachable; else 1 when any failed or was skipped (a skip follows a
        failure); else 2 (refused). The rule is _outcomes.run_status."""
        return run_status(self.results)

    def as_dict(self) -> dict[str, Any]:
        doc = {"run_id": self.run_id, "devices": [r.as_dict() for r in self.results],
               "counts": self.counts(), "exit_status": self.exit_status}
        if self.dry_run:
            doc["dry_run"] = True
        return doc


@dataclass
class Progress:
    """One progress event of one device: its stage, the bytes done of total
    (0, 0 where the stage has no count) and the attempt number (from 1).
    Every device ends with one "done" event whose `outcome` is its result's,
    a device never started (skipped, or interrupted first) too; `outcome` is
    None on every other event. `window`: the window of commands in flight of
    the attempt, once decided (None before)."""

    device: Device
    stage: str
    done: int = 0
    total: int = 0
    attempt: int = 1
    outcome: Optional[str] = None
    window: Optional[int] = None
