"""Inventories: the devices of a run, read from a .csv or a .toml file and
checked whole before anything connects."""

from __future__ import annotations

import csv
import ipaddress
import os
import socket
import sys
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any, Optional

from .._netaddr import address_label, parse_address, parse_port, parse_resource, resource_ends
from ._model import Device

__all__ = ["InventoryError", "load_inventory", "check_duplicates"]

_KEYS = ("address", "port", "name", "serial", "fpga_id", "device_type", "resource")


class InventoryError(ValueError):
    """A bad inventory: the message names the file, the line and the value."""


def load_inventory(path: str | os.PathLike[str]) -> list[Device]:
    """The devices of a .csv (header row; columns address, port, name, serial,
    fpga_id, device_type, resource; each row an address or a VISA resource)
    or .toml ([[device]] tables with the same keys) inventory. InventoryError for a bad row or a device
    listed twice (see check_duplicates)."""
    p = Path(path)
    suffix = p.suffix.lower()
    if suffix not in (".csv", ".toml"):
        raise InventoryError(f"{p}: an inventory is a .csv or a .toml file, not {p.suffix!r}")
    try:
        data = p.read_bytes()
    except OSError as e:
        raise InventoryError(f"{p}: cannot read the inventory: {e.strerror or e}") from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        line = data[:e.start].count(b"\n") + 1
        raise InventoryError(f"{p}, line {line}: not UTF-8 text") from None
    rows = _csv_rows(p, text) if suffix == ".csv" else _toml_rows(p, text)
    devices = [_device(p, line, row) for line, row in rows]
    if not devices:
        raise InventoryError(f"{p}: the inventory lists no device")
    check_duplicates(devices, _lines=[line for line, _ in rows], _source=p)
    return devices


def _csv_rows(p: Path, text: str) -> list[tuple[int, dict[str, Any]]]:
    """The rows of a CSV inventory with their line numbers. Blank lines (and
    blank lines before the header) are passed over, and so are empty cells
    past the last column, which spreadsheets tend to write."""
    reader = csv.reader(text.splitlines(keepends=True))
    try:
        header = next((cells for cells in reader if any(c.strip() for c in cells)), None)
    except csv.Error as e:
        raise InventoryError(f"{p}, line {reader.line_num}: {e}") from None
    if header is None:
        raise InventoryError(f"{p}: empty inventory: expected a header row naming the columns")
    at = reader.line_num
    header = [h.strip().lower() for h in header]
    while header and not header[-1]:
        header.pop()
    for h in header:
        if h not in _KEYS:
            raise InventoryError(f"{p}, line {at}: unknown column {h!r}; "
                                 f"the columns are {', '.join(_KEYS)}")
    if len(set(header)) != len(header):
        raise InventoryError(f"{p}, line {at}: a column is named twice")
    if "address" not in header and "resource" not in header:
        raise InventoryError(f"{p}, line {at}: no 'address' or 'resource' column")
    rows = []
    try:
        for cells in reader:
            line = reader.line_num
            if not any(c.strip() for c in cells):
                continue
            extra = [c for c in cells[len(header):] if c.strip()]
            if extra:
                raise InventoryError(f"{p}, line {line}: {len(cells)} values for "
                                     f"{len(header)} columns: {extra[0]!r}")
            rows.append((line, {k: v.strip() for k, v in zip(header, cells) if v.strip()}))
    except csv.Error as e:
        raise InventoryError(f"{p}, line {reader.line_num}: {e}") from None
    return rows


def _toml_rows(p: Path, text: str) -> list[tuple[int, dict[str, Any]]]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - 3.10
        import tomli as tomllib
    try:
        doc = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise InventoryError(f"{p}: {e}") from None
    extra = sorted(set(doc) - {"device"})
    if extra:
        raise InventoryError(f"{p}, line {_line_of(text, extra[0])}: unknown table or key "
                             f"{extra[0]!r}; devices are [[device]] tables")
    tables = doc.get("device", [])
    if not isinstance(tables, list):
        raise InventoryError(f"{p}, line {_line_of(text, 'device')}: 'device' must be an "
                             f"array of tables ([[device]])")
    # The line of each [[device]] header, in order: tomllib keeps no positions.
    heads = [i + 1 for i, s in enumerate(text.splitlines())
             if s.strip().replace(" ", "").startswith("[[device]]")]
    rows = []
    for n, table in enumerate(tables):
        line = heads[n] if n < len(heads) else 0
        if not isinstance(table, Mapping):
            raise InventoryError(f"{p}, line {line}: device {n + 1} is not a table")
        rows.append((line, dict(table)))
    return rows


def _line_of(text: str, key: str) -> int:
    for i, s in enumerate(text.splitlines()):
        if s.lstrip().lstrip("[").startswith(key):
            return i + 1
    return 0


