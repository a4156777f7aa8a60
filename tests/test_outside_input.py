"""What comes from outside, as a careless user or an attacker sends it: files
that are no files, inventories too large or holding no values, signature
trailers padded with forged entries, device text that would drive the
terminal, and errors a script reads under --json."""

import json
import os
import struct

import pytest
from _cli import cli

from quorvex import tbin
from quorvex._text import printable
from quorvex.emulator import DeviceEmulator
from quorvex.fleet import InventoryError, load_inventory
from quorvex.QVRPublic import RetCode

# --- files that are no files, and files too large ---------------------------------


@pytest.fixture
def fifo(tmp_path):
    def make(name):
        path = tmp_path / name
        os.mkfifo(path)
        return path
    return make


@pytest.mark.parametrize("name, argv, status", [
    ("rack.csv", ["update", "{image}", "--inventory", "{path}", "--no-history"], 64),
    ("rack.toml", ["verify", "{image}", "--inventory", "{path}"], 64),
])
def test_a_fifo_given_for_a_file_is_refused_at_once_naming_it(fifo, tbin_image, name, argv,
                                                               status):
    path = fifo(name)
    image, _ = tbin_image
    proc = cli(*(a.format(image=image, path=path) for a in argv), timeout=30)
    assert proc.returncode == status
    assert str(path) in proc.stderr and "not a regular file" in proc.stderr


def test_an_inventory_past_the_bound_is_refused_without_being_read(tmp_path):
    path = tmp_path / "huge.csv"
    with open(path, "wb") as f:  # sparse: nothing is written
        f.truncate(64 * 1024 * 1024 + 1)
    with pytest.raises(InventoryError, match="larger than 64 MiB"):
        load_inventory(path)


def test_a_large_inventory_is_checked_in_one_pass(tmp_path):
    # 20,000 devices and the last the first again: every pair compared would take minutes.
    rows = [f"10.0.{i >> 8}.{i & 255},{5000 + i % 1000}" for i in range(20000)]
    path = tmp_path / "line.csv"
    path.write_text("address,port\n" + "\n" * 1000 + "\n".join(rows + [rows[0]]) + "\n")
    with pytest.raises(InventoryError) as e:
        load_inventory(path)
    assert str(e.value).startswith(f"{path}, line 21002: 10.0.0.0:5000 is given more than once")


# --- values that are no value -----------------------------------------------------

DEVICE = '[[device]]\naddress = "192.0.2.1"\n'


@pytest.mark.parametrize("name, text, line, value", [
    ("inf-port.toml", DEVICE + "port = inf\n", 3, "inf"),
    ("inf-type.toml", DEVICE + "device_type = inf\n", 3, "inf"),
    ("real-port.toml", DEVICE + "port = 5025.9\n", 3, "5025.9"),
    ("real-type.toml", DEVICE + "device_type = 32.5\n", 3, "32.5"),
    ("hex-type.csv", "address,device_type\n192.0.2.1,0x20\n", 2, "0x20"),
    ("signed-port.csv", "address,port\n192.0.2.1,+5025\n", 2, "+5025"),
    ("nul.toml", DEVICE + '[[device]]\naddress = "a\\u0000b"\n', 4, r"a\x00b"),
    ("esc.toml", DEVICE + '\n[[device]]\n\naddress = "x\\u001b[2J"\n', 6, r"x\x1b[2J"),
    ("bracket.csv", "address\n192.0.2.1\n::1]\n", 3, "::1]"),
    ("colons.csv", "address\n127.0.0.1:P:1\n", 2, "127.0.0.1:P:1"),
    ("octet.csv", "address\n192.0.2.300\n", 2, "192.0.2.300"),
    ("syntax.toml", "[[device]]\naddress = 192.0.2.1\n", 2, "Expected"),
])
def test_a_bad_value_is_refused_naming_file_line_and_value(tmp_path, name, text, line, value):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(InventoryError) as e:
        load_inventory(path)
    assert str(e.value).startswith(f"{path}, line {line}: ")
    assert value in str(e.value)


