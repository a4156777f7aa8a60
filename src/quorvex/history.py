"""The update history: one SQLite row per update attempt, nothing lost.

Each attempt is written (outcome "started") and committed before the device is
touched, then updated and committed when the attempt ends, so a crash or a
power cut mid-update still leaves the attempt on record. The database runs in
WAL mode with synchronous=FULL and a busy timeout, so several processes (and
the device threads of one fleet run) can write one history at once and a
committed row survives a power cut.

The schema carries its version in PRAGMA user_version and the file its owner
in PRAGMA application_id. Opening a file of an older version migrates it (see
_MIGRATIONS); a file of a newer version is refused rather than guessed at.
"""

from __future__ import annotations

import getpass
import ipaddress
import os
import random
import re
import sqlite3
import threading
import time
from collections.abc import Callable, Sequence
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any, Optional

from ._netaddr import parse_address

__all__ = ["COLUMNS", "SCHEMA_VERSION", "History", "HistoryError", "default_path",
           "default_operator", "parse_since", "tool_version"]

SCHEMA_VERSION = 2
"""The version of the schema this module writes (PRAGMA user_version)."""

# PRAGMA application_id of a quorvex history ("QVRH"): another program's
# database is refused, not written into.
_APPLICATION_ID = 0x51565248

BUSY_TIMEOUT = 10.0
"""Seconds a write waits for another writer before it gives up."""

_TABLE = """
CREATE TABLE attempts (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    started       TEXT NOT NULL,
    ended         TEXT,
    host          TEXT NOT NULL,
    port          INTEGER NOT NULL,
    name          TEXT,
    serial        TEXT,
    fpga_id       TEXT,
    device_type   INTEGER,
    old_version   TEXT,
    new_version   TEXT,
    image_path    TEXT,
    image_sha256  TEXT,
    signers       TEXT,
    outcome       TEXT NOT NULL,
    exit_status   INTEGER,
    message       TEXT,
    bytes         INTEGER,
    seconds       REAL,
    blocks_resent INTEGER,
    attempt       INTEGER NOT NULL,
    operator      TEXT,
    tool_version  TEXT
)"""

COLUMNS = ("id", "started", "ended", "host", "port", "resource", "name", "serial", "fpga_id",
           "device_type", "old_version", "new_version", "image_path", "image_sha256",
           "signers", "outcome", "exit_status", "message", "bytes", "seconds",
           "blocks_resent", "attempt", "operator", "tool_version")
"""The columns of an attempt, in the order attempts() and the history verb give them."""


def _create_v1(db: sqlite3.Connection) -> None:
    db.execute(_TABLE)
    for column in ("started", "serial", "host", "image_sha256"):
        db.execute(f"CREATE INDEX attempts_{column} ON attempts ({column})")


def _add_resource(db: sqlite3.Connection) -> None:
    """Version 2: the VISA resource string of a device reached through one
    (its host column holds the same string, its port 0)."""
    db.execute("ALTER TABLE attempts ADD COLUMN resource TEXT")
    db.execute("CREATE INDEX attempts_resource ON attempts (resource)")


# How a file of schema version v becomes version v + 1: _MIGRATIONS[v](db),
# run in order inside one write transaction when a file is opened. Version 0
# is the empty file. A new schema version adds its step here.
_MIGRATIONS: dict[int, Callable[[sqlite3.Connection], None]] = {
    0: _create_v1,
    1: _add_resource,
}


class HistoryError(OSError):
    """A history that cannot be opened or written. The message names the
    path and the reason; `path` holds the path."""

    def __init__(self, path: str | os.PathLike[str], reason: str) -> None:
        super().__init__(f"history {os.fspath(path)}: {reason}")
        self.path = os.fspath(path)
        self.reason = reason


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
    """UTC ISO 8601 to the millisecond, the one form the history stores, so
    that times compare as text."""
    t = t.astimezone(timezone.utc)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}Z"


