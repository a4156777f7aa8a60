"""The update history: one SQLite row per update attempt, nothing lost.

Each attempt is written (outcome "started") and committed before the device is
touched, then updated and committed when the attempt ends, so a crash or a
power cut mid-update still leaves the attempt on record. The database runs in
WAL mode with a busy timeout, so several processes (and the device threads of
one fleet run) can write one history at once. The schema carries its version
in PRAGMA user_version; a later version migrates older files on open.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Optional

__all__ = ["SCHEMA_VERSION", "History", "HistoryError", "default_path"]

SCHEMA_VERSION = 1
"""The version of the schema this module writes (PRAGMA user_version)."""


class HistoryError(OSError):
    """A history that cannot be opened or written; the message names the path
    and the reason."""


def default_path() -> Path:
    """$XDG_STATE_HOME/quorvex/history.sqlite3, else
    ~/.local/state/quorvex/history.sqlite3."""
    state = os.environ.get("XDG_STATE_HOME")
    base = Path(state) if state and os.path.isabs(state) else Path.home() / ".local" / "state"
    return base / "quorvex" / "history.sqlite3"


class History:
    """An open history. Thread-safe: the device threads of a fleet run share one.

    History(path) creates the file and its parent folders (0700) when they do
    not exist; HistoryError when it cannot be opened, is not a history, or was
    written by a newer version."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)
        raise NotImplementedError

    def start(self, *, host: str, port: int, name: Optional[str] = None,
              serial: Optional[str] = None, fpga_id: Optional[str] = None,
              device_type: Optional[int] = None, image_path: Optional[str] = None,
              image_sha256: Optional[str] = None, signers: Sequence[str] = (),
              attempt: int = 1, operator: Optional[str] = None) -> int:
        """Records an attempt that starts now (outcome "started", start time
        UTC ISO 8601, the tool version; operator defaults to the login name)
        and commits it before it returns. Returns the row id for finish()."""
        raise NotImplementedError

    def finish(self, row_id: int, *, outcome: str, exit_status: Optional[int] = None,
               message: Optional[str] = None, old_version: Optional[str] = None,
               new_version: Optional[str] = None, bytes: Optional[int] = None,
               seconds: Optional[float] = None, blocks_resent: Optional[int] = None,
               serial: Optional[str] = None, fpga_id: Optional[str] = None) -> None:
        """Records how the attempt `row_id` ended (end time now) and commits.
        `serial` / `fpga_id`, when given, replace the expected values with the
        ones the device reported."""
        raise NotImplementedError

    def attempts(self, *, serial: Optional[str] = None, address: Optional[str] = None,
                 image: Optional[str] = None, since: Optional[str] = None) -> list[dict[str, Any]]:
        """The recorded attempts, newest first, one dict per row (column name:
        value; "signers" a list). Filters: `address` "host" or "host:port";
        `image` a SHA-256 hex prefix; `since` an ISO date/time (UTC unless it
        says otherwise) or a relative age such as "90s", "30m", "2h", "3d", "1w"."""
        raise NotImplementedError

    def close(self) -> None:
        """Closes the history; calls after this raise HistoryError."""
        raise NotImplementedError

    def __enter__(self) -> History:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
