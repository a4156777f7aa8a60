"""Trust settings that must never fail open: revocations that apply to every
caller, entries of a trust or revoked folder that are not files, FIFOs where
a setting's file belongs, the site's FPGA floor in check and inspect."""

import os

import pytest

from _cli import cli
from quorvex import _trust_store, fleet, tbin
from quorvex.fleet import REFUSED, UPDATED, Device


@pytest.fixture
def keys(tmp_path):
    """Two key pairs (k1, k2) and an image signed by k1: (ids, raw public keys, image)."""
    ids, raw = {}, {}
    for name in ("k1", "k2"):
        ids[name] = tbin.generate_key(tmp_path / name)
        raw[name] = tbin.load_public_key(tmp_path / f"{name}.pub")
    image = tmp_path / "p.tbin"
    image.write_bytes(tbin.pack(os.urandom(300), 32))
    tbin.sign(image, tmp_path / "k1")
    return ids, raw, image


def test_revocations_apply_to_a_callers_own_key_list(keys, tmp_path, emu, monkeypatch):
    ids, raw, image = keys
    listing = tmp_path / "revoked.ids"
    listing.write_text(ids["k1"] + "\n")
    monkeypatch.setenv("QUORVEX_REVOKED", str(listing))
    monkeypatch.delenv("QUORVEX_TRUST", raising=False)

    # Every key of the list revoked: no run at all, naming the key.
    with pytest.raises(ValueError, match=f"every trusted key is revoked.*{ids['k1']}"):
        fleet.update(image, [Device(emu.host, emu.port)], trusted=[raw["k1"]], history=None)
    assert emu.counters()["connections"] == 0
    # k1 revoked beside a trusted k2: k1's signature does not count.
    report = fleet.update(image, [Device(emu.host, emu.port)], trusted=[raw["k1"], raw["k2"]],
                          history=None)
    assert [d.outcome for d in report.results] == [REFUSED]
    tbin.sign(image, tmp_path / "k2")
    report = fleet.update(image, [Device(emu.host, emu.port)], trusted=[raw["k1"], raw["k2"]],
                          history=None)
    assert [d.outcome for d in report.results] == [UPDATED]


@pytest.mark.parametrize("where, said", [
    ("dangling link in revoked/", "lost.pub"),
    ("subfolder in revoked/", "sub"),
    ("FIFO in revoked/", "pipe.ids"),      # each FIFO is refused at once, never waited on
    ("FIFO as QUORVEX_REVOKED", "not a regular file"),
    ("FIFO as a revoked key", "not a regular file"),
    ("FIFO as min-fpga-version", "not a regular file"),
])
def test_a_trust_setting_that_is_no_regular_file_stops_the_command_naming_it(
        keys, tmp_path, where, said):
    _, _, image = keys
    site, env = tmp_path / "site", {}
    revoked = site / "revoked"
    revoked.mkdir(parents=True)
    os.replace(tmp_path / "k1.pub", site / "k1.pub")
    (revoked / ".hidden").mkdir()  # dot entries are not revocations
    if where == "dangling link in revoked/":
        os.symlink("/nonexistent/k1.pub", revoked / "lost.pub")
    elif where == "subfolder in revoked/":
        (revoked / "sub").mkdir()
        (revoked / "sub" / "k1.pub").write_bytes((site / "k1.pub").read_bytes())
    elif where == "FIFO in revoked/":
        os.mkfifo(revoked / "pipe.ids")
    elif where == "FIFO as min-fpga-version":
        os.mkfifo(site / "min-fpga-version")
    else:
        env["QUORVEX_REVOKED"] = str(tmp_path / ("k9.pub" if "key" in where else "ids"))
        os.mkfifo(env["QUORVEX_REVOKED"])
    r = cli("check", image, env={"QUORVEX_TRUST": str(site), **env}, timeout=20)
    assert r.returncode == 64 and said in r.stderr, r.stderr


@pytest.fixture
def versioned(tmp_path):
    """A trust folder of k2 and images signed by k2: FPGA_VER 0.2.4.0, none,
    and one whose FPGA_VER is no version (packed around the check)."""
    site = tmp_path / "site"
    site.mkdir()
    tbin.generate_key(tmp_path / "k2")
    os.replace(tmp_path / "k2.pub", site / "k2.pub")
    raw = os.urandom(200)
    images = {}
    for name, header in (("old", {"FPGA_VER": "0.2.4.0"}), ("plain", None),
                         ("bad", {"FPGA_VER": "0.2.4.0"})):
        images[name] = tmp_path / f"{name}.tbin"
        images[name].write_bytes(tbin.pack(raw, 32, header))
    # The header check keys the digests, so a bad value is packed natively.
    from quorvex import _tbin, QVRFpga
    images["bad"].write_bytes(_tbin.pack(raw, 32, {"FPGA_VER": None}, QVRFpga._TBIN_KEY_PREFIX))
    for path in images.values():
        tbin.sign(path, tmp_path / "k2")
    return site, images


