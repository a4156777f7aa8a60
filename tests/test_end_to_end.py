"""The whole update over TCP: FpgaTool and our own link against the device
emulator on the loopback interface."""

import hashlib
import os

import pytest

from quorvex import tbin
from quorvex.QVRCommService import _TCPConn
from quorvex.QVRFpga import FpgaTool
from quorvex.QVRPublic import RetCode


@pytest.fixture
def emu_options():
    return {"fpga_version": "0.2.3.4", "version_after_update": "0.3.0.1"}


def image_file(tmp_path, size, suffix=".bin"):
    data = os.urandom(size)
    path = tmp_path / ("image" + suffix)
    path.write_bytes(tbin.pack(data, 32) if suffix == ".tbin" else data)
    return str(path), data


def update(emu, path, device_type=32, **link_args):
    link = _TCPConn(emu.host, emu.port, **link_args)
    assert link.initConnection()
    tool = FpgaTool(connection=link)
    try:
        init = tool.initFpga(32)
        return init, tool.processFpgaUpdate(path, device_type)
    finally:
        link.closeConnection()


@pytest.mark.parametrize("size, suffix", [(16, ".bin"), (33, ".bin"), (4096, ".bin"),
                                          (100003, ".bin"), (5000, ".tbin")])
def test_full_update_writes_the_image_to_the_flash(emu, tmp_path, size, suffix):
    path, data = image_file(tmp_path, size, suffix)
    init, ret = update(emu, path)
    assert init.RetCode is RetCode.OK and init.RetData["fpga_version"] == "0.2.3.4"
    assert ret.RetCode is RetCode.OK, ret.RetMsg
    assert ret.RetData == {"success": True, "error_message": "", "fw_version": "0.3.0.1"}
    assert emu.flash() == data and emu.flash_digest() == hashlib.sha256(data).hexdigest()


def test_an_owned_link_updates_and_closes(emu, tmp_path):
    path, data = image_file(tmp_path, 100)
    tool = FpgaTool(address=emu.host, port=emu.port)
    assert tool.processFpgaUpdate(path).RetCode is RetCode.OK
    tool.disconnect()
    assert emu.flash() == data


def test_refused_blocks_and_split_replies_still_write_the_image(emu, tmp_path):
    emu.set(refuse_every=3, split_replies=3)
    path, data = image_file(tmp_path, 1000)
    _, ret = update(emu, path)
    assert ret.RetCode is RetCode.OK and emu.flash() == data
    assert emu.counters()["blocks_refused"] > 0


@pytest.mark.parametrize("word, count", [("FPGA_ERASE", 1), ("FPGA_PROGRAM", 20),
                                         ("FPGA_READ", 5), ("FPGA_DONE", 1)])
def test_a_dropped_connection_ends_in_an_error_naming_the_device(emu, tmp_path, word, count):
    emu.set(drop_on=word, drop_on_count=count)
    path, _ = image_file(tmp_path, 1000)
    with pytest.raises(ConnectionError, match=f"{emu.host}:{emu.port}"):
        update(emu, path, timeout=5.0)


def test_a_slow_erase_is_ridden_out_by_the_erase_time_out(emu, tmp_path):
    emu.set(erase_seconds=0.6)
    path, data = image_file(tmp_path, 64)
    _, ret = update(emu, path, timeout=0.3, slow_timeout=5.0)
    assert ret.RetCode is RetCode.OK and emu.flash() == data


def test_a_silent_device_times_out_naming_it(emu, tmp_path):
    emu.set(delay_command=5, delay_us=2_000_000)  # the erase, after the four commands of init
    path, _ = image_file(tmp_path, 64)
    with pytest.raises(TimeoutError, match=f"{emu.host}:{emu.port}"):
        update(emu, path, timeout=0.2, slow_timeout=0.3)


def test_a_corrupted_read_back_fails_the_update(emu, tmp_path):
    emu.set(corrupt_page=2)
    path, _ = image_file(tmp_path, 100)
    _, ret = update(emu, path)
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
    assert emu.state()["done"] >= 1


def test_a_version_below_the_minimum_is_refused_with_a_warning(emu):
    emu.set(fpga_version="0.2.3.3")
    tool = FpgaTool(address=emu.host, port=emu.port)
    ret = tool.initFpga(32)
    tool.disconnect()
    assert ret.RetCode is RetCode.WARNING and "0.2.3.3 is lower" in ret.RetMsg


def test_device_type_28_reads_the_version_from_the_front_end_info(emu, tmp_path):
    emu.set(fe_info='{"fe0": {"fpga_ver": "1.1.0.9", "sn": "x"}, "fe1": {"fpga_ver": "0"}}')
    path, data = image_file(tmp_path, 50)
    tool = FpgaTool(address=emu.host, port=emu.port)
    ret = tool.processFpgaUpdate(path, 28)
    tool.disconnect()
    assert ret.RetData["fw_version"] == "1.1.0.9" and emu.flash() == data
