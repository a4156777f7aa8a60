"""The options and argument types that several verbs of quorvex-fpga share.

Ports and addresses are checked by quorvex._netaddr, like everywhere else;
an address given with --address is taken apart by the verb (see _address),
so that a bad one is a usage error that names it.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence
from typing import Any

from .._netaddr import parse_device_type, port_arg


def seconds(text: str) -> float:
    """An argparse `type=` for a time-out: seconds > 0, at most a day."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value <= 86400:
        raise argparse.ArgumentTypeError(f"expected a number of seconds > 0, not {text!r}")
    return value


def dev_type(text: str) -> int:
    """An argparse `type=` for a device type number (> 0, decimal)."""
    try:
        value = parse_device_type(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a device type number such as 32, not {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive device type, not {text!r}")
    return value


def output_options() -> argparse.ArgumentParser:
    """A parent parser with -v and -q, which every verb but emulate takes."""
    common = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    out = common.add_argument_group("output")
    out.add_argument("-v", "--verbose", action="store_true",
                     help="show debug log lines too")
    out.add_argument("-q", "--quiet", action="store_true",
                     help="no progress and no info lines: only warnings, errors and results")
    return common


def json_error(kind: str, message: str, exit_status: int) -> dict[str, Any]:
    """What --json prints for a run that ended without a result of its own:
    {"error": {"kind": ..., "message": ..., "exit_status": ...}}. The kinds:
    "usage" (the command line), "config" (the configuration file),
    "inventory", "image" (refused offline), "history" (it cannot be opened,
    read or written),
    "link", "interrupted" and "internal"."""
    return {"error": {"kind": kind, "message": message, "exit_status": exit_status}}


def wants_json(argv: Sequence[str]) -> bool:
    """Whether a command line asks for --json (before any "--"), looked at
    before it is parsed: a command line that does not parse gets its error
    as JSON too."""
    args = list(argv)
    return "--json" in (args[:args.index("--")] if "--" in args else args)


def json_option() -> argparse.ArgumentParser:
    """A parent parser with --json."""
    json_opt = argparse.ArgumentParser(add_help=False, allow_abbrev=False)
    json_opt.add_argument("--json", action="store_true",
                          help="print the result as one JSON object on standard output")
    return json_opt


class _Target(argparse.Action):
    """--address and --resource, each a list of its own and, in the order
    given, (option, value) pairs in `targets`."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        setattr(namespace, self.dest, list(getattr(namespace, self.dest) or []) + [values])
        namespace.targets = list(getattr(namespace, "targets", None) or []) + \
            [(self.dest, values)]


_RESOURCE_HELP = ("a VISA resource string, such as TCPIP::192.0.2.10::5025::SOCKET, "
                  "TCPIP::192.0.2.10::hislip0::INSTR, USB0::...::INSTR or "
                  "ASRL/dev/ttyUSB0::INSTR (needs the extra quorvex[visa])")


def _one_way_to_name_devices(ns: argparse.Namespace) -> str | None:
    if ns.inventory is not None and ns.targets:
        return ("argument --inventory/-i: not allowed with argument "
                + ("--address/-a" if ns.address else "--resource/-r"))
    # A run taken up again (update --retry-failed/--resume) brings its own devices.
    again = getattr(ns, "retry_failed", None) or getattr(ns, "resume", None)
    if ns.inventory is None and not ns.targets and not again:
        return "one of the arguments --address/-a --resource/-r --inventory/-i is required"
    return None


def device_options(p: argparse.ArgumentParser, several: bool) -> None:
    """--address and --resource (repeatable with `several`, then together in
    the order given, or --inventory FILE instead; without `several` exactly
    one of the two), --port, --device-type and --timeout."""
    g = p.add_argument_group("device")
    if several:
        g.add_argument("--address", "-a", action=_Target, metavar="HOST",
                       help="a device: a host name or IP address, optionally with :PORT "
                            "([IPV6]:PORT for IPv6). Repeat it (and --resource) for several "
                            "devices, worked on at once")
        g.add_argument("--resource", "-r", action=_Target, metavar="VISA_RESOURCE",
                       help="a device reached through VISA: " + _RESOURCE_HELP)
        g.add_argument("--inventory", "-i", metavar="FILE",
                       help="the devices from a .csv or .toml inventory (address or resource, "
                            "and optionally port, name, serial, fpga_id, device_type)")
        p.set_defaults(targets=[])
        if hasattr(p, "add_check"):
            p.add_check(_one_way_to_name_devices)
    else:
        which = g.add_mutually_exclusive_group(required=True)
        which.add_argument("--address", "-a", metavar="HOST",
                           help="the device: a host name or IP address, optionally with :PORT "
                                "([IPV6]:PORT for IPv6)")
        which.add_argument("--resource", "-r", metavar="VISA_RESOURCE",
                           help="the device, reached through VISA: " + _RESOURCE_HELP)
    g.add_argument("--port", "-p", type=port_arg(), default=5025,
                   help="TCP port for addresses given without one (default: %(default)s)")
    g.add_argument("--device-type", "-t", type=dev_type, default=32, metavar="N",
                   help="the device type (default: %(default)s)")
    g.add_argument("--timeout", type=seconds, default=10.0, metavar="S",
                   help="seconds to wait for the connection and for each reply "
                        "(default: %(default)s; an erase may take up to 120 s)")


def window_arg(text: str) -> int | str:
    """An argparse `type=` for --window: 1..256 or "auto"."""
    from ..fleet._window import check_window

    try:
        return check_window(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def window_option(p: Any, what: str) -> None:
    """--window N|auto, default 1 (or the configuration's window)."""
    p.add_argument("--window", type=window_arg, default=1, metavar="N|auto",
                   help=f"keep up to N {what} commands in flight per device (1..256; "
                        f"default: %(default)s, one command after another's reply); 'auto' "
                        f"asks each device first whether it answers commands sent together "
                        f"in order, then uses 32, else 1 (see the README)")


def count(low: int) -> Callable[[str], int]:
    """An argparse `type=` for a whole number >= low."""

    def number(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if value < low:
            raise argparse.ArgumentTypeError(f"expected a whole number >= {low}, not {text!r}")
        return value

    return number
