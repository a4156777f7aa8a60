"""The VISA device link: FpgaTool over a pyvisa-py TCPIP SOCKET resource
against the device emulator, and the link's own contract against scripted
peers."""

import _thread
import hashlib
import json
import os
import threading
import time

import pytest
from _cli import cli

pytest.importorskip("pyvisa")
pytest.importorskip("pyvisa_py")

from quorvex import tbin  # noqa: E402
from quorvex.QVRFpga import FpgaTool  # noqa: E402
from quorvex.QVRPublic import RetCode  # noqa: E402
from quorvex.QVRUtils import RetType, _RspType  # noqa: E402
from quorvex.visa import VisaLink  # noqa: E402

from test_link import Peer, commands_from_two_threads, free_port  # noqa: E402

LIST = _RspType.RSP_LIST


@pytest.fixture(scope="module")
def rm():
    import pyvisa

    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


@pytest.fixture
def emu_options():
    return {"fpga_version": "0.2.3.4", "version_after_update": "0.3.0.1"}


def resource(port, host="127.0.0.1"):
    return f"TCPIP::{host}::{port}::SOCKET"


def connect(rm, port, **kw):
    link = VisaLink(resource(port), resource_manager=rm, **kw)
    assert link.initConnection() is True, link.last_error
    return link


def image_file(tmp_path, size, suffix=".bin"):
    data = os.urandom(size)
    path = tmp_path / ("image" + suffix)
    path.write_bytes(tbin.pack(data, 32) if suffix == ".tbin" else data)
    return str(path), data


def update(rm, emu, path, **link_args):
    link = connect(rm, emu.port, **link_args)
    tool = FpgaTool(connection=link)
    try:
        assert tool.initFpga(32).RetCode is RetCode.OK
        return tool.processFpgaUpdate(path, 32)
    finally:
        link.closeConnection()


@pytest.mark.parametrize("size, suffix", [(33, ".bin"), (20000, ".bin"), (5000, ".tbin")])
def test_full_update_through_a_visa_resource(rm, emu, tmp_path, size, suffix):
    path, data = image_file(tmp_path, size, suffix)
    ret = update(rm, emu, path)
    assert ret.RetCode is RetCode.OK, ret.RetMsg
    assert ret.RetData == {"success": True, "error_message": "", "fw_version": "0.3.0.1"}
    assert emu.flash_digest() == hashlib.sha256(data).hexdigest()


def test_tool_leaves_a_link_handed_in_open(rm, emu):
    link = connect(rm, emu.port)
    tool = FpgaTool(connection=link)
    assert tool.initFpga(32).RetCode is RetCode.OK
    tool.disconnect()
    assert link.connected
    assert link.sendCmd(b"GET_SN\r\n", LIST).RetData == "QVX-EMU-0001"
    link.closeConnection()


def test_refused_blocks_and_split_replies_still_write_the_image(rm, emu, tmp_path):
    emu.set(refuse_every=3, split_replies=4)
    path, data = image_file(tmp_path, 1000)
    assert update(rm, emu, path).RetCode is RetCode.OK
    assert emu.flash() == data and emu.counters()["blocks_refused"] > 0


@pytest.mark.parametrize("word, count", [("FPGA_PROGRAM", 20), ("FPGA_READ", 5)])
def test_a_dropped_link_ends_in_an_error_naming_the_resource_within_the_time_out(
        rm, emu, tmp_path, word, count):
    emu.set(drop_on=word, drop_on_count=count)
    path, _ = image_file(tmp_path, 1000)
    start = time.monotonic()
    with pytest.raises(ConnectionError, match=f"{resource(emu.port)} closed the connection"):
        update(rm, emu, path, timeout=3.0)
    assert time.monotonic() - start < 3.0