def test_a_deeply_nested_inventory_is_refused_naming_the_file(tmp_path):
    path = tmp_path / "deep.toml"
    path.write_text(DEVICE + "x = " + "[" * 5000 + "]" * 5000 + "\n")
    with pytest.raises(InventoryError, match=f"^{path}: .*nested too deeply"):
        load_inventory(path)


def test_a_bad_inventory_connects_to_nothing_and_is_json_under_json(tmp_path, tbin_image):
    image, _ = tbin_image
    with DeviceEmulator() as e:
        path = tmp_path / "rack.toml"
        path.write_text(f'[[device]]\naddress = "{e.host}"\nport = {e.port}\n\n'
                        f'[[device]]\naddress = "{e.host}"\nport = {e.port}.5\n')
        proc = cli("update", image, "--inventory", path, "--no-history", "--json")
        assert e.counters()["connections"] == 0
    assert proc.returncode == 64
    error = json.loads(proc.stdout)["error"]
    assert error["kind"] == "inventory" and error["exit_status"] == 64
    assert f"{path}, line 7: bad port {e.port}.5" in error["message"]


# --- errors a script reads ----------------------------------------------------------

@pytest.mark.parametrize("argv, kind, status", [
    (["update", "{image}", "--json", "--address"], "usage", 64),
    (["update", "{image}", "--json", "--timeo", "3", "-a", "h"], "usage", 64),
    (["verify", "{image}", "--json", "-a", "192.0.2.1", "-a", "192.0.2.1"], "usage", 64),
    (["update", "{image}", "--json", "-a", "192.0.2.1", "--device-type", "28"], "image", 2),
])
def test_an_error_under_json_is_one_json_object(tbin_image, argv, kind, status):
    image, _ = tbin_image
    proc = cli(*(a.format(image=image) for a in argv))
    assert proc.returncode == status
    error = json.loads(proc.stdout)["error"]
    assert (error["kind"], error["exit_status"]) == (kind, status) and error["message"]


# --- forged signature entries -------------------------------------------------------

def forged(path, entries):
    """The signed file at `path` with `entries` (key id, signature) appended to its trailer."""
    data = path.read_bytes()
    total, count = struct.unpack(">II", data[-16:-8])
    body = data[len(data) - total:-16] + b"".join(
        struct.pack(">HH", 1, len(sig)) + kid + sig for kid, sig in entries)
    return (data[:len(data) - total] + body
            + struct.pack(">II", len(body) + 16, count + len(entries)) + b"QVXSIG\x00\x01")


@pytest.fixture
def signed(tmp_path, tbin_image):
    image, _ = tbin_image
    key = tmp_path / "k.key"
    key_id = tbin.generate_key(key)
    tbin.sign(image, key)
    return image, key, bytes.fromhex(key_id)


@pytest.mark.parametrize("extra, problem", [
    (lambda kid: [(kid, bytes(64))], "has more than one entry"),
    (lambda kid: [(i.to_bytes(8, "big"), bytes(64)) for i in range(64)], "at most 64"),
])
def test_a_trailer_past_its_bounds_is_malformed_and_refused(signed, tmp_path, extra, problem):
    image, key, kid = signed
    bad = tmp_path / "forged.tbin"
    bad.write_bytes(forged(image, extra(kid)))
    report = tbin.signature_report(bad, [tbin.load_public_key(f"{key}.pub")])
    assert report["signatures"] == [] and problem in report["problem"]
    proc = cli("check", bad, "--trust", f"{key}.pub")
    assert proc.returncode == 2 and problem in proc.stderr


def test_signing_again_keeps_one_entry_per_key_and_the_bound_holds(signed, tmp_path):
    image, key, kid = signed
    tbin.sign(image, key)
    assert len(tbin.signatures(image)) == 1
    full = tmp_path / "full.tbin"
    full.write_bytes(forged(image, [(i.to_bytes(8, "big"), bytes(64)) for i in range(63)]))
    other = tmp_path / "other.key"
    tbin.generate_key(other)
    with pytest.raises(ValueError, match="at most 64"):
        tbin.sign(full, other)
    tbin.sign(full, key)  # its own entry is replaced: still 64
    assert len(tbin.signatures(full)) == 64


