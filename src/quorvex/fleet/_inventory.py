"""Inventories: the devices of a run, read from a .csv or a .toml file and
checked whole before anything connects.

An inventory is at most MAX_INVENTORY_BYTES (64 MiB) long; a CSV inventory
is read as a stream, so its blank rows cost no memory. Every value is
checked (a port or device type is a whole number or a decimal text, an
address a host name or an IP literal), and a bad one is named with its file
and line."""

from __future__ import annotations

import codecs
import csv
import ipaddress
import itertools
import os
import re
import socket
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, BinaryIO, Optional

from .._files import FileTooLarge, open_regular
from .._netaddr import (address_label, parse_address, parse_device_type, parse_port,
                        parse_resource, resource_ends)
from ._model import Device

__all__ = ["InventoryError", "MAX_INVENTORY_BYTES", "load_inventory", "check_duplicates"]

_KEYS = ("address", "port", "name", "serial", "fpga_id", "device_type", "resource")

# Far more than any line's inventory needs (a row is some 60 bytes), and a
# bound on the time and memory a mistaken or hostile file can take.
MAX_INVENTORY_BYTES = 64 * 1024 * 1024
_CHUNK = 1 << 20


# The rows of an inventory: (line, values, where each key is when not on that line).
_Rows = list[tuple[int, dict[str, Any], Optional[Callable[[str], int]]]]


class InventoryError(ValueError):
    """A bad inventory: the message names the file, the line and the value."""


def load_inventory(path: str | os.PathLike[str]) -> list[Device]:
    """The devices of a .csv (header row; columns address, port, name, serial,
    fpga_id, device_type, resource; each row an address or a VISA resource)
    or .toml ([[device]] tables with the same keys) inventory of at most
    MAX_INVENTORY_BYTES. InventoryError for a file that is not a regular
    file or is too large, a bad row or a device listed twice (see
    check_duplicates)."""
    p = Path(path)
    suffix = p.suffix.lower()
    if suffix not in (".csv", ".toml"):
        raise InventoryError(f"{p}: an inventory is a .csv or a .toml file, not {p.suffix!r}")
    try:
        with open_regular(p, limit=MAX_INVENTORY_BYTES) as f:
            rows = _csv_rows(p, _slices(p, f)) if suffix == ".csv" else _toml_rows(p, f)
    except FileTooLarge:
        raise InventoryError(f"{p}: larger than {MAX_INVENTORY_BYTES >> 20} MiB, the most "
                             f"an inventory may hold; split it") from None
    except OSError as e:
        raise InventoryError(f"{p}: cannot read the inventory: "
                             f"{e.strerror or str(e).removeprefix(f'{p}: ')}") from None
    devices = [_device(p, *row) for row in rows]
    if not devices:
        raise InventoryError(f"{p}: the inventory lists no device")
    check_duplicates(devices, _lines=[row[0] for row in rows], _source=p)
    return devices


def _slices(p: Path, f: BinaryIO) -> Iterator[list[str]]:
    """The text lines of a UTF-8 file (a byte order mark dropped), split as
    str.splitlines splits them, a slice of the file at a time; InventoryError
    naming the line of a byte that is not UTF-8, FileTooLarge past the bound."""
    decoder = codecs.getincrementaldecoder("utf-8-sig")()
    carry, newlines, total = "", 0, 0
    while True:
        chunk = f.read(_CHUNK)
        total += len(chunk)
        if total > MAX_INVENTORY_BYTES:
            raise FileTooLarge(str(p))
        pending = len(decoder.getstate()[0])
        try:
            text = decoder.decode(chunk, final=not chunk)
        except UnicodeDecodeError as e:
            line = newlines + chunk[:max(0, e.start - pending)].count(b"\n") + 1
            raise InventoryError(f"{p}, line {line}: not UTF-8 text") from None
        newlines += chunk.count(b"\n")
        parts = (carry + text).splitlines(keepends=True)
        # The last piece may be a line cut by the slice (or a CR whose LF follows).
        carry = parts.pop() if chunk and parts else ""
        yield parts
        if not chunk:
            if carry:
                yield [carry]
            return


# What a blank row holds: white space, line breaks and the commas of empty cells.
_BLANK = " \t\r\n\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029,"


