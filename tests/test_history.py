"""The update history: rows committed when an attempt starts (a process killed
mid-update leaves its 'started' row), several writers at once, histories that
cannot be opened, the schema version and its migration, the filters, and the
history verb's output."""

import csv
import io
import json
import os
import sqlite3
import subprocess
import sys
from datetime import datetime, timedelta, timezone

import pytest

from quorvex import history as hist
from quorvex.cli import main
from quorvex._historydb import _SQLITE_TYPES, APPLICATION_ID, Column, render
from quorvex.history import History, HistoryError

from _helpers import row_then_kill

ENV = dict(os.environ)
if ENV.get("PYTHONPATH"):  # the child may run elsewhere: make the path absolute
    ENV["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p)
                                        for p in ENV["PYTHONPATH"].split(os.pathsep) if p)

SHA_A = "ab" * 32
SHA_B = "cd" * 32


def child(code, *args):
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], env=ENV,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_a_process_killed_mid_attempt_leaves_its_started_row(tmp_path):
    path = tmp_path / "h.sqlite3"
    p = child("import sys, time\n"
              "from quorvex.history import History\n"
              "h = History(sys.argv[1])\n"
              "row = h.start(host='192.0.2.7', port=5025, serial='SN-7', image_sha256='"
              + SHA_A + "', attempt=1, operator='line-3')\n"
              "print(row, flush=True)\n"
              "time.sleep(60)\n"
              "h.finish(row, outcome='updated')\n", path)
    row = row_then_kill(p)
    with History(path) as h:
        (rec,) = h.attempts()
    assert rec["id"] == row and rec["outcome"] == "started" and rec["ended"] is None
    assert (rec["serial"], rec["image_sha256"], rec["operator"]) == ("SN-7", SHA_A, "line-3")
    assert rec["started"].endswith("Z") and rec["tool_version"]


def test_two_processes_with_two_device_threads_each_write_one_history_at_once(tmp_path):
    path, go, n = tmp_path / "h.sqlite3", tmp_path / "go", 40
    code = ("import os, sys, threading, time\n"
            "from quorvex.history import History\n"
            "path, go, who, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])\n"
            "while not os.path.exists(go): time.sleep(0.005)\n"
            "h = History(path)\n"
            "def device(d):\n"
            "    for i in range(n):\n"
            "        row = h.start(host=who, port=5025, serial=f'{who}{d}-{i}')\n"
            "        h.finish(row, outcome='updated', exit_status=0, bytes=i)\n"
            "ts = [threading.Thread(target=device, args=(d,)) for d in (1, 2)]\n"
            "[t.start() for t in ts]; [t.join() for t in ts]\n")
    procs = [child(code, path, go, who, n) for who in ("a", "b")]
    go.touch()  # both open a history that does not exist yet, at the same moment
    for p in procs:
        out, err = p.communicate(timeout=60)
        assert p.returncode == 0, err
    with History(path) as h:
        rows = h.attempts()
    assert sorted(r["serial"] for r in rows) == sorted(f"{w}{d}-{i}" for w in "ab"
                                                       for d in (1, 2) for i in range(n))
    assert {r["outcome"] for r in rows} == {"updated"}


def _unopenable(kind, p):
    """A path whose history cannot be opened, of the given kind."""
    if kind == "garbage":
        p.write_bytes(b"not a database at all\n" * 20)
    elif kind == "under a file":
        p.write_text("a file, not a folder")
        return p / "sub" / "h.sqlite3"
    elif kind == "a folder":
        return p.parent
    else:
        if kind == "newer":
            History(p).close()
        db = sqlite3.connect(p)
        db.execute(f"PRAGMA user_version = {hist.SCHEMA_VERSION + 1}" if kind == "newer"
                   else "CREATE TABLE notes (x)")
        db.commit()
        db.close()
    return p


