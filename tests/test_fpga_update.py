"""Initialisation and version gating, the page programming engine and the
update procedure, against a recording link with a small flash model."""

import hashlib
import json
import logging
import re
import struct

import pytest

import quorvex.QVRFpga as qf
from quorvex.QVRPublic import RetCode


PROGRESS = re.compile(r"\rProgress: (\d+\.\d\d)% \((\d+)/(\d+) bytes\), block time: \d+\.\d{4} sec")


def write(tmp_path, name, data):
    p = tmp_path / name
    p.write_bytes(data)
    return str(p)


def tbin(image, start=None, header=b'{"DEV_TYPE": 32}', length=None):
    start = 80 + len(header) if start is None else start
    fixed = struct.pack(">IIII", len(header), len(image) if length is None else length, start, 0)
    body = fixed + bytes(64) + header
    return body + bytes(max(0, start - len(body))) + image


def progress(out):
    return [(float(p), int(d), int(t)) for p, d, t in PROGRESS.findall(out)]


@pytest.fixture
def calls(tool):
    seen = []
    tool.set_progress_callback(lambda *a: seen.append(a))
    return seen


# --- initialisation -----------------------------------------------------------

def test_init_refuses_a_device_type_off_the_whitelist_without_a_command(tool, link, caplog):
    for disable in (False, True):
        ret = tool.initFpga(28, disable_fw_check=disable)
        msg = "Device type 28 is not supported for firmware version check."
        assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.WARNING, msg, None)
    assert link.wire == []
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("WARNING", msg)] * 2


@pytest.mark.parametrize("version, disable, code, fpga_version", [
    ("0.2.3.4", False, RetCode.OK, "0.2.3.4"),
    ("1.0", False, RetCode.OK, "1.0"),
    ("", False, RetCode.OK, ""),
    ("0.2.3.3", True, RetCode.OK, "0.2.3.3"),
    ("0.2.3.3", False, RetCode.WARNING, None),
])
def test_init_gates_the_fpga_version_of_device_type_32(tool, link, version, disable, code,
                                                       fpga_version):
    link.replies["GET_FPGA_VER"] = version
    ret = tool.initFpga(32.9, disable)
    assert ret.RetCode is code
    assert link.commands() == ["FPGA_CTRL_INIT", "FPGA_CFG_MODE", "FPGA_GET_ID", "GET_FPGA_VER"]
    assert link.wire[1] == b"FPGA_CFG_MODE TRANS\r\n"
    if code is RetCode.OK:
        assert ret.RetMsg == "FPGA initialized successfully"
        assert list(ret.RetData.items()) == [
            ("success", True), ("error_message", ""), ("device_count", 0), ("device_info", None),
            ("fpga_id", "FPGA-ID-7"), ("fw_version", ""), ("fpga_version", fpga_version)]
    else:
        assert ret.RetMsg == ("FPGA version 0.2.3.3 is lower than minimum required version "
                              "0.2.3.4.") and ret.RetData is None


def test_init_follows_the_whitelist_and_minimum_as_they_are_at_call_time(tool, link, monkeypatch):
    monkeypatch.setattr(qf, "_DEVICE_WHITELIST", [32, 28])
    ret = tool.initFpga(28)
    assert ret.RetCode is RetCode.OK and ret.RetData["fpga_version"] == ""
    assert link.commands() == ["FPGA_CTRL_INIT", "FPGA_CFG_MODE", "FPGA_GET_ID"]
    monkeypatch.setattr(qf, "_FPGA_VER_MIN_DEV32", "9.0")
    assert tool.initFpga(32).RetCode is RetCode.WARNING


@pytest.mark.parametrize("failure", [ConnectionError("link to h:1 is closed"), None])
def test_init_turns_a_failure_into_an_error_record(tool, link, caplog, failure):
    if failure:
        link.replies["FPGA_CTRL_INIT"] = failure
        text = "link to h:1 is closed"
    else:
        link.replies["GET_FPGA_VER"] = "not-a-version"
        text = str(pytest.raises(ValueError, qf.VER, "not-a-version").value)
    ret = tool.initFpga(32)
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA initialization failed: " + text)
    assert ("ERROR", ret.RetMsg) in [(r.levelname, r.getMessage()) for r in caplog.records]
    if failure:
        assert link.commands() == ["FPGA_CTRL_INIT"]


def test_init_refuses_a_device_type_that_is_not_a_number(tool):
    with pytest.raises(TypeError, match="device_type"):
        tool.initFpga("32")


