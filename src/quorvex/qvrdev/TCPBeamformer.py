"""A beamforming device with fast beam switching, reached over TCP.

`TCPBeamformer` is the smallest complete device class on top of
`LobeSwitchDirector`: copy it to start a class for a new device. It speaks
the line protocol of our devices (and of `quorvex.emulator`), one command
and one reply line at a time over a `_TCPConn`::

    from quorvex.qvrdev.TCPBeamformer import TCPBeamformer
    from quorvex.QVRPublic import RFMode

    with TCPBeamformer("192.0.2.10") as dev:
        dev.setFastParallelMode(True)
        dev.setFastBeamGain(RFMode.TX, 3, True, com_gain=12, ele_gain=-3)
        dev.setFastBeamPatternThetaPhi(3, 28.0, 20.0, 45.0)
        print(dev.getFastBeamGain(RFMode.TX, 3).RetData)
"""

from __future__ import annotations

import math
import numbers
import re
import time
from typing import (TYPE_CHECKING, Any, Callable, Optional, Protocol, SupportsInt, TypeVar,
                    Union, cast)

from .._netaddr import connect_error, parse_address
from ..QVRPublic import RFMode
from ..QVRUtils import RetCode, RetType, _RspType
from .BeamPatternManager import BeamPatternManager
from .LobeSwitchDirector import LobeSwitchDirector

if TYPE_CHECKING:
    from ..QVRCommService import _TCPConn

__all__ = ["TCPBeamformer"]

# A query's refusal: a negative number where its value should be.
_REFUSAL = re.compile(r"-[0-9]+")

# An RF mode as an RFMode, its name ("tx", any case) or its value.
RFModeLike = Union[RFMode, str, int]


class DeviceLink(Protocol):
    """What the class needs of a link handed in: quorvex.QVRCommService's
    _TCPConn is one."""

    def sendCmd(self, data: bytes, rsp_type: _RspType, /) -> RetType: ...


_Self = TypeVar("_Self", bound="TCPBeamformer")


def _int(name: str, value: object) -> int:
    if isinstance(value, numbers.Real):
        return int(cast("SupportsInt", value))  # a fraction is cut toward zero
    raise TypeError(f"{name} must be int, not {type(value).__name__}")


def _mode_name(rf_mode: RFModeLike) -> str:
    """The name of an RF mode given as an RFMode, its name ("tx") or its value."""
    if isinstance(rf_mode, RFMode):
        return rf_mode.name
    if isinstance(rf_mode, str):
        mode = RFMode.__members__.get(rf_mode.upper())
    elif isinstance(rf_mode, numbers.Integral) and not isinstance(rf_mode, bool):
        mode = RFMode._value2member_map_.get(int(rf_mode))
    else:
        raise TypeError(f"rf_mode must be an RFMode, its name or its value, "
                        f"not {type(rf_mode).__name__}")
    if mode is None:
        choices = ", ".join(f"{m.name} ({m.value})" for m in RFMode)
        raise ValueError(f"rf_mode must be one of {choices}, not {rf_mode!r}")
    return mode.name


def _host_port(address: str, port: int) -> tuple[str, int]:
    """`address` as the command line takes it (HOST, HOST:PORT, [IPV6]:PORT
    or a bare IPv6 address), `port` where it names none. ValueError for a bad
    address, or one whose port differs from a `port` other than 5025."""
    host, named = parse_address(address, port)
    if named != port and port != 5025:
        raise ValueError(f"address {address!r} names port {named}, and port={port} another")
    return host, named


