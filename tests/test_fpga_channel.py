"""FpgaTool's command channel and command set: framing, replies, ownership."""

import functools
import inspect
import logging

import pytest

import quorvex.QVRFpga as qf
from quorvex.QVRFpga import FpgaTool
from quorvex.QVRUtils import RetType, _RspType

from conftest import FakeLink


class ScriptedLink(FakeLink):
    """Answers every text command with one fixed RetData and every raw read
    with fixed bytes."""

    def __init__(self, data=None, raw=b""):
        super().__init__()
        self.data, self.raw = data, raw

    def sendCmd(self, data, rsp_type):
        self.wire.append(bytes(data))
        self.rsp_types.append(rsp_type)
        return RetType(data=self.data)

    def recvRawBytes(self, size):
        self.sizes = getattr(self, "sizes", []) + [size]
        return self.raw


@pytest.mark.parametrize("cmd", ["FPGA_GET_ID", b"FPGA_GET_ID"])
def test_text_and_bytes_commands_put_the_same_bytes_on_the_wire(cmd):
    link = ScriptedLink(data="ID")
    assert FpgaTool(link)._sendCmd(cmd) == "ID"
    assert link.wire == [b"FPGA_GET_ID\r\n"]
    assert link.rsp_types == [_RspType.RSP_LIST]


def test_text_is_encoded_as_utf8_and_unencodable_text_is_refused():
    link = ScriptedLink(data="0")
    tool = FpgaTool(link)
    tool._sendCmd("MODE \u00e9")
    assert link.wire == ["MODE \u00e9\r\n".encode()]
    with pytest.raises(UnicodeEncodeError):
        tool._sendCmd("bad \ud800")


@pytest.mark.parametrize("data, expected", [(None, ""), ("", ""), (" 0\r\n", " 0\r\n")])
def test_text_replies_come_back_untrimmed_and_no_data_is_empty_text(data, expected):
    assert FpgaTool(ScriptedLink(data=data))._sendCmd("X") == expected


@pytest.mark.parametrize(
    "raw, expected",
    [(b"#216" + bytes(range(16)) + b"\r\n", bytes(range(16))), (b"#2\r\n0", b""), (b"", b"")],
)
def test_raw_replies_drop_four_header_and_two_trailer_bytes(raw, expected):
    link = ScriptedLink(raw=raw)
    assert FpgaTool(link)._fpgaRead() == expected
    assert link.wire == [b"FPGA_READ\r\n"]
    assert link.sizes == [1024]


def test_raw_reply_decoded_when_asked_and_logged_only_at_debug(caplog):
    link = ScriptedLink(raw=b"#203abc\r\n")
    tool = FpgaTool(link)
    with caplog.at_level(logging.DEBUG, logger="FPGA"):
        assert tool._sendCmd("Q", log_print=True, size=7, isdecode=True) == ""  # text mode
        assert caplog.records == []
        assert tool._sendCmd("Q", log_print=True, size=7, isdecode=False) == b"abc"
    assert link.sizes == [7]
    assert [r.getMessage() for r in caplog.records] == ["Received data: b'abc'"]
    with pytest.raises(UnicodeDecodeError):
        FpgaTool(ScriptedLink(raw=b"\xff\r\n"))._getRecv()


@pytest.mark.parametrize(
    "call, wire",
    [
        (lambda t: t._fpgaCfgMode("TRANS"), b"FPGA_CFG_MODE TRANS\r\n"),
        (lambda t: t._fpgaCfgMode(b"TRANS"), b"FPGA_CFG_MODE TRANS\r\n"),
        (lambda t: t._fpgaErase(12), b"FPGA_ERASE 12\r\n"),
        (lambda t: t._fpgaRstPagePtr(""), b"FPGA_RST_PAGE_PTR \r\n"),
        (lambda t: t._fpgaCtrlInit(), b"FPGA_CTRL_INIT\r\n"),
        (lambda t: t._fpgaGetVersion(), b"GET_FPGA_VER\r\n"),
        (lambda t: t._fpgaDone(), b"FPGA_DONE\r\n"),
        (lambda t: t._fpgaRefresh(), b"FPGA_REFRESH\r\n"),
        (lambda t: t._fpgaGetInfo(), b"GET_FE_INFO\r\n"),
        (lambda t: t._fpgaGetControlFwVer(), b"GET_FW_VER\r\n"),
        (lambda t: t._fpgaGetSerialNumber(), b"GET_SN\r\n"),
    ],
)
def test_command_set_wire_bytes(call, wire):
    link = ScriptedLink(data="r")
    assert call(FpgaTool(link)) == "r"
    assert link.wire == [wire]


@pytest.mark.parametrize("n, header", [(0, b"#10"), (8, b"#18"), (16, b"#216"), (100, b"#3100"),
                                       (1000, b"#41000")])