def test_a_silent_device_times_out_naming_the_resource(rm, emu, tmp_path):
    emu.set(delay_command=5, delay_us=2_000_000)  # the erase, after the four commands of init
    path, _ = image_file(tmp_path, 64)
    start = time.monotonic()
    with pytest.raises(TimeoutError, match=rf"no reply from {resource(emu.port)} to FPGA_ERASE "
                                           rf"within 0\.3 s"):
        update(rm, emu, path, timeout=0.2, slow_timeout=0.3)
    assert time.monotonic() - start < 1.5


def test_a_slow_erase_is_ridden_out_by_the_erase_time_out(rm, emu, tmp_path):
    emu.set(erase_seconds=0.6)
    path, data = image_file(tmp_path, 64)
    assert update(rm, emu, path, timeout=0.3, slow_timeout=5.0).RetCode is RetCode.OK
    assert emu.flash() == data


def test_a_lobe_switching_device_class_runs_over_a_visa_link(rm, emu):
    from quorvex.QVRPublic import RFMode
    from quorvex.qvrdev.TCPBeamformer import TCPBeamformer

    link = connect(rm, emu.port)
    with TCPBeamformer(link=link, delay_scale=0) as dev:
        assert dev.setFastParallelMode(True).RetCode is RetCode.OK
        assert dev.setFastBeamGain(RFMode.TX, 1, True, 5, 6).RetCode is RetCode.OK
        assert dev.syncFastBeamConfig().RetCode is RetCode.OK
    state = emu.state()
    assert state["reboots"] == 1 and not state["store_enabled"]
    assert link.connected  # the device class does not own a link handed in
    link.closeConnection()


# --- the link contract, against scripted peers ------------------------------

@pytest.fixture
def peer():
    peers = []

    def make(*scripts):
        p = Peer(*scripts)
        peers.append(p)
        return p

    yield make
    for p in peers:
        p.finish()


BLOCK = b"#216" + b"\r\n\x00\xff" * 4 + b"\r\n"  # 16 data bytes holding CR LF


def assert_broken(link):
    assert not link.connected
    with pytest.raises(ConnectionError, match=rf"^link to {link.resource_name} is closed$"):
        link.sendCmd(b"AGAIN\r\n", LIST)
    with pytest.raises(ConnectionError, match="is closed"):
        link.recvRawBytes(1024)


def test_commands_go_out_unaltered_and_replies_come_back_whole(rm, peer):
    p = peer([("recv", b"FPGA_PROGRAM #15a\r\nb\r\n"), ("send", b"0"), ("pause", 0.05),
              ("send", b"\r\n"),
              ("recv", b"FPGA_READ\r\n"), ("send", BLOCK[:3]), ("pause", 0.05),
              ("send", BLOCK[3:9]), ("pause", 0.05), ("send", BLOCK[9:] + b"7\r\n"),
              ("recv", b"GET_SN\r\n"), ("send", b"S\xffN\r\n"),
              ("recv", b"X\r\n"), ("send", b"#13abcX\r\n")])
    link = connect(rm, p.port)
    ret = link.sendCmd(b"FPGA_PROGRAM #15a\r\nb\r\n", LIST)
    assert isinstance(ret, RetType) and ret.RetData == "0"
    link.sendRawBytes(b"FPGA_READ\r\n")
    assert link.recvRawBytes(1024) == BLOCK
    assert link.recvRawBytes(1024) == b"7\r\n"  # the bytes behind it: the next reply
    assert link.sendCmd(b"GET_SN\r\n", LIST).RetData == "S\ufffdN"
    with pytest.raises(ConnectionError, match=rf"malformed reply from {link.resource_name}"):
        link.sendCmd(b"X\r\n", LIST)
    assert_broken(link)


def test_rest_of_a_cut_reply_is_served_in_order(rm, peer):
    p = peer([("recv", b"FPGA_READ\r\n"), ("send", BLOCK),
              ("recv", b"GET_SN\r\n"), ("send", b"SN42\r\n")])
    link = connect(rm, p.port)
    link.sendRawBytes(b"FPGA_READ\r\n")
    assert link.recvRawBytes(5) == BLOCK[:5]
    assert link.recvRawBytes(10) == BLOCK[5:15]
    # A command after a cut reply gets that reply's rest as its own answer.
    assert link.sendCmd(b"GET_SN\r\n", LIST).RetData == BLOCK[15:-2].decode("utf-8", "replace")
    assert link.recvRawBytes(1024) == b"SN42\r\n"
    link.closeConnection()