class TCPBeamformer(LobeSwitchDirector):
    """A device with fast beam switching at `address`:`port`; `address` may
    name its port as the command line's --address does ("192.0.2.10:15025",
    "[2001:db8::1]:15025").

    Wire format. A command is the keyword from `_fbs_cmd_dict()`, a space and
    the argument, then CR LF ("ExtCtrl_EN 1,2"); a command without an argument
    is the keyword alone. Setting commands answer "0"; any other number is a
    refusal and becomes `RetType(RetCode.ERROR, ...)`. Queries answer their value,
    which becomes `RetType(data=text)`; an empty reply or a negative number (an
    error code) instead of the value is a refusal as well.

    The beam store takes comma-separated fields:

        BEAM_PATTERN_STORE_FBS_BEAM  <rf_mode>,<beam_id>,<enable>,<com_gain>,<ele_gain>
            gains of one beam: rf_mode TX or RX, enable 1 or 0, gains integers
        BEAM_PATTERN_STORE_TDBS_BEAM <beam_id>,<rf_freq>,<theta>,<phi>
            pattern of one beam: decimal numbers (GHz and degrees here)

    and the same keywords with "?" and the leading key fields read one entry
    back ("BEAM_PATTERN_STORE_FBS_BEAM? TX,3" answers "1,12,-3"). The store
    takes writes only while it is enabled ("BEAM_PATTERN_STORE_EN 1"), and what
    is stored reaches the beamformer ICs with "BEAM_PATTERN_APPLY_BFIC". So
    each gain or pattern setter sends: store enable 1, the entry, store
    enable 0, apply (user_delay 2); the getters read the stored entry.

    The link is opened here and closed by `close()` (or at the end of a
    `with` block); a `link` handed in (any object with `sendCmd`) stays the
    caller's. `user_delay` arguments are seconds to wait after a command for
    the device to settle; `delay_scale` multiplies them (0 skips the waits,
    for tests and the emulator).
    """

    delay_scale: float = 1.0

    def __init__(self, address: Optional[str] = None, port: int = 5025, *,
                 link: Optional[DeviceLink] = None, timeout: float = 10.0,
                 delay_scale: Optional[float] = None, beam_count: int = 64) -> None:
        self._owns_link: bool
        self._link: DeviceLink
        if link is None:
            from ..QVRCommService import _TCPConn

            if not isinstance(address, str):  # as _TCPConn would refuse it
                raise TypeError(f"address must be str, not {type(address).__name__}")
            address, port = _host_port(address, port)
            link = tcp = _TCPConn(address, port, timeout=timeout)
            if not tcp.initConnection():
                raise connect_error(address, port, tcp.last_error)
            self._owns_link = True
        else:
            self._owns_link = False
        self._link = link
        self._beam_count = beam_count
        if delay_scale is not None:
            self.delay_scale = delay_scale

    def close(self) -> None:
        if self._owns_link:
            cast("_TCPConn", self._link).closeConnection()  # the link made in __init__

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # --- one command, one reply ------------------------------------------------

    def _send(self, keyword: str, rsp_type: _RspType, arg: object = None,
              user_delay: float = 0) -> tuple[str, str]:
        line = keyword if arg is None else f"{keyword} {arg}"
        reply = self._link.sendCmd(f"{line}\r\n".encode(), rsp_type).RetData or ""
        if user_delay and self.delay_scale:
            time.sleep(user_delay * self.delay_scale)
        return line, reply.strip()

    def _set(self, op: str, arg: object = None, user_delay: float = 0) -> RetType:
        """A setting command of the table: "0" is success."""
        line, reply = self._send(*self._fbs_cmd_dict()[op], arg, user_delay)
        if reply == "0":
            return RetType(data=reply)
        return RetType(RetCode.ERROR, f"{line!r} refused by the device: {reply!r}")

    def _query(self, op: str, arg: object = None, suffix: str = "") -> RetType:
        """A query of the table (or a setting keyword + "?"): its value."""
        keyword, rsp_type = self._fbs_cmd_dict()[op]
        line, reply = self._send(keyword + suffix, rsp_type, arg)
        if not reply or _REFUSAL.fullmatch(reply):  # the device's error codes
            return RetType(RetCode.ERROR, f"{line!r} refused by the device: {reply!r}")
        return RetType(data=reply)

    # --- the host device operations LobeSwitchDirector calls ---------------------

    def _getExtCtrl(self) -> RetType:
        return self._query("_getExtCtrl")

    def _setExtCtrl(self, value: str) -> RetType:
        return self._set("_setExtCtrl", value)

    def _setBeamPatternEnable(self, enable: str) -> RetType:
        return self._set("_setBeamPatternEnable", enable)

    def _getBeamPatternEnable(self) -> RetType:
        return self._query("_getBeamPatternEnable")

    def _eraseBeamPattern(self, user_delay: float = 0) -> RetType:
        return self._set("_eraseBeamPattern", user_delay=user_delay)

    def _applyBeamPatternToBFIC(self, user_delay: float = 0) -> RetType:
        return self._set("_applyBeamPatternToBFIC", user_delay=user_delay)

    def _setBeamPatternStoreFBS(self, fields: str) -> RetType:
        return self._set("_setBeamPatternStoreFBS", fields)

    def _setBeamPatternStoreTDBS(self, fields: str) -> RetType:
        return self._set("_setBeamPatternStoreTDBS", fields)

    def _reboot(self) -> RetType:
        line, reply = self._send("REBOOT", _RspType.RSP_STRING)
        if reply == "0":
            return RetType(data=reply)
        return RetType(RetCode.ERROR, f"'REBOOT' refused by the device: {reply!r}")

    def _create_beam_pattern_mgr(self) -> BeamPatternManager:
        return BeamPatternManager(beam_count=self._beam_count)

    # --- gains and patterns ----------------------------------------------------------

    def _store(self, write: Callable[[str], RetType], fields: str) -> RetType:
        """One entry written with the store enabled, then applied. (Not the
        beam-pattern setup of eraseFastBeamConfig: that erases the store.)"""
        ret = self._setBeamPatternEnable("1")
        if ret.RetCode is not RetCode.OK:
            return ret
        try:
            ret = write(fields)
        finally:
            self._setBeamPatternEnable("0")
        if ret.RetCode is RetCode.OK:
            self._applyBeamPatternToBFIC(user_delay=2)
        return ret

    def _beam(self, rf_mode: RFMode, beam_id: int) -> Optional[dict[str, Any]]:
        """The manager's entry of a beam; None for a beam the device lacks."""
        try:
            beam: dict[str, Any] = self.beam_pattern_mgr.beam(rf_mode, beam_id)
        except KeyError:
            return None
        return beam

    def _no_beam(self, beam_id: int) -> RetType:
        return RetType(RetCode.ERROR, f"no beam {beam_id}: beam_id must be in "
                                      f"0..{self._beam_count - 1}")

    def setFastBeamGain(self, rf_mode: RFModeLike, beam_id: int, enable: bool,
                        com_gain: int = 0, ele_gain: int = 0) -> RetType:
        """Set the fast beam gain."""
        beam_id, com_gain, ele_gain = (_int("beam_id", beam_id), _int("com_gain", com_gain),
                                       _int("ele_gain", ele_gain))
        enable = bool(enable)
        beam = self._beam(RFMode[_mode_name(rf_mode)], beam_id)
        if beam is None:
            return self._no_beam(beam_id)
        fields = f"{_mode_name(rf_mode)},{beam_id},{int(enable)},{com_gain},{ele_gain}"
        ret = self._store(self._setBeamPatternStoreFBS, fields)
        if ret.RetCode is RetCode.OK:
            beam.update(enable=enable, com_gain=com_gain, ele_gain=ele_gain)
        return ret

    def getFastBeamGain(self, rf_mode: RFModeLike, beam_id: int) -> RetType:
        """Get the fast beam gain."""
        beam_id = _int("beam_id", beam_id)
        ret = self._query("_setBeamPatternStoreFBS", f"{_mode_name(rf_mode)},{beam_id}", "?")
        if ret.RetCode is not RetCode.OK:
            return ret
        fields = ret.RetData.split(",")
        if len(fields) != 3:
            return RetType(RetCode.ERROR, f"no gain stored for {_mode_name(rf_mode)} beam "
                                          f"{beam_id} (device answered {ret.RetData!r})")
        enable, com_gain, ele_gain = (int(f) for f in fields)
        return RetType(data={"enable": bool(enable), "com_gain": com_gain, "ele_gain": ele_gain})

    def setFastBeamPatternThetaPhi(self, beam_id: int, rf_freq: float, theta: float,
                                   phi: float) -> RetType:
        """Set the fast beam pattern."""
        beam_id = _int("beam_id", beam_id)
        rf_freq, theta, phi = float(rf_freq), float(theta), float(phi)
        if self._beam(RFMode.TX, beam_id) is None:
            return self._no_beam(beam_id)
        fields = f"{beam_id},{rf_freq!r},{theta!r},{phi!r}"
        ret = self._store(self._setBeamPatternStoreTDBS, fields)
        if ret.RetCode is RetCode.OK:
            # Every mode's entry the manager has: one without RX beams (a
            # device class's own manager) is no reason to fail after the
            # device took the pattern.
            for mode in RFMode:
                beam = self._beam(mode, beam_id)
                if beam is not None:
                    beam.update(rf_freq=rf_freq, theta=theta, phi=phi)
        return ret

    def setFastBeamPatternAzEl(self, beam_id: int, rf_freq: float, azimuth: float,
                               elevation: float) -> RetType:
        """Set the fast beam pattern.

        Azimuth turns in the horizontal plane from boresight, elevation rises
        above it (degrees); they are stored as theta (off boresight) and phi
        (around it)."""
        beam_id, rf_freq = _int("beam_id", beam_id), float(rf_freq)
        az, el = math.radians(float(azimuth)), math.radians(float(elevation))
        x, y, z = math.cos(el) * math.sin(az), math.sin(el), math.cos(el) * math.cos(az)
        theta = math.degrees(math.acos(max(-1.0, min(1.0, z))))
        phi = math.degrees(math.atan2(y, x)) if (x or y) else 0.0
        return self.setFastBeamPatternThetaPhi(beam_id, rf_freq, theta, phi)

    def getFastBeamPattern(self, beam_id: int) -> RetType:
        """Get the fast beam pattern."""
        beam_id = _int("beam_id", beam_id)
        ret = self._query("_setBeamPatternStoreTDBS", str(beam_id), "?")
        if ret.RetCode is not RetCode.OK:
            return ret
        fields = ret.RetData.split(",")
        if len(fields) != 3:
            return RetType(RetCode.ERROR, f"no pattern stored for beam {beam_id} "
                                          f"(device answered {ret.RetData!r})")
        rf_freq, theta, phi = (float(f) for f in fields)
        return RetType(data={"rf_freq": rf_freq, "theta": theta, "phi": phi})