@pytest.mark.parametrize("image, floor, reason, said", [
    ("old", "0.2.5.0", "below_floor", "FPGA version 0.2.4.0 of the image is below this "
                                      "site's floor 0.2.5.0"),
    ("plain", "0.2.5.0", "below_floor", "records no FPGA version"),
    ("bad", None, "fpga_version", "is not a dotted version"),
    ("old", "0.2.4.0", None, None),       # the floor itself passes
    ("plain", None, None, None),          # no floor, no version: as before
])
def test_check_and_inspect_refuse_what_every_update_would_refuse_for_its_version(
        versioned, image, floor, reason, said):
    import json

    site, images = versioned
    env = {"QUORVEX_TRUST": str(site), "QUORVEX_MIN_FPGA_VERSION": floor or ""}
    r = cli("check", images[image], "--json", env=env)
    doc = json.loads(r.stdout)
    assert (r.returncode, doc["reason"]) == ((2, reason) if reason else (0, None)), r.stderr
    assert said is None or said in doc["problem"] and said in r.stderr
    assert doc["floor"] == floor
    r = cli("inspect", images[image], env=env)
    assert r.returncode == (2 if reason else 0), r.stderr
    assert said is None or said in r.stdout and said in r.stderr
    if floor:
        assert f"(site floor {floor})" in r.stdout


@pytest.mark.parametrize("value", [None, 1, "0.2.x", ""])
def test_pack_refuses_a_fpga_ver_member_that_is_no_version(tmp_path, value):
    import json

    with pytest.raises(ValueError, match="FPGA_VER .* is not a dotted version"):
        tbin.pack(b"image", 32, header={"FPGA_VER": value})
    raw = tmp_path / "fpga.bin"
    raw.write_bytes(b"image")
    r = cli("pack", raw, "-d", 32, "--header", f"FPGA_VER={json.dumps(value)}",
            "-o", tmp_path / "out.tbin")
    assert r.returncode == 64 and "FPGA_VER" in r.stderr and not (tmp_path / "out.tbin").exists()


def test_file_names_reach_the_terminal_without_their_control_characters(tmp_path):
    name = "\x1b[2Jy"
    raw = tmp_path / f"{name}.bin"
    raw.write_bytes(os.urandom(100))
    tbin.generate_key(tmp_path / f"{name}key")
    image = tmp_path / f"{name}.tbin"
    runs = [cli("pack", raw, "-d", 32, "-o", image),
            cli("sign", image, "--key", tmp_path / f"{name}key"),
            cli("check", image), cli("inspect", image),
            cli("check", tmp_path / f"{name}-missing.tbin"),
            cli("keygen", "-o", tmp_path / f"{name}2")]
    for r in runs:
        assert "\x1b" not in r.stdout + r.stderr and "\\x1b[2Jy" in r.stdout + r.stderr, r
    assert [r.returncode for r in runs] == [0, 0, 0, 0, 2, 0]


def _special(path, kind):
    """Makes `path` a node of `kind`: a character device (as /dev/null), a FIFO, a folder."""
    if kind == "device":
        os.mknod(path, 0o666 | __import__("stat").S_IFCHR, os.makedev(1, 3))
    elif kind == "FIFO":
        os.mkfifo(path)
    else:
        os.mkdir(path)


@pytest.mark.parametrize("kind", ["device", "FIFO", "folder"])
def test_an_output_that_is_no_regular_file_is_refused_and_left_as_it_is(keys, tmp_path, kind):
    _, _, image = keys
    raw = tmp_path / "fpga.bin"
    raw.write_bytes(os.urandom(100))
    for verb in (("sign", image, "--key", tmp_path / "k2", "-o"), ("pack", raw, "-d", 32, "-o")):
        out = tmp_path / f"out-{verb[0]}.tbin"
        _special(out, kind)
        before = os.lstat(out)
        r = cli(*verb, out, timeout=20)
        assert r.returncode in (1, 2) and "Not a regular file" in r.stderr \
            and str(out) in r.stderr, r.stderr
        after = os.lstat(out)
        assert (after.st_mode, after.st_ino, after.st_rdev) == \
            (before.st_mode, before.st_ino, before.st_rdev)
        assert not [n for n in os.listdir(tmp_path) if n.startswith(f".out-{verb[0]}")]


def test_an_output_linked_to_a_regular_file_is_written_through_the_link(keys, tmp_path):
    ids, raw, image = keys
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "signed.tbin"
    target.write_bytes(b"old")
    link = tmp_path / "signed.tbin"
    os.symlink(target, link)
    r = cli("sign", image, "--key", tmp_path / "k2", "-o", link)
    assert r.returncode == 0, r.stderr
    assert os.path.islink(link) and [s["key_id"] for s in tbin.signatures(target)] == \
        [ids["k1"], ids["k2"]]