@pytest.mark.parametrize("kind, reason", [
    ("garbage", "not an SQLite database"), ("newer", "newer"), ("foreign", "another program"),
    ("under a file", "cannot create its folder"), ("a folder", "cannot open"),
])
def test_a_history_that_cannot_be_opened_is_refused_by_path_and_reason(tmp_path, kind, reason):
    path = _unopenable(kind, tmp_path / "h.sqlite3")
    before = path.read_bytes() if path.is_file() else None
    with pytest.raises(HistoryError) as e:
        History(path)
    assert str(path) in str(e.value) and reason in str(e.value) and e.value.path == str(path)
    if before is not None:  # refused, not written into
        assert path.read_bytes() == before


def test_a_new_history_carries_its_schema_version_in_wal_mode(tmp_path):
    path = tmp_path / "state" / "quorvex" / "h.sqlite3"
    with History(path) as h:
        assert h.schema_version == hist.SCHEMA_VERSION
    assert oct((tmp_path / "state").stat().st_mode & 0o777) == "0o700"
    assert oct(path.parent.stat().st_mode & 0o777) == "0o700"
    db = sqlite3.connect(path)
    assert db.execute("PRAGMA user_version").fetchone()[0] == hist.SCHEMA_VERSION
    assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    db.close()


def test_an_older_history_is_migrated_on_open_and_keeps_its_rows(tmp_path, monkeypatch):
    path = tmp_path / "h.sqlite3"
    with History(path) as h:
        h.start(host="h", port=1, serial="old")
    old = hist.SCHEMA_VERSION
    monkeypatch.setattr(hist, "SCHEMA_VERSION", old + 1)
    monkeypatch.setitem(hist._MIGRATIONS, old, (Column("attempts", "bay", "text"),))
    with History(path) as h:
        assert h.schema_version == old + 1 and h.attempts()[0]["serial"] == "old"
    db = sqlite3.connect(path)
    assert db.execute("SELECT bay FROM attempts").fetchall() == [(None,)]
    db.close()


@pytest.fixture
def filled(tmp_path):
    """Four attempts: two on SN-1 (the second a retry, serial read from the
    device), one on an IPv6 device, one a week old."""
    path = tmp_path / "h.sqlite3"
    with History(path) as h:
        r = h.start(host="192.0.2.1", port=5025, name="slot1", serial="SN-1",
                    image_sha256=SHA_A, signers=["k1", "k2"], attempt=1)
        h.finish(r, outcome="failed", exit_status=74, message="link lost")
        r = h.start(host="192.0.2.1", port=5025, name="slot1", image_sha256=SHA_A, attempt=2)
        h.finish(r, outcome="updated", exit_status=0, old_version="1.0", new_version="1.1",
                 bytes=4096, seconds=2.5, blocks_resent=1, serial="SN-1")
        r = h.start(host="2001:db8::9", port=6000, serial="SN-2", image_sha256=SHA_B)
        r = h.start(host="192.0.2.2", port=5025, serial="SN-3", image_sha256=SHA_B)
    week_ago = datetime.now(timezone.utc) - timedelta(days=7)
    db = sqlite3.connect(path)
    db.execute("UPDATE attempts SET started = ? WHERE id = ?", (hist._iso(week_ago), r))
    db.commit()
    db.close()
    return path


@pytest.mark.parametrize("filters, ids", [
    ({}, [3, 2, 1, 4]),
    ({"serial": "SN-1"}, [2, 1]),
    ({"address": "192.0.2.1"}, [2, 1]),
    ({"address": "192.0.2.1:5026"}, []),
    ({"address": "[2001:DB8:0::9]:6000"}, [3]),
    ({"address": "[::ffff:192.0.2.1]"}, [2, 1]),
    ({"image": "ABAB"}, [2, 1]),
    ({"image": SHA_B}, [3, 4]),
    ({"since": "1d"}, [3, 2, 1]),
    ({"since": "8d", "serial": "SN-3"}, [4]),
    ({"since": (datetime.now(timezone.utc) - timedelta(days=1)).date().isoformat()}, [3, 2, 1]),
    ({"since": "2999-01-01T00:00+02:00"}, []),
])
def test_filters(filled, filters, ids):
    with History(filled) as h:
        assert [r["id"] for r in h.attempts(**filters)] == ids


