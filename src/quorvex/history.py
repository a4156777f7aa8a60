"""The update history: one row per update attempt, nothing lost.

Each attempt is written (outcome "started") and committed before the device is
touched, then updated and committed when the attempt ends, so a crash or a
power cut mid-update still leaves the attempt on record. A history is an
SQLite file (the default) or, for the stations of a line sharing one, a
PostgreSQL database named by a postgresql:// URL (quorvex._historydb holds
the two). Several processes, and the device threads of one fleet run, can
write one history at once.

The schema is described once, below (_MIGRATIONS: the steps from each version
to the next), and each database renders it in its own SQL. A database carries
its schema version and its owner: an older one is migrated when it is opened,
a newer one or another program's is refused, untouched.
"""

from __future__ import annotations

import getpass
import ipaddress
import json
import os
import re
import socket
import threading
import uuid
from collections.abc import Sequence
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any, Callable, Optional

from ._historydb import (BUSY_TIMEOUT, BadUrl, Column, DatabaseError, Empty, Index, Step, Table,
                         is_url, open_backend, safe_url)
from ._netaddr import parse_address

__all__ = ["BUSY_TIMEOUT", "COLUMNS", "SCHEMA_VERSION", "History", "HistoryError",
           "default_path", "default_operator", "default_station", "is_url", "parse_since",
           "tool_version"]

SCHEMA_VERSION = 3
"""The version of the schema this module writes."""

# The schema. Version 1: one row per attempt.
_ATTEMPTS_V1 = Table("attempts", (
    ("id", "key"), ("started", "text!"), ("ended", "text"), ("host", "text!"),
    ("port", "int!"), ("name", "text"), ("serial", "text"), ("fpga_id", "text"),
    ("device_type", "int"), ("old_version", "text"), ("new_version", "text"),
    ("image_path", "text"), ("image_sha256", "text"), ("signers", "text"),
    ("outcome", "text!"), ("exit_status", "int"), ("message", "text"), ("bytes", "int"),
    ("seconds", "real"), ("blocks_resent", "int"), ("attempt", "int!"),
    ("operator", "text"), ("tool_version", "text")))

# Version 3: one row per fleet run, with the devices it was given (as
# Device.as_dict() in JSON), so that a later run can take up what it left;
# the image by its payload's SHA-256 and by the whole file's (a .tbin's
# header too).
_RUNS = Table("runs", (
    ("id", "key"), ("run_id", "text!"), ("started", "text!"), ("station", "text"),
    ("operator", "text"), ("image_path", "text"), ("image_abspath", "text"),
    ("image_sha256", "text"), ("mode", "text"), ("devices", "text!"),
    ("tool_version", "text"), ("file_sha256", "text")))

# How a database of schema version v becomes version v + 1: the steps of
# _MIGRATIONS[v], run in order inside one write transaction when it is
# opened. Version 0 is the empty database. A new schema version adds its
# steps here; both databases render them.
_MIGRATIONS: dict[int, tuple[Step, ...]] = {
    0: (_ATTEMPTS_V1,) + tuple(Index("attempts", c) for c in
                               ("started", "serial", "host", "image_sha256")),
    # The VISA resource string of a device reached through one (its host
    # column holds the same string, its port 0).
    1: (Column("attempts", "resource", "text"), Index("attempts", "resource")),
    # The station and the run of each attempt, and the image's absolute path
    # beside the path as given.
    # The window of commands in flight the attempt used ("window" is a word
    # of SQL).
    2: (Column("attempts", "station", "text"), Column("attempts", "run_id", "text"),
        Column("attempts", "image_abspath", "text"), Column("attempts", "window_size", "int"),
        Index("attempts", "station"),
        Index("attempts", "run_id"), _RUNS, Index("runs", "run_id", unique=True)),
}

COLUMNS = ("id", "started", "ended", "host", "port", "resource", "name", "serial", "fpga_id",
           "device_type", "old_version", "new_version", "image_path", "image_sha256",
           "signers", "outcome", "exit_status", "message", "bytes", "seconds",
           "blocks_resent", "attempt", "operator", "tool_version", "image_abspath",
           "station", "run_id", "window_size")
"""The columns of an attempt, in the order attempts() and the history verb give them."""


def _migrate(version: int, do: Callable[[Step], object]) -> None:
    for v in range(version, SCHEMA_VERSION):
        for step in _MIGRATIONS[v]:
            do(step)


def _image(path: Optional[str], sha256: Optional[str]) -> dict[str, Optional[str]]:
    """The image columns of an attempt or a run: the path as given and as an
    absolute path, the digest in lower case."""
    return {"image_path": None if path is None else os.fspath(path),
            "image_abspath": None if path is None else os.path.abspath(path),
            "image_sha256": None if sha256 is None else str(sha256).lower()}


