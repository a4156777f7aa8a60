"""Device addresses on the command line: each --address taken apart (by
quorvex._netaddr, the one place that checks them) and the check that no two
of them reach the same device."""

from __future__ import annotations

import socket
from collections.abc import Sequence

from .._netaddr import address_label, parse_address
from ._common import UsageError

__all__ = ["device_address", "same_devices"]


def device_address(text: str, default_port: int) -> tuple[str, int]:
    """(host, port) of an --address; a bad one is a usage error."""
    try:
        return parse_address(text, default_port)
    except ValueError as e:
        raise UsageError(e) from None


def same_devices(targets: Sequence[tuple[str, int]]) -> list[str]:
    """Texts naming the (host, port) targets that reach one device: the same
    label, or names that resolve to a common address and port. A name that
    does not resolve is left to the link, which reports it."""
    ends = []
    for host, port in targets if len(targets) > 1 else ():
        try:
            infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        except (OSError, UnicodeError):
            infos = []
        # (address, port), and the scope of a link-local IPv6 address
        ends.append({(sa[0], sa[1], *sa[3:4]) for *_, sa in infos})
    labels = [address_label(h, p) for h, p in targets]
    found: list[str] = []
    for i, first in enumerate(labels):
        for j in range(i + 1, len(labels)):
            if labels[j] == first:
                text = f"{first} is given more than once"
            elif ends[i] & ends[j]:
                address, port = min(ends[i] & ends[j])[:2]
                text = (f"{first} and {labels[j]} are the same device "
                        f"({address_label(address, port)})")
            else:
                continue
            if text not in found:
                found.append(text)
    return found
