"""`run_cancellable`: runs a quorvex.fleet update, dry run or verify on a
thread of its own, so that Ctrl-C stops it cleanly and its report still
comes back."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._console import Console

__all__ = ["run_cancellable"]


def run_cancellable(run: Callable[[threading.Event], Any], console: Console,
                    grace: float = 15.0) -> tuple[Any, bool]:
    """Runs `run(cancel)` (a quorvex.fleet update or verify) on a thread of
    its own and waits for it. Ctrl-C sets `cancel`: the fleet stops every
    retry wait and interrupts the running devices, and its report still
    comes back. Returns (what run returned, whether Ctrl-C was pressed);
    an exception of the run is raised here. A run that has not ended
    `grace` seconds after Ctrl-C (or at a second Ctrl-C after it) is left
    behind: KeyboardInterrupt."""
    cancel, finished = threading.Event(), threading.Event()
    box: dict[str, Any] = {}

    def target() -> None:
        try:
            box["value"] = run(cancel)
        except BaseException as e:  # handed to the waiting thread
            box["error"] = e
        finally:
            finished.set()

    worker = threading.Thread(target=target, name="fleet", daemon=True)
    worker.start()
    interrupted = False
    deadline = None
    # An Event, not Thread.join: a join that Ctrl-C interrupts may take the
    # thread for ended while it runs on.
    while not finished.is_set():
        try:
            finished.wait(0.1)
        except KeyboardInterrupt:
            if interrupted:
                raise
            interrupted = True
            cancel.set()
            console.line("stopping (Ctrl-C again to leave at once) ...")
            deadline = time.monotonic() + grace
        if deadline is not None and time.monotonic() > deadline:
            raise KeyboardInterrupt
    if "error" in box:
        raise box["error"]
    return box.get("value"), interrupted
