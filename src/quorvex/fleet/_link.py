"""The link of one attempt at a device: opening it (TCP or VISA), closing
it whatever that raises, and telling a host out of descriptors or memory
from a device that does not answer."""

from __future__ import annotations

import errno
import socket
from typing import TYPE_CHECKING, Any, Optional

from .._netaddr import connect_error
from ._model import Device

if TYPE_CHECKING:
    from ..QVRCommService import _TCPConn

__all__ = ["open_link", "open_device_link", "close_quietly", "host_shortage"]


def open_link(host: str, port: int, timeout: float) -> _TCPConn:
    """A connected _TCPConn, or ConnectionError("Cannot connect to ...")."""
    from ..QVRCommService import _TCPConn

    link = _TCPConn(host, port, timeout=timeout, slow_timeout=max(120.0, timeout))
    if not link.initConnection():
        raise connect_error(host, port, link.last_error)
    return link


def open_device_link(device: Device, timeout: float) -> Any:
    """A connected link to `device`: a VisaLink for a device with a VISA
    resource, else a _TCPConn; ConnectionError("Cannot connect to ...")."""
    if device.resource is None:
        return open_link(device.address, device.port, timeout)
    from ..visa import VisaLink

    link = VisaLink(device.resource, timeout=timeout, slow_timeout=max(120.0, timeout))
    if not link.initConnection():
        why = link.last_error or ""
        if why.startswith(device.resource + ": "):
            why = why[len(device.resource) + 2:]
        raise ConnectionError(f"Cannot connect to {device.resource}" + (f": {why}" if why else ""))
    return link


def close_quietly(link: Any) -> None:
    """Closes a link, if there is one, whatever closing it raises: what is
    being given up has no use for the error. Safe from another thread, where
    it wakes a command waiting on the link."""
    if link is not None:
        try:
            link.closeConnection()
        except Exception:
            pass


#: Errors of this host (not of a device or its link) that may pass.
_SHORTAGES = frozenset({errno.EMFILE, errno.ENFILE, errno.ENOMEM, errno.ENOBUFS})


def host_shortage() -> Optional[OSError]:
    """The error of this host that keeps it from opening a socket now (no
    descriptor, no memory), or None when it can."""
    try:
        socket.socket().close()
    except OSError as e:
        if e.errno in _SHORTAGES:
            return e
    return None
