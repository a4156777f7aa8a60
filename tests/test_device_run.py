"""One device run for the update, its dry run and verify: the exit statuses
they agree on, a device the run rewrote that must not end unchanged, the
live display against the report after Ctrl-C, and errors of the host that
are neither refusals nor unreachable devices."""

import errno
import io
import json
import os
import sqlite3
import subprocess
import sys
import textwrap
import threading

import pytest

from quorvex import fleet
from quorvex.cli import main
from quorvex.cli._console import Console
from quorvex.cli._display import FleetDisplay, totals_line
from quorvex.fleet import (FAILED, INTERRUPTED, REFUSED, SKIPPED, UPDATED, Device, DeviceResult,
                           FleetReport, Progress)
from quorvex.QVRFpga import FpgaTool
from quorvex.QVRPublic import RetCode
from quorvex.QVRUtils import RetType

from _helpers import dead_port, dead_ports

SERIAL = "QVX-EMU-0001"  # the emulator's own

pytestmark = pytest.mark.usefixtures("quick_retries")


# --- the dry run exits as the update does ------------------------------------------

@pytest.mark.parametrize("kinds, status", [
    (["ready"], 0), (["refused"], 2), (["unreachable"], 74),
    (["ready", "unreachable"], 1), (["ready", "refused"], 2),
    (["refused", "unreachable"], 1), (["unreachable", "unreachable"], 74),
    (["ready", "refused", "unreachable"], 1),
])
def test_the_dry_run_exits_as_the_update_does(emus, image, tmp_path, capsys, kinds, status):
    rows, emulators = ["address,port,serial"], []
    dead = iter(dead_ports(len(kinds)))
    for kind in kinds:
        if kind == "unreachable":
            rows.append(f"127.0.0.1,{next(dead)},")
            continue
        e = emus()
        emulators.append(e)
        rows.append(f"127.0.0.1,{e.port},{SERIAL if kind == 'ready' else 'SN-OTHER'}")
    inventory = tmp_path / "line.csv"
    inventory.write_text("\n".join(rows) + "\n")
    base = ["update", str(image), "--inventory", str(inventory), "--no-history", "--json",
            "--retries", "0", "-q"]

    assert main(base + ["--dry-run"]) == status
    dry = json.loads(capsys.readouterr().out)
    assert dry["dry_run"] and dry["exit_status"] == status
    assert [e.counters()["FPGA_ERASE"] for e in emulators] == [0] * len(emulators)
    assert [d["outcome"] for d in dry["devices"]] == [
        {"ready": "ready", "refused": "refused", "unreachable": "failed"}[k] for k in kinds]

    assert main(base) == status
    real = json.loads(capsys.readouterr().out)
    assert real["exit_status"] == status
    assert [d["outcome"] for d in real["devices"]] == [
        {"ready": "updated", "refused": "refused", "unreachable": "failed"}[k] for k in kinds]
    for key in ("unreachable", "exit_status"):  # each device's own, alike too
        assert [d[key] for d in dry["devices"]] == [d[key] for d in real["devices"]]


def test_the_dry_run_refuses_an_image_the_device_run_would_refuse(emus, image, monkeypatch):
    e = emus()
    monkeypatch.setattr(FpgaTool, "_checkFileHeader", lambda self, path: False)
    report = fleet.update(image, [Device(e.host, e.port)], dry_run=True)
    (r,) = report.results
    assert (r.outcome, r.message, report.exit_status) == (
        REFUSED, "FPGA image header check failed.", 2)
    assert e.counters()["FPGA_ERASE"] == 0 and report.counts()["ready"] == 0


# --- a device the run rewrote ------------------------------------------------------

