"""The two databases a history lives in: an SQLite file (the default) and a
PostgreSQL database shared by the stations of a line.

Both take the one schema description of quorvex.history (tables, columns and
the steps between versions) and render it in their own SQL; the statements
of quorvex.history are written once, with "?" placeholders, and each backend
runs them as its driver wants. What differs is said here once: the column
types, where the schema version and the owner are kept, how a new row's id
comes back, how two processes are kept from migrating one database at once.
"""

from __future__ import annotations

import os
import random
import sqlite3
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ._text import one_line

BUSY_TIMEOUT = 10.0
"""Seconds a write waits for another writer, a connection for the server, and
(PostgreSQL) any one statement or lock: no wait on a history is unbounded."""

# The owner mark of a quorvex history: SQLite's PRAGMA application_id ("QVRH"),
# the application column of PostgreSQL's quorvex_history table.
APPLICATION_ID = 0x51565248
_META = "quorvex_history"


@dataclass(frozen=True)
class Table:
    """A new table with its columns: (name, kind), kind one of "key" (the
    row id), "text", "int", "real", with "!" appended for NOT NULL."""
    name: str
    columns: tuple[tuple[str, str], ...]


@dataclass(frozen=True)
class Column:
    """A column added to an existing table."""
    table: str
    name: str
    kind: str


@dataclass(frozen=True)
class Index:
    table: str
    column: str
    unique: bool = False


Step = Table | Column | Index


class DatabaseError(Exception):
    """A database that cannot be opened or written; str() is the reason."""


class Foreign(DatabaseError):
    """A database that is not a history."""


class BadUrl(DatabaseError):
    """A URL that must not or cannot be used as given: a fault of the command
    line or the configuration, not of the database."""


class Empty(DatabaseError):
    """A database without a history, opened only to read one."""


def _type(kind: str, types: dict[str, str]) -> str:
    base, required = kind.rstrip("!"), kind.endswith("!")
    return types[base] + (" NOT NULL" if required and base != "key" else "")


def render(step: Step, types: dict[str, str]) -> str:
    """One step of the schema as a statement, with the dialect's `types`."""
    if isinstance(step, Table):
        cols = ",\n    ".join(f"{n} {_type(k, types)}" for n, k in step.columns)
        return f"CREATE TABLE {step.name} (\n    {cols}\n)"
    if isinstance(step, Column):
        return f"ALTER TABLE {step.table} ADD COLUMN {step.name} {_type(step.kind, types)}"
    unique = "UNIQUE " if step.unique else ""
    return f"CREATE {unique}INDEX {step.table}_{step.column} ON {step.table} ({step.column})"


class Backend:
    """An open database: run(sql, params) for one statement committed on its
    own, insert() for a new row's id, version for the schema version. Used
    under the History's lock."""

    where: str

    def run(self, sql: str, params: Sequence[Any] = ()) -> tuple[list[Any], int]:
        raise NotImplementedError

    def insert(self, sql: str, params: Sequence[Any]) -> int:
        raise NotImplementedError

    def version(self) -> int:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError


Migrate = Callable[[int, Callable[[Step], object]], None]
"""migrate(version, do): brings a database of `version` to the newest, each
step through do(step)."""


# -- SQLite -----------------------------------------------------------------

_SQLITE_TYPES = {"key": "INTEGER PRIMARY KEY AUTOINCREMENT", "text": "TEXT", "int": "INTEGER",
                 "real": "REAL"}


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