# --- text that would drive the terminal ------------------------------------------

@pytest.mark.parametrize("text, shown", [
    ("SN\x1b[2J\x1b]0;pwned\x07X", r"SN\x1b[2J\x1b]0;pwned\x07X"),
    ("a\rb\x00\x7f\x9b", r"a\rb\x00\x7f\x9b".replace(r"\r", r"\x0d")),
    ("right\u202eleft\u2028", r"right\u202eleft\u2028"),
    ("QVX-0001 é 中", "QVX-0001 é 中"),
])
def test_printable_escapes_every_control_visibly(text, shown):
    assert printable(text) == shown


HOSTILE = "SN\x1b[2J\x1b]0;pwned\x07X"


def test_device_text_reaches_the_terminal_escaped_and_json_exact(tbin_image, tmp_path):
    image, _ = tbin_image
    with DeviceEmulator(serial=HOSTILE) as e:
        info = cli("info", "-a", f"{e.host}:{e.port}")
        as_json = cli("info", "-a", f"{e.host}:{e.port}", "--json")
        run = cli("update", image, "-a", f"{e.host}:{e.port}", "--expect-serial", "QVX",
                  "--history", tmp_path / "h.sqlite3")
    assert info.returncode == 0 and r"SN\x1b[2J\x1b]0;pwned\x07X" in info.stdout
    assert json.loads(as_json.stdout)["serial_number"] == HOSTILE
    assert run.returncode == 2 and "pwned" in run.stderr
    for out in (info.stdout, info.stderr, run.stdout, run.stderr):
        assert "\x1b" not in out and "\x07" not in out


# --- small things users met -------------------------------------------------------

def test_tcpbeamformer_takes_host_port_as_the_command_line_does():
    from quorvex.qvrdev.TCPBeamformer import TCPBeamformer

    with DeviceEmulator() as e:
        with TCPBeamformer(f"{e.host}:{e.port}", delay_scale=0) as dev:
            ret = dev.getFastParallelMode()
        assert (ret.RetCode, ret.RetData) == (RetCode.OK, False)  # the emulator's own answer
        assert e.counters()["ExtCtrl_EN?"] == 1  # asked of this device, at this port
    with pytest.raises(ValueError, match="bad address"):
        TCPBeamformer("127.0.0.1:P:1")


@pytest.mark.parametrize("argv, status, out", [
    (["emulate", "--version"], 0, "emulate 0.1"),
    (["emulate", "--version-after", "1.2.3.4"], 64, "unrecognized arguments: --version-after"),
    (["update", "x.tbin", "-a", "h", "--dry"], 64, "unrecognized arguments: --dry"),
])
def test_options_are_never_abbreviated(argv, status, out):
    proc = cli(*argv)
    assert proc.returncode == status and out in proc.stdout + proc.stderr


def test_pack_warns_of_a_device_type_no_update_takes(tmp_path):
    raw = tmp_path / "fpga.bin"
    raw.write_bytes(b"\x01" * 64)
    proc = cli("pack", raw, "-d", "99", "-d", "32", "-o", tmp_path / "fpga.tbin")
    assert proc.returncode == 0
    assert "device type 99 is not one this tool updates" in proc.stderr
    assert "device type 32 " not in proc.stderr


@pytest.mark.parametrize("address, ok", [
    ("rack3-1.example", True), ("192.0.2.10", True), ("::1", True), ("fe80::1%eth0", True),
    ("127.0.0.1:5025", False), ("::1]", False), ("a\x1bb", False), ("a\x00b", False),
    ("192.0.2.300", False), ("", False), (" ", False),
])
def test_a_device_built_from_python_takes_a_host_and_nothing_else(address, ok):
    from quorvex.fleet import Device

    if ok:
        assert Device(address).address == address
    else:
        with pytest.raises(ValueError, match="bad device address"):
            Device(address)
