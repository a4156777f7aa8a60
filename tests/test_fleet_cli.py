"""quorvex-fpga update and verify over quorvex.fleet: inventories and address
lists checked before anything connects, identity pinning, verify's exit
statuses, --json, the history the command line writes, and the progress it
shows off a terminal."""

import json
import os
import sqlite3
import sys

import pytest
from _cli import cli

from quorvex import tbin
from quorvex.cli import main
from quorvex.cli._console import Console
from quorvex.cli._display import FleetDisplay, result_table, totals_line
from quorvex.emulator import DeviceEmulator
from quorvex.fleet import Device, DeviceResult, Progress



@pytest.fixture(autouse=True)
def own_state(tmp_path, monkeypatch):
    """The default history of these runs is the test's, not the user's."""
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "default-state"))


@pytest.fixture
def image(tbin_image):
    return tbin_image


def history_rows(path):
    with sqlite3.connect(path) as db:
        return db.execute("SELECT host, port, serial, outcome, operator FROM attempts "
                          "ORDER BY id").fetchall()


# --- refused before anything connects ---------------------------------------------

@pytest.mark.parametrize("verb", ["update", "verify"])
def test_an_inventory_with_a_bad_row_exits_64_before_connecting(image, tmp_path, verb, capsys):
    path, _ = image
    with DeviceEmulator() as e:
        inv = tmp_path / "rack.csv"
        inv.write_text(f"address,port,name\n{e.host},{e.port},good\n{e.host},70000,bad\n")
        assert main([verb, str(path), "--inventory", str(inv), "--no-history"][
            :None if verb == "update" else -1]) == 64
        assert e.counters()["connections"] == 0
    err = capsys.readouterr().err
    assert "rack.csv" in err and "3" in err and "70000" in err


@pytest.mark.parametrize("other", ["[::ffff:127.0.0.1]:{port}", "127.0.0.1:{port}",
                                   "localhost:{port}"])
def test_one_device_by_two_names_is_refused_before_connecting(image, other, capsys):
    path, _ = image
    with DeviceEmulator() as e:
        argv = ["update", str(path), "--no-history", "-a", f"127.0.0.1:{e.port}",
                "-a", other.format(port=e.port)]
        assert main(argv) == 64
        assert e.counters()["connections"] == 0
    assert "one device can take only one update at a time" in capsys.readouterr().err


def test_identity_pinning_needs_a_single_address(image, tmp_path, capsys):
    path, _ = image
    assert main(["update", str(path), "-a", "192.0.2.1", "-a", "192.0.2.2",
                 "--expect-serial", "S", "--no-history"]) == 64
    assert "--expect-serial" in capsys.readouterr().err


# --- against emulators -------------------------------------------------------------

@pytest.mark.parametrize("dry_run", [False, True])
def test_a_serial_mismatch_is_refused_with_2_and_the_device_is_not_erased(image, tmp_path,
                                                                          dry_run):
    path, _ = image
    with DeviceEmulator(serial="SN-REAL") as e:
        r = cli("update", path, "-a", e.address, "--expect-serial", "SN-WANTED", "--json",
                "--history", tmp_path / "h.sqlite3", *(["--dry-run"] if dry_run else []))
        assert r.returncode == 2, r.stderr
        assert e.counters()["FPGA_ERASE"] == 0 and e.counters()["FPGA_PROGRAM"] == 0
    (dev,) = json.loads(r.stdout)["devices"]
    assert dev["outcome"] == "refused"
    assert "SN-REAL" in dev["message"] and "SN-WANTED" in dev["message"]
    assert "SN-REAL" in r.stderr


def test_verify_exits_0_when_every_device_holds_the_image_and_1_when_one_differs(image):
    path, data = image
    with DeviceEmulator() as a, DeviceEmulator() as b:
        for e in (a, b):
            assert cli("update", path, "-a", e.address, "-q", "--no-history").returncode == 0
        r = cli("verify", path, "-a", a.address, "-a", b.address, "--json")
        assert r.returncode == 0, r.stderr
        assert [d["outcome"] for d in json.loads(r.stdout)["devices"]] == ["unchanged"] * 2

        other = path.with_name("other.bin")
        other.write_bytes(data[:-1] + bytes([data[-1] ^ 1]))
        r = cli("verify", other, "-a", a.address, "-a", b.address)
        assert r.returncode == 1
        assert "failed" in r.stdout
        for e in (a, b):  # read back only
            assert e.counters()["FPGA_ERASE"] == 1 and e.flash() == data


