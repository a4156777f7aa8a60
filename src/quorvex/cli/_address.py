"""Devices on the command line: each --address taken apart and each
--resource checked (by quorvex._netaddr, the one place that checks them),
and the devices of a fleet verb (quorvex.fleet.check_duplicates refuses two
that reach one)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .._netaddr import parse_address, parse_resource
from ._common import UsageError

if TYPE_CHECKING:
    from ..fleet import Device

__all__ = ["device_address", "device_resource", "devices", "require_visa"]


def device_address(text: str, default_port: int) -> tuple[str, int]:
    """(host, port) of an --address; a bad one is a usage error."""
    try:
        return parse_address(text, default_port)
    except ValueError as e:
        raise UsageError(e) from None


def device_resource(text: str) -> str:
    """A --resource, checked; a bad one, or no PyVISA to open it with, is a
    usage error."""
    try:
        name = parse_resource(text)
    except ValueError as e:
        raise UsageError(f"--resource: {e}") from None
    require_visa()
    return name


def require_visa() -> None:
    """A usage error, before anything connects, where PyVISA is missing."""
    try:
        import quorvex.visa  # noqa: F401
    except ImportError as e:
        raise UsageError(str(e)) from None


def _inventory_error(message: str) -> UsageError:
    """A usage error that --json names as an inventory's."""
    error = UsageError(message)
    error.kind = "inventory"  # type: ignore[attr-defined]
    return error


def devices(args: Any, *, pinning: bool = False) -> list[Device]:
    """The devices of a fleet verb: its --address and --resource list (with
    --device-type, and with `pinning` the --expect-serial/--expect-fpga-id of
    a single device) or its --inventory. Usage errors for a bad inventory
    row, a bad address or resource, or one device given twice, before
    anything connects."""
    from ..fleet import Device, InventoryError, check_duplicates, load_inventory

    expect = {"serial": getattr(args, "expect_serial", None),
              "fpga_id": getattr(args, "expect_fpga_id", None)} if pinning else {}
    targets = getattr(args, "targets", None) or []
    if args.inventory is not None:
        if targets:
            raise UsageError("--inventory lists the devices: give it without --address "
                             "and --resource")
        if any(expect.values()):
            raise UsageError("--expect-serial and --expect-fpga-id pin a single --address; "
                             "give the expected identities in the inventory")
        try:
            found = load_inventory(args.inventory)
        except InventoryError as e:
            raise _inventory_error(f"--inventory: {e}") from None
        except OSError as e:
            raise _inventory_error(f"--inventory: cannot read {args.inventory}: "
                                   f"{e.strerror or e}") from None
        if any(d.resource is not None for d in found):
            require_visa()
        return found
    if not targets:
        raise UsageError("one of the arguments --address/-a --resource/-r --inventory/-i "
                         "is required")
    if any(expect.values()) and len(targets) > 1:
        raise UsageError("--expect-serial and --expect-fpga-id pin a single --address; "
                         "use an inventory to pin several devices")
    found = []
    for option, text in targets:
        if option == "resource":
            found.append(Device(resource=device_resource(text), device_type=args.device_type,
                                **expect))
        else:
            host, port = device_address(text, args.port)
            found.append(Device(host, port, device_type=args.device_type, **expect))
    try:
        check_duplicates(found)
    except ValueError as e:
        raise UsageError(str(e)) from None
    return found