@pytest.mark.parametrize("then", ["reads back right", "is refused at init"])
def test_a_device_erased_by_the_run_never_ends_unchanged_or_refused(emus, image, then):
    # The first attempt erases, writes and fails its read-back (the fault fires once).
    e = emus(corrupt_page=5)

    def on_progress(p):
        if p.stage == "retry-wait" and then == "is refused at init":
            e.set(fpga_version="0.0.0.1")  # below the minimum: initFpga refuses it

    report = fleet.update(image, [Device(e.host, e.port)], skip_current=True, retries=1,
                          on_progress=on_progress)
    (r,) = report.results
    assert r.attempts == 2
    if then == "reads back right":
        # Updated again from the start: erased, written, verified, marked done.
        assert (r.outcome, report.counts()["updated"], report.exit_status) == (UPDATED, 1, 0)
        assert e.counters()["FPGA_ERASE"] == 2 and e.flash() == image.read_bytes()
        assert e.state()["done"] and e.state()["refreshed"]
    else:
        # "refused" promises an untouched flash; this one was rewritten.
        assert (r.outcome, report.exit_status) == (FAILED, 1)
        assert "earlier attempt had changed its flash" in r.message
        assert r.left == "written, read back different, marked done and refreshed"


@pytest.mark.parametrize("fault, run, outcome, left", [
    # The native driver's progress comes every 50 ms: a 4 KiB transfer ends unheard.
    (dict(drop_on="FPGA_DONE"), dict(window=8, skip_current=True, retries=1), UPDATED,
     "updated, marked done and refreshed"),
    (dict(drop_on="FPGA_DONE"), dict(devices=2, skip_current=True, retries=1), UPDATED,
     "updated, marked done and refreshed"),
    (dict(drop_on="FPGA_PROGRAM", drop_on_count=100), dict(window=32), FAILED,
     "erased and partly written at byte {n} of 4096"),
    (dict(drop_on="FPGA_READ", drop_on_count=3), dict(window=32), FAILED,
     "written (4096 bytes), verifying: 0 of 4096 bytes read back, not marked done"),
    (dict(drop_on="FPGA_DONE"), dict(devices=2, retries=1, then_refuse=True), FAILED,
     "written (4096 bytes), verifying: 0 of 4096 bytes read back, not marked done"),
])
def test_a_native_transfer_says_what_it_changed_however_short(emus, tmp_path, fault, run,
                                                              outcome, left):
    path = tmp_path / "img4k.bin"
    path.write_bytes(os.urandom(4096))
    run = dict(run)
    n, refuse = run.pop("devices", 1), run.pop("then_refuse", False)
    faulty = emus(fault_connections=1, **fault)
    devices = [Device(faulty.host, faulty.port)] + \
        [Device(e.host, e.port) for e in [emus() for _ in range(n - 1)]]

    def on_progress(p):
        if refuse and p.stage == "retry-wait":
            faulty.set(fpga_version="0.0.0.1")  # below the minimum: initFpga refuses it

    r = fleet.update(path, devices, retries=run.pop("retries", 0), on_progress=on_progress,
                     **run).results[0]
    assert r.outcome == outcome
    assert r.left == left.format(n=r.bytes) and (r.bytes > 1000 or "{n}" not in left)
    if outcome == UPDATED:
        assert r.attempts == 2 and faulty.state()["done"] and faulty.counters()["FPGA_ERASE"] == 2
    if refuse:
        assert "earlier attempt had changed its flash" in r.message


# --- Ctrl-C: the live display against the report ------------------------------------

@pytest.mark.parametrize("outcomes", [
    [INTERRUPTED] * 8,
    [UPDATED, UPDATED, "unchanged", REFUSED, FAILED, SKIPPED, INTERRUPTED, INTERRUPTED],
])
def test_the_live_counts_agree_with_the_report(outcomes):
    devices = [Device("192.0.2.1", i + 1) for i in range(len(outcomes))]
    show = FleetDisplay(Console(io.StringIO()), devices, live=True)
    for d, outcome in zip(devices, outcomes):
        show(Progress(d, "write", 320, 6400))
        show(Progress(d, "done", outcome=outcome))
    report = FleetReport([DeviceResult(d, o) for d, o in zip(devices, outcomes)])
    c, want = show.counts(), report.counts()
    assert c["done"] == want["updated"] + want["unchanged"]
    for outcome in (FAILED, REFUSED, SKIPPED, INTERRUPTED):
        assert c[outcome] == want[outcome]
    for outcome, n in want.items():  # the totals line says the same numbers
        assert (f"{n} {outcome}" in totals_line(report.results)) == (n > 0)
    if outcomes == [INTERRUPTED] * 8:
        assert show.summary() == "done 0, failed 0, interrupted 8, running 0, waiting 0"