class SQLite(Backend):
    """A history file, in WAL mode with synchronous=FULL and a busy timeout,
    so several processes (and the device threads of one run) can write it at
    once and a committed row survives a power cut. Its schema version is
    PRAGMA user_version, its owner PRAGMA application_id."""

    def __init__(self, path: Path, newest: int, migrate: Migrate) -> None:
        self.where = str(path)
        try:
            _make_folders(path.parent)
        except OSError as e:
            raise DatabaseError(f"cannot create its folder: {e.strerror or e}") from e
        # Said plainly, not as SQLite's "readonly database" or a journal mode
        # it cannot set; the folder takes the write-ahead log beside the file.
        for where, what in ((path.parent, "its folder"), (path, "it")):
            if where.exists() and not os.access(where, os.W_OK):
                raise DatabaseError(f"cannot write {what} (permission denied)")
        try:
            db = sqlite3.connect(path, timeout=BUSY_TIMEOUT, isolation_level=None,
                                 check_same_thread=False)
        except sqlite3.Error as e:
            raise DatabaseError(f"cannot open it: {e}") from e
        try:
            self._setup_retrying(db, newest, migrate)
        except DatabaseError:
            db.close()
            raise
        except sqlite3.Error as e:
            db.close()
            reason = str(e)
            if isinstance(e, sqlite3.DatabaseError) and "not a database" in reason:
                raise Foreign("not a history (the file is not an SQLite database)") from e
            raise DatabaseError(f"cannot open it: {reason}") from e
        self._db = db

    def _setup_retrying(self, db: sqlite3.Connection, newest: int, migrate: Migrate) -> None:
        """_setup, tried again while another process holds the file: SQLite
        does not wait for the lock a journal mode change needs (it answers
        "database is locked" at once when two processes open a new file
        together), so this waits up to the busy timeout itself."""
        deadline = time.monotonic() + BUSY_TIMEOUT
        while True:
            try:
                return self._setup(db, newest, migrate)
            except sqlite3.OperationalError as e:
                if "locked" not in str(e) or time.monotonic() > deadline:
                    raise
            time.sleep(0.01 + random.random() * 0.04)

    def _setup(self, db: sqlite3.Connection, newest: int, migrate: Migrate) -> None:
        db.execute(f"PRAGMA busy_timeout = {int(BUSY_TIMEOUT * 1000)}")
        # Before anything is changed, so another program's file stays as it
        # is; one read transaction, so the three values read belong together.
        db.execute("BEGIN")
        try:
            self._check(db, newest)
        finally:
            db.execute("COMMIT")
        mode = db.execute("PRAGMA journal_mode = WAL").fetchone()[0]
        if str(mode).lower() != "wal":
            raise DatabaseError(f"cannot use write-ahead logging (journal mode {mode})")
        db.execute("PRAGMA synchronous = FULL")  # a committed attempt survives a power cut
        # A write transaction from the start: it proves the file writable, and
        # two processes opening a new file at once create the schema once.
        db.execute("BEGIN IMMEDIATE")
        try:
            version = self._check(db, newest)
            migrate(version, lambda step: db.execute(render(step, _SQLITE_TYPES)))
            if version != newest:
                db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                db.execute(f"PRAGMA user_version = {newest}")
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise

    @staticmethod
    def _check(db: sqlite3.Connection, newest: int) -> int:
        app = db.execute("PRAGMA application_id").fetchone()[0]
        version = db.execute("PRAGMA user_version").fetchone()[0]
        tables = db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
        if app != APPLICATION_ID and (app != 0 or version != 0 or tables):
            raise Foreign("not a history (an SQLite database of another program)")
        _newer(version, newest)
        return int(version)

    def run(self, sql: str, params: Sequence[Any] = ()) -> tuple[list[Any], int]:
        try:
            cur = self._db.execute(sql, params)
            return cur.fetchall(), cur.rowcount
        except sqlite3.Error as e:
            raise DatabaseError(str(e)) from e

    def insert(self, sql: str, params: Sequence[Any]) -> int:
        try:
            cur = self._db.execute(sql, params)
        except sqlite3.Error as e:
            raise DatabaseError(str(e)) from e
        assert cur.lastrowid is not None
        return cur.lastrowid

    def version(self) -> int:
        return int(self.run("PRAGMA user_version")[0][0][0])

    def close(self) -> None:
        self._db.close()


def _newer(version: int, newest: int) -> None:
    if version > newest:
        raise DatabaseError(f"written by a newer quorvex (schema version {version}; this one "
                            f"knows up to {newest}): update quorvex")


# -- PostgreSQL ---------------------------------------------------------------

_PG_TYPES = {"key": "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY", "text": "TEXT",
             "int": "BIGINT", "real": "DOUBLE PRECISION"}
# The advisory lock that keeps two processes from migrating one database at once.
_PG_LOCK = APPLICATION_ID


def is_url(text: str | os.PathLike[str]) -> bool:
    """Whether a --history names a PostgreSQL database rather than a file."""
    return isinstance(text, str) and text.startswith(("postgresql://", "postgres://"))


def safe_url(url: str) -> str:
    """The URL as messages show it: without a password, should one be in it
    (in its user part, or as a query key such as password or sslpassword)."""
    from urllib.parse import parse_qsl, quote, urlencode

    head, sep, rest = url.partition("://")
    rest, q, query = rest.partition("?")
    userinfo, at, hostpart = rest.partition("@")
    if at and ":" in userinfo:
        rest = f"{userinfo.split(':', 1)[0]}:***@{hostpart}"
    if q:
        pairs = parse_qsl(query, keep_blank_values=True)
        if any("password" in k.lower() for k, _ in pairs):
            query = urlencode([(k, "***" if "password" in k.lower() else v) for k, v in pairs],
                              safe="/*", quote_via=quote)
    return f"{head}{sep}{rest}{q}{query}"