@pytest.mark.parametrize("reply, ok", [("0.1.0.6", True), ("0.1.1", True), ("0.1.0.5", False)])
def test_control_firmware_check(tool, link, caplog, reply, ok):
    link.replies["GET_FW_VER"] = reply
    assert tool._checkControlFwVersion() is ok
    warned = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
    assert warned == ([] if ok else [f"RIS control FW version {reply} is lower than minimum "
                                     "required version 0.1.0.6"])
    link.replies["GET_FW_VER"] = "garbage"
    with pytest.raises(ValueError):
        tool._checkControlFwVersion()


# --- the page programming engine ---------------------------------------------

def test_33_byte_image_walkthrough(tool, link, calls, tmp_path, capsys, caplog):
    caplog.set_level(logging.DEBUG, logger="FPGA")
    image = bytes(range(1, 34))
    assert tool._fpgaProgramFile(write(tmp_path, "a.bin", image), 32) is True
    assert link.wire[:2] == [b"FPGA_ERASE 12\r\n", b"FPGA_RST_PAGE_PTR CFG\r\n"]
    assert link.wire[2:5] == [b"FPGA_PROGRAM #216" + image[:16] + b"\r\n",
                              b"FPGA_PROGRAM #216" + image[16:32] + b"\r\n",
                              b"FPGA_PROGRAM #11" + image[32:] + b"\r\n"]
    assert link.commands()[5:] == ["FPGA_RST_PAGE_PTR"] + ["FPGA_READ"] * 3 + ["FPGA_DONE",
                                                                               "FPGA_REFRESH"]
    assert calls == [("write", 0, 0), ("write", 16, 33), ("write", 32, 33), ("write", 33, 33),
                     ("verify", 0, 33), ("verify", 16, 33), ("verify", 32, 33), ("verify", 48, 33)]
    out = capsys.readouterr().out
    assert progress(out) == [(48.48, 16, 33), (96.97, 32, 33), (100.0, 33, 33),
                             (48.48, 16, 33), (96.97, 32, 33), (145.45, 48, 33)]
    assert out.count("\n") == 2 and out.endswith("sec\n")
    digest = hashlib.sha256(image).hexdigest()
    msgs = caplog.messages
    assert msgs[:2] == ["w hash: " + digest, "Verify Data"]
    assert msgs[2:4] == ["r hash: " + digest, "Verify Success"]
    assert re.fullmatch(r"FPGA program file finished\. Total time: \d+\.\d{4} sec", msgs[4])


@pytest.mark.parametrize("size, blocks, reads", [(32, 2, 2), (0, 0, 0), (17, 2, 2)])
def test_pages_read_back_are_one_per_started_block(tool, link, calls, tmp_path, capsys, size,
                                                   blocks, reads):
    assert tool._fpgaProgramFile(write(tmp_path, "a.BIN", bytes(size)), 28) is True
    cmds = link.commands()
    assert cmds[0] == "FPGA_ERASE" and link.wire[0] == b"FPGA_ERASE 14\r\n"
    assert (cmds.count("FPGA_PROGRAM"), cmds.count("FPGA_READ")) == (blocks, reads)
    assert cmds[-2:] == ["FPGA_DONE", "FPGA_REFRESH"]
    if size == 0:
        assert calls == [("write", 0, 0), ("verify", 0, 0)]
    elif size == 32:
        assert progress(capsys.readouterr().out)[-1] == (100.0, 32, 32)


def test_an_unknown_device_type_is_programmed_without_an_erase(tool, link, tmp_path):
    assert tool._fpgaProgramFile(write(tmp_path, "a.bin", b"x" * 20), device_type=30.7) is True
    assert link.commands()[0] == "FPGA_RST_PAGE_PTR"
    with pytest.raises(TypeError, match="device_type"):
        tool._fpgaProgramFile(write(tmp_path, "a.bin", b"x"), "32")
    with pytest.raises(TypeError, match="image_path"):
        tool._fpgaProgramFile(None)


def test_a_tbin_sends_only_its_image(tool, link, tmp_path):
    image = bytes(range(40))
    path = write(tmp_path, "a.TBIN", tbin(image, start=200))
    assert tool._fpgaProgramFile(path, 32) is True
    assert bytes(link.flash) == image


def test_a_tbin_whose_image_starts_past_the_end_programs_nothing(tool, link, calls, tmp_path):
    path = write(tmp_path, "a.tbin", tbin(b"", start=10_000, length=4096))
    assert tool._fpgaProgramFile(path, 32) is True
    assert "FPGA_PROGRAM" not in link.commands()
    assert calls == [("write", 0, 0), ("verify", 0, 0)]


def test_a_tbin_too_short_for_its_fields_stops_after_the_erase(tool, link, tmp_path):
    with pytest.raises(struct.error):
        tool._fpgaProgramFile(write(tmp_path, "a.tbin", bytes(10)), 32)
    assert link.commands() == ["FPGA_ERASE", "FPGA_RST_PAGE_PTR"]