def _unblank(slices: Iterator[list[str]], numbers: list[int]) -> Iterator[list[str]]:
    """The lines of `slices` less the blank rows (a blank line inside a
    quoted cell is kept), with the 1-based line number of each line kept
    appended to `numbers`: a file of blank rows costs no row of Python each."""
    seen, inside = 0, False
    for lines in slices:
        if not inside and '"' not in "".join(lines):
            keep = [i for i, line in enumerate(lines) if line.strip(_BLANK)]
        else:
            keep = []
            for i, line in enumerate(lines):
                if inside or line.strip(_BLANK):
                    keep.append(i)
                inside ^= bool(line.count('"') & 1)  # "" escapes keep the parity
        numbers.extend(seen + i + 1 for i in keep)
        seen += len(lines)
        yield [lines[i] for i in keep]


def _csv_rows(p: Path, slices: Iterator[list[str]]) -> _Rows:
    """The rows of a CSV inventory with their line numbers. Blank lines (and
    blank lines before the header) are passed over, and so are empty cells
    past the last column, which spreadsheets tend to write."""
    numbers: list[int] = []
    reader = csv.reader(itertools.chain.from_iterable(_unblank(slices, numbers)))

    def at() -> int:
        return numbers[reader.line_num - 1] if 0 < reader.line_num <= len(numbers) else 0

    try:
        header = next((cells for cells in reader if any(c.strip() for c in cells)), None)
    except csv.Error as e:
        raise InventoryError(f"{p}, line {at()}: {e}") from None
    if header is None:
        raise InventoryError(f"{p}: empty inventory: expected a header row naming the columns")
    head = at()
    header = [h.strip().lower() for h in header]
    while header and not header[-1]:
        header.pop()
    for h in header:
        if h not in _KEYS:
            raise InventoryError(f"{p}, line {head}: unknown column {h!r}; "
                                 f"the columns are {', '.join(_KEYS)}")
    if len(set(header)) != len(header):
        raise InventoryError(f"{p}, line {head}: a column is named twice")
    if "address" not in header and "resource" not in header:
        raise InventoryError(f"{p}, line {head}: no 'address' or 'resource' column")
    rows: _Rows = []
    try:
        for cells in reader:
            line = at()
            if not "".join(cells).strip():
                continue
            extra = [c for c in cells[len(header):] if c.strip()]
            if extra:
                raise InventoryError(f"{p}, line {line}: {len(cells)} values for "
                                     f"{len(header)} columns: {extra[0]!r}")
            rows.append((line, {k: v.strip() for k, v in zip(header, cells) if v.strip()}, None))
    except csv.Error as e:
        raise InventoryError(f"{p}, line {at()}: {e}") from None
    return rows


_TOML_AT = re.compile(r"\s*\(at line (\d+), column \d+\)$")


def _toml_rows(p: Path, f: BinaryIO) -> _Rows:
    """The [[device]] tables of a TOML inventory, each with the line of
    every key (under the key's name) and of its header (under "")."""
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - 3.10
        import tomli as tomllib
    data = f.read(MAX_INVENTORY_BYTES + 1)
    if len(data) > MAX_INVENTORY_BYTES:
        raise FileTooLarge(str(p))
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        line = data[:e.start].count(b"\n") + 1
        raise InventoryError(f"{p}, line {line}: not UTF-8 text") from None
    try:
        doc = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        message = str(e)
        at = _TOML_AT.search(message)
        where = f"{p}, line {at.group(1)}" if at else str(p)
        raise InventoryError(f"{where}: {message[:at.start()] if at else message}") from None
    except RecursionError:
        raise InventoryError(f"{p}: values nested too deeply to be an inventory") from None
    lines = text.splitlines()
    extra = sorted(set(doc) - {"device"})
    tables = doc.get("device", [])
    if extra or not isinstance(tables, list):
        key = extra[0] if extra else "device"
        line = {**_key_lines(lines, 0, len(lines), _HEAD),
                **_key_lines(lines, 0, len(lines))}.get(key, 0)
        where = f"{p}, line {line}" if line else str(p)
        if extra:
            raise InventoryError(f"{where}: unknown table or key {key!r}; devices are "
                                 f"[[device]] tables")
        raise InventoryError(f"{where}: 'device' must be an array of tables ([[device]])")
    # The line of each table header, in order: tomllib keeps no positions.
    heads = [i for i, s in enumerate(lines) if s.lstrip().startswith("[")]
    ends = dict(zip(heads, heads[1:] + [len(lines)]))
    devices = [i for i in heads if lines[i].strip().replace(" ", "").startswith("[[device]]")]
    rows: _Rows = []
    for n, table in enumerate(tables):
        head = devices[n] if n < len(devices) else -1
        end = ends.get(head, 0)
        if not isinstance(table, Mapping):
            raise InventoryError(f"{p}, line {head + 1}: device {n + 1} is not a table")
        row: dict[str, Any] = dict(table)
        rows.append((head + 1, row, _Locator(lines, head + 1, end) if head >= 0 else None))
    return rows