def _device(p: Path, line: int, row: Mapping[str, Any]) -> Device:
    where = f"{p}, line {line}" if line else str(p)
    for k, v in row.items():
        if k not in _KEYS:
            raise InventoryError(f"{where}: unknown key {k!r}; the keys are {', '.join(_KEYS)}")
        if isinstance(v, (list, dict, bool)) or (k not in ("port", "device_type")
                                                 and not isinstance(v, str)):
            raise InventoryError(f"{where}: bad {k} {v!r}")
    if "address" in row and "resource" in row:
        raise InventoryError(f"{where}: an address and a resource: give one of them")
    if "resource" in row:
        if "port" in row:
            raise InventoryError(f"{where}: a port with a VISA resource: the resource "
                                 f"names its own")
        try:
            resource = parse_resource(row["resource"])
        except ValueError as e:
            raise InventoryError(f"{where}: {e}") from None
        return Device(resource=resource, **_identity(where, row))
    if "address" not in row:
        raise InventoryError(f"{where}: no address or resource")
    port = 5025
    if "port" in row:
        try:
            port = parse_port(row["port"])
        except ValueError:
            raise InventoryError(f"{where}: bad port {row['port']!r}: expected 1..65535") from None
    try:
        host, port = parse_address(row["address"], port)
    except ValueError:
        raise InventoryError(f"{where}: bad address {row['address']!r}") from None
    if "port" in row and port != parse_port(row["port"]):
        raise InventoryError(f"{where}: address {row['address']!r} names a port other than "
                             f"the port column's {row['port']!r}")
    return Device(host, port, **_identity(where, row))


def _identity(where: str, row: Mapping[str, Any]) -> dict[str, Any]:
    """The name, expected identity and device type of a row."""
    device_type = 32
    if "device_type" in row:
        v = row["device_type"]
        try:
            device_type = int(v, 0) if isinstance(v, str) else int(v)
        except (TypeError, ValueError):
            device_type = -1
        if isinstance(v, bool) or not 0 <= device_type <= 0xFFFF:
            raise InventoryError(f"{where}: bad device_type {v!r}") from None
    for k in ("name", "serial", "fpga_id"):
        v = row.get(k)
        if v is not None and (not v.strip() or any(c in v for c in "\r\n\0")):
            raise InventoryError(f"{where}: bad {k} {v!r}")
    return dict(name=row.get("name"), serial=row.get("serial"), fpga_id=row.get("fpga_id"),
                device_type=device_type)


def _ends(host: str, port: int) -> set[tuple[Any, ...]]:
    """The (address, port[, scope]) ends a host name reaches; an IPv4-mapped
    IPv6 address counts as its IPv4 address."""
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    except (OSError, UnicodeError):
        infos = []
    ends = set()
    for *_, sa in infos:
        address = str(sa[0])
        try:
            ip = ipaddress.ip_address(address.split("%", 1)[0])
        except ValueError:
            ip = None
        if isinstance(ip, ipaddress.IPv6Address) and ip.ipv4_mapped is not None:
            ends.add((str(ip.ipv4_mapped), sa[1]))
        else:
            ends.add((address, sa[1], *sa[3:4]))
    return ends


def _device_ends(d: Device) -> tuple[Any, set[tuple[Any, ...]]]:
    """What names a device (its resource, canonical and folded, or its host
    and port) and the network ends it reaches."""
    if d.resource is not None:
        key, end = resource_ends(d.resource)
        return ("resource", key), (_ends(*end) if end else set())
    return ("address", d.address.lower(), d.port), _ends(d.address, d.port)


def check_duplicates(devices: Sequence[Device], *, _lines: Optional[Sequence[int]] = None,
                     _source: Optional[Path] = None) -> None:
    """InventoryError (a ValueError) when two entries reach one device: the
    same host and port, or names that resolve to a common address and port
    (an IPv4-mapped IPv6 address is the IPv4 address), the same VISA
    resource, or a TCPIP socket resource and an address that reach one end.
    A name that does not resolve is left to the link, which reports it."""
    if len(devices) < 2:
        return
    found = [_device_ends(d) for d in devices]
    for j in range(1, len(devices)):
        for i in range(j):
            a, b = devices[i], devices[j]
            same = found[i][0] == found[j][0]
            common = found[i][1] & found[j][1]
            if not (same or common):
                continue
            la, lb = a.endpoint, b.endpoint
            where = f"{_source}, line {_lines[j]}: " if _source and _lines else ""
            if same:
                why = f"{lb} is given more than once" if la.lower() == lb.lower() else \
                    f"{la} and {lb} are the same device"
            else:
                address, port = min(common)[:2]
                why = f"{la} and {lb} are the same device ({address_label(address, port)})"
            raise InventoryError(f"{where}{why}: one device can take only one update at a time")