def test_a_refused_block_is_resent_until_accepted(tool, link, calls, tmp_path, capsys):
    link.refusals = ["1", ""]
    assert tool._fpgaProgramFile(write(tmp_path, "a.bin", b"A" * 16), 32) is True
    programs = [w for w in link.wire if w.startswith(b"FPGA_PROGRAM")]
    assert programs == [b"FPGA_PROGRAM #216" + b"A" * 16 + b"\r\n"] * 3
    assert calls[:2] == [("write", 0, 0), ("write", 16, 16)]
    assert len(progress(capsys.readouterr().out)) == 2  # one write line, one verify line


def test_a_block_refused_every_time_ends_the_run_without_done(tool, link, tmp_path, monkeypatch):
    monkeypatch.setattr(qf, "_PROGRAM_BLOCK_ATTEMPTS", 5)
    link.refusals = ["0"] + ["1"] * 10
    with pytest.raises(RuntimeError, match=r"offset 16 .* 5 times"):
        tool._fpgaProgramFile(write(tmp_path, "a.bin", bytes(40)), 32)
    cmds = link.commands()
    assert cmds.count("FPGA_PROGRAM") == 6 and "FPGA_DONE" not in cmds
    assert qf._PROGRAM_BLOCK_ATTEMPTS == 5 and link.refusals == ["1"] * 5


def test_the_callback_is_read_afresh_before_every_report(tool, link, tmp_path, capsys):
    seen = []

    def once(*args):
        seen.append(args)
        tool.set_progress_callback(None)

    tool.set_progress_callback(once)
    assert tool._fpgaProgramFile(write(tmp_path, "a.bin", bytes(48)), 32) is True
    assert seen == [("write", 0, 0)]
    assert len(progress(capsys.readouterr().out)) == 6


def test_a_read_back_mismatch_still_marks_done_and_answers_false(tool, link, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="FPGA")
    link.page_filter = lambda page, i: page.ljust(16, b"\xff")  # a device that pads the last page
    assert tool._fpgaProgramFile(write(tmp_path, "a.bin", bytes(33)), 32) is False
    assert link.commands()[-2:] == ["FPGA_DONE", "FPGA_REFRESH"]
    assert "Verify Failed" in caplog.messages
    assert any(m.startswith("FPGA program file finished.") for m in caplog.messages)


@pytest.mark.parametrize("word", ["FPGA_ERASE", "FPGA_PROGRAM", "FPGA_READ", "FPGA_DONE"])
def test_a_link_error_ends_the_run_unchanged(tool, link, tmp_path, caplog, word):
    caplog.set_level(logging.INFO, logger="FPGA")
    error = TimeoutError("no reply from h:1")
    if word == "FPGA_READ":
        link.page_filter = lambda page, i: (_ for _ in ()).throw(error)
    else:
        link.replies[word] = error
    with pytest.raises(TimeoutError) as info:
        tool._fpgaProgramFile(write(tmp_path, "a.bin", bytes(40)), 32)
    assert info.value is error
    if word != "FPGA_DONE":
        assert "FPGA_DONE" not in link.commands()
    assert not any(m.startswith("FPGA program file finished.") for m in caplog.messages)


def test_a_missing_file_fails_before_any_command(tool, link, tmp_path):
    with pytest.raises(FileNotFoundError):
        tool._fpgaProgramFile(str(tmp_path / "missing.bin"), 32)
    assert link.wire == []


def test_progress_goes_to_sys_stdout_as_it_is_at_the_time(tool, link, tmp_path, monkeypatch):
    import io
    import sys

    buf = io.StringIO()
    monkeypatch.setattr(sys, "stdout", buf)
    tool._fpgaProgramFile(write(tmp_path, "a.bin", bytes(16)), 32)
    assert len(progress(buf.getvalue())) == 2


# --- the update procedure -----------------------------------------------------

@pytest.mark.parametrize("path", [None, ""])
def test_update_without_a_path_is_refused(tool, link, caplog, path):
    ret = tool.processFpgaUpdate(path)
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA image path is not provided.")
    assert link.wire == [] and ("ERROR", ret.RetMsg) in [(r.levelname, r.getMessage())
                                                         for r in caplog.records]


def test_update_refusals_send_nothing(tool, link, tmp_path):
    assert tool.processFpgaUpdate(str(tmp_path / "none.bin")).RetMsg == "FPGA update file check failed."
    bad = tbin(b"image")  # digests are zero: never match
    assert tool.processFpgaUpdate(write(tmp_path, "a.tbin", bad)).RetMsg == \
        "FPGA image header check failed."
    assert link.wire == []
    with pytest.raises(TypeError, match="image_path"):
        tool.processFpgaUpdate(b"a.bin")