class Postgres(Backend):
    """A history in a PostgreSQL database, reached by a postgresql:// URL;
    the password comes from libpq's environment (PGPASSWORD) or ~/.pgpass,
    never from the URL. Its schema version and owner are the one row of the
    quorvex_history table. One connection in autocommit mode: each statement
    commits on its own; a connection the server dropped is opened again
    before the next statement (never the failed one again: it may have
    committed)."""

    def __init__(self, url: str, newest: int, migrate: Migrate, create: bool = True) -> None:
        self.where = safe_url(url)
        try:
            import psycopg
            from psycopg.conninfo import conninfo_to_dict
        except ImportError as e:
            raise DatabaseError("a PostgreSQL history needs psycopg 3: "
                                "pip install 'quorvex[postgres]'") from e
        self._psycopg = psycopg
        try:
            info = conninfo_to_dict(url)
        except psycopg.Error as e:
            raise BadUrl(f"not a usable URL: {e}") from None
        if any("password" in k.lower() and v for k, v in info.items()):
            raise BadUrl("the URL holds a password: give it in ~/.pgpass or "
                                "PGPASSWORD, never on the command line")
        self._url = url
        self._db = self._connect()
        try:
            self._setup(newest, migrate, create)
        except psycopg.Error as e:
            self._db.close()
            raise DatabaseError(f"cannot open it: {one_line(e)}") from e
        except BaseException:
            self._db.close()
            raise

    def _connect(self) -> Any:
        psycopg = self._psycopg
        try:
            db = psycopg.connect(self._url, autocommit=True,
                                 connect_timeout=max(1, int(BUSY_TIMEOUT)),
                                 keepalives=1, keepalives_idle=10, keepalives_interval=5,
                                 keepalives_count=3, application_name="quorvex")
        except psycopg.Error as e:
            raise DatabaseError(f"cannot reach it: {one_line(e)}") from e
        # Every statement and every lock it waits for (a row another station
        # holds, the advisory lock of a migration) ends within the bound; a
        # Ctrl-C on the main thread cancels the statement in the server.
        bound = int(BUSY_TIMEOUT * 1000)
        try:
            db.execute(f"SET statement_timeout = {bound}")
            db.execute(f"SET lock_timeout = {bound}")
        except psycopg.Error as e:
            db.close()
            raise DatabaseError(f"cannot set it up: {one_line(e)}") from e
        except BaseException:
            db.close()
            raise
        return db

    def _setup(self, newest: int, migrate: Migrate, create: bool) -> None:
        db = self._db
        with db.transaction():
            # Two processes opening a new database at once create the schema once.
            db.execute("SELECT pg_advisory_xact_lock(%s)", (_PG_LOCK,))
            # Before anything is changed, so another program's database stays as it is.
            owned = db.execute("SELECT to_regclass(%s) IS NOT NULL", (_META,)).fetchone()[0]
            if owned:
                row = db.execute(f"SELECT application, version FROM {_META}").fetchone()
                if row is None or row[0] != APPLICATION_ID:
                    raise Foreign("not a history (a database of another program)")
                version = int(row[1])
            else:
                others = db.execute(
                    "SELECT count(*) FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                    "ON n.oid = c.relnamespace WHERE n.nspname = current_schema() "
                    "AND c.relkind IN ('r', 'v', 'm', 'p', 'f')").fetchone()[0]
                if others:
                    raise Foreign("not a history (a database of another program)")
                if not create:
                    raise Empty("no history there yet")
                version = 0
            _newer(version, newest)
            migrate(version, lambda step: db.execute(render(step, _PG_TYPES)))
            if not owned:
                db.execute(f"CREATE TABLE {_META} (application BIGINT NOT NULL, "
                           f"version INTEGER NOT NULL)")
                db.execute(f"INSERT INTO {_META} VALUES (%s, %s)", (APPLICATION_ID, newest))
            elif version != newest:
                db.execute(f"UPDATE {_META} SET version = %s", (newest,))

    def _execute(self, sql: str, params: Sequence[Any]) -> Any:
        psycopg = self._psycopg
        if self._db.closed or self._db.broken:
            self._db = self._connect()
        assert "%" not in sql
        try:
            return self._db.execute(sql.replace("?", "%s"), list(params))
        except psycopg.Error as e:
            raise DatabaseError(one_line(e)) from e

    def run(self, sql: str, params: Sequence[Any] = ()) -> tuple[list[Any], int]:
        cur = self._execute(sql, params)
        try:
            return (cur.fetchall() if cur.description else []), cur.rowcount
        except self._psycopg.Error as e:
            raise DatabaseError(one_line(e)) from e

    def insert(self, sql: str, params: Sequence[Any]) -> int:
        rows, _ = self.run(sql + " RETURNING id", params)
        return int(rows[0][0])

    def version(self) -> int:
        return int(self.run(f"SELECT version FROM {_META}")[0][0][0])

    def close(self) -> None:
        self._db.close()


def open_backend(where: str | os.PathLike[str], newest: int, migrate: Migrate,
                 create: bool = True) -> Backend:
    """The backend for a --history: a postgresql:// URL or a file path.
    Without `create`, a PostgreSQL database that holds no history is Empty
    (a file's caller looks whether it exists)."""
    if is_url(where):
        return Postgres(str(where), newest, migrate, create)
    return SQLite(Path(where), newest, migrate)


__all__ = ["APPLICATION_ID", "BUSY_TIMEOUT", "Backend", "BadUrl", "Column", "DatabaseError",
           "Empty", "Foreign", "Index", "Postgres", "SQLite", "Step", "Table", "is_url",
           "open_backend", "render", "safe_url"]