def test_an_inventory_run_records_every_attempt_and_json_carries_the_report(image, tmp_path):
    path, data = image
    history = tmp_path / "state" / "history.sqlite3"
    with DeviceEmulator(serial="SN-A") as a, DeviceEmulator(serial="SN-B") as b:
        inv = tmp_path / "rack.toml"
        inv.write_text("".join(f'[[device]]\naddress = "{e.host}"\nport = {e.port}\n'
                               f'name = "{n}"\nserial = "{s}"\n\n'
                               for e, n, s in ((a, "left", "SN-A"), (b, "right", "SN-B"))))
        r = cli("update", path, "--inventory", inv, "--history", history,
                "--operator", "line-7", "--json")
        assert r.returncode == 0, r.stderr
        assert a.flash() == b.flash() == data
    doc = json.loads(r.stdout)
    assert doc["exit_status"] == 0 and doc["counts"]["updated"] == 2
    assert [(d["label"], d["outcome"], d["attempts"]) for d in doc["devices"]] == [
        ("left", "updated", 1), ("right", "updated", 1)]
    rows = history_rows(history)
    assert sorted((row[2], row[3], row[4]) for row in rows) == [
        ("SN-A", "updated", "line-7"), ("SN-B", "updated", "line-7")]


def test_an_inventory_of_another_device_type_checks_the_image_against_its_type(tmp_path):
    path = tmp_path / "for28.tbin"
    path.write_bytes(tbin.pack(os.urandom(100), 28))
    with DeviceEmulator() as e:
        inv = tmp_path / "rack.csv"
        inv.write_text(f"address,port,device_type\n{e.host},{e.port},28\n")
        r = cli("update", path, "--inventory", inv, "--no-history", "--dry-run")
        # Past the offline check (the image is for the inventory's type); the
        # device, of type 32, refuses type 28 itself.
        assert r.returncode == 2
        assert "image refused" not in r.stderr and "Device type 28" in r.stderr
        assert e.counters()["connections"] == 1


def test_no_history_records_nothing_and_the_default_history_is_used_otherwise(image, tmp_path):
    path, _ = image
    state = tmp_path / "xdg"
    with DeviceEmulator() as e:
        r = cli("update", path, "-a", e.address, "--no-history", env={"XDG_STATE_HOME": state})
        assert r.returncode == 0, r.stderr
        assert not (state / "quorvex").exists()
        r = cli("update", path, "-a", e.address, env={"XDG_STATE_HOME": state})
        assert r.returncode == 0, r.stderr
    assert [row[3] for row in history_rows(state / "quorvex" / "history.sqlite3")] == [
        "updated"]


def test_a_history_that_cannot_be_opened_stops_the_run_before_any_device(image, tmp_path):
    path, _ = image
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    with DeviceEmulator() as e:
        r = cli("update", path, "-a", e.address, "--history", blocker / "h.sqlite3")
        assert r.returncode == 1
        assert e.counters()["FPGA_ERASE"] == 0
    assert "--no-history" in r.stderr


def test_off_a_terminal_progress_is_a_line_per_stage_never_per_block(tmp_path):
    path = tmp_path / "big.bin"
    data = os.urandom(64 * 1024)  # 4096 blocks
    path.write_bytes(data)
    with DeviceEmulator() as a, DeviceEmulator() as b:
        r = cli("update", path, "-a", a.address, "-a", b.address, "--no-history")
        assert r.returncode == 0, r.stderr
    lines = r.stderr.splitlines()
    assert len(lines) < 60, r.stderr
    for e in (a, b):
        assert any(line.startswith(f"{e.address}: write") for line in lines)
    # The end of the run: one row per device, then the totals.
    out = r.stdout.splitlines()
    assert sum(" updated " in line for line in out) == 2
    assert out[-1].startswith("2 devices: 2 updated") and out[-1].endswith("exit status 0")


# --- the display, on plain data ---------------------------------------------------------