def test_a_single_device_bar_shows_its_outcome_not_done():
    from rich.console import Console as RichConsole

    d = Device("192.0.2.1")
    show = FleetDisplay(Console(io.StringIO()), [d], live=True)
    show(Progress(d, "verify", 320, 6400))
    show(Progress(d, "done", outcome=INTERRUPTED))
    RichConsole(width=120, file=(out := io.StringIO())).print(show.renderable())
    assert out.getvalue().split()[:2] == ["192.0.2.1:5025", "interrupted"]


@pytest.mark.parametrize("devices", [1, 2])  # the tool's path, the native driver's
def test_an_interrupt_mid_verify_says_where_each_device_was_left(emus, tmp_path, devices):
    path = tmp_path / "big.bin"
    path.write_bytes(os.urandom(6400))
    emulators = [emus(delay_us=500) for _ in range(devices)]
    cancel, reading = threading.Event(), set()

    def on_progress(p):
        if p.stage == "verify" and p.done:
            reading.add(p.device)
            if len(reading) == devices:
                cancel.set()

    history = tmp_path / "h.sqlite3"
    report = fleet.update(path, [Device(e.host, e.port) for e in emulators], cancel=cancel,
                          on_progress=on_progress, history=history)
    assert report.exit_status == 130
    for r in report.results:
        assert r.outcome == INTERRUPTED
        head, read = r.left.split(": ")[0], int(r.left.split(": ")[1].split()[0])
        assert head == "written (6400 bytes), verifying" and 0 < read < 6400
        assert r.left.endswith(f"{read} of 6400 bytes read back, not marked done")
        assert r.message == f"interrupted: device {r.left}"
    with sqlite3.connect(history) as db:
        assert sorted(m for (m,) in db.execute("SELECT message FROM attempts")) == \
            sorted(r.message for r in report.results)


@pytest.mark.parametrize("devices", [1, 2])  # the tool's path, the native driver's
@pytest.mark.parametrize("faulty", [1, 2])  # connections that refuse every block
def test_a_block_refused_every_time_fails_and_is_tried_again_from_the_erase(
        emus, image, devices, faulty):
    e = emus(refuse_every=1, fault_connections=faulty)
    others = [emus() for _ in range(devices - 1)]
    (r, *_) = fleet.update(image, [Device(x.host, x.port) for x in [e] + others],
                           retries=1).results
    assert r.attempts == 2 and e.counters()["FPGA_ERASE"] == 2
    if faulty == 1:
        assert r.outcome == UPDATED and e.flash() == image.read_bytes()
    else:
        assert (r.outcome, r.reason) == (FAILED, "block_refused")
        assert "refused the block at offset 0" in r.message and "Error" not in r.message
        assert r.left == "erased, nothing written yet"


@pytest.mark.parametrize("faulty", [1, 2])  # connections answered with garbage
def test_a_device_that_answers_garbage_to_init_failed_and_is_tried_again(emus, image, faulty):
    e = emus(garbage=True, fault_connections=faulty)
    report = fleet.update(image, [Device(e.host, e.port)], retries=1)
    (r,) = report.results
    assert r.attempts == 2
    if faulty == 1:
        assert r.outcome == UPDATED and e.flash() == image.read_bytes()
        return
    # Not a refusal: the device could not be talked to, and nothing was erased.
    assert (r.outcome, r.reason, report.exit_status, r.unreachable) == (
        FAILED, "init_failed", 1, False)
    assert "FPGA initialization failed" in r.message and e.counters()["FPGA_ERASE"] == 0
    assert r.left.endswith("flash not touched")


def test_a_cancel_at_the_erase_leaves_the_flash_untouched(emus, image):
    e, cancel = emus(), threading.Event()

    def on_progress(p):
        if p.stage == "erase":
            cancel.set()

    (r,) = fleet.update(image, [Device(e.host, e.port)], cancel=cancel,
                        on_progress=on_progress).results
    assert r.outcome == INTERRUPTED and e.counters()["FPGA_ERASE"] == 0
    assert r.left == "initialised (FPGA control in transfer mode), flash not touched"


# --- errors of the host ------------------------------------------------------------