class HistoryError(OSError):
    """A history that cannot be opened or written. The message names the
    path and the reason; `path` holds the path."""

    def __init__(self, path: str | os.PathLike[str], reason: str, *,
                 empty: bool = False, usage: bool = False) -> None:
        super().__init__(f"history {os.fspath(path)}: {reason}")
        self.path = os.fspath(path)
        self.reason = reason
        self.empty = empty  # a database that holds no history yet (History(create=False))
        self.usage = usage  # the URL itself is at fault (a password in it), not the database


def default_path() -> Path:
    """$XDG_STATE_HOME/quorvex/history.sqlite3, else
    ~/.local/state/quorvex/history.sqlite3 (a relative XDG_STATE_HOME is
    ignored, as the XDG rules say)."""
    state = os.environ.get("XDG_STATE_HOME")
    base = Path(state) if state and os.path.isabs(state) else Path.home() / ".local" / "state"
    return base / "quorvex" / "history.sqlite3"


def default_operator() -> str:
    """The login name; the user id when the process has none (a container
    without a passwd entry), "unknown" where there is no user id either."""
    try:
        name = getpass.getuser()
        if name:
            return name
    except (OSError, KeyError, ImportError):  # KeyError before 3.13: no passwd entry
        pass
    getuid = getattr(os, "getuid", None)
    return f"uid {getuid()}" if getuid is not None else "unknown"


_tool_version: Optional[str] = None


def tool_version() -> str:
    """quorvex's version: the installed package's, else the source tree's."""
    global _tool_version
    if _tool_version is None:
        try:
            from importlib.metadata import version
            _tool_version = version("quorvex")
        except Exception:  # not installed (a source tree on PYTHONPATH)
            try:
                from . import __version__
                _tool_version = str(__version__)
            except Exception:
                _tool_version = "unknown"
    return _tool_version


def _now() -> str:
    return _iso(datetime.now(timezone.utc))


def _iso(t: datetime) -> str:
    """UTC ISO 8601 to the millisecond with a four-digit year, the one form
    the history stores: of fixed width, so that times compare as their text."""
    t = t.astimezone(timezone.utc)
    return (f"{t.year:04d}-{t.month:02d}-{t.day:02d}T{t.hour:02d}:{t.minute:02d}:"
            f"{t.second:02d}.{t.microsecond // 1000:03d}Z")


_AGE = re.compile(r"(\d{1,30}(?:\.\d{1,30})?)\s*([smhdw])", re.IGNORECASE)
_AGE_UNIT = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def parse_since(text: str, now: Optional[datetime] = None) -> datetime:
    """A point in time (UTC) from an ISO date or date/time (UTC unless it
    gives an offset) or an age before `now`: "90s", "30m", "2h", "3d", "1w".
    ValueError for anything else, and for a time before year 1 or after 9999."""
    s = text.strip()
    m = _AGE.fullmatch(s)
    try:
        if m:
            age = float(m.group(1)) * _AGE_UNIT[m.group(2).lower()]
            return (now or datetime.now(timezone.utc)) - timedelta(seconds=age)
        if len(s) > 64:
            raise ValueError
        t = datetime.fromisoformat(s[:-1] + "+00:00" if s[-1:] in "zZ" and s else s)
        return (t if t.tzinfo else t.replace(tzinfo=timezone.utc)).astimezone(timezone.utc)
    except OverflowError:
        raise ValueError(f"{text!r} lies outside the years 1 to 9999") from None
    except ValueError:
        if m:
            raise ValueError(f"{text!r} lies outside the years 1 to 9999") from None
        raise ValueError(f"expected an ISO date/time (2026-03-01, 2026-03-01T14:00) "
                         f"or an age such as 2h or 3d, not {text[:80]!r}") from None


def default_station() -> str:
    """The station an attempt is recorded for unless one is given: the host name."""
    return socket.gethostname() or "unknown"


def run_id_of(text: str) -> str:
    """A run id in its one spelling (a UUID, lower case); ValueError otherwise."""
    try:
        return str(uuid.UUID(text.strip()))
    except (ValueError, AttributeError):
        raise ValueError(f"expected a run id (a UUID), not {str(text)[:80]!r}") from None


def _host_spellings(host: str) -> list[str]:
    """The ways a host may be recorded: an IP address as typed, in its
    canonical form, and an IPv4 address also as its IPv4-mapped IPv6 form
    (the same device, as the fleet sees it); lower case, as compared."""
    spellings = [host]
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        return [host.lower()]
    v4 = ip.ipv4_mapped if isinstance(ip, ipaddress.IPv6Address) else ip
    spellings.append(str(ip))
    if v4 is not None:
        spellings += [str(v4), f"::ffff:{v4}"]
    return list(dict.fromkeys(s.lower() for s in spellings))