_AGE = re.compile(r"(\d+(?:\.\d+)?)\s*([smhdw])", re.IGNORECASE)
_AGE_UNIT = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def parse_since(text: str, now: Optional[datetime] = None) -> datetime:
    """A point in time from an ISO date or date/time (UTC unless it gives an
    offset) or an age before `now`: "90s", "30m", "2h", "3d", "1w".
    ValueError for anything else."""
    s = text.strip()
    m = _AGE.fullmatch(s)
    if m:
        age = float(m.group(1)) * _AGE_UNIT[m.group(2).lower()]
        return (now or datetime.now(timezone.utc)) - timedelta(seconds=age)
    try:
        t = datetime.fromisoformat(s[:-1] + "+00:00" if s[-1:] in "zZ" and s else s)
    except ValueError:
        raise ValueError(f"expected an ISO date/time (2026-03-01, 2026-03-01T14:00) "
                         f"or an age such as 2h or 3d, not {text!r}") from None
    return t if t.tzinfo else t.replace(tzinfo=timezone.utc)


def _make_folders(folder: Path) -> None:
    """The folder and any missing parents, each made 0700 (the history names
    the operators and the boards)."""
    missing = []
    while not folder.exists() and folder != folder.parent:
        missing.append(folder)
        folder = folder.parent
    for f in reversed(missing):
        try:
            f.mkdir(mode=0o700)
        except FileExistsError:  # another process made it meanwhile
            pass


def _host_spellings(host: str) -> list[str]:
    """The ways a host may be recorded: an IP address as typed, in its
    canonical form, and an IPv4 address also as its IPv4-mapped IPv6 form
    (the same device, as the fleet sees it)."""
    spellings = [host]
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        return spellings
    v4 = ip.ipv4_mapped if isinstance(ip, ipaddress.IPv6Address) else ip
    spellings.append(str(ip))
    if v4 is not None:
        spellings += [str(v4), f"::ffff:{v4}"]
    return list(dict.fromkeys(spellings))


def _text(value: object) -> Optional[str]:
    return None if value is None else str(value)


