"""quorvex-fpga history: the recorded update attempts, newest first."""

from __future__ import annotations

import argparse
import csv
import io
import itertools
import os
import re
from typing import Any

from .._text import printable
from ._options import count, json_error
from ._common import (EXIT_FAILED, EXIT_OK, EXIT_USAGE, PROG, Context, UsageError, Verbs,
                      exit_text, verb_parser)

# The plain table: (heading, column, width cap). The message takes the rest of the line.
_TABLE = (("started (UTC)", "started", 19), ("outcome", "outcome", 11),
          ("device", "device", 40), ("station", "station", 12), ("serial", "serial", 16),
          ("try", "attempt", 3),
          ("versions", "versions", 23), ("image", "image_sha256", 12),
          ("seconds", "seconds", 8), ("operator", "operator", 12), ("message", "message", 0))


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    from ..history import default_path

    p = verb_parser(
        verbs, "history", with_json=True,
        help="list the recorded update attempts, newest first",
        description="""
            List the update attempts in the history, newest first: one row per attempt,
            written when the attempt starts (outcome 'started') and completed when it
            ends, so an attempt cut off by a crash or a power cut stays listed as
            'started'. Filters combine: an attempt is listed when it matches all of
            them. Times are UTC.""",
        epilog=f"examples:\n  {PROG} history --serial SN0042\n"
               f"  {PROG} history --address 192.0.2.10 --since 3d\n"
               f"  {PROG} history --image 9f2c --since 2026-03-01 --csv > march.csv\n"
               f"  {PROG} history --history postgresql://qa@db.line/quorvex --station bay-3\n\n"
               + exit_text(EXIT_OK, EXIT_FAILED, EXIT_USAGE,
                           s0="listed (perhaps nothing)", s1="the history cannot be read"))
    p.add_argument("--history", metavar="PATH|URL", default=None,
                   help=f"the history: an SQLite file or a PostgreSQL URL "
                        f"(postgresql://USER@HOST/DB, the password from ~/.pgpass or "
                        f"PGPASSWORD) (default: {default_path()}, "
                        "$XDG_STATE_HOME/quorvex/history.sqlite3 when that is set)")
    f = p.add_argument_group("filters")
    f.add_argument("--serial", metavar="S", help="attempts on the board with this serial number")
    f.add_argument("--address", "-a", metavar="HOST",
                   help="attempts on this host, or HOST:PORT ([IPV6]:PORT)")
    f.add_argument("--resource", "-r", metavar="VISA_RESOURCE",
                   help="attempts on the device reached through this VISA resource")
    f.add_argument("--image", metavar="SHA",
                   help="attempts with the image whose SHA-256 starts with these hex digits")
    f.add_argument("--since", metavar="WHEN",
                   help="attempts started since an ISO date or date/time (2026-03-01, "
                        "2026-03-01T14:00, UTC unless it gives an offset) or within an age: "
                        "90s, 30m, 2h, 3d, 1w")
    f.add_argument("--station", metavar="NAME", dest="station_filter",
                   help="attempts recorded by this station")
    f.add_argument("--run", metavar="RUN", dest="run_filter",
                   help="attempts of the run with this id")
    p.add_argument("--limit", type=count(0), default=1000, metavar="N",
                   help="list at most the N newest attempts (default: %(default)s; 0: all "
                        "of them)")
    p.add_argument("--csv", action="store_true",
                   help="print the attempts as CSV with a header row, every column; a cell "
                        "that starts with = + - @, a tab or a carriage return gets a ' "
                        "before it, so that a spreadsheet shows it as text and never runs "
                        "it as a formula")
    return p


