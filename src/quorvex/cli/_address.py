"""Device addresses on the command line: each --address taken apart (by
quorvex._netaddr, the one place that checks them), and the devices of a
fleet verb (quorvex.fleet.check_duplicates refuses two that reach one)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .._netaddr import parse_address
from ._common import UsageError

if TYPE_CHECKING:
    from ..fleet import Device

__all__ = ["device_address", "devices"]


def device_address(text: str, default_port: int) -> tuple[str, int]:
    """(host, port) of an --address; a bad one is a usage error."""
    try:
        return parse_address(text, default_port)
    except ValueError as e:
        raise UsageError(e) from None


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
        return found
    targets = [device_address(t, args.port) for t in args.address]
    if any(expect.values()) and len(targets) > 1:
        raise UsageError("--expect-serial and --expect-fpga-id pin a single --address; "
                         "use an inventory to pin several devices")
    found = [Device(h, p, device_type=args.device_type, **expect) for h, p in targets]
    try:
        check_duplicates(found)
    except ValueError as e:
        raise UsageError(str(e)) from None
    return found