@pytest.mark.parametrize("sent", [b"", b"partial"])
def test_silent_peer_times_out_and_breaks_the_link(rm, peer, sent):
    p = peer([("recv", b"FPGA_GET_ID\r\n"), ("send", sent), ("pause", 0.5),
              ("blast", b"late\r\n")])
    link = connect(rm, p.port, timeout=0.2)
    with pytest.raises(TimeoutError, match=rf"{link.resource_name} to FPGA_GET_ID within 0\.2 s"):
        link.sendCmd(b"FPGA_GET_ID\r\n", LIST)
    time.sleep(0.4)  # the late reply arrives: it must not answer anything
    assert_broken(link)


def test_a_device_that_stops_reading_cannot_hold_a_write_past_its_time_out(rm, peer):
    # pyvisa-py's socket writes wait without a time-out of their own.
    p = peer([("pause", 2.0)])
    link = connect(rm, p.port, timeout=0.3)
    start = time.monotonic()
    with pytest.raises(TimeoutError, match=rf"could not send FPGA_PROGRAM to "
                                           rf"{link.resource_name} within 0\.3 s"):
        link.sendRawBytes(b"FPGA_PROGRAM #8%08d" % (32 << 20) + bytes(32 << 20))
    assert time.monotonic() - start < 2.0
    assert_broken(link)


def test_peer_that_closes_mid_block_raises_connection_error(rm, peer):
    p = peer([("recv", b"FPGA_READ\r\n"), ("send", b"#216\r\n")])
    link = connect(rm, p.port, timeout=3.0)
    link.sendRawBytes(b"FPGA_READ\r\n")
    start = time.monotonic()
    with pytest.raises(ConnectionError, match=rf"{link.resource_name} closed the connection "
                                              r"while waiting for the reply to FPGA_READ"):
        link.recvRawBytes(1024)
    assert time.monotonic() - start < 1.0
    assert_broken(link)


def test_missing_resource_gives_false_and_close_twice_is_harmless(rm):
    link = VisaLink(resource(free_port()), resource_manager=rm, timeout=1.0)
    assert link.initConnection() is False
    assert link.resource_name in link.last_error
    with pytest.raises(ConnectionError, match="not connected"):
        link.sendCmd(b"X\r\n", LIST)
    link.closeConnection()
    link.closeConnection()
    with pytest.raises(ValueError, match="bad VISA resource 'NOT A RESOURCE'"):
        VisaLink("NOT A RESOURCE")
    with pytest.raises(ValueError, match="timeout"):
        VisaLink(resource(1), timeout=0)


def test_close_and_reconnect(rm, peer):
    p = peer([("hold",)], [("recv", b"A\r\n"), ("send", b"1\r\n")])
    link = connect(rm, p.port)
    link.closeConnection()
    link.closeConnection()
    assert_broken(link)
    assert link.initConnection()
    assert link.sendCmd(b"A\r\n", LIST).RetData == "1"


def test_close_from_another_thread_wakes_a_waiting_call(rm, peer):
    p = peer([("recv", b"FPGA_ERASE 14\r\n"), ("hold",)])
    link = connect(rm, p.port)
    threading.Timer(0.2, link.closeConnection).start()
    start = time.monotonic()
    with pytest.raises(ConnectionError, match="is closed"):
        link.sendCmd(b"FPGA_ERASE 14\r\n", LIST)
    assert time.monotonic() - start < 1.0


