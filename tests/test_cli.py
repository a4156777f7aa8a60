"""quorvex-fpga end to end: each verb in a subprocess against the device
emulator, its exit statuses, what goes to stdout and what to stderr, the
JSON shapes, a fleet with one failing device, and Ctrl-C mid-update."""

import json
import os
import pathlib
import re
import select
import signal
import sqlite3
import subprocess
import sys
import types

import pytest

from quorvex import tbin
from quorvex.cli import build_parser, main
from quorvex.emulator import DeviceEmulator
from quorvex._netaddr import parse_address
from quorvex.fleet import run_status
from quorvex.fleet._outcomes import attempt_status

from _helpers import wait_for

ENV = dict(os.environ)
if ENV.get("PYTHONPATH"):  # the child may run elsewhere: make the path absolute
    ENV["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p)
                                        for p in ENV["PYTHONPATH"].split(os.pathsep) if p)
CLI = [sys.executable, "-m", "quorvex.cli"]


def child_env():
    """The environment of a child quorvex-fpga: this one's, with the test's own
    default history (see own_state)."""
    return {**ENV, "XDG_STATE_HOME": os.environ["XDG_STATE_HOME"]}


def cli(*args, timeout=60):
    return subprocess.run([*CLI, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, env=child_env())


@pytest.fixture(autouse=True)
def own_state(tmp_path, monkeypatch):
    """The default history of these runs is the test's, not the user's."""
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "default-state"))


@pytest.fixture
def image(tmp_path):
    data = os.urandom(3000)
    (tmp_path / "img.bin").write_bytes(data)
    (tmp_path / "img.tbin").write_bytes(tbin.pack(data, 32, header={"build": 7}))
    return tmp_path, data


@pytest.fixture
def emu_options():
    return {"fpga_version": "0.2.3.4", "version_after_update": "0.3.0.1"}


# --- the command line itself (in-process: no device involved) -------------------------

@pytest.mark.parametrize("argv", [
    [], ["frobnicate"], ["update", "x.bin"], ["info", "-a", "h", "--port", "70000"],
    ["update", "x.bin", "-a", "h", "--timeout", "0"], ["pack", "x.bin", "-o", "y.tbin"],
    ["pack", "x.bin", "-d", "32", "--header", "novalue", "-o", "y.tbin"],
    ["pack", "x.bin", "-d", "32", "--header", "DEV_TYPE=28", "-o", "y.tbin"],
])
def test_a_usage_error_exits_64_with_the_usage_on_stderr(argv, capsys):
    with pytest.raises(SystemExit) as e:
        main(argv)
    out, err = capsys.readouterr()
    assert e.value.code == 64 and out == ""
    assert "usage: quorvex-fpga" in err and "error:" in err


@pytest.mark.parametrize("verb", ["pubkey", "keygen"])
def test_a_pin_in_a_token_uri_is_a_usage_error_that_writes_nothing(verb, tmp_path, capsys):
    uri = "pkcs11:token=release;object=fpga?pin-value=9731"
    out_file = tmp_path / "k"
    argv = [verb, uri] if verb == "pubkey" else [verb, "--pkcs11", uri]
    status = main([*argv, "-o", str(out_file)])
    out, err = capsys.readouterr()
    assert status == 64 and "must not be on the command line" in err
    assert "9731" not in out + err and os.listdir(tmp_path) == []


@pytest.mark.parametrize("addresses, wrong", [
    (["127.0.0.1:5025", "127.0.0.1"], "127.0.0.1:5025 is given more than once"),
    (["127.0.0.1:5025", "localhost:5025"],
     "127.0.0.1:5025 and localhost:5025 are the same device (127.0.0.1:5025)"),
    (["[::1"], "bad address"),
    (["host:99999"], "bad port"),
])
def test_addresses_that_make_no_sense_are_usage_errors_before_anything_runs(
        image, addresses, wrong, capsys):
    tmp, _ = image
    argv = ["update", str(tmp / "img.bin")] + [x for a in addresses for x in ("-a", a)]
    assert main(argv) == 64
    out, err = capsys.readouterr()
    assert out == "" and wrong in err


@pytest.mark.parametrize("text, host, port", [
    ("192.0.2.1", "192.0.2.1", 5025), ("dev.example:6000", "dev.example", 6000),
    ("::1", "::1", 5025), ("[::1]", "::1", 5025), ("[fe80::1]:7000", "fe80::1", 7000),
])
def test_addresses_take_an_optional_port(text, host, port):
    assert parse_address(text, 5025) == (host, port)


