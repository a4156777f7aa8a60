"""Runs with a name: each fleet run has an id, recorded in the history with
the devices it was given, so that a later run can take up what it left:
the devices whose last attempt did not succeed (retry_failed), or those it
never finished (resume)."""

from __future__ import annotations

import os
import uuid
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Optional

from ._model import Device
from ._outcomes import INTERRUPTED, UNCHANGED, UPDATED

if TYPE_CHECKING:
    from ..history import History

__all__ = ["RETRY_FAILED", "RESUME", "RunError", "new_run_id", "open_history", "rerun",
           "run_id_for"]

RETRY_FAILED = "retry-failed"
RESUME = "resume"
# The outcome a row keeps when its process died mid-attempt.
_STARTED = "started"


class RunError(ValueError):
    """A run that cannot be taken up: unknown, or of another image."""


def new_run_id() -> str:
    return str(uuid.uuid4())


def run_id_for(run_id: Optional[str]) -> str:
    """A run's id: the one given, in its one spelling (ValueError when it is
    no UUID), else a new one."""
    from ..history import run_id_of

    return new_run_id() if run_id is None else run_id_of(run_id)


def open_history(where: str | os.PathLike[str] | History, run: Any) -> History:
    """The history of `run` (a fleet run: run_id, devices, image, station,
    operator, mode), opened (unless `where` is an open History already, which
    the run then closes), and the run with its device list recorded, all
    before any device is touched. HistoryError when it cannot be."""
    from ..history import History

    history = where if isinstance(where, History) else History(where)
    try:
        history.begin_run(run.run_id, [d.as_dict() for d in run.devices],
                          image_path=run.image.path, image_sha256=run.image.sha256,
                          station=run.station, operator=run.operator, mode=run.mode,
                          file_sha256=getattr(run.image, "file_sha256", None))
    except BaseException:
        history.close()
        raise
    return history


def _key(host: str, port: int, resource: Optional[str]) -> tuple[str, int]:
    return (resource.lower(), 0) if resource is not None else (host.lower(), int(port))


def rerun(history: History, run_id: str, which: str, image_sha256: str,
          file_sha256: Optional[str] = None) -> list[Device]:
    """The devices of the run `run_id` to run again, as that run was given
    them (the same inventory rows), in its order:

    - RETRY_FAILED: those whose last attempt did not end updated or
      unchanged (failed, refused, interrupted, or cut off: "started");
    - RESUME: those the run never finished: never started (skipped, or not
      reached before the run ended) or whose last attempt was interrupted or
      cut off.

    RunError when the history holds no such run, or the run wrote another
    image than the one whose payload digest is `image_sha256`, or another
    file (`file_sha256`: the same payload under another header) where the
    run recorded its file's digest; ValueError for a malformed id."""
    record = history.run_record(run_id)
    if record is None:
        raise RunError(f"no run {run_id} in the history {history.path}")
    if (record["image_sha256"] or "").lower() != image_sha256.lower():
        raise RunError(f"run {record['run_id']} wrote another image (SHA-256 "
                       f"{record['image_sha256']}, {record['image_path']}); this one is "
                       f"{image_sha256}")
    recorded = (record.get("file_sha256") or "").lower()
    if recorded and file_sha256 is not None and recorded != file_sha256.lower():
        raise RunError(f"run {record['run_id']} wrote the same payload from another file "
                       f"(its header differs: FPGA_VER, device type or signatures; file "
                       f"SHA-256 {recorded}, {record['image_path']}); this one is "
                       f"{file_sha256.lower()}")
    last: dict[tuple[str, int], str] = {}
    for row in sorted(history.attempts(run=record["run_id"]), key=lambda r: r["id"]):
        last[_key(row["host"], row["port"], row["resource"])] = row["outcome"]
    devices = [_device(d) for d in record["devices"]]
    picked = []
    for d in devices:
        outcome = last.get(_key(d.address, d.port, d.resource))
        if which == RETRY_FAILED:
            wanted = outcome is not None and outcome not in (UPDATED, UNCHANGED)
        elif which == RESUME:
            wanted = outcome is None or outcome in (INTERRUPTED, _STARTED)
        else:
            raise ValueError(f"which must be {RETRY_FAILED!r} or {RESUME!r}, not {which!r}")
        if wanted:
            picked.append(d)
    return picked


def _device(fields: dict[str, Any]) -> Device:
    known = {k: v for k, v in fields.items() if k in Device.__dataclass_fields__}
    return Device(**known)


def labels(devices: Sequence[Device]) -> str:
    """The devices named, for a message."""
    return ", ".join(d.label for d in devices)