def _once_in_the_run(monkeypatch, name, fault):
    """FpgaTool.<name> answers fault(...) the first time a device of the run
    calls it (the command line's offline check apart), then as it should."""
    own, calls = getattr(FpgaTool, name), []

    def op(self, *args, **kwargs):
        if threading.current_thread().name.startswith("quorvex-fleet") and not calls:
            calls.append(args)
            return fault(*args)
        return own(self, *args, **kwargs)
    monkeypatch.setattr(FpgaTool, name, op)


def _raise(number):
    raise OSError(number, os.strerror(number), "fpga.bin")


@pytest.mark.parametrize("name, fault, number", [
    ("_checkUpdateFile", lambda path: _raise(errno.EMFILE), errno.EMFILE),
    ("_updateUnder", lambda *a: RetType(RetCode.ERROR, "FPGA update file check failed.",
                                         {"reason": "os_error", "errno": errno.EIO}),
     errno.EIO),
])
@pytest.mark.parametrize("retries", [0, 1])
def test_an_error_of_the_host_fails_the_device_and_is_retried(emus, image, monkeypatch, capsys,
                                                              name, fault, number, retries):
    e = emus()
    _once_in_the_run(monkeypatch, name, fault)
    status = main(["update", str(image), "-a", e.address, "--no-history", "--json", "-q",
                   "--retries", str(retries)])
    (dev,) = json.loads(capsys.readouterr().out)["devices"]
    if retries:
        assert (status, dev["outcome"], dev["attempts"]) == (0, "updated", 2)
        return
    assert (status, dev["outcome"], dev["unreachable"]) == (1, "failed", False)
    assert (dev["reason"], dev["errno"]) == ("os_error", number)
    assert dev["message"].startswith(f"host error: {os.strerror(number)} "
                                     f"({errno.errorcode[number]})")
    assert e.counters()["FPGA_ERASE"] == 0


_CHILD = textwrap.dedent("""
    import json, resource, sys
    from quorvex import fleet
    soft, hard = (int(x) for x in sys.argv[1:3])
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    devices = [fleet.Device("127.0.0.1", int(p)) for p in sys.argv[4:]]
    try:
        report = fleet.update(sys.argv[3], devices, retries=0)
    except fleet.DescriptorLimit as e:
        print(json.dumps({"error": str(e)}))
    else:
        print(json.dumps({"outcomes": [r.outcome for r in report.results],
                          "soft": resource.getrlimit(resource.RLIMIT_NOFILE)[0]}))
""")


@pytest.mark.parametrize("hard", [4096, 80])
def test_a_run_raises_its_open_files_limit_or_says_it_cannot(emus, image, hard):
    e = emus()
    ports = [e.port] + dead_ports(39)  # 40 devices at once
    r = subprocess.run([sys.executable, "-c", _CHILD, "64", str(hard), str(image),
                        *map(str, ports)], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout.splitlines()[-1])  # (the log lines go to stdout too)
    if hard == 4096:
        assert doc["soft"] == 4096 and doc["outcomes"] == [UPDATED] + [FAILED] * 39
    else:
        assert "40 devices at once need about" in doc["error"] and "--jobs" in doc["error"]
        assert e.counters()["connections"] == 0


_NO_DESCRIPTOR_LEFT = textwrap.dedent("""
    import json, os, sys
    import quorvex.QVRCommService, quorvex.QVRFpga  # loaded while they can be
    from quorvex import fleet
    held = []

    def use_them_all(p):  # just before each connect: this host has no descriptor left
        if p.stage == "connect":
            try:
                while True:
                    held.append(os.dup(0))
            except OSError:
                pass

    report = fleet.update(sys.argv[1], [fleet.Device("127.0.0.1", int(sys.argv[2]))],
                          retries=1, on_progress=use_them_all)
    for fd in held:
        os.close(fd)
    print(json.dumps(report.as_dict()))
""")


def test_a_host_out_of_descriptors_is_no_unreachable_device(image):
    r = subprocess.run([sys.executable, "-c", _NO_DESCRIPTOR_LEFT, str(image), str(dead_port())],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout.splitlines()[-1])
    (dev,) = doc["devices"]
    assert (dev["outcome"], dev["attempts"], dev["unreachable"]) == ("failed", 2, False)
    assert (dev["reason"], dev["errno"], doc["exit_status"]) == ("os_error", errno.EMFILE, 1)