def test_default_path_and_operator(monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    assert hist.default_path() == tmp_path / "quorvex" / "history.sqlite3"
    monkeypatch.setenv("XDG_STATE_HOME", "relative/ignored")
    assert hist.default_path().parts[-4:] == (".local", "state", "quorvex", "history.sqlite3")

    def no_login():
        raise OSError("no login name")
    monkeypatch.setattr(hist.getpass, "getuser", no_login)
    assert hist.default_operator() == f"uid {os.getuid()}"


def test_the_history_verb_json_csv_and_table(filled, capsys):
    assert main(["history", "--history", str(filled), "--json", "--serial", "SN-1"]) == 0
    out = json.loads(capsys.readouterr().out)
    assert out["history"] == str(filled)
    second, first = out["attempts"]
    assert first["signers"] == ["k1", "k2"] and first["exit_status"] == 74
    assert (second["outcome"], second["old_version"], second["new_version"], second["bytes"],
            second["blocks_resent"], second["attempt"]) == ("updated", "1.0", "1.1", 4096, 1, 2)

    assert main(["history", "--history", str(filled), "--csv", "--image", "cd"]) == 0
    rows = list(csv.DictReader(io.StringIO(capsys.readouterr().out)))
    assert [r["serial"] for r in rows] == ["SN-2", "SN-3"]
    assert rows[0]["host"] == "2001:db8::9" and rows[0]["ended"] == ""

    assert main(["history", "--history", str(filled), "--since", "1d"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split()[:3] == ["started", "(UTC)", "outcome"] and len(lines) == 5
    assert "[2001:db8::9]:6000" in lines[1] and "1.0 -> 1.1" in lines[2]


@pytest.mark.parametrize("args, status, says", [
    (["--since", "soon"], 64, "--since"), (["--image", "g"], 64, "--image"),
    (["--json", "--csv"], 64, "choose one"), (["--address", "h:99999"], 64, "--address"),
    (["--since", "99999999999d"], 64, "years 1 to 9999"), (["--since", "9" * 400 + "d"], 64,
                                                           "--since"),
    (["--since", "0001-01-01T00:00:00+01:00"], 64, "years 1 to 9999"),
    (["--run", "last-tuesday"], 64, "--run"),
])
def test_the_history_verb_refuses_bad_options(filled, capsys, args, status, says):
    assert main(["history", "--history", str(filled), *args]) == status
    assert says in capsys.readouterr().err


def test_the_history_verb_neither_creates_nor_misreads_a_history(tmp_path, capsys):
    missing = tmp_path / "none" / "h.sqlite3"
    assert main(["history", "--history", str(missing), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["attempts"] == [] and not missing.parent.exists()
    bad = _unopenable("garbage", tmp_path / "bad.sqlite3")
    assert main(["history", "--history", str(bad)]) == 1
    assert str(bad) in capsys.readouterr().err


def test_a_first_version_history_gains_the_resource_column_and_keeps_its_rows(tmp_path):
    path = tmp_path / "h.sqlite3"
    db = sqlite3.connect(path)
    for step in hist._MIGRATIONS[0]:
        db.execute(render(step, _SQLITE_TYPES))
    db.execute("INSERT INTO attempts (started, host, port, outcome, attempt) "
               "VALUES ('2026-01-01T00:00:00.000Z', '192.0.2.1', 5025, 'updated', 1)")
    db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
    db.execute("PRAGMA user_version = 1")
    db.commit()
    db.close()
    with History(path) as h:
        assert h.schema_version == hist.SCHEMA_VERSION
        h.start(resource="TCPIP::192.0.2.2::5025::SOCKET", serial="SN-V")
        rows = h.attempts()
        assert [(r["host"], r["port"], r["resource"]) for r in rows] == [
            ("TCPIP::192.0.2.2::5025::SOCKET", 0, "TCPIP::192.0.2.2::5025::SOCKET"),
            ("192.0.2.1", 5025, None)]
        assert [r["serial"] for r in h.attempts(resource="tcpip::192.0.2.2::5025::socket")] \
            == ["SN-V"]
