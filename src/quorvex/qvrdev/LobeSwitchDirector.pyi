"""Fast Beam Switch Manager module."""

import abc
import enum
from collections.abc import Callable
from typing import TypeVar

from quorvex.QVRPublic import FBSMode as FBSMode
from quorvex.QVRPublic import RFMode as RFMode
from quorvex.QVRUtils import RetCode as RetCode
from quorvex.QVRUtils import RetType as RetType
from quorvex.QVRUtils import _RspType as RspType
from quorvex.qvrdev.BeamPatternManager import BeamPatternManager as BeamPatternManager

_Op = TypeVar("_Op", bound=Callable[..., RetType])

class StartEndEnum(enum.IntEnum):
    """Enum for start and end states."""

    OTHER = 0
    START = 1
    END = 2
    START_END = 3

def _require_beam_pattern_setup(func: _Op) -> _Op:
    """Decorator to setup beam pattern before execution and cleanup after."""

class LobeSwitchDirector(abc.ABC):
    """Abstract base class for managing fast beam operations."""

    _beam_pattern_mgr: BeamPatternManager | None
    external_control_enabled: bool

    @property
    def beam_pattern_mgr(self) -> BeamPatternManager:
        """The device's BeamPatternManager, created on first access and kept after."""

    @abc.abstractmethod
    def _create_beam_pattern_mgr(self) -> BeamPatternManager:
        """Create the device-specific BeamPatternManager instance."""

    def _fbs_cmd_dict(self) -> dict[str, tuple[str, RspType]]:
        """Return the command list for the fast beam manager."""

    def getFastParallelMode(self) -> RetType:
        """Get the fast parallel mode."""

    def setFastParallelMode(self, toEnable: bool,
                            fbs_mode: FBSMode = FBSMode.FULL_GAIN_PHASE) -> RetType:
        """Set the fast parallel mode."""

    def eraseFastBeamConfig(self) -> RetType:
        """Erase the fast beam configuration."""

    @abc.abstractmethod
    def getFastBeamGain(self, rf_mode: RFMode, beam_id: int) -> RetType:
        """Get the fast beam gain."""

    @abc.abstractmethod
    def getFastBeamPattern(self, beam_id: int) -> RetType:
        """Get the fast beam pattern."""

    @abc.abstractmethod
    def setFastBeamGain(self, rf_mode: RFMode, beam_id: int, enable: bool, com_gain: int = 0,
                        ele_gain: int = 0) -> RetType:
        """Set the fast beam gain."""

    @abc.abstractmethod
    def setFastBeamPatternThetaPhi(self, beam_id: int, rf_freq: float, theta: float,
                                   phi: float) -> RetType:
        """Set the fast beam pattern."""

    @abc.abstractmethod
    def setFastBeamPatternAzEl(self, beam_id: int, rf_freq: float, azimuth: float,
                               elevation: float) -> RetType:
        """Set the fast beam pattern."""

    def syncFastBeamConfig(self) -> RetType:
        """Update the fast beam configuration."""
