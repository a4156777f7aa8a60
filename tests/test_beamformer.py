"""TCPBeamformer, the host device class over TCP: what the device (the
emulator) sees of parallel mode, the fast-beam sync, gains and patterns, and
the exact command lines on the wire."""

import pytest

from quorvex.QVRPublic import FBSMode, RFMode
from quorvex.QVRUtils import RetCode, RetType
from quorvex.qvrdev import TCPBeamformer as module
from quorvex.qvrdev.BeamPatternManager import BeamPatternManager
from quorvex.qvrdev.TCPBeamformer import TCPBeamformer


@pytest.fixture
def dev(emu):
    with TCPBeamformer(emu.host, emu.port, delay_scale=0) as d:
        yield d


class WireLink:
    """Records the command lines; answers from a list, "0" when it runs out."""

    def __init__(self, *replies):
        self.lines, self.replies, self.closed = [], list(replies), 0

    def sendCmd(self, data, rsp_type):
        self.lines.append(data)
        return RetType(data=(self.replies.pop(0) if self.replies else "0") + "\r\n")

    def closeConnection(self):
        self.closed += 1


def test_parallel_mode_reaches_the_device_and_reads_back(emu, dev):
    assert dev.setFastParallelMode(True).RetCode is RetCode.OK
    state = emu.state()
    assert (state["ext_ctrl"], state["ext_mode"]) == (1, int(FBSMode.FULL_GAIN_PHASE))
    assert dev.getFastParallelMode().RetData is True and dev.external_control_enabled
    dev.setFastParallelMode(False, FBSMode.GAIN_ONLY)
    assert (emu.state()["ext_ctrl"], dev.getFastParallelMode().RetData) == (0, False)


def test_sync_erases_the_store_reboots_and_applies(emu, dev, monkeypatch):
    assert dev.setFastBeamGain(RFMode.TX, 1, True, 5, 6).RetCode is RetCode.OK
    assert emu.state()["applied_gains"]
    slept = []
    monkeypatch.setattr(module.time, "sleep", slept.append)
    dev.delay_scale = 0.25
    emu.reset_counters()

    assert dev.syncFastBeamConfig().RetCode is RetCode.OK
    state, count = emu.state(), emu.counters()
    assert state["reboots"] == 1 and not state["store_enabled"]
    assert state["stored_gains"] == state["applied_gains"] == {}
    assert [count[k] for k in ("BEAM_PATTERN_STORE_EN", "BEAM_PATTERN_ERASE", "REBOOT",
                               "BEAM_PATTERN_APPLY_BFIC")] == [2, 1, 1, 1]
    assert slept == [0.5, 0.5]  # user_delay 2 after the erase and after the apply


def test_gains_and_patterns_are_stored_applied_and_read_back(emu, dev):
    assert dev._beam_pattern_mgr is None  # created on first use only
    assert dev.setFastBeamGain(RFMode.RX, 7, 1, com_gain=12, ele_gain=-3.9).RetCode is RetCode.OK
    assert dev.setFastBeamPatternThetaPhi(7, 28.5, 20.25, -45).RetCode is RetCode.OK
    state = emu.state()
    gain = {"enable": True, "com_gain": 12, "ele_gain": -3}
    assert state["stored_gains"] == state["applied_gains"] == {("RX", 7): gain}
    assert state["applied_patterns"] == {7: {"rf_freq": 28.5, "theta": 20.25, "phi": -45.0}}
    assert not state["store_enabled"]
    assert dev.getFastBeamGain(RFMode.RX, 7).RetData == gain
    assert dev.getFastBeamPattern(7).RetData == {"rf_freq": 28.5, "theta": 20.25, "phi": -45.0}
    assert dev.beam_pattern_mgr.beam(RFMode.RX, 7)["com_gain"] == 12
    assert dev.getFastBeamGain(RFMode.TX, 7).RetCode is RetCode.ERROR  # never stored


@pytest.mark.parametrize("azimuth, elevation, theta, phi", [
    (0, 0, 0, 0), (90, 0, 90, 0), (-90, 0, 90, 180), (0, 90, 90, 90), (30, 0, 30, 0),
])
def test_azimuth_and_elevation_become_theta_and_phi(emu, dev, azimuth, elevation, theta, phi):
    assert dev.setFastBeamPatternAzEl(2, 10.0, azimuth, elevation).RetCode is RetCode.OK
    stored = emu.state()["stored_patterns"][2]
    assert stored["theta"] == pytest.approx(theta, abs=1e-9)
    assert stored["phi"] == pytest.approx(phi, abs=1e-9)


def test_a_refused_store_is_an_error_and_leaves_the_store_disabled(emu, dev):
    ret = dev.setFastBeamGain(RFMode.TX, 3, True, com_gain=2 ** 70)  # beyond the device
    assert ret.RetCode is RetCode.ERROR and "BEAM_PATTERN_STORE_FBS_BEAM" in ret.RetMsg
    state = emu.state()
    assert not state["store_enabled"] and state["stored_gains"] == {}
    assert emu.counters()["BEAM_PATTERN_APPLY_BFIC"] == 0
    assert dev.beam_pattern_mgr.beam(RFMode.TX, 3) == {}


