"""Ports and device addresses as users type them: the one place that checks them.

The command line (quorvex-fpga) and the emulator's own script take ports
and addresses from people; both go through these functions, so a port means
the same thing, and is refused in the same words, everywhere.
"""

from __future__ import annotations

import argparse
from typing import Callable, Optional


def parse_port(text: str | int, *, allow_zero: bool = False) -> int:
    """A TCP port from text or an int: 1..65535, or 0..65535 with
    `allow_zero` (0 asks the system for a free port). ValueError otherwise."""
    low = 0 if allow_zero else 1
    try:
        port = int(text)
    except (TypeError, ValueError):
        port = -1
    if isinstance(text, bool) or not low <= port <= 65535:
        raise ValueError(f"expected a TCP port {low}..65535, not {text!r}")
    return port


def port_arg(*, allow_zero: bool = False) -> Callable[[str], int]:
    """An argparse `type=` for a port, see parse_port."""

    def port(text: str) -> int:
        try:
            return parse_port(text, allow_zero=allow_zero)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    return port


def parse_address(text: str, default_port: int) -> tuple[str, int]:
    """HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; a bare IPv6 address takes
    the default port. Returns (host, port); ValueError for a bad one."""
    host, port = text.strip(), None
    if host.startswith("["):
        end = host.find("]")
        rest = host[end + 1:] if end >= 0 else ""
        if end < 0 or (rest and not rest.startswith(":")):
            raise ValueError(f"bad address {text!r}: expected [IPV6] or [IPV6]:PORT")
        host, port = host[1:end], (rest[1:] if rest else None)
    elif host.count(":") == 1:
        host, port = host.split(":")
    if not host:
        raise ValueError(f"bad address {text!r}: no host")
    if port is None:
        return host, default_port
    try:
        if not port.isdigit():  # no sign, space or underscore inside an address
            raise ValueError(port)
        return host, parse_port(port)
    except ValueError:
        raise ValueError(f"bad port in address {text!r}: expected 1..65535") from None


def address_label(host: str, port: int) -> str:
    """How messages name a device: host:port, or [v6addr]:port."""
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def connect_error(host: str, port: int, why: Optional[str]) -> ConnectionError:
    """The error of a device that cannot be reached: "Cannot connect to
    HOST:PORT: why", `why` being the link's last_error (which may start with
    the same label: it is said once)."""
    label = address_label(host, port)
    why = why or ""
    if why.startswith(label + ": "):
        why = why[len(label) + 2:]
    return ConnectionError(f"Cannot connect to {label}" + (f": {why}" if why else ""))


def parse_resource(text: str) -> str:
    """A VISA resource string as typed ("TCPIP::192.0.2.10::5025::SOCKET",
    "ASRL/dev/ttyUSB0::INSTR"), stripped; ValueError for an empty one, one
    with white space or control characters inside, or (where PyVISA is
    installed) one that PyVISA cannot parse."""
    name = text.strip() if isinstance(text, str) else ""
    if not name or any(c.isspace() or ord(c) < 0x20 or c == "\x7f" for c in name):
        raise ValueError(f"bad VISA resource {text!r}")
    try:
        from pyvisa import rname
    except ImportError:
        return name
    try:
        rname.parse_resource_name(name)
    except rname.InvalidResourceName as e:
        raise ValueError(f"bad VISA resource {text!r}: {' '.join(str(e).split())}") from None
    return name


def resource_ends(name: str) -> tuple[str, Optional[tuple[str, int]]]:
    """What tells two resources apart: the resource in PyVISA's canonical
    form, folded to lower case ("tcpip::x::..." and "TCPIP0::X::..." are one
    device), and for a TCPIP socket resource the (host, port) it reaches."""
    try:
        from pyvisa import rname
        parsed = rname.parse_resource_name(name)
    except Exception:  # no PyVISA, or a name it cannot parse
        return name.lower(), None
    end = None
    if isinstance(parsed, rname.TCPIPSocket):
        try:
            end = (parsed.host_address, int(parsed.port))
        except ValueError:
            end = None
    return str(parsed).lower(), end