class _Locator:
    """The line of a key in one table, looked for only when a message needs it."""

    def __init__(self, lines: Sequence[str], start: int, end: int) -> None:
        self.lines, self.start, self.end = lines, start, end

    def __call__(self, key: str) -> int:
        return _key_lines(self.lines, self.start, self.end).get(key, self.start)


_SETS = re.compile(r"""\s*(?:"([^"\\]*)"|'([^']*)'|([A-Za-z0-9_-]+))\s*[=.]""")
_HEAD = re.compile(r"""\s*\[+\s*(?:"([^"\\]*)"|'([^']*)'|([A-Za-z0-9_-]+))\s*[\].]""")


def _key_lines(lines: Sequence[str], start: int, end: int,
               pattern: re.Pattern[str] = _SETS) -> dict[str, int]:
    """The 1-based line of each key that lines[start:end] set (bare or
    quoted), the first where one is set twice."""
    found: dict[str, int] = {}
    for i in range(max(0, start), min(end, len(lines))):
        m = pattern.match(lines[i])
        if m:
            found.setdefault(next(g for g in m.groups() if g is not None), i + 1)
    return found


def _device(p: Path, line: int, row: Mapping[str, Any],
            locate: Optional[Callable[[str], int]] = None) -> Device:
    """The device of one row; `locate` gives the line of a key where the row
    spans several (a TOML table), else every key is on `line`."""

    def where(key: str = "") -> str:
        at = locate(key) if locate and key else line
        return f"{p}, line {at}" if at else str(p)

    for k, v in row.items():
        if k not in _KEYS:
            raise InventoryError(f"{where(k)}: unknown key {k!r}; the keys are {', '.join(_KEYS)}")
        if isinstance(v, (list, dict, bool)) or (k not in ("port", "device_type")
                                                 and not isinstance(v, str)):
            raise InventoryError(f"{where(k)}: bad {k} {_shown(v)}")
    if "address" in row and "resource" in row:
        raise InventoryError(f"{where()}: an address and a resource: give one of them")
    if "resource" in row:
        if "port" in row:
            raise InventoryError(f"{where('port')}: a port with a VISA resource: the resource "
                                 f"names its own")
        try:
            resource = parse_resource(row["resource"])
        except ValueError as e:
            raise InventoryError(f"{where('resource')}: {e}") from None
        return Device(resource=resource, **_identity(where, row))
    if "address" not in row:
        raise InventoryError(f"{where()}: no address or resource")
    port = 5025
    if "port" in row:
        try:
            port = parse_port(row["port"])
        except ValueError:
            raise InventoryError(f"{where('port')}: bad port {_shown(row['port'])}: expected "
                                 f"a whole number 1..65535") from None
    try:
        host, port = parse_address(row["address"], port)
    except ValueError as e:
        raise InventoryError(f"{where('address')}: {e}") from None
    if "port" in row and port != parse_port(row["port"]):
        raise InventoryError(f"{where('address')}: address {row['address']!r} names a port "
                             f"other than the port column's {row['port']!r}")
    return Device(host, port, **_identity(where, row))


def _shown(v: Any) -> str:
    """A value as a message names it: its repr, short."""
    text = repr(v)
    return text if len(text) <= 80 else text[:77] + "..."


_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f]")