def test_ctrl_c_ends_a_wait_within_a_tenth_of_a_second_and_breaks_the_link(rm, peer):
    p = peer([("recv", b"FPGA_GET_ID\r\n"), ("hold",)])
    link = connect(rm, p.port)
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            link.sendCmd(b"FPGA_GET_ID\r\n", LIST)
    finally:
        timer.cancel()
    assert time.monotonic() - start < 0.2 + 0.15
    assert_broken(link)


def test_threads_sharing_a_link_each_get_their_own_replies(rm, peer):
    n = 100
    p = peer([("echo", 2 * n)])
    link = connect(rm, p.port)
    assert commands_from_two_threads(link, n, wait=10) == ([], False)
    link.closeConnection()


def test_quorvex_imports_without_pyvisa_and_visa_names_the_extra(tmp_path):
    import subprocess
    import sys

    blocker = tmp_path / "pyvisa"
    blocker.mkdir()
    (blocker / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(tmp_path)] + [p for p in sys.path if p]))
    code = ("import quorvex, quorvex.QVRFpga, quorvex.fleet, quorvex.cli, quorvex.history\n"
            "try:\n    import quorvex.visa\nexcept ImportError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "quorvex[visa]" in out.stdout


# --- the command line and the fleet ---------------------------------------------

def test_update_names_a_resource_device_by_its_resource_in_json_table_and_history(
        tbin_image, tmp_path):
    from quorvex.emulator import DeviceEmulator
    from quorvex.history import History

    path, data = tbin_image
    history = tmp_path / "h.sqlite3"
    with DeviceEmulator(serial="SN-V") as v, DeviceEmulator(serial="SN-T") as t:
        res = resource(v.port)
        r = cli("update", path, "--resource", res, "-a", t.address, "--history", history,
                "--json")
        assert r.returncode == 0, r.stderr
        assert v.flash() == t.flash() == data
        doc = json.loads(r.stdout)
        assert [(d["label"], d["resource"], d["address"], d["outcome"])
                for d in doc["devices"]] == [(res, res, None, "updated"),
                                             (t.address, None, t.address, "updated")]
        r = cli("verify", path, "-r", res)
        assert r.returncode == 0, r.stderr
        assert res in r.stdout and "unchanged" in r.stdout
    with History(history) as h:
        rows = h.attempts(resource=res.lower())
    assert [(row["resource"], row["host"], row["port"], row["serial"]) for row in rows] == [
        (res, res, 0, "SN-V")]
    r = cli("history", "--history", history, "--resource", res)
    assert r.returncode == 0 and res in r.stdout and "1 attempt(s)" in r.stdout


def test_info_and_a_dry_run_over_a_resource(emu, tbin_image):
    res = resource(emu.port)
    r = cli("info", "--resource", res, "--json")
    assert r.returncode == 0, r.stderr
    info = json.loads(r.stdout)
    assert (info["resource"], info["address"], info["fpga_version"]) == (res, None, "0.2.3.4")
    r = cli("update", tbin_image[0], "-r", res, "--dry-run", "--json")
    assert r.returncode == 0, r.stderr
    (job,) = json.loads(r.stdout)["devices"]
    assert (job["resource"], job["outcome"]) == (res, "ready")
    assert emu.counters()["FPGA_ERASE"] == 0


def test_an_unreachable_resource_is_a_link_error_naming_it():
    res = resource(free_port())
    r = cli("info", "--resource", res, "--timeout", "1")
    assert r.returncode == 74 and f"Cannot connect to {res}" in r.stderr


def test_an_inventory_resource_row_updates(rm, tbin_image, tmp_path):
    from quorvex.emulator import DeviceEmulator

    path, data = tbin_image
    with DeviceEmulator() as e:
        inv = tmp_path / "rack.csv"
        inv.write_text(f"name,resource,serial\nbench-1,{resource(e.port)},QVX-EMU-0001\n")
        r = cli("update", path, "--inventory", inv, "--no-history")
        assert r.returncode == 0, r.stderr
        assert e.flash() == data and "bench-1" in r.stdout


@pytest.mark.parametrize("argv, message", [
    (["-r", "TCPIP::127.0.0.1::{port}::SOCKET", "-a", "127.0.0.1:{port}"],
     "are the same device (127.0.0.1:{port})"),
    (["-r", "TCPIP::127.0.0.1::{port}::SOCKET", "-r", "TCPIP0::127.0.0.1::{port}::SOCKET"],
     "are the same device"),
    (["-r", "NOT::A::RESOURCE"], "bad VISA resource 'NOT::A::RESOURCE'"),
    (["-r", "TCPIP::127.0.0.1::{port}::SOCKET", "--inventory", "x.csv"], "not allowed with"),
], ids=["resource-and-address", "two-spellings", "bad", "with-an-inventory"])
def test_resources_are_checked_before_anything_connects(tbin_image, argv, message):
    from quorvex.cli import main
    from quorvex.emulator import DeviceEmulator

    with DeviceEmulator() as e:
        r = cli("update", tbin_image[0], "--no-history",
                *[a.format(port=e.port) for a in argv])
        assert r.returncode == 64
        assert message.format(port=e.port) in r.stderr
        assert e.counters()["connections"] == 0
    assert main  # the same parser, in process, is covered by the run above


@pytest.mark.parametrize("text, message", [
    ("address,resource\n127.0.0.1,TCPIP::127.0.0.1::5025::SOCKET\n", "give one of them"),
    ("resource,port\nTCPIP::127.0.0.1::5025::SOCKET,5025\n", "names its own"),
    ("resource,name\nNOPE,a\n", "bad VISA resource 'NOPE'"),
    ("name\na\n", "no 'address' or 'resource' column"),
])
def test_inventory_resource_rows_are_checked(tmp_path, text, message):
    from quorvex.fleet import InventoryError, load_inventory

    inv = tmp_path / "rack.csv"
    inv.write_text(text)
    with pytest.raises(InventoryError, match=message):
        load_inventory(inv)


def test_a_device_has_an_address_or_a_resource():
    from quorvex.fleet import Device

    d = Device(resource="TCPIP::192.0.2.1::5025::SOCKET", name=None)
    assert d.label == d.endpoint == "TCPIP::192.0.2.1::5025::SOCKET"
    with pytest.raises(ValueError, match="not both"):
        Device("192.0.2.1", resource="TCPIP::192.0.2.1::5025::SOCKET")
    with pytest.raises(ValueError, match="bad device address"):
        Device()


@pytest.mark.parametrize("script, call, error", [
    ([("recv", b"FPGA_GET_ID\r\n"), ("hold",)], "cmd", TimeoutError),
    ([("recv", b"FPGA_GET_ID\r\n"), ("send", b"part"), ("hold",)], "cmd", TimeoutError),
    ([("recv", b"FPGA_GET_ID\r\n"), ("send", b"#216ab\r\n")], "raw", ConnectionError),
    ([("recv", b"FPGA_GET_ID\r\n"), ("send", b"#9999999999\r\n")], "raw", ConnectionError),
    ([("recv", b"FPGA_GET_ID\r\n"), ("send", b"#13abcX\r\n")], "raw", ConnectionError),
])
def test_both_links_word_a_failure_alike(rm, peer, script, call, error):
    from quorvex.QVRCommService import _TCPConn

    messages = []
    for make in (lambda p: VisaLink(resource(p.port), resource_manager=rm, timeout=0.3),
                 lambda p: _TCPConn("127.0.0.1", p.port, timeout=0.3)):
        p = peer(list(script))
        link = make(p)
        assert link.initConnection()
        with pytest.raises(error) as e:
            if call == "cmd":
                link.sendCmd(b"FPGA_GET_ID\r\n", LIST)
            else:
                link.sendRawBytes(b"FPGA_GET_ID\r\n")
                link.recvRawBytes(1024)
        messages.append(str(e.value).replace(resource(p.port), "DEVICE")
                        .replace(f"127.0.0.1:{p.port}", "DEVICE"))
        assert not link.connected
    assert messages[0] == messages[1]