def test_the_plain_progress_says_each_stage_once_and_then_every_10_s(capsys):
    import sys as _sys
    dev = Device("192.0.2.1", 5025, name="left")
    now = [0.0]
    show = FleetDisplay(Console(_sys.stderr), [dev], live=False, clock=lambda: now[0])
    show(Progress(dev, "connect"))
    for done in range(0, 40000, 16):  # 2500 blocks over 25 s
        now[0] = done / 1600
        show(Progress(dev, "write", done, 40000))
    show(Progress(dev, "verify", 0, 40000, attempt=2))
    show(Progress(dev, "done"))
    lines = capsys.readouterr().err.splitlines()
    assert [line.split(",")[0] for line in lines] == [
        "left: connect", "left: write", "left: write", "left: write", "left: verify",
        "left: done"]
    assert "attempt 2" in lines[4] and "1.6 KiB/s" in lines[2]


def test_the_live_table_has_a_row_per_running_device_and_a_summary():
    from rich.console import Console as RichConsole

    devs = [Device("192.0.2.1", name="left"), Device("192.0.2.2", name="right"),
            Device("192.0.2.3", name="spare")]
    now = [0.0]
    show = FleetDisplay(Console(sys.stderr), devs, live=True, clock=lambda: now[0])
    show(Progress(devs[0], "write", 0, 1000))
    now[0] = 1.0
    show(Progress(devs[0], "write", 500, 1000))
    show(Progress(devs[1], "done"))
    out = RichConsole(width=120, file=__import__("io").StringIO())
    out.print(show.renderable())
    text = out.file.getvalue()
    assert "left" in text and "50%" in text and "500 B/s" in text and "0:01" in text
    assert "right" not in text and "spare" not in text
    assert "done 1, failed 0, running 1, waiting 1" in text
    show(Progress(devs[0], "done", outcome="failed"))
    show(Progress(devs[2], "done", outcome="skipped"))
    out = RichConsole(width=120, file=__import__("io").StringIO())
    out.print(show.renderable())
    assert "done 1, failed 1, skipped 1, running 0, waiting 0" in out.file.getvalue()

    # One device: just its bar, no table and no counts.
    alone = FleetDisplay(Console(sys.stderr), devs[:1], live=True, clock=lambda: now[0])
    alone(Progress(devs[0], "write", 250, 1000, attempt=2))
    out = RichConsole(width=120, file=__import__("io").StringIO())
    out.print(alone.renderable())
    (line,) = out.file.getvalue().splitlines()
    assert line.split()[:2] == ["left", "write"] and "25%" in line and "attempt 2" in line


def test_two_devices_of_one_name_keep_a_row_each():
    twins = [Device("192.0.2.1", name="bench"), Device("192.0.2.2", name="bench")]
    show = FleetDisplay(Console(sys.stderr), twins, live=True)
    show(Progress(twins[0], "write", 10, 100))
    show(Progress(twins[1], "done", outcome="updated"))
    assert show.counts() == {"done": 1, "failed": 0, "refused": 0, "skipped": 0,
                             "interrupted": 0, "running": 1, "waiting": 0}
    show(Progress(twins[0], "done", outcome="interrupted"))
    assert show.summary() == "done 1, failed 0, interrupted 1, running 0, waiting 0"


def test_ctrl_c_in_the_last_refresh_still_stops_the_live_table():
    import io

    err = io.StringIO()
    show = FleetDisplay(Console(err), [Device("192.0.2.1"), Device("192.0.2.2")], live=True)
    with pytest.raises(KeyboardInterrupt):
        with show:
            live = show._live

            def interrupted():
                raise KeyboardInterrupt

            live.refresh = interrupted
    assert not live.is_started and show._live is None
    show.console.line("after")  # the console writes to the stream again, not above a table
    assert err.getvalue().endswith("after\n")


def test_the_end_of_run_table_and_totals():
    rs = [DeviceResult(Device("192.0.2.1", name="left"), "updated", 2, "0.2", "0.3", 4096, 2.0),
          DeviceResult(Device("192.0.2.2"), "refused", 1, message="serial")]
    table = result_table(rs).splitlines()
    assert table[0].split() == ["device", "outcome", "old", "version", "new", "version",
                                "attempts", "time", "rate"]
    assert table[2].split() == ["left", "updated", "0.2", "0.3", "2", "2.00", "s", "2.0",
                                "KiB/s"]
    assert table[3].split()[:2] == ["192.0.2.2:5025", "refused"]
    assert totals_line(rs, 3.0) == "2 devices: 1 updated, 1 refused; 4.0 KiB written in 3.00 s"
