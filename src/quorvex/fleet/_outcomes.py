"""How a device's run can end, the exit status of a run, and which status
wins when devices end differently: defined here once, for the library and
the command line alike.

A native result may carry a reason code beside its message for people
(``RetData["reason"]``, with ``RetData["errno"]`` for an error of the host);
`verdict` is the one place that reads it.
"""

from __future__ import annotations

import errno as _errno
import os
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Optional, Protocol

__all__ = ["UPDATED", "UNCHANGED", "READY", "FAILED", "REFUSED", "SKIPPED", "INTERRUPTED",
           "OUTCOMES", "SUCCESS", "EXIT_OK", "EXIT_FAILED", "EXIT_REFUSED", "EXIT_UNREACHABLE",
           "EXIT_LINK", "EXIT_INTERRUPTED", "EXIT_MEANINGS", "PRECEDENCE", "OS_ERROR",
           "Verdict", "verdict", "host_error_message", "run_status", "attempt_status"]

UPDATED = "updated"
UNCHANGED = "unchanged"
#: A dry run's device that passed every check before the erase.
READY = "ready"
FAILED = "failed"
REFUSED = "refused"
SKIPPED = "skipped"
INTERRUPTED = "interrupted"
#: The outcomes of an update or verify run (a dry run adds READY).
OUTCOMES = (UPDATED, UNCHANGED, FAILED, REFUSED, SKIPPED, INTERRUPTED)
#: The outcomes that are a success.
SUCCESS = frozenset((UPDATED, UNCHANGED, READY))

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_REFUSED = 2
EXIT_UNREACHABLE = 74
EXIT_LINK = EXIT_UNREACHABLE  # one device: a link error is all there is to say
EXIT_INTERRUPTED = 130

EXIT_MEANINGS = {
    EXIT_OK: "success",
    EXIT_FAILED: "the update or its read-back verification failed",
    EXIT_REFUSED: "refused by a check or by the device (the flash was not touched)",
    EXIT_LINK: "link error: cannot connect, no answer in time, or the connection was lost",
    EXIT_INTERRUPTED: "interrupted (Ctrl-C)",
}

# The rule of run_status, in words, for the help and the documentation.
PRECEDENCE = """\
With several devices one status stands for all, the first that holds:
  0    every device updated or unchanged (ready, in a dry run)
  130  Ctrl-C (any device interrupted)
  74   every device unreachable
  1    any device failed (a host error too), or was skipped after
       --max-failures or a canary failed
  2    any device refused (identity, type, version, image) and none failed
"""

#: The reason code of an error of the host (no descriptor, no memory, an
#: I/O error): the device is not to blame, and a new attempt may succeed.
OS_ERROR = "os_error"


class _Ended(Protocol):
    outcome: str
    unreachable: bool


def run_status(results: Iterable[_Ended]) -> int:
    """The exit status of a run from how its devices ended (see PRECEDENCE).
    A run of no device succeeds."""
    rs = list(results)
    if all(r.outcome in SUCCESS for r in rs):
        return EXIT_OK
    if any(r.outcome == INTERRUPTED for r in rs):
        return EXIT_INTERRUPTED
    if all(r.unreachable for r in rs):
        return EXIT_UNREACHABLE
    if any(r.outcome in (FAILED, SKIPPED) for r in rs):
        return EXIT_FAILED
    return EXIT_REFUSED


def attempt_status(outcome: str, unreachable: bool) -> int:
    """The exit status one attempt alone would give (the history's)."""
    if outcome in SUCCESS:
        return EXIT_OK
    if outcome == INTERRUPTED:
        return EXIT_INTERRUPTED
    if outcome == FAILED and unreachable:
        return EXIT_UNREACHABLE
    return EXIT_REFUSED if outcome == REFUSED else EXIT_FAILED


@dataclass(frozen=True)
class Verdict:
    """Why a native operation refused: its reason code (None when it gave
    none) and, for an error of the host, the errno."""

    reason: Optional[str] = None
    errno: Optional[int] = None

    @property
    def host_error(self) -> bool:
        return self.reason == OS_ERROR


def verdict(ret: Any) -> Verdict:
    """The reason code a result record carries beside its message, if any."""
    data = getattr(ret, "RetData", None)
    if not isinstance(data, dict):
        return Verdict()
    reason = data.get("reason")
    number = data.get("errno")
    return Verdict(reason if isinstance(reason, str) and reason else None,
                   number if isinstance(number, int) and not isinstance(number, bool)
                   else None)


def host_error_message(number: Optional[int], what: str = "") -> str:
    """`host error: Too many open files (EMFILE)[: what]`."""
    if number is None:
        text = "an error of the host"
    else:
        name = _errno.errorcode.get(number)
        text = os.strerror(number) + (f" ({name})" if name else f" (errno {number})")
    return f"host error: {text}" + (f": {what}" if what else "")