def _text(value: object) -> Optional[str]:
    return None if value is None else str(value)


def _marks(n: int) -> str:
    return ", ".join("?" * n)


class History:
    """An open history. Thread-safe: the device threads of a fleet run share
    one (its connection is used under a lock).

    History(where): `where` is a file path, or a postgresql:// URL (the
    password from PGPASSWORD or ~/.pgpass). A file is created with its
    parent folders (0700) when it does not exist; an older schema is
    migrated. HistoryError when it cannot be opened, reached or written, is
    not a quorvex history, or was written by a newer version; without
    `create`, also for a PostgreSQL database that holds none yet (its
    `empty` set)."""

    def __init__(self, path: str | os.PathLike[str], *, create: bool = True) -> None:
        self.url = str(path) if is_url(path) else None
        self.path: Path | str = safe_url(self.url) if self.url else Path(path)
        self._lock = threading.Lock()
        try:
            self._db = open_backend(self.url or self.path, SCHEMA_VERSION, _migrate, create)
        except DatabaseError as e:
            raise HistoryError(self.path, str(e), empty=isinstance(e, Empty),
                               usage=isinstance(e, BadUrl)) from e
        self._closed = False

    def _run(self, what: str, sql: str, params: Sequence[Any] = ()) -> tuple[list[Any], int]:
        """One statement, committed on its own: the rows it returned and the
        number of rows it changed."""
        with self._lock:
            if self._closed:
                raise HistoryError(self.path, "closed")
            try:
                return self._db.run(sql, params)
            except DatabaseError as e:
                raise HistoryError(self.path, f"cannot {what}: {e}") from e

    def _insert(self, what: str, table: str, row: dict[str, Any]) -> int:
        with self._lock:
            if self._closed:
                raise HistoryError(self.path, "closed")
            try:
                return self._db.insert(f"INSERT INTO {table} ({', '.join(row)}) "
                                       f"VALUES ({_marks(len(row))})", list(row.values()))
            except DatabaseError as e:
                raise HistoryError(self.path, f"cannot {what}: {e}") from e

    def start(self, *, host: str = "", port: int = 0, resource: Optional[str] = None,
              name: Optional[str] = None,
              serial: Optional[str] = None, fpga_id: Optional[str] = None,
              device_type: Optional[int] = None, image_path: Optional[str] = None,
              image_sha256: Optional[str] = None, signers: Sequence[str] = (),
              attempt: int = 1, operator: Optional[str] = None,
              station: Optional[str] = None, run_id: Optional[str] = None) -> int:
        """Records an attempt that starts now (outcome "started", start time
        UTC ISO 8601, the tool version; operator defaults to the login name,
        station to the host name) and commits it before it returns. A device
        reached through a VISA `resource` is recorded by its resource string
        (in host too, port 0). `signers` are the key ids of the image's
        signatures; the image path is kept as given and as an absolute path.
        Returns the row id for finish()."""
        if resource is not None:
            host, port = str(resource), 0
        row = {
            "started": _now(), "host": str(host), "port": int(port),
            "resource": None if resource is None else str(resource), "name": name,
            "serial": _text(serial), "fpga_id": _text(fpga_id), "device_type": device_type,
            **_image(image_path, image_sha256),
            "signers": ",".join(map(str, signers)) or None, "outcome": "started",
            "attempt": int(attempt), "operator": operator or default_operator(),
            "tool_version": tool_version(), "station": station or default_station(),
            "run_id": None if run_id is None else run_id_of(run_id),
        }
        return self._insert("record the attempt", "attempts", row)

    def finish(self, row_id: int, *, outcome: str, exit_status: Optional[int] = None,
               message: Optional[str] = None, old_version: Optional[str] = None,
               new_version: Optional[str] = None, bytes: Optional[int] = None,
               seconds: Optional[float] = None, blocks_resent: Optional[int] = None,
               serial: Optional[str] = None, fpga_id: Optional[str] = None,
               window: Optional[int] = None) -> None:
        """Records how the attempt `row_id` ended (end time now) and commits.
        `serial` / `fpga_id`, when given, replace the expected values with the
        ones the device reported; `window` is the window of commands in
        flight it used (column window_size). HistoryError for an unknown row
        id."""
        _, changed = self._run(
            "record the end of the attempt",
            "UPDATE attempts SET ended = ?, outcome = ?, exit_status = ?, message = ?, "
            "old_version = ?, new_version = ?, bytes = ?, seconds = ?, blocks_resent = ?, "
            "serial = coalesce(?, serial), fpga_id = coalesce(?, fpga_id), window_size = ? "
            "WHERE id = ?",
            (_now(), str(outcome), exit_status, message, _text(old_version),
             _text(new_version), bytes, seconds, blocks_resent, _text(serial),
             _text(fpga_id), None if window is None else int(window), int(row_id)))
        if changed != 1:
            raise HistoryError(self.path, f"no attempt {row_id} to finish")

    def begin_run(self, run_id: str, devices: Sequence[dict[str, Any]], *,
                  image_path: Optional[str] = None, image_sha256: Optional[str] = None,
                  station: Optional[str] = None, operator: Optional[str] = None,
                  mode: Optional[str] = None, file_sha256: Optional[str] = None) -> None:
        """Records a fleet run that starts now, with the devices it was given
        (JSON-ready dicts) and its mode ("update", "verify" ...), before any
        of them is touched. `image_sha256` is the payload's digest,
        `file_sha256` the whole image file's."""
        self._insert("record the run", "runs", {
            "file_sha256": None if file_sha256 is None else str(file_sha256).lower(),
            "run_id": run_id_of(run_id), "started": _now(),
            "station": station or default_station(),
            "operator": operator or default_operator(),
            **_image(image_path, image_sha256),
            "mode": mode, "devices": json.dumps(list(devices)),
            "tool_version": tool_version()})

    def run_record(self, run_id: str) -> Optional[dict[str, Any]]:
        """The run `run_id` as begin_run() recorded it ("devices" a list), or None."""
        names = [n for n, _ in _RUNS.columns]
        rows, _ = self._run("read it", f"SELECT {', '.join(names)} FROM runs WHERE run_id = ?",
                            (run_id_of(run_id),))
        if not rows:
            return None
        rec = dict(zip(names, rows[0]))
        rec["devices"] = json.loads(rec["devices"])
        return rec

    def attempts(self, *, serial: Optional[str] = None, address: Optional[str] = None,
                 image: Optional[str] = None, since: Optional[str | datetime] = None,
                 resource: Optional[str] = None, station: Optional[str] = None,
                 run: Optional[str] = None, limit: Optional[int] = None
                 ) -> list[dict[str, Any]]:
        """The recorded attempts, newest first, one dict per row (COLUMNS;
        "signers" a list). Filters: `serial` exact; `address` "host" or
        "host:port" ([IPV6]:PORT); `image` a SHA-256 hex prefix; `since` an
        ISO date/time (UTC unless it says otherwise), an age such as "2h" or
        "3d" (see parse_since) or a datetime; `resource` a VISA resource
        string (case aside); `station` exact; `run` a run id. An IPv4 address
        matches its IPv4-mapped IPv6 form too. `limit`: at most that many,
        the newest (None or 0: all). ValueError for a bad filter."""
        where: list[str] = []
        params: list[Any] = []
        if serial is not None:
            where.append("serial = ?")
            params.append(str(serial))
        if address is not None:
            host, port = parse_address(address, -1)
            hosts = _host_spellings(host)
            where.append(f"lower(host) IN ({_marks(len(hosts))})")
            params += hosts
            if port != -1:
                where.append("port = ?")
                params.append(port)
        if resource is not None:
            where.append("lower(resource) = ?")
            params.append(resource.strip().lower())
        if image is not None:
            prefix = image.strip().lower()
            if not re.fullmatch(r"[0-9a-f]{1,64}", prefix):
                raise ValueError(f"expected a SHA-256 prefix in hex, not {image!r}")
            where.append("image_sha256 LIKE ?")
            params.append(prefix + "%")
        if since is not None:
            t = since if isinstance(since, datetime) else parse_since(since)
            try:
                params.append(_iso(t if t.tzinfo else t.replace(tzinfo=timezone.utc)))
            except OverflowError:
                raise ValueError(f"{since} lies outside the years 1 to 9999") from None
            where.append("started >= ?")
        if station is not None:
            where.append("station = ?")
            params.append(str(station))
        if run is not None:
            where.append("run_id = ?")
            params.append(run_id_of(run))
        sql = (f"SELECT {', '.join(COLUMNS)} FROM attempts"
               + (" WHERE " + " AND ".join(where) if where else "")
               + " ORDER BY started DESC, id DESC")
        if limit:
            if limit < 0:
                raise ValueError(f"a limit is 0 (all) or more, not {limit}")
            sql += " LIMIT ?"
            params.append(int(limit))
        rows, _ = self._run("read it", sql, params)
        out = []
        for values in rows:
            row = dict(zip(COLUMNS, values))
            row["signers"] = row["signers"].split(",") if row["signers"] else []
            out.append(row)
        return out

    @property
    def schema_version(self) -> int:
        """The schema version of the open database."""
        with self._lock:
            try:
                return self._db.version()
            except DatabaseError as e:
                raise HistoryError(self.path, f"cannot read it: {e}") from e

    def close(self) -> None:
        """Closes the history; calls after this raise HistoryError."""
        with self._lock:
            closed, self._closed = self._closed, True
        if not closed:
            self._db.close()

    def __enter__(self) -> History:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
