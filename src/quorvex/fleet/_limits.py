"""The descriptors a run needs: each device running at once holds its link
and, while it is checked and written, the image file; the soft limit of
open files is raised towards the hard one when the run needs more."""

from __future__ import annotations

import errno
import logging
import os

__all__ = ["PER_DEVICE", "HEADROOM", "DescriptorLimit", "ensure_descriptors"]

logger = logging.getLogger("quorvex.fleet")

#: Descriptors one running device may hold at once: its socket, the image
#: file open for a check or the transfer, and a spare for the odd probe.
PER_DEVICE = 4
#: Descriptors kept free beyond the devices' (history, logs, the driver).
HEADROOM = 32


class DescriptorLimit(OSError):
    """The run needs more descriptors than this process may open."""


def _open_now() -> int:
    """Descriptors open now (0 where the system does not say)."""
    for folder in ("/proc/self/fd", "/dev/fd"):
        try:
            return len(os.listdir(folder))
        except OSError:
            continue
    return 0


def ensure_descriptors(devices_at_once: int) -> None:
    """Makes room for `devices_at_once` running devices: raises the soft
    RLIMIT_NOFILE (up to the hard limit) when it is too low, and raises
    DescriptorLimit, naming the figures, when even the hard limit is."""
    try:
        import resource
    except ImportError:  # no such limits here
        return
    need = _open_now() + HEADROOM + PER_DEVICE * max(0, devices_at_once)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY or need <= soft:
        return
    if hard != resource.RLIM_INFINITY and need > hard:
        fits = max(1, (hard - _open_now() - HEADROOM) // PER_DEVICE)
        raise DescriptorLimit(
            errno.EMFILE,
            f"{devices_at_once} devices at once need about {need} open files, and this "
            f"process may open at most {hard} (ulimit -Hn); run at most {fits} at once "
            f"(--jobs {fits}) or raise the limit; no device was touched")
    target = hard if hard != resource.RLIM_INFINITY else need
    resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    logger.info("raised the limit of open files from %d to %d for %d devices at once",
                soft, target, devices_at_once)