@pytest.mark.parametrize("call", [
    lambda d: d.setFastBeamGain(RFMode.TX, 64, True),
    lambda d: d.setFastBeamPatternThetaPhi(-1, 1.0, 0, 0),
])
def test_a_beam_the_device_lacks_is_refused_without_a_command(emu, dev, call):
    ret = call(dev)
    assert ret.RetCode is RetCode.ERROR and "beam_id must be in 0..63" in ret.RetMsg
    assert sum(v for k, v in emu.counters().items() if k.isupper()) == 0


def test_arguments_are_checked_like_the_base_operations(dev):
    with pytest.raises(TypeError, match="beam_id"):
        dev.setFastBeamPatternAzEl("2", 1.0, 0, 0)
    with pytest.raises(TypeError, match="com_gain"):
        dev.setFastBeamGain(RFMode.TX, 1, True, com_gain="3")


def test_command_lines_on_the_wire():
    link = WireLink("0", "1", "0", "-5", "0", "0")
    dev = TCPBeamformer(link=link, delay_scale=0)
    assert dev.setFastParallelMode(True).RetCode is RetCode.OK
    assert dev.getFastParallelMode().RetData is True
    ret = dev.setFastBeamGain(RFMode.TX, 3, True, 12, -3)
    assert ret.RetCode is RetCode.ERROR and "-5" in ret.RetMsg
    assert dev._reboot().RetCode is RetCode.OK
    assert link.lines == [
        b"ExtCtrl_EN 1,%d\r\n" % int(FBSMode.FULL_GAIN_PHASE), b"ExtCtrl_EN?\r\n",
        b"BEAM_PATTERN_STORE_EN 1\r\n", b"BEAM_PATTERN_STORE_FBS_BEAM TX,3,1,12,-3\r\n",
        b"BEAM_PATTERN_STORE_EN 0\r\n", b"REBOOT\r\n"]
    dev.close()
    assert link.closed == 0  # a link handed in stays the caller's


def test_the_link_it_opens_is_closed_and_an_absent_device_named(emu):
    with TCPBeamformer(emu.host, emu.port) as d:
        pass
    with pytest.raises(ConnectionError, match="closed"):
        d.getFastParallelMode()
    emu.close()
    # Named as quorvex-fpga names it, with the reason the link gave.
    with pytest.raises(ConnectionError,
                       match=f"^Cannot connect to {emu.host}:{emu.port}: .*refused"):
        TCPBeamformer(emu.host, emu.port, timeout=2)


@pytest.mark.parametrize("query, reply", [
    (lambda d: d.getFastParallelMode(), "-1"), (lambda d: d.getFastParallelMode(), "-2"),
    (lambda d: d.getFastParallelMode(), ""), (lambda d: d.getFastBeamGain(RFMode.TX, 3), "-6"),
    (lambda d: d.getFastBeamPattern(3), ""),
])
def test_a_query_the_device_refuses_is_an_error_not_a_value(query, reply):
    link = WireLink(reply)
    ret = query(TCPBeamformer(link=link, delay_scale=0))
    assert ret.RetCode is RetCode.ERROR and ret.RetData is None
    sent = link.lines[0].decode().strip()
    assert ret.RetMsg == f"{sent!r} refused by the device: {reply!r}"


@pytest.mark.parametrize("rf_mode, name", [
    (RFMode.RX, "RX"), ("rx", "RX"), ("TX", "TX"), (0, "TX"), (1, "RX"),
    ("up", ValueError), (5, ValueError), (1.0, TypeError), (None, TypeError), (True, TypeError),
])
def test_rf_mode_is_a_member_its_name_or_its_value(rf_mode, name):
    link = WireLink("1,2,3")
    dev = TCPBeamformer(link=link, delay_scale=0)
    if isinstance(name, str):
        assert dev.getFastBeamGain(rf_mode, 4).RetData["com_gain"] == 2
        assert link.lines == [b"BEAM_PATTERN_STORE_FBS_BEAM? %s,4\r\n" % name.encode()]
    else:
        with pytest.raises(name, match="rf_mode"):
            dev.getFastBeamGain(rf_mode, 4)
        assert link.lines == []


def test_a_pattern_the_device_took_is_kept_by_a_manager_without_rx_beams():
    class TxOnly(TCPBeamformer):
        def _create_beam_pattern_mgr(self):
            return BeamPatternManager(beam_count=4, modes=(RFMode.TX,))

    dev = TxOnly(link=WireLink(), delay_scale=0)
    assert dev.setFastBeamPatternThetaPhi(2, 28.0, 20.0, 45.0).RetCode is RetCode.OK
    assert dev.beam_pattern_mgr.beam(RFMode.TX, 2) == {"rf_freq": 28.0, "theta": 20.0, "phi": 45.0}