@pytest.mark.parametrize("text", ["h:0", "h:65536", "h:+80", "h:\u00b2", "h:", "[::1", "[::1]x",
                                  ":5025"])
def test_a_bad_address_is_refused_in_words_that_name_it(text):
    with pytest.raises(ValueError, match=r"^bad (port in )?address ") as e:
        parse_address(text, 5025)
    assert repr(text) in str(e.value)


@pytest.mark.parametrize("verb", [None, "info", "update", "verify", "check", "pack", "inspect"])
def test_help_explains_the_verbs_and_exit_statuses(verb, capsys):
    with pytest.raises(SystemExit) as e:
        build_parser().parse_args([verb, "--help"] if verb else ["--help"])
    out = capsys.readouterr().out
    assert e.value.code == 0
    success = "every device holds the image" if verb == "verify" else "success"
    assert f"exit status:\n  0    {success}" in out and "\n  64   usage error" in out
    if verb in (None, "update", "verify", "info"):
        assert "\n  74   link error" in out and "\n  130  interrupted" in out
    if verb == "update":
        assert "first that holds:" in out and "--dry-run exits by the same rule" in out
    if verb is None:
        for v in ("info", "update", "verify", "check", "pack", "inspect", "emulate", "history"):
            assert f"\n    {v} " in out


def console_script(*args):
    """Runs quorvex-fpga as the installed script does: the entry point that
    pyproject.toml names, imported and called."""
    toml = (pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml").read_text()
    module, func = re.search(r'^quorvex-fpga\s*=\s*"([\w.]+):(\w+)"', toml, re.M).groups()
    code = f"import sys; from {module} import {func}; sys.exit({func}())"
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          timeout=60, env=child_env())


@pytest.mark.parametrize("verb", [None, "info", "update", "verify", "check", "pack", "inspect",
                                  "emulate"])
def test_the_console_script_entry_point_shows_each_verbs_help(verb):
    r = console_script(*([verb] if verb else []), "--help")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.startswith(f"usage: quorvex-fpga {verb or ''}".rstrip() + " ")


@pytest.mark.parametrize("ends, status", [
    ([("ready", False), ("refused", False), ("failed", True)], 1),
    ([("ready", False), ("failed", True)], 1),
    ([("failed", True), ("failed", True)], 74),
    ([("failed", True), ("interrupted", False)], 130),
    ([("refused", False), ("ready", False)], 2),
    ([], 0),
])
def test_one_rule_gives_the_status_of_several_devices(ends, status):
    results = [types.SimpleNamespace(outcome=o, unreachable=u) for o, u in ends]
    assert run_status(results) == status
    if len(set(ends)) == 1:  # one attempt alone ends as its run would
        assert attempt_status(*ends[0]) == status


# --- offline verbs ------------------------------------------------------------------

def test_pack_then_inspect_then_check(tmp_path):
    raw = tmp_path / "fpga.bin"
    raw.write_bytes(os.urandom(1000))
    out = tmp_path / "fpga.tbin"
    r = cli("pack", raw, "-d", "32", "-d", "28", "--header", "build=1234",
            "--header", "note=for the lab", "--header", 'tags=["a", 1]', "-o", out)
    assert r.returncode == 0, r.stderr
    assert str(out) in r.stdout and r.stdout.count("\n") == 1

    r = cli("inspect", out, "--json")
    assert r.returncode == 0, r.stderr
    info = json.loads(r.stdout)
    assert info["ok"] and info["image_length"] == 1000
    assert info["device_types"] == [28, 32]
    assert info["header"] == {"DEV_TYPE": [32, 28], "build": 1234, "note": "for the lab",
                              "tags": ["a", 1]}
    assert "key" not in info  # derived from the site's secret prefix

    # One byte of the image flipped: both the check and inspect refuse it.
    blob = bytearray(out.read_bytes())
    blob[-5] ^= 0xFF
    out.write_bytes(bytes(blob))
    r = cli("check", out)
    assert r.returncode == 2
    assert "FPGA tbin image hash mismatch" in r.stdout and "header check  FAILED" in r.stdout
    assert "error: image refused" in r.stderr


@pytest.mark.parametrize("source, output, status, wrong", [
    ("img.bin", "y.bin", 64, "name the output .tbin"),
    ("img.bin", "y.TBIN", 0, ""),
    ("img.tbin", "y.tbin", 2, "is a .tbin container already"),
    ("disguised.bin", "y.tbin", 2, "is a .tbin container already"),
])
def test_pack_writes_a_tbin_and_only_from_a_raw_image(image, source, output, status, wrong,
                                                      capsys):
    tmp, _ = image
    (tmp / "disguised.bin").write_bytes((tmp / "img.tbin").read_bytes())
    assert main(["pack", str(tmp / source), "-d", "32", "-o", str(tmp / output)]) == status
    assert wrong in capsys.readouterr().err
    assert (tmp / output).exists() == (status == 0)