class History:
    """An open history. Thread-safe: the device threads of a fleet run share
    one (its connection is used under a lock).

    History(path) creates the file and its parent folders (0700) when they do
    not exist, and migrates an older schema. HistoryError when it cannot be
    opened or written, is not a quorvex history, or was written by a newer
    version."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)
        self._lock = threading.Lock()
        self._db: Optional[sqlite3.Connection] = None
        try:
            _make_folders(self.path.parent)
        except OSError as e:
            raise HistoryError(self.path, f"cannot create its folder: {e.strerror or e}") from e
        # Said plainly, not as SQLite's "readonly database" or a journal mode
        # it cannot set; the folder takes the write-ahead log beside the file.
        for where, what in ((self.path.parent, "its folder"), (self.path, "it")):
            if where.exists() and not os.access(where, os.W_OK):
                raise HistoryError(self.path, f"cannot write {what} (permission denied)")
        try:
            db = sqlite3.connect(self.path, timeout=BUSY_TIMEOUT, isolation_level=None,
                                 check_same_thread=False)
        except sqlite3.Error as e:
            raise HistoryError(self.path, f"cannot open it: {e}") from e
        try:
            self._setup_retrying(db)
        except HistoryError:
            db.close()
            raise
        except sqlite3.Error as e:
            db.close()
            reason = str(e)
            if isinstance(e, sqlite3.DatabaseError) and "not a database" in reason:
                reason = "not a history (the file is not an SQLite database)"
            raise HistoryError(self.path, f"cannot open it: {reason}") from e
        self._db = db

    def _setup_retrying(self, db: sqlite3.Connection) -> None:
        """_setup, tried again while another process holds the file: SQLite
        does not wait for the lock a journal mode change needs (it answers
        "database is locked" at once when two processes open a new file
        together), so this waits up to the busy timeout itself."""
        deadline = time.monotonic() + BUSY_TIMEOUT
        while True:
            try:
                return self._setup(db)
            except sqlite3.OperationalError as e:
                if "locked" not in str(e) or time.monotonic() > deadline:
                    raise
            time.sleep(0.01 + random.random() * 0.04)

    def _setup(self, db: sqlite3.Connection) -> None:
        db.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT * 1000)}")
        # Before anything is changed, so another program's file stays as it
        # is; one read transaction, so the three values read belong together.
        db.execute("BEGIN")
        try:
            self._check(db)
        finally:
            db.execute("COMMIT")
        mode = db.execute("PRAGMA journal_mode = WAL").fetchone()[0]
        if str(mode).lower() != "wal":
            raise HistoryError(self.path, f"cannot use write-ahead logging (journal mode {mode})")
        db.execute("PRAGMA synchronous = FULL")  # a committed attempt survives a power cut
        # A write transaction from the start: it proves the file writable, and
        # two processes opening a new file at once create the schema once.
        db.execute("BEGIN IMMEDIATE")
        try:
            version = self._check(db)
            for v in range(version, SCHEMA_VERSION):
                _MIGRATIONS[v](db)
            if version != SCHEMA_VERSION:
                db.execute(f"PRAGMA application_id = {_APPLICATION_ID}")
                db.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise

    def _check(self, db: sqlite3.Connection) -> int:
        """The schema version of the file; HistoryError when it is not a
        history or is newer than this module."""
        app = db.execute("PRAGMA application_id").fetchone()[0]
        version = db.execute("PRAGMA user_version").fetchone()[0]
        tables = db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
        if app != _APPLICATION_ID and (app != 0 or version != 0 or tables):
            raise HistoryError(self.path, "not a history (an SQLite database of another program)")
        if version > SCHEMA_VERSION:
            raise HistoryError(self.path, f"written by a newer quorvex (schema version {version}; "
                                          f"this one knows up to {SCHEMA_VERSION}): update quorvex")
        return int(version)

    def _run(self, what: str, sql: str, params: Sequence[Any] = ()) -> tuple[sqlite3.Cursor,
                                                                              list[Any]]:
        """One statement, committed on its own (the connection autocommits):
        its cursor and the rows it returned, read under the lock."""
        with self._lock:
            if self._db is None:
                raise HistoryError(self.path, "closed")
            try:
                cur = self._db.execute(sql, params)
                return cur, cur.fetchall()
            except sqlite3.Error as e:
                raise HistoryError(self.path, f"cannot {what}: {e}") from e

    def start(self, *, host: str = "", port: int = 0, resource: Optional[str] = None,
              name: Optional[str] = None,
              serial: Optional[str] = None, fpga_id: Optional[str] = None,
              device_type: Optional[int] = None, image_path: Optional[str] = None,
              image_sha256: Optional[str] = None, signers: Sequence[str] = (),
              attempt: int = 1, operator: Optional[str] = None) -> int:
        """Records an attempt that starts now (outcome "started", start time
        UTC ISO 8601, the tool version; operator defaults to the login name)
        and commits it before it returns. A device reached through a VISA
        `resource` is recorded by its resource string (in host too, port 0).
        `signers` are the key ids of the image's signatures. Returns the row
        id for finish()."""
        if resource is not None:
            host, port = str(resource), 0
        row = {
            "started": _now(), "host": str(host), "port": int(port),
            "resource": None if resource is None else str(resource), "name": name,
            "serial": _text(serial), "fpga_id": _text(fpga_id), "device_type": device_type,
            "image_path": None if image_path is None else os.fspath(image_path),
            "image_sha256": None if image_sha256 is None else str(image_sha256).lower(),
            "signers": ",".join(map(str, signers)) or None, "outcome": "started",
            "attempt": int(attempt), "operator": operator or default_operator(),
            "tool_version": tool_version(),
        }
        names = ", ".join(row)
        marks = ", ".join("?" * len(row))
        cur, _ = self._run("record the attempt",
                        f"INSERT INTO attempts ({names}) VALUES ({marks})", list(row.values()))
        assert cur.lastrowid is not None
        return cur.lastrowid

    def finish(self, row_id: int, *, outcome: str, exit_status: Optional[int] = None,
               message: Optional[str] = None, old_version: Optional[str] = None,
               new_version: Optional[str] = None, bytes: Optional[int] = None,
               seconds: Optional[float] = None, blocks_resent: Optional[int] = None,
               serial: Optional[str] = None, fpga_id: Optional[str] = None) -> None:
        """Records how the attempt `row_id` ended (end time now) and commits.
        `serial` / `fpga_id`, when given, replace the expected values with the
        ones the device reported. HistoryError for an unknown row id."""
        cur, _ = self._run(
            "record the end of the attempt",
            "UPDATE attempts SET ended = ?, outcome = ?, exit_status = ?, message = ?, "
            "old_version = ?, new_version = ?, bytes = ?, seconds = ?, blocks_resent = ?, "
            "serial = coalesce(?, serial), fpga_id = coalesce(?, fpga_id) WHERE id = ?",
            (_now(), str(outcome), exit_status, message, _text(old_version),
             _text(new_version), bytes, seconds, blocks_resent, _text(serial),
             _text(fpga_id), int(row_id)))
        if cur.rowcount != 1:
            raise HistoryError(self.path, f"no attempt {row_id} to finish")

    def attempts(self, *, serial: Optional[str] = None, address: Optional[str] = None,
                 image: Optional[str] = None, since: Optional[str | datetime] = None,
                 resource: Optional[str] = None) -> list[dict[str, Any]]:
        """The recorded attempts, newest first, one dict per row (COLUMNS;
        "signers" a list). Filters: `serial` exact; `address` "host" or
        "host:port" ([IPV6]:PORT); `image` a SHA-256 hex prefix; `since` an
        ISO date/time (UTC unless it says otherwise), an age such as "2h" or
        "3d" (see parse_since) or a datetime; `resource` a VISA resource
        string (case aside). An IPv4 address matches its IPv4-mapped IPv6
        form too. ValueError for a bad filter."""
        where: list[str] = []
        params: list[Any] = []
        if serial is not None:
            where.append("serial = ?")
            params.append(str(serial))
        if address is not None:
            host, port = parse_address(address, -1)
            hosts = _host_spellings(host)
            where.append(f"host COLLATE NOCASE IN ({', '.join('?' * len(hosts))})")
            params += hosts
            if port != -1:
                where.append("port = ?")
                params.append(port)
        if resource is not None:
            where.append("resource = ? COLLATE NOCASE")
            params.append(resource.strip())
        if image is not None:
            prefix = image.strip().lower()
            if not re.fullmatch(r"[0-9a-f]{1,64}", prefix):
                raise ValueError(f"expected a SHA-256 prefix in hex, not {image!r}")
            where.append("substr(image_sha256, 1, ?) = ?")
            params += [len(prefix), prefix]
        if since is not None:
            t = since if isinstance(since, datetime) else parse_since(since)
            where.append("started >= ?")
            params.append(_iso(t if t.tzinfo else t.replace(tzinfo=timezone.utc)))
        sql = (f"SELECT {', '.join(COLUMNS)} FROM attempts"
               + (" WHERE " + " AND ".join(where) if where else "")
               + " ORDER BY started DESC, id DESC")
        _, rows = self._run("read it", sql, params)
        out = []
        for values in rows:
            row = dict(zip(COLUMNS, values))
            row["signers"] = row["signers"].split(",") if row["signers"] else []
            out.append(row)
        return out

    @property
    def schema_version(self) -> int:
        """The schema version of the open file."""
        return int(self._run("read it", "PRAGMA user_version")[1][0][0])

    def close(self) -> None:
        """Closes the history; calls after this raise HistoryError."""
        with self._lock:
            db, self._db = self._db, None
        if db is not None:
            db.close()

    def __enter__(self) -> History:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