def test_program_block_is_a_definite_length_block(n, header):
    link = ScriptedLink(data="0")
    block = bytes((i * 7) & 0xFF for i in range(n))
    assert FpgaTool(link)._fpgaProgram(block) is True
    assert link.wire == [b"FPGA_PROGRAM " + header + block + b"\r\n"]


def test_program_block_holding_crlf_is_sent_whole():
    link = FakeLink()
    tool = FpgaTool(link)
    block = b"\r\n" * 8
    assert tool._fpgaProgram(block) is True
    assert bytes(link.flash) == block


@pytest.mark.parametrize("reply, accepted", [
    ("0", True), (" 0 ", True), ("0\r\n", True), ("\t0\n", True),
    ("00", False), ("0 0", False), ("1", False), ("OK", False), ("", False), (None, False),
    # White space is what str.strip() removes, no more and no less.
    ("\u00a00\u3000", True), ("\x1c\u20000\u205f\x1f", True), ("\u200b0", False),
    ("0\x00", False), ("\ud8000", False), ("\uff10", False),
])
def test_program_acceptance_is_zero_after_trimming(reply, accepted):
    assert FpgaTool(ScriptedLink(data=reply))._fpgaProgram(b"x") is accepted


def test_program_refuses_text_before_sending():
    link = ScriptedLink(data="0")
    with pytest.raises(TypeError, match="data_block"):
        FpgaTool(link)._fpgaProgram("text")
    assert link.wire == []


class RecordingTCPConn(FakeLink):
    made = []
    connect_result = True

    def __init__(self, address, port):
        super().__init__()
        self.args = (address, port)
        self.init_calls = 0
        RecordingTCPConn.made.append(self)

    def initConnection(self):
        self.init_calls += 1
        return self.connect_result


@pytest.fixture
def tcp(monkeypatch):
    import quorvex.QVRCommService as comm

    RecordingTCPConn.made = []
    RecordingTCPConn.connect_result = True
    monkeypatch.setattr(comm, "_TCPConn", RecordingTCPConn)
    return RecordingTCPConn


def test_a_given_link_is_used_as_it_is_and_never_closed(tcp, caplog):
    link = FakeLink()
    tool = FpgaTool(link, address="10.0.0.1", port=1)
    assert tool._conn is link and tool._owns_conn is False and tool.progress_callback is None
    assert tcp.made == []
    tool.disconnect()
    assert link.closed == 0 and "Disconnected" not in caplog.text


def test_an_owned_link_is_opened_and_closed_on_every_disconnect(tcp, caplog):
    caplog.set_level(logging.INFO, logger="FPGA")
    tool = FpgaTool(address="dev.example", port=5026)
    (link,) = tcp.made
    assert link.args == ("dev.example", 5026) and link.init_calls == 1
    assert tool._conn is link and tool._owns_conn is True
    tool.disconnect()
    tool.disconnect()
    assert link.closed == 2
    assert caplog.messages.count("Disconnected from FPGA device.") == 2


def test_constructor_errors(tcp):
    with pytest.raises(ValueError, match="^Either connection or address must be provided$"):
        FpgaTool()
    tcp.connect_result = False
    with pytest.raises(ConnectionError, match="^Cannot connect to 10.1.2.3:5025$"):
        FpgaTool(address="10.1.2.3")
    with pytest.raises(TypeError, match="address"):
        FpgaTool(address=1234)
    with pytest.raises(TypeError, match="port"):
        FpgaTool(address="h", port="5025")


def test_disconnect_runs_a_subclass_cleanup_and_still_closes_when_it_fails(tcp, caplog):
    caplog.set_level(logging.INFO, logger="FPGA")

    class Tool(FpgaTool):
        def deleteTempFile(self):
            raise OSError("busy")

    tool = Tool(address="h")
    with pytest.raises(OSError, match="busy"):
        tool.disconnect()
    assert tcp.made[0].closed == 1
    assert "Disconnected from FPGA device." in caplog.messages


def test_progress_callback_is_kept_and_cleared():
    tool = FpgaTool(FakeLink())
    cb = lambda *a: None  # noqa: E731
    tool.set_progress_callback(cb)
    assert tool.progress_callback is cb
    tool.set_progress_callback(None)
    assert tool.progress_callback is None


def test_every_command_goes_through_a_patched_sendCmd():
    link = FakeLink()
    tool = FpgaTool(link)
    seen = []
    tool._sendCmd = lambda cmd, **kw: seen.append((cmd, kw)) or "0"
    tool._fpgaGetId()
    tool._fpgaErase("14")
    assert tool._fpgaProgram(b"ab") is True
    tool._fpgaRead()
    assert seen == [(b"FPGA_GET_ID", {}), (b"FPGA_ERASE 14", {}), (b"FPGA_PROGRAM #12ab", {}),
                    (b"FPGA_READ", {"isdecode": False})]
    assert link.wire == []