# --- against the emulator ------------------------------------------------------------

def test_emulate_serves_and_info_reads_the_device(tmp_path):
    emulate = subprocess.Popen(
        [*CLI, "emulate", "--port", "0", "--fpga-version", "0.2.3.3", "--serial", "SN-77"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        ready, _, _ = select.select([emulate.stdout], [], [], 20)
        assert ready, "the emulator did not start"
        address = emulate.stdout.readline().split()[-1]

        r = cli("info", "--address", address, "--json")
        # Below the supported FPGA version: a refusal, with what it found.
        assert r.returncode == 2
        info = json.loads(r.stdout)
        assert (info["fpga_version"], info["serial_number"]) == ("0.2.3.3", "SN-77")
        assert info["init"]["code"] == "WARNING" and info["exit_status"] == 2
        assert "warning" in r.stderr and "--force-version" in r.stderr
    finally:
        emulate.send_signal(signal.SIGINT)
        assert emulate.wait(20) == 0


def test_update_writes_the_image_and_prints_the_table_of_devices(emu, image):
    tmp, data = image
    r = cli("update", tmp / "img.tbin", "--address", emu.address)
    assert r.returncode == 0, r.stderr
    assert emu.flash() == data
    # stdout: the table and the totals; stderr: the progress (a line per
    # stage off a terminal) and the log lines, not the library's own lines.
    header, rule, row, totals = r.stdout.splitlines()
    assert row.split()[:5] == [emu.address, "updated", "0.2.3.4", "0.3.0.1", "1"]
    assert totals.startswith("1 device: 1 updated; 2.9 KiB written in ")
    assert f"{emu.address}: write" in r.stderr and "Verify Success" in r.stderr
    assert "Progress:" not in r.stderr + r.stdout


def test_update_json_counts_the_refused_blocks_it_resent(emu, image):
    tmp, data = image
    emu.set(refuse_every=7)
    r = cli("update", tmp / "img.bin", "-a", emu.host, "-p", emu.port, "--json")
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    assert doc["exit_status"] == 0 and doc["image"]["format"] == "bin"
    (dev,) = doc["devices"]
    assert dev["outcome"] == "updated" and dev["new_version"] == "0.3.0.1"
    assert dev["bytes"] == 3000 and dev["seconds"] > 0
    assert dev["blocks_resent"] == emu.counters()["blocks_refused"] > 0
    assert emu.flash() == data


@pytest.mark.parametrize("force, status", [(False, 2), (True, 0)])
def test_a_tbin_for_another_device_type_is_refused_offline(emu, tmp_path, force, status):
    path = tmp_path / "for28.tbin"
    path.write_bytes(tbin.pack(os.urandom(100), 28))
    r = cli("update", path, "-a", emu.address, *(["--force-device-type"] if force else []))
    assert r.returncode == status, r.stderr
    assert "device type 28" in r.stderr
    assert emu.counters()["connections"] == (1 if force else 0)


def test_dry_run_initialises_and_stops_before_the_erase(emu, image):
    tmp, _ = image
    r = cli("update", tmp / "img.bin", "-a", emu.address, "--dry-run")
    assert r.returncode == 0, r.stderr
    assert "ready" in r.stdout and "would write 3000 bytes" in r.stdout
    assert emu.state()["initialised"] and emu.counters()["FPGA_ERASE"] == 0


def cli_to_closed_pipe(stream, *args):
    """Runs quorvex-fpga with `stream` ("stdout" or "stderr") a pipe whose
    reader has gone (as `quorvex-fpga ... | true` may): every write to it fails."""
    r, w = os.pipe()
    os.close(r)
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, stream: w}
    try:
        return subprocess.run([*CLI, *map(str, args)], **streams, text=True, timeout=60,
                              env=child_env())
    finally:
        os.close(w)


@pytest.mark.parametrize("args", [["check", "img.tbin", "--json"], ["inspect", "img.tbin"],
                                  ["update", "img.bin", "--json"]])
def test_a_closed_standard_output_ends_quietly_with_141_not_as_a_link_error(emu, image, args):
    tmp, data = image
    args = [tmp / a if a.startswith("img.") else a for a in args]
    r = cli_to_closed_pipe("stdout", *args,
                           *(["-a", emu.address, "-q"] if args[0] == "update" else []))
    assert (r.returncode, r.stderr) == (141, "")
    if args[0] == "update":  # the results were lost, not the update
        assert emu.flash() == data


@pytest.mark.parametrize("verb", ["update", "info"])
def test_a_device_that_does_not_answer_is_a_link_error_naming_it(image, verb):
    tmp, _ = image
    with DeviceEmulator() as gone:
        address = gone.address
    args = ["update", tmp / "img.bin"] if verb == "update" else ["info"]
    r = cli(*args, "-a", address, "--timeout", "2", "--json")
    assert r.returncode == 74
    assert f"Cannot connect to {address}" in r.stderr and "Traceback" not in r.stderr
    doc = json.loads(r.stdout)
    assert doc["exit_status"] == 74
    if verb == "update":
        assert doc["devices"][0]["outcome"] == "failed" and doc["devices"][0]["unreachable"]


def test_a_fleet_with_one_failing_device(image):
    tmp, data = image
    with DeviceEmulator() as a, DeviceEmulator(corrupt_page=3) as bad, DeviceEmulator() as c:
        r = cli("update", tmp / "img.tbin", "-a", a.address, "-a", bad.address,
                "-a", c.address, "--json", "--retries", "0")
        assert r.returncode == 1
        devices = {d["address"]: d for d in json.loads(r.stdout)["devices"]}
        assert [devices[e.address]["outcome"] for e in (a, bad, c)] == [
            "updated", "failed", "updated"]
        assert a.flash() == c.flash() == data
        assert f"{bad.address}: failed: " in r.stderr
        # The library's own progress lines stay out of the way; ours name the device.
        assert "Progress:" not in r.stderr and f"{a.address}: write" in r.stderr


@pytest.mark.parametrize("devices", [1, 2])
def test_a_standard_error_that_has_gone_does_not_stop_an_update(image, devices):
    tmp, data = image
    with DeviceEmulator() as a, DeviceEmulator() as b:
        emus = [a, b][:devices]
        r = cli_to_closed_pipe("stderr", "update", tmp / "img.bin",
                               *[x for e in emus for x in ("-a", e.address)])
        assert r.returncode == 0
        assert [e.flash() for e in emus] == [data] * devices
        assert sum(" updated " in line for line in r.stdout.splitlines()) == devices


def sigint_mid_write(args, emulators):
    proc = subprocess.Popen([*CLI, *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=child_env())
    try:
        wait_for(lambda: all(e.state()["programmed_length"] >= 4096 for e in emulators))
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    return proc.returncode, out, err


@pytest.mark.parametrize("devices", [1, 2])
def test_ctrl_c_mid_update_stops_and_says_where_the_device_was_left(tmp_path, devices):
    path = tmp_path / "big.bin"
    path.write_bytes(os.urandom(256 * 1024))
    emus = [DeviceEmulator(delay_us=1000) for _ in range(devices)]
    try:
        history = tmp_path / "history.sqlite3"
        args = ["update", path, "--json", "--history", history] + [
            x for e in emus for x in ("-a", e.address)]
        rc, out, err = sigint_mid_write(args, emus)
    finally:
        for e in emus:
            e.close()
    assert rc == 130
    assert "Traceback" not in err
    # The process lived on: each attempt is on record as interrupted, none left 'started'.
    with sqlite3.connect(history) as db:
        assert db.execute("SELECT outcome FROM attempts").fetchall() == [("interrupted",)] * devices
    for e, dev in zip(emus, json.loads(out)["devices"]):
        assert dev["outcome"] == "interrupted"
        assert dev["left"].startswith("erased and partly written at byte")
        assert f"{e.address}: device erased and partly written at byte {dev['bytes']}" in err
        # Stopped between commands: every block it counted reached the device.
        assert e.state()["programmed_length"] >= dev["bytes"] > 0


def test_emulate_usage_errors_exit_64_and_its_help_names_the_verb(capsys):
    assert main(["emulate", "--port", "99999"]) == 64
    assert "quorvex-fpga emulate: error: argument --port" in capsys.readouterr().err
    with pytest.raises(SystemExit) as e:
        main(["emulate", "--help"])
    assert e.value.code == 0 and capsys.readouterr().out.startswith("usage: quorvex-fpga emulate")


def test_info_exits_1_when_the_initialisation_fails_other_than_by_the_link(capsys):
    with DeviceEmulator(fpga_version="v2-beta") as e:
        assert main(["info", "-a", e.address, "--json"]) == 1
    out, err = capsys.readouterr()
    info = json.loads(out)
    assert info["init"]["code"] == "ERROR" and info["exit_status"] == 1
    assert info["fpga_version"] == "v2-beta"
    assert f"error: {e.address}: FPGA initialization failed" in err
