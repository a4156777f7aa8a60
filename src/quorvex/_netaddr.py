"""Ports and device addresses as users type them: the one place that checks them.

The command line (quorvex-fpga) and the emulator's own script take ports
and addresses from people; both go through these functions, so a port means
the same thing, and is refused in the same words, everywhere.
"""

from __future__ import annotations

import argparse
import ipaddress
import re
from typing import Any, Callable, Optional


def _whole_number(value: Any) -> int:
    """An int (not a bool), or a text of decimal digits (white space around
    it allowed); ValueError for anything else: a real number, inf, a sign,
    an underscore, hex."""
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    if isinstance(value, str):
        digits = value.strip()
        if digits.isascii() and digits.isdigit() and len(digits) <= 18:
            return int(digits)
    raise ValueError(value)


def parse_port(text: str | int, *, allow_zero: bool = False) -> int:
    """A TCP port from decimal text or an int: 1..65535, or 0..65535 with
    `allow_zero` (0 asks the system for a free port). ValueError otherwise,
    a real number (5025.9) included."""
    low = 0 if allow_zero else 1
    try:
        port = _whole_number(text)
    except ValueError:
        port = -1
    if not low <= port <= 65535:
        raise ValueError(f"expected a TCP port {low}..65535, not {text!r}")
    return port


def parse_device_type(value: str | int) -> int:
    """A device type from decimal text or an int, 0..65535; ValueError
    naming the value otherwise (32.5 is no device type)."""
    try:
        number = _whole_number(value)
    except ValueError:
        number = -1
    if not 0 <= number <= 0xFFFF:
        text = repr(value)
        raise ValueError(f"bad device_type {text if len(text) <= 80 else text[:77] + '...'}: "
                         f"expected a whole number such as 32")
    return number


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
    the default port. HOST is a host name, an IPv4 address or (bare or in
    brackets) an IPv6 address. Returns (host, port); ValueError naming the
    text for a bad one."""
    if not isinstance(text, str):
        raise ValueError(f"bad address {text!r}")
    host, port = text.strip(), None
    if host.startswith("["):
        end = host.find("]")
        rest = host[end + 1:] if end >= 0 else ""
        if end < 0 or (rest and not rest.startswith(":")):
            raise ValueError(f"bad address {text!r}: expected [IPV6] or [IPV6]:PORT")
        host, port = host[1:end], (rest[1:] if rest else None)
        if not _is_ipv6(host):
            raise ValueError(f"bad address {text!r}: not an IPv6 address in brackets")
    elif host.count(":") == 1:
        host, port = host.split(":")
    elif ":" in host and not _is_ipv6(host):
        raise ValueError(f"bad address {text!r}: not an IPv6 address (HOST:PORT has one "
                         f"colon; [IPV6]:PORT brackets an IPv6 address)")
    if not host:
        raise ValueError(f"bad address {text!r}: no host")
    if ":" not in host and not _is_host(host):
        raise ValueError(f"bad address {text!r}: not a host name or IPv4 address")
    if port is None:
        return host, default_port
    try:
        if not port.isdigit():  # no sign, space or underscore inside an address
            raise ValueError(port)
        return host, parse_port(port)
    except ValueError:
        raise ValueError(f"bad port in address {text!r}: expected 1..65535") from None


def _is_ipv6(text: str) -> bool:
    """An IPv6 literal, optionally with a %zone of printable characters."""
    address, _, zone = text.partition("%")
    if "%" in text and not _LABEL.fullmatch(zone):
        return False
    try:
        ipaddress.IPv6Address(address)
    except ValueError:
        return False
    return True


# A host name's label: letters (any script), digits, hyphens and
# underscores, neither first nor last a hyphen; names of up to 253 characters.
_LABEL = re.compile(r"(?!-)[^\W]([\w-]{0,61}[^\W])?(?<!-)")


_OCTET = r"(?:25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])"
_IPV4 = re.compile(rf"{_OCTET}(?:\.{_OCTET}){{3}}")


def _is_host(text: str) -> bool:
    """A host name (RFC 1123 labels, a final dot allowed) or an IPv4 address."""
    if _IPV4.fullmatch(text):
        return True
    labels = text[:-1].split(".") if text.endswith(".") else text.split(".")
    if len(text) > 253 or not all(_LABEL.fullmatch(label) for label in labels):
        return False
    # All-numeric last label: an IPv4 address gone wrong (192.0.2.300), not a name.
    return not labels[-1].isdigit()


def is_host(text: str) -> bool:
    """Whether `text` alone (no port, no brackets) names a host: a host name,
    an IPv4 address or an IPv6 address."""
    return isinstance(text, str) and (_is_host(text) or ":" in text and _is_ipv6(text))


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