def test_update_reports_a_failed_verification(tool, link, tmp_path):
    link.page_filter = lambda page, i: page[::-1]
    ret = tool.processFpgaUpdate(write(tmp_path, "a.bin", bytes(range(20))))
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
    assert link.commands()[-2:] == ["FPGA_DONE", "FPGA_REFRESH"]


@pytest.mark.parametrize("device_type, info, version, last", [
    (32, None, "1.2.3.4", "GET_FPGA_VER"),
    (28, '{"a": {"fpga_ver": "3.1.0.0"}, "b": {"fpga_ver": "x"}}', "3.1.0.0", "GET_FE_INFO"),
    (28, '{"a": {"fpga_ver": 7}}', 7, "GET_FE_INFO"),
    (28, '{"a": {}}', "", "GET_FE_INFO"),
    (28, "{}", "", "GET_FE_INFO"),
    (30, None, "", "FPGA_REFRESH"),
])
def test_update_reads_the_new_version_by_device_type(tool, link, tmp_path, caplog, device_type,
                                                     info, version, last):
    caplog.set_level(logging.INFO, logger="FPGA")
    if info is not None:
        link.replies["GET_FE_INFO"] = info
    ret = tool.processFpgaUpdate(write(tmp_path, "a.bin", bytes(range(20))), device_type)
    assert ret.RetCode is RetCode.OK and ret.RetMsg == ""
    assert list(ret.RetData.items()) == [("success", True), ("error_message", ""),
                                         ("fw_version", version)]
    assert link.commands()[-1] == last
    assert caplog.messages[-2:] == [f"Updated FPGA version: {version}",
                                    "FPGA update process completed successfully."]


@pytest.mark.parametrize("info, error", [("not json", json.JSONDecodeError),
                                         ("[1]", AttributeError), ('{"a": 1}', AttributeError)])
def test_update_lets_a_bad_info_reply_raise_after_programming(tool, link, tmp_path, info, error):
    link.replies["GET_FE_INFO"] = info
    with pytest.raises(error):
        tool.processFpgaUpdate(write(tmp_path, "a.bin", b"abc"), 28)
    assert link.commands()[-3:] == ["FPGA_DONE", "FPGA_REFRESH", "GET_FE_INFO"]


def test_update_calls_the_engine_through_self_by_name(tool, tmp_path):
    seen = []
    tool._fpgaProgramFile = lambda *a, **kw: seen.append((a, kw)) or True
    path = write(tmp_path, "a.bin", b"abc")
    assert tool.processFpgaUpdate(path, 30.5).RetCode is RetCode.OK
    assert seen == [((), {"image_path": path, "device_type": 30})]


def test_progress_survives_a_stdout_that_rebinds_itself_and_has_no_flush(tool, tmp_path,
                                                                        monkeypatch):
    import sys

    class Minimal:  # what print() needs: write() alone
        def __init__(self):
            self.text = []

        def write(self, s):
            self.text.append(s)

    later = Minimal()

    class Rebinding(Minimal):
        def write(self, s):
            sys.stdout = later  # frees this object while the engine still uses it

    monkeypatch.setattr(sys, "stdout", Rebinding())
    assert tool._fpgaProgramFile(write(tmp_path, "a.bin", bytes(40)), 32) is True
    assert len(progress("".join(later.text))) == 5


def test_any_other_int_device_type_programs_without_an_erase(tool, link, tmp_path):
    assert tool._fpgaProgramFile(write(tmp_path, "a.bin", b"abc"), 2**70) is True
    assert "FPGA_ERASE" not in link.commands()
    assert tool.processFpgaUpdate(write(tmp_path, "b.bin", b"abc"), 2**70).RetData["fw_version"] == ""


@pytest.mark.parametrize("where", ["module global", "time module"])
def test_block_and_total_times_come_from_the_module_clocks(tool, tmp_path, capsys, caplog,
                                                           monkeypatch, where):
    import itertools
    import time
    import types

    wall = itertools.count(1000.0, 0.25)  # every call a quarter second later
    mono = itertools.count(5.0, 1.5)
    fake_wall, fake_mono = (lambda: next(wall)), (lambda: next(mono))
    if where == "module global":
        monkeypatch.setattr(qf, "time", types.SimpleNamespace(time=fake_wall, monotonic=fake_mono))
    else:
        monkeypatch.setattr(time, "time", fake_wall)
        monkeypatch.setattr(time, "monotonic", fake_mono)
    caplog.set_level(logging.INFO, logger="FPGA")
    tool._fpgaProgramFile(write(tmp_path, "a.bin", bytes(20)), 32)
    out = capsys.readouterr().out
    assert out.count("block time: 0.2500 sec") == 4
    assert "FPGA program file finished. Total time: 1.5000 sec" in caplog.messages
