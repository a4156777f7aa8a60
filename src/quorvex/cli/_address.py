"""Device addresses on the command line: each --address taken apart (by
quorvex._netaddr, the one place that checks them) and the check that no two
of them reach the same device."""

from __future__ import annotations

import ipaddress
import socket
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .._netaddr import address_label, parse_address
from ._common import UsageError

if TYPE_CHECKING:
    from ..fleet import Device

__all__ = ["device_address", "devices", "same_devices"]


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
    ends: list[set[tuple[Any, ...]]] = []
    for host, port in targets if len(targets) > 1 else ():
        try:
            infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        except (OSError, UnicodeError):
            infos = []
        # (address, port), and the scope of a link-local IPv6 address; an
        # IPv4-mapped IPv6 address is the IPv4 address it carries
        ends.append({(_unmapped(str(sa[0])), int(sa[1]), *[int(s) for s in sa[3:4] if s])
                     for *_, sa in infos})
    labels = [address_label(h, p) for h, p in targets]
    found: list[str] = []
    for i, first in enumerate(labels):
        for j in range(i + 1, len(labels)):
            if labels[j] == first:
                text = f"{first} is given more than once"
            elif ends[i] & ends[j]:
                common = min(ends[i] & ends[j])
                text = (f"{first} and {labels[j]} are the same device "
                        f"({address_label(str(common[0]), int(common[1]))})")
            else:
                continue
            if text not in found:
                found.append(text)
    return found


def _unmapped(address: str) -> str:
    """An IPv4-mapped IPv6 address (::ffff:127.0.0.1) as the IPv4 address it is."""
    try:
        mapped = ipaddress.ip_address(address.split("%")[0]).ipv4_mapped  # type: ignore[union-attr]
    except (ValueError, AttributeError):
        return address
    return str(mapped) if mapped is not None else address


def devices(args: Any, *, pinning: bool = False) -> list[Device]:
    """The devices of a fleet verb: its --address list (with --device-type,
    and with `pinning` the --expect-serial/--expect-fpga-id of a single
    device) or its --inventory. Usage errors for a bad inventory row, a bad
    address, or one device given twice, before anything connects."""
    from ..fleet import Device, InventoryError, check_duplicates, load_inventory

    expect = {"serial": getattr(args, "expect_serial", None),
              "fpga_id": getattr(args, "expect_fpga_id", None)} if pinning else {}
    if args.inventory is not None:
        if any(expect.values()):
            raise UsageError("--expect-serial and --expect-fpga-id pin a single --address; "
                             "give the expected identities in the inventory")
        try:
            found = load_inventory(args.inventory)
        except InventoryError as e:
            raise UsageError(f"--inventory: {e}") from None
        except OSError as e:
            raise UsageError(f"--inventory: cannot read {args.inventory}: "
                             f"{e.strerror or e}") from None
        if not found:
            raise UsageError(f"--inventory: {args.inventory} lists no device")
        return found
    targets = [device_address(t, args.port) for t in args.address]
    if any(expect.values()) and len(targets) > 1:
        raise UsageError("--expect-serial and --expect-fpga-id pin a single --address; "
                         "use an inventory to pin several devices")
    twice = same_devices(targets)
    if twice:
        raise UsageError(f"{'; '.join(twice)}: one device can take only one update at a time")
    found = [Device(h, p, device_type=args.device_type, **expect) for h, p in targets]
    try:
        check_duplicates(found)
    except ValueError as e:
        raise UsageError(f"{e}: one device can take only one update at a time") from None
    return found
