"""quorvex.fleet end to end: several emulated devices over loopback, run as a
production line runs them (inventories, identity pinning, retries, canary,
failure threshold, skip what is current, verify, Ctrl-C, history)."""

import hashlib
import os
import threading
import time

import pytest

from quorvex import fleet
from quorvex.fleet import _run
from quorvex.fleet import (FAILED, INTERRUPTED, REFUSED, SKIPPED, UNCHANGED, UPDATED, Device,
                           DeviceResult, FleetReport, InventoryError)

from _helpers import dead_port

SERIAL = "QVX-EMU-0001"  # the emulator's own

pytestmark = pytest.mark.usefixtures("quick_retries")


@pytest.fixture
def image_size():
    return 200


def device(e, **kw):
    return Device(e.host, e.port, **kw)


def dead_device():
    """A loopback port where nothing listens."""
    return Device("127.0.0.1", dead_port(), name="dead")


def sha(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


# --- inventories -----------------------------------------------------------------

def test_csv_and_toml_inventories_give_the_same_devices(tmp_path):
    csv = tmp_path / "line.csv"
    csv.write_text("address,port,name,serial,fpga_id,device_type\n"
                   "192.0.2.10,,a,SN1,0x51A70032,32\n"
                   "\n"
                   "[2001:db8::1]:5026,,b,,,28\n")
    toml = tmp_path / "line.toml"
    toml.write_text('[[device]]\naddress = "192.0.2.10"\nname = "a"\nserial = "SN1"\n'
                    'fpga_id = "0x51A70032"\ndevice_type = 32\n\n'
                    '[[device]]\naddress = "2001:db8::1"\nport = 5026\nname = "b"\n'
                    'device_type = 28\n')
    want = [Device("192.0.2.10", 5025, name="a", serial="SN1", fpga_id="0x51A70032"),
            Device("2001:db8::1", 5026, name="b", device_type=28)]
    assert fleet.load_inventory(csv) == fleet.load_inventory(toml) == want
    assert want[1].label == "b" and Device("2001:db8::1", 5026).label == "[2001:db8::1]:5026"


@pytest.mark.parametrize("text", [
    "\ufeffaddress,port,name\n192.0.2.1,5025,a\n192.0.2.2,,b\n",   # a byte order mark
    "\n \naddress,port,name\n\n192.0.2.1,5025,a\n\n192.0.2.2,,b\n\n",  # blank lines
    "address,port,name\r\n192.0.2.1,5025,a\r\n192.0.2.2,,b\r\n",  # CRLF
    "address,port,name,,\n192.0.2.1,5025,a,,\n192.0.2.2,,b,\n",  # a spreadsheet's empty cells
])
def test_a_csv_inventory_as_editors_and_spreadsheets_write_it(tmp_path, text):
    path = tmp_path / "line.csv"
    path.write_bytes(text.encode())
    assert fleet.load_inventory(path) == [Device("192.0.2.1", name="a"),
                                          Device("192.0.2.2", name="b")]


@pytest.mark.parametrize("name, text, line, value", [
    ("bad-port.csv", "address,port\n192.0.2.1,5025\n192.0.2.2,70000\n", 3, "70000"),
    ("bad-address.csv", "address,name\n192.0.2.1,a\n[::1,b\n", 3, "[::1"),
    ("no-address.csv", "address,name\n192.0.2.1,a\n,b\n", 3, "no address"),
    ("bad-column.csv", "address,colour\n192.0.2.1,red\n", 1, "colour"),
    ("late-bad-column.csv", "\n\naddress,colour\n192.0.2.1,red\n", 3, "colour"),
    ("extra-value.csv", "address,name,,\n192.0.2.1,a,,x\n", 2, "'x'"),
    ("bad-type.csv", "address,device_type\n192.0.2.1,thirty\n", 2, "thirty"),
    ("bad-port.toml", '[[device]]\naddress = "192.0.2.1"\n\n[[device]]\n'
                      'address = "192.0.2.2"\nport = 0\n', 6, "0"),
    ("bad-key.toml", '[[device]]\naddress = "192.0.2.1"\nserail = "S"\n', 3, "serail"),
    ("twice.csv", "address,port,name\n127.0.0.1,5025,a\n[::ffff:127.0.0.1],5025,b\n", 3,
     "[::ffff:127.0.0.1]:5025"),
    ("twice.toml", '[[device]]\naddress = "127.0.0.1:5030"\n\n[[device]]\n'
                   'address = "127.0.0.1"\nport = 5030\n', 4, "127.0.0.1:5030"),
])
def test_a_bad_inventory_row_is_refused_naming_file_line_and_value(tmp_path, name, text, line,
                                                                    value):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(InventoryError) as e:
        fleet.load_inventory(path)
    assert str(e.value).startswith(f"{path}, line {line}: ")
    assert value in str(e.value)


@pytest.mark.parametrize("args, kw", [(("",), {}), (("h", 0), {}), (("h", "5025"), {}),
                                       (("h", True), {}), (("h",), dict(device_type=-1))])
def test_a_device_with_a_bad_address_port_or_type_cannot_be_made(args, kw):
    with pytest.raises(ValueError):
        Device(*args, **kw)


def test_check_duplicates_takes_an_ipv4_mapped_address_for_the_ipv4_one():
    fleet.check_duplicates([Device("127.0.0.1", 5025), Device("127.0.0.1", 5026)])
    with pytest.raises(ValueError, match="same device"):
        fleet.check_duplicates([Device("127.0.0.1", 5025), Device("::ffff:127.0.0.1", 5025)])


def test_update_refuses_one_device_listed_twice_before_connecting(emus, image):
    e = emus()
    with pytest.raises(ValueError, match="same device"):
        fleet.update(image, [device(e), Device("::ffff:127.0.0.1", e.port)])
    assert e.counters()["connections"] == 0


@pytest.mark.parametrize("run, kw", [
    (fleet.update, dict(jobs=0)), (fleet.update, dict(jobs=-1)),
    (fleet.update, dict(retries=-1)), (fleet.update, dict(canary=-2)),
    (fleet.update, dict(max_failures=0)), (fleet.update, dict(timeout=0)),
    (fleet.verify, dict(jobs=0)), (fleet.verify, dict(jobs=-3)),
    (fleet.verify, dict(timeout=-1.0)),
])
def test_counts_that_make_no_sense_are_refused_before_connecting(emus, image, run, kw):
    e = emus()
    with pytest.raises(ValueError, match=next(iter(kw))):
        run(image, [device(e)], **kw)
    assert e.counters()["connections"] == 0


# --- the report ------------------------------------------------------------------

@pytest.mark.parametrize("outcomes, status", [
    ([UPDATED, UNCHANGED], 0),
    ([UPDATED, INTERRUPTED, FAILED], 130),
    ([FAILED, FAILED], 74),  # both unreachable
    ([FAILED, REFUSED], 1),
    ([SKIPPED, REFUSED, UPDATED], 1),
    ([REFUSED, UPDATED], 2),
])
def test_the_exit_status_follows_its_precedence(outcomes, status):
    results = [DeviceResult(Device("h", i + 1), o, unreachable=(status == 74))
               for i, o in enumerate(outcomes)]
    report = FleetReport(results)
    assert report.exit_status == status
    assert report.as_dict()["exit_status"] == status
    assert sum(report.counts().values()) == len(outcomes)


# --- identity, retries -------------------------------------------------------------

@pytest.mark.parametrize("expect, reported", [
    (dict(serial="SN-B"), "'SN-A'"),
    (dict(fpga_id="0x51A70028"), "'0x51A70032'"),
])
def test_a_device_that_is_not_the_one_expected_is_refused_unerased(emus, image, expect,
                                                                   reported):
    good, wrong = emus(serial="SN-A"), emus(serial="SN-A")
    report = fleet.update(image, [device(good, serial="SN-A"), device(wrong, **expect)])
    assert [r.outcome for r in report.results] == [UPDATED, REFUSED]
    r = report.results[1]
    assert r.attempts == 1 and reported in r.message and list(expect.values())[0] in r.message
    assert wrong.counters()["FPGA_ERASE"] == 0 and wrong.counters()["FPGA_PROGRAM"] == 0
    assert report.exit_status == 2


def test_a_drop_is_mended_by_a_retry_over_a_new_connection(emus, image, monkeypatch):
    monkeypatch.setattr(_run, "BACKOFF_BASE", 0.3)
    e = emus(drop_on="FPGA_PROGRAM", drop_on_count=3, fault_connections=1)
    events = []
    report = fleet.update(image, [device(e)], retries=1,
                          on_progress=lambda p: events.append((p.attempt, p.stage)))
    assert events.index((1, "retry-wait")) < events.index((2, "connect"))
    assert events[-1] == (2, "done")
    r = report.results[0]
    assert (r.outcome, r.attempts, r.bytes) == (UPDATED, 2, 200)
    # Its time is the whole of it, the wait before the retry included; its
    # rate is over that same time, in the report as in the table.
    assert r.seconds >= 0.3 * 0.8
    assert r.as_dict()["bytes_per_second"] == round(200 / r.seconds, 1)
    assert e.flash_digest() == sha(image)
    assert e.counters()["connections"] == 2 and e.counters()["FPGA_ERASE"] == 2


def test_fault_connections_spares_later_connections_only(emus, image):
    # Without the limit the same fault would hit the retry too.
    e = emus(corrupt_page=1, fault_connections=1)
    report = fleet.update(image, [device(e)], retries=1)
    assert (report.results[0].outcome, report.results[0].attempts) == (UPDATED, 2)


def test_a_device_that_fails_every_try_ends_failed_after_its_retries(emus, image):
    flaky = emus()

    def rearm(p):  # the drop fires once per setting: set it for each attempt
        if p.stage == "connect":
            flaky.set(drop_on="FPGA_PROGRAM")

    report = fleet.update(image, [device(flaky), dead_device()], retries=2, on_progress=rearm)
    flaky_r, dead_r = report.results
    assert (flaky_r.outcome, flaky_r.attempts, flaky_r.unreachable) == (FAILED, 3, False)
    assert "after 3 attempts" in flaky_r.message and "FPGA_PROGRAM" in flaky_r.message
    assert (dead_r.outcome, dead_r.attempts, dead_r.unreachable) == (FAILED, 3, True)
    assert report.exit_status == 1
    assert fleet.update(image, [dead_device()], retries=0).exit_status == 74


def test_the_backoff_doubles_with_jitter_up_to_its_cap(monkeypatch):
    monkeypatch.setattr(_run, "BACKOFF_BASE", 1.0)
    for n, mid in [(1, 1), (2, 2), (3, 4), (4, 8)]:
        assert 0.8 * mid <= _run.backoff(n) <= 1.2 * mid
    assert _run.backoff(12) <= 30.0


# --- canary, threshold, jobs --------------------------------------------------------

def test_a_failed_canary_stops_the_rest(emus, image):
    rest = [emus(), emus()]
    report = fleet.update(image, [dead_device()] + [device(e) for e in rest], canary=1,
                          retries=0)
    assert [r.outcome for r in report.results] == [FAILED, SKIPPED, SKIPPED]
    assert all(e.counters()["connections"] == 0 for e in rest)
    assert report.exit_status == 1


def test_a_good_canary_lets_the_rest_run(emus, image):
    es = [emus() for _ in range(3)]
    report = fleet.update(image, [device(e) for e in es], canary=1, jobs=2)
    assert [r.outcome for r in report.results] == [UPDATED] * 3


def test_max_failures_skips_the_devices_not_yet_started(emus, image):
    later = [emus(), emus()]
    devices = [dead_device(), dead_device(), *map(device, later)]
    report = fleet.update(image, devices, max_failures=2, jobs=1, retries=0)
    assert [r.outcome for r in report.results] == [FAILED, FAILED, SKIPPED, SKIPPED]
    assert all(e.counters()["connections"] == 0 for e in later)


@pytest.mark.parametrize("how", ["canary", "max_failures"])
def test_every_device_ends_with_one_done_event_carrying_its_outcome(emus, image, how):
    devices = [dead_device(), device(emus()), device(emus())]
    events, lock = [], threading.Lock()

    def watch(p):
        with lock:
            events.append(p)

    kw = dict(canary=1) if how == "canary" else dict(max_failures=1, jobs=1)
    report = fleet.update(image, devices, retries=0, on_progress=watch, **kw)
    assert [r.outcome for r in report.results] == [FAILED, SKIPPED, SKIPPED]
    done = [(p.device, p.outcome) for p in events if p.stage == "done"]
    assert sorted(done, key=lambda x: devices.index(x[0])) == [
        (r.device, r.outcome) for r in report.results]
    assert all(p.outcome is None for p in events if p.stage != "done")


def test_jobs_caps_the_devices_run_at_once(emus, image):
    es = [emus(erase_seconds=0.05) for _ in range(4)]
    running, most, lock = set(), [0], threading.Lock()

    def watch(p):
        with lock:
            (running.discard if p.stage == "done" else running.add)(p.device)
            most[0] = max(most[0], len(running))

    report = fleet.update(image, [device(e) for e in es], jobs=2, on_progress=watch)
    assert report.exit_status == 0 and most[0] == 2


# --- skip what is current, verify ------------------------------------------------------

def test_skip_current_makes_a_second_run_leave_the_flash_alone(emus, image):
    es = [emus(), emus()]
    devices = [device(e) for e in es]
    first = fleet.update(image, devices, skip_current=True)
    assert [r.outcome for r in first.results] == [UPDATED, UPDATED]
    for e in es:
        e.reset_counters()
    second = fleet.update(image, devices, skip_current=True)
    assert [r.outcome for r in second.results] == [UNCHANGED, UNCHANGED]
    assert second.exit_status == 0
    for e in es:
        c = e.counters()
        assert c["FPGA_ERASE"] == c["FPGA_PROGRAM"] == 0 and c["FPGA_READ"] > 0


def test_verify_reads_back_only(emus, image, tmp_path):
    holds, differs, blank = emus(), emus(), emus()
    fleet.update(image, [device(holds), device(differs)])
    other = tmp_path / "other.bin"
    other.write_bytes(image.read_bytes()[:-1] + b"\0")
    fleet.update(other, [device(differs)])
    for e in (holds, differs, blank):
        e.reset_counters()
    report = fleet.verify(image, [device(holds), device(differs), device(blank)])
    assert [r.outcome for r in report.results] == [UNCHANGED, FAILED, FAILED]
    assert report.results[0].message == "holds the image" and report.exit_status == 1
    for e in (holds, differs, blank):
        c = e.counters()
        assert c["FPGA_ERASE"] == c["FPGA_PROGRAM"] == 0 and c["FPGA_RST_PAGE_PTR"] == 1
    assert holds.flash_digest() == sha(image) and differs.flash_digest() == sha(other)


# --- progress, cancel -----------------------------------------------------------------

def test_progress_is_throttled_per_device_and_says_every_stage(emus, image, tmp_path):
    big = tmp_path / "big.bin"
    big.write_bytes(os.urandom(24_000))
    es = [emus(delay_us=100), emus(delay_us=100)]
    events = []
    fleet.update(big, [device(e) for e in es], on_progress=lambda p: events.append(
        (time.monotonic(), p)))
    for e in es:
        mine = [(t, p) for t, p in events if p.device.port == e.port]
        stages = [p.stage for _, p in mine]
        assert stages[0] == "connect" and stages[-1] == "done"
        for s in ("init", "identity", "erase", "write", "verify", "version"):
            assert s in stages
        same = [b[0] - a[0] for a, b in zip(mine, mine[1:]) if a[1].stage == b[1].stage]
        assert same and min(same) >= 0.045


def test_cancel_interrupts_running_devices_and_retry_waits_at_once(emus, image, monkeypatch):
    monkeypatch.setattr(_run, "BACKOFF_BASE", 60.0)
    slow = emus(erase_seconds=30)
    cancel = threading.Event()
    waiting = threading.Event()
    erasing = threading.Event()

    def watch(p):
        if p.stage == "retry-wait":
            waiting.set()
        if p.stage == "erase":
            erasing.set()
        if waiting.is_set() and erasing.is_set():
            cancel.set()

    later = emus()
    t0 = time.monotonic()
    report = fleet.update(image, [device(slow), dead_device(), device(later)], jobs=2,
                          cancel=cancel, on_progress=watch, timeout=2.0)
    assert time.monotonic() - t0 < 5
    assert [r.outcome for r in report.results] == [INTERRUPTED] * 3
    assert report.results[1].attempts == 1 and "retry" in report.results[1].message
    assert later.counters()["connections"] == 0
    assert report.exit_status == 130


# --- history -------------------------------------------------------------------------

def test_every_attempt_is_on_record(emus, image, tmp_path):
    from quorvex.history import History

    e = emus(drop_on="FPGA_PROGRAM", fault_connections=1, serial="SN-7")
    db = tmp_path / "h" / "history.sqlite3"
    report = fleet.update(image, [device(e, name="bench-1", serial="SN-7")], history=db,
                          operator="tester")
    assert report.results[0].attempts == 2
    with History(db) as h:
        rows = h.attempts(serial="SN-7")
    assert [(r["attempt"], r["outcome"]) for r in rows] == [(2, UPDATED), (1, FAILED)]
    for r in rows:
        assert r["image_sha256"] == sha(image) and r["operator"] == "tester"
        assert r["name"] == "bench-1" and r["port"] == e.port and r["ended"]
    assert rows[0]["new_version"] == "0.2.4.0" and rows[0]["bytes"] == 200


def test_a_history_that_cannot_be_opened_stops_the_run_before_any_device(emus, image,
                                                                        tmp_path):
    e = emus()
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(OSError):
        fleet.update(image, [device(e)], history=blocker / "history.sqlite3")
    assert e.counters()["connections"] == 0


def test_a_signed_image_runs_under_the_given_policy_and_its_signers_are_recorded(emus,
                                                                                 tmp_path):
    from quorvex import QVRFpga, tbin
    from quorvex.history import History

    release, other = tmp_path / "release.key", tmp_path / "other.key"
    kid = tbin.generate_key(release)
    tbin.generate_key(other)
    path = tmp_path / "fpga.tbin"
    path.write_bytes(tbin.pack(os.urandom(200), 32))
    tbin.sign(path, release)
    e, db, before = emus(), tmp_path / "history.sqlite3", QVRFpga._TRUSTED_KEYS

    untrusted = fleet.update(path, [device(e)], retries=2,
                             trusted=[tbin.load_public_key(f"{other}.pub")])
    r = untrusted.results[0]
    assert (r.outcome, r.attempts) == (REFUSED, 1)
    assert e.counters()["FPGA_ERASE"] == 0
    trusted = fleet.update(path, [device(e)], history=db,
                           trusted=[tbin.load_public_key(f"{release}.pub")])
    assert trusted.results[0].outcome == UPDATED
    assert QVRFpga._TRUSTED_KEYS is before
    with History(db) as h:
        row, = h.attempts()
    assert kid in str(row["signers"]) and row["image_sha256"] == e.flash_digest()


@pytest.mark.parametrize("run", [fleet.update, fleet.verify])
def test_an_empty_image_is_never_taken_as_held(emus, tmp_path, run):
    e = emus()
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    kw = dict(skip_current=True) if run is fleet.update else {}
    report = run(empty, [device(e)], **kw)
    assert report.results[0].outcome != UNCHANGED and report.exit_status != 0
    assert e.counters()["FPGA_ERASE"] == 0


def test_a_cancelled_canary_leaves_the_rest_interrupted_not_skipped(emus, image):
    cancel = threading.Event()
    canary, rest = emus(erase_seconds=30), emus()
    report = fleet.update(image, [device(canary), device(rest)], canary=1, cancel=cancel,
                          on_progress=lambda p: p.stage == "erase" and cancel.set())
    assert [r.outcome for r in report.results] == [INTERRUPTED, INTERRUPTED]
    assert rest.counters()["connections"] == 0


def test_a_progress_callback_that_raises_does_not_break_off_the_update(emus, image, caplog):
    e = emus()

    def broken(p):
        raise RuntimeError("display bug")

    report = fleet.update(image, [device(e)], on_progress=broken)
    assert report.results[0].outcome == UPDATED and e.flash_digest() == sha(image)
    assert "display bug" in caplog.text


def test_a_fault_that_escapes_one_device_ends_it_failed_and_keeps_the_others(emus, image,
                                                                             tmp_path):
    from quorvex.history import History

    a, b = emus(), emus()

    def leaves(p):  # not an Exception: nothing on the way stops it
        if p.device.port == a.port and p.stage == "erase":
            raise SystemExit(3)

    db = tmp_path / "history.sqlite3"
    report = fleet.update(image, [device(a), device(b)], on_progress=leaves, history=db)
    assert [r.outcome for r in report.results] == [FAILED, UPDATED]
    assert "SystemExit" in report.results[0].message and report.exit_status == 1
    with History(db) as h:
        assert sorted(r["outcome"] for r in h.attempts()) == [FAILED, UPDATED]


def test_a_history_that_fails_mid_run_fails_the_devices_untouched_not_unreachable(
        emus, image, tmp_path, monkeypatch):
    from quorvex import history

    def full(self, **kw):
        raise history.HistoryError(self.path, "database or disk is full")

    monkeypatch.setattr(history.History, "start", full)
    es = [emus(), emus()]
    report = fleet.update(image, [device(e) for e in es], history=tmp_path / "h.sqlite3")
    assert [(r.outcome, r.unreachable) for r in report.results] == [(FAILED, False)] * 2
    assert "disk is full" in report.results[0].message and report.exit_status == 1
    assert all(e.counters()["connections"] == 0 for e in es)