def run(ctx: Context) -> int:
    from .._netaddr import parse_address
    from ..history import (COLUMNS, History, HistoryError, default_path, is_url, parse_since,
                           run_id_of)

    a = ctx.args
    if a.json and a.csv:
        raise UsageError("--json and --csv: choose one")
    try:
        since = parse_since(a.since) if a.since is not None else None
    except ValueError as e:
        raise UsageError(f"--since: {e}") from None
    if a.image is not None and not re.fullmatch(r"[0-9a-fA-F]{1,64}", a.image.strip()):
        raise UsageError(f"--image: expected the first hex digits of a SHA-256, not {a.image!r}")
    if a.run_filter is not None:
        try:
            run_id_of(a.run_filter)
        except ValueError as e:
            raise UsageError(f"--run: {e}") from None
    if a.address is not None:
        try:
            parse_address(a.address, 0)
        except ValueError as e:
            raise UsageError(f"--address: {e}") from None
    path = os.fspath(a.history if a.history is not None else default_path())
    rows: list[dict[str, Any]] = []
    if is_url(path) or os.path.exists(path):  # reading must not create a file
        try:
            with History(path, create=False) as history:
                path = str(history.path)  # a URL as messages show it
                rows = history.attempts(serial=a.serial, address=a.address, image=a.image,
                                        since=since, resource=a.resource,
                                        station=a.station_filter, run=a.run_filter,
                                        limit=a.limit)
        except HistoryError as e:
            if not e.empty:
                return history_failed(ctx, e, "give the path of a history with --history")
            path = e.path
            ctx.console.line(f"{PROG} history: no history at {path} yet")
        except ValueError as e:  # a filter
            raise UsageError(str(e)) from None
    else:
        ctx.console.line(f"{PROG} history: no history at {path} yet")

    if a.json:
        ctx.out_json({"history": path, "attempts": rows})
    elif a.csv:  # a row at a time: no second copy of the list as text
        buf = io.StringIO()
        w = csv.writer(buf, lineterminator="")
        for cells in itertools.chain([COLUMNS], ([_cell(" ".join(row[c]) if c == "signers"
                                                        else "" if row[c] is None else row[c])
                                                  for c in COLUMNS] for row in rows)):
            buf.seek(0)
            buf.truncate()
            w.writerow(cells)
            ctx.out(buf.getvalue())
    else:
        _table(ctx, rows)
    return EXIT_OK


def history_failed(ctx: Context, e: Any, hint: str) -> int:
    """A history that could not be opened, read or written ends the verb:
    said on standard error and, under --json, as its one JSON object. A URL
    at fault (a password in it) is a usage error, any other a failure."""
    status = EXIT_USAGE if getattr(e, "usage", False) else EXIT_FAILED
    ctx.console.error(str(e), hint)
    if getattr(ctx.args, "json", False):
        ctx.out_json(json_error("history", str(e), status))
    return status


# What a spreadsheet would take for a formula at the start of a cell.
_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def _cell(value: Any) -> Any:
    """A CSV cell: a text a spreadsheet would run as a formula gets a ' first."""
    if isinstance(value, str) and value.startswith(_FORMULA_START):
        return "'" + value
    return value


def _cells(row: dict[str, Any]) -> dict[str, str]:
    from .._netaddr import address_label

    old, new = row["old_version"], row["new_version"]
    cells = {c: "" if row.get(c) is None else printable(str(row[c])) for c in row}
    cells["started"] = (row["started"] or "").replace("T", " ")[:19]
    cells["device"] = printable(row["name"] or row.get("resource")
                                 or address_label(row["host"], row["port"]))
    cells["versions"] = printable(f"{old or '?'} -> {new or '?'}" if old or new else "")
    cells["image_sha256"] = (row["image_sha256"] or "")[:12]
    cells["seconds"] = "" if row["seconds"] is None else f"{row['seconds']:.1f}"
    cells["message"] = printable(" ".join((row["message"] or "").split()))
    return cells


def _table(ctx: Context, rows: list[dict[str, Any]]) -> None:
    if not rows:
        ctx.out("no attempts recorded" + ("" if not _filtered(ctx.args) else
                                          " that match the filters"))
        return
    cells = [_cells(r) for r in rows]
    widths = []
    for heading, column, cap in _TABLE:
        wide = max([len(heading)] + [len(c[column]) for c in cells])
        widths.append(min(wide, cap) if cap else wide)

    def line(values: list[str]) -> str:
        parts = []
        for v, w in zip(values, widths):
            parts.append(v if len(v) <= w else v[:max(w - 1, 0)] + "~")
            parts[-1] = parts[-1].ljust(w)
        return "  ".join(parts).rstrip()

    ctx.out(line([h for h, _, _ in _TABLE]))
    for c in cells:
        ctx.out(line([c[column] for _, column, _ in _TABLE]))
    limit = ctx.args.limit
    ctx.out(f"{len(rows)} attempt(s)" + (f", the newest {limit}: --limit 0 lists all"
                                         if limit and len(rows) == limit else ""))


def _filtered(a: argparse.Namespace) -> bool:
    return any(v is not None for v in (a.serial, a.address, a.image, a.since, a.resource,
                                       a.station_filter, a.run_filter))
