"""No silent downgrades: an image records its FPGA version ("FPGA_VER", under
its digests and signatures), and a fleet run refuses to put it on an
emulated device whose FPGA is newer, unless allowed; a site floor refuses
older images even then."""

import json
import os

import pytest

from _cli import cli
from quorvex import fleet, tbin
from quorvex.fleet import REFUSED, UPDATED, Device
from quorvex.fleet._downgrade import downgrade_problem
from quorvex.history import History

DEVICE = "0.2.4.0"  # the emulator's FPGA version


@pytest.fixture
def make_image(tmp_path):
    def make(version, name=None):
        path = tmp_path / (name or f"fpga-{version}.tbin")
        tbin.pack_file(_raw(tmp_path), path, 32, fpga_version=version)
        return path
    return make


def _raw(tmp_path):
    raw = tmp_path / "fpga.bin"
    if not raw.exists():
        raw.write_bytes(os.urandom(300))
    return raw


@pytest.mark.parametrize("image, device, allow, floor, refused", [
    ("0.2.3.9", "0.2.4.0", False, None, "downgrade from 0.2.4.0 to 0.2.3.9"),
    ("0.2.3.9", "0.2.4.0", True, None, None),
    ("0.2.4.0", "0.2.4.0", False, None, None),        # the same version is no downgrade
    ("0.2.10", "0.2.9.1", False, None, None),         # compared as numbers, not as text
    (None, "0.2.4.0", False, None, None),             # no FPGA_VER: as before
    ("0.2.3.9", None, False, None, None),             # a device that says no version
    ("0.2.4.0", "0.2.5.0", True, "0.2.4.1", "below this site's floor 0.2.4.1"),
    ("0.2.4.1", "0.2.5.0", True, "0.2.4.1", None),    # the floor itself passes
    (None, "0.2.4.0", True, "0.2.4.1", "records no FPGA version"),
])
def test_the_downgrade_rule(image, device, allow, floor, refused):
    problem = downgrade_problem(image, device, allow, floor)
    assert (problem is None) == (refused is None), problem
    assert refused is None or refused in problem


def test_the_version_is_in_the_header_under_its_digest_and_its_signatures(make_image, tmp_path):
    path = make_image("0.2.5.0")
    info = tbin.describe(path)
    assert info["ok"] and info["header"]["FPGA_VER"] == "0.2.5.0"
    r = cli("pack", _raw(tmp_path), "-d", 32, "--fpga-version", "0.2.6.0", "-o",
            tmp_path / "cli.tbin")
    assert r.returncode == 0 and tbin.describe(tmp_path / "cli.tbin")["header"]["FPGA_VER"] == \
        "0.2.6.0"
    tbin.generate_key(tmp_path / "k")
    tbin.sign(path, tmp_path / "k")
    # Raising the recorded version breaks the header digest and the signature.
    data = path.read_bytes()
    forged = tmp_path / "forged.tbin"
    forged.write_bytes(data.replace(b'"0.2.5.0"', b'"9.2.5.0"'))
    assert tbin.describe(forged)["header_hash_ok"] is False
    assert tbin.signature_report(forged, tbin.load_trust(tmp_path / "k.pub"))["accepted"] is False
    for bad in ("0.2.x", "1.2.3.4.5", ""):
        r = cli("pack", _raw(tmp_path), "-d", 32, "--fpga-version", bad, "-o", tmp_path / "b.tbin")
        assert r.returncode == 64 and not (tmp_path / "b.tbin").exists()
    with pytest.raises(ValueError, match="given twice"):
        tbin.pack(b"x", 32, {"FPGA_VER": "1.0"}, fpga_version="1.0")


def test_a_downgrade_is_refused_unerased_then_allowed_and_recorded(emus_pair, make_image,
                                                                   tmp_path):
    older = make_image("0.2.3.9")
    db = tmp_path / "history.sqlite3"
    devices = [Device(e.host, e.port, name=f"d{i}") for i, e in enumerate(emus_pair)]

    report = fleet.update(older, devices, history=db, operator="alice")
    assert [r.outcome for r in report.results] == [REFUSED, REFUSED]
    assert report.exit_status == 2
    assert all(f"downgrade from {DEVICE} to 0.2.3.9" in r.message for r in report.results)
    assert [e.counters()["FPGA_ERASE"] for e in emus_pair] == [0, 0]

    report = fleet.update(older, devices, history=db, operator="alice", allow_downgrade=True)
    assert [r.outcome for r in report.results] == [UPDATED, UPDATED]
    with History(db) as h:
        rows = h.attempts()
    allowed = [r for r in rows if r["outcome"] == UPDATED]
    assert len(allowed) == 2 and all(
        r["message"] == f"downgrade from {DEVICE} to 0.2.3.9 allowed by alice"
        and r["operator"] == "alice" for r in allowed)
    assert [r["outcome"] for r in rows if r["outcome"] == REFUSED] == [REFUSED, REFUSED]

    # A newer image, and one without a version, go on as they always did.
    for image in (make_image("0.2.4.1"), _unversioned(tmp_path)):
        report = fleet.update(image, devices)
        assert [r.outcome for r in report.results] == [UPDATED, UPDATED]
        assert all(not r.message for r in report.results)


def _unversioned(tmp_path):
    path = tmp_path / "plain.tbin"
    tbin.pack_file(_raw(tmp_path), path, 32)
    return path


@pytest.mark.parametrize("where", ["environment", "trust folder"])
def test_a_site_floor_refuses_even_with_allow_downgrade(emu, make_image, tmp_path, monkeypatch,
                                                        where):
    site = tmp_path / "site"
    site.mkdir()
    tbin.generate_key(tmp_path / "release")
    os.replace(tmp_path / "release.pub", site / "release.pub")
    env = {"QUORVEX_TRUST": str(site)}
    if where == "environment":
        env["QUORVEX_MIN_FPGA_VERSION"] = "0.2.4.0"
    else:
        (site / "min-fpga-version").write_text("# CVE fix\n0.2.4.0\n")
    vulnerable = make_image("0.2.3.9")
    tbin.sign(vulnerable, tmp_path / "release")
    r = cli("update", vulnerable, "-a", emu.address, "--allow-downgrade", "--no-history",
            "--json", env=env)
    doc = json.loads(r.stdout)
    assert r.returncode == 2 and doc["devices"][0]["outcome"] == REFUSED
    assert "below this site's floor 0.2.4.0" in doc["devices"][0]["message"]
    assert emu.counters()["FPGA_ERASE"] == 0 and emu.counters()["GET_FPGA_VER"] == 1
    # An image without a version cannot show it is above the floor.
    plain = _unversioned(tmp_path)
    tbin.sign(plain, tmp_path / "release")
    r = cli("update", plain, "-a", emu.address, "--no-history", env=env)
    assert r.returncode == 2 and "records no FPGA version" in r.stderr
    # At or above the floor, an allowed downgrade goes on.
    ok = make_image("0.2.4.0", "ok.tbin")
    tbin.sign(ok, tmp_path / "release")
    r = cli("update", ok, "-a", emu.address, "--no-history", env=env)
    assert r.returncode == 0, r.stderr
    # The library's fleet run reads the same floor from the environment.
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    report = fleet.update(vulnerable, [Device(emu.host, emu.port)], allow_downgrade=True)
    assert report.results[0].outcome == REFUSED


@pytest.fixture
def emus_pair(emus):
    """Two emulated devices: a run of two goes through the native fleet driver."""
    return [emus(), emus()]