def test_subclass_overrides_are_used_by_the_class_own_operations():
    class Tool(FpgaTool):
        def _sendCmd(self, cmd, log_print=False, size=1024, isdecode=True):
            return "patched " + cmd.decode()

    assert Tool(FakeLink())._fpgaGetId() == "patched FPGA_GET_ID"


def test_signatures_and_order_match_the_interface():
    sig = {name: str(inspect.signature(getattr(FpgaTool, name))) for name in vars(FpgaTool)
           if callable(getattr(FpgaTool, name)) and not name.startswith("__")}
    assert sig["_sendCmd"] == "(self, cmd, log_print=False, size=1024, isdecode=True)"
    assert sig["_getRecv"] == "(self, log_print=False, size=1024, isdecode=True)"
    assert sig["_fpgaProgram"] == "(self, data_block)"
    assert sig["_fpgaErase"] == "(self, erase_bits)"
    assert sig["_fpgaProgramFile"] == "(self, image_path, device_type=28)"
    assert sig["initFpga"] == "(self, device_type, disable_fw_check=False)"
    assert sig["processFpgaUpdate"] == "(self, image_path=None, device_type=32)"
    assert str(inspect.signature(FpgaTool)) == "(connection=None, address=None, port=5025)"
    assert list(sig) == [
        "_getRecv", "_sendCmd", "_fpgaCtrlInit", "_fpgaGetId", "_fpgaGetVersion", "_fpgaCfgMode",
        "_fpgaErase", "_fpgaRstPagePtr", "_fpgaProgram", "_fpgaRead", "_fpgaDone", "_fpgaRefresh",
        "_fpgaGetInfo", "_fpgaGetControlFwVer", "_fpgaGetSerialNumber", "_fpgaProgramFile",
        "_checkControlFwVersion", "_checkUpdateFile", "_checkFileHeader", "initFpga",
        "set_progress_callback", "processFpgaUpdate", "disconnect", "_updateUnder"]
    assert FpgaTool.__module__ == "quorvex.QVRFpga" and FpgaTool.__bases__ == (object,)


def test_native_operations_bind_arguments_like_python_functions():
    tool = FpgaTool(ScriptedLink(data="x"))
    assert tool._sendCmd(cmd="A", isdecode=True) == "x"
    for bad, word in [((), "cmd"), (("A",), "nope"), (("A", 1, 2, 3, 4), "positional")]:
        with pytest.raises(TypeError, match=word):
            tool._sendCmd(*bad, **({"nope": 1} if word == "nope" else {}))
    with pytest.raises(TypeError, match="multiple values"):
        tool._sendCmd("A", cmd="B")
    # functools.wraps and attributes work on them as on Python functions
    wrapped = functools.wraps(FpgaTool._fpgaGetId)(lambda self: "w")
    assert wrapped.__name__ == "_fpgaGetId" and wrapped.__qualname__ == "FpgaTool._fpgaGetId"
    FpgaTool._fpgaGetId.note = 1
    assert FpgaTool._fpgaGetId.__dict__["note"] == 1


def test_module_constants_and_names():
    assert (qf._RECV_SIZE, qf._FPGA_FW_VER_MIN, qf._FPGA_VER_MIN_DEV28, qf._FPGA_VER_MIN_DEV32) == (
        1024, "0.1.0.6", "1.1.0.0", "0.2.3.4")
    assert qf._DEVICE_WHITELIST == [32] and qf.logger.name == "FPGA"
    assert qf.RspType is _RspType and qf.RetType is RetType
    assert len(qf._TBIN_KEY_PREFIX) == 8 and qf._TBIN_KEY_PREFIX.isdigit()


def test_a_class_from_an_earlier_import_keeps_reading_its_own_module(monkeypatch):
    import importlib
    import sys

    import quorvex

    old_tool = FpgaTool(FakeLink())
    monkeypatch.delitem(sys.modules, "quorvex.QVRFpga")
    monkeypatch.setattr(quorvex, "QVRFpga", qf)  # put back afterwards, as sys.modules is
    fresh = importlib.import_module("quorvex.QVRFpga")
    assert fresh is not qf
    monkeypatch.setattr(qf, "_DEVICE_WHITELIST", [28])
    assert old_tool.initFpga(28).RetCode.name == "OK"
    assert fresh.FpgaTool(FakeLink()).initFpga(28).RetCode.name == "WARNING"


def test_binding_errors_read_as_a_python_function_would_word_them():
    tool = FpgaTool(FakeLink())
    with pytest.raises(TypeError, match=r"^FpgaTool\._sendCmd\(\) takes from 2 to 5 positional"):
        tool._sendCmd(1, 2, 3, 4, 5)
    with pytest.raises(TypeError, match=r"^FpgaTool\.initFpga\(\) missing 1 required positional "
                                        r"argument: 'device_type'$"):
        tool.initFpga()