def _identity(where: Any, row: Mapping[str, Any]) -> dict[str, Any]:
    """The name, expected identity and device type of a row."""
    device_type = 32
    if "device_type" in row:
        try:
            device_type = parse_device_type(row["device_type"])
        except ValueError as e:
            raise InventoryError(f"{where('device_type')}: {e}") from None
    for k in ("name", "serial", "fpga_id"):
        v = row.get(k)
        if v is not None and (not v.strip() or _CONTROL.search(v)):
            raise InventoryError(f"{where(k)}: bad {k} {_shown(v)}")
    return dict(name=row.get("name"), serial=row.get("serial"), fpga_id=row.get("fpga_id"),
                device_type=device_type)


def _resolve(host: str) -> list[tuple[str, tuple[Any, ...]]]:
    """(address, scope) of each network end a host name reaches; an
    IPv4-mapped IPv6 address counts as its IPv4 address."""
    try:
        # ASCII as it is: the IDNA codec costs more than the lookup of a literal.
        infos = socket.getaddrinfo(host.encode() if host.isascii() else host, None,
                                   type=socket.SOCK_STREAM)
    except (OSError, UnicodeError, ValueError):
        infos = []
    found: list[tuple[str, tuple[Any, ...]]] = []
    for *_, sa in infos:
        address = str(sa[0])
        try:
            ip = ipaddress.IPv6Address(address.split("%", 1)[0]) if ":" in address else None
        except ValueError:
            ip = None
        if ip is not None and ip.ipv4_mapped is not None:
            found.append((str(ip.ipv4_mapped), ()))
        else:
            found.append((address, tuple(sa[3:4])))
    return found


def _device_ends(d: Device, resolved: dict[str, Any]) -> tuple[Any, set[tuple[Any, ...]]]:
    """What names a device (its resource, canonical and folded, or its host
    and port) and the (address, port[, scope]) ends it reaches. `resolved`
    keeps each host's addresses, so that a host is looked up once."""
    if d.resource is not None:
        key, end = resource_ends(d.resource)
        if end is None:
            return ("resource", key), set()
        host, port = end
        name: Any = ("resource", key)
    else:
        host, port = d.address, d.port
        name = ("address", d.address.lower(), d.port)
    if host not in resolved:
        resolved[host] = _resolve(host)
    return name, {(address, port, *scope) for address, scope in resolved[host]}


def check_duplicates(devices: Sequence[Device], *, _lines: Optional[Sequence[int]] = None,
                     _source: Optional[Path] = None) -> None:
    """InventoryError (a ValueError) when two entries reach one device: the
    same host and port, or names that resolve to a common address and port
    (an IPv4-mapped IPv6 address is the IPv4 address), the same VISA
    resource, or a TCPIP socket resource and an address that reach one end.
    A name that does not resolve is left to the link, which reports it.
    Linear in the devices: each name and end is kept once, with the first
    device that has it."""
    if len(devices) < 2:
        return
    resolved: dict[str, Any] = {}
    names: dict[Any, int] = {}
    ends: dict[tuple[Any, ...], int] = {}
    for j, d in enumerate(devices):
        name, reached = _device_ends(d, resolved)
        firsts = [names[name]] if name in names else []
        firsts += [ends[e] for e in reached if e in ends]
        if firsts:
            i = min(firsts)
            first_name, first_reached = _device_ends(devices[i], resolved)
            _refuse_pair(devices[i], d, name == first_name, first_reached & reached,
                         _lines[j] if _lines else None, _source)
        names.setdefault(name, j)
        for e in reached:
            ends.setdefault(e, j)


def _refuse_pair(a: Device, b: Device, same: bool, common: set[tuple[Any, ...]],
                 line: Optional[int], source: Optional[Path]) -> None:
    la, lb = a.endpoint, b.endpoint
    where = f"{source}, line {line}: " if source and line else ""
    if same:
        why = f"{lb} is given more than once" if la.lower() == lb.lower() else \
            f"{la} and {lb} are the same device"
    else:
        address, port = min(common)[:2]
        why = f"{la} and {lb} are the same device ({address_label(address, port)})"
    raise InventoryError(f"{where}{why}: one device can take only one update at a time")
