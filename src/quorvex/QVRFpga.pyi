"""FPGA update tool: checks an image, writes it to a device's FPGA flash over
the device link, reads it back and verifies it."""

# The modules and sibling names below are module attributes on purpose: the
# tool reads them from the module at call time, so a caller may replace them.
import hashlib as hashlib
import hmac as hmac
import json as json
import logging as logging
import struct as struct
import sys as sys
import time as time
from collections.abc import Callable, Iterable
from pathlib import Path as Path
from typing import Literal, Protocol, overload

from _typeshed import ReadableBuffer
from typing_extensions import disjoint_base

from quorvex.QVRPublic import RetCode as RetCode
from quorvex.QVRUtils import VER as VER
from quorvex.QVRUtils import RetType as RetType
from quorvex.QVRUtils import _RspType as RspType

_RECV_SIZE: int
_FPGA_FW_VER_MIN: str
_FPGA_VER_MIN_DEV28: str
_FPGA_VER_MIN_DEV32: str
_DEVICE_WHITELIST: list[int]
_TBIN_KEY_PREFIX: str
# The trusted Ed25519 public keys (raw, 32 bytes each), from QUORVEX_TRUST at
# load; empty: no policy. Read at each check: any iterable of them will do.
_TRUSTED_KEYS: Iterable[ReadableBuffer]
_PROGRAM_BLOCK_ATTEMPTS: int
logger: logging.Logger

class _DeviceLink(Protocol):
    """What the tool needs of a device link (quorvex.QVRCommService._TCPConn is one)."""

    def initConnection(self) -> bool: ...
    def sendCmd(self, data: bytes, rsp_type: RspType, /) -> RetType: ...
    def sendRawBytes(self, data: bytes, /) -> object: ...
    def recvRawBytes(self, size: int, /) -> bytes: ...
    def closeConnection(self) -> object: ...

_ProgressCallback = Callable[[str, int, int], object]

class FpgaTool:
    """Updates the FPGA image of a device over a device link."""

    _conn: _DeviceLink
    _owns_conn: bool
    progress_callback: _ProgressCallback | None

    def __init__(self, connection: _DeviceLink | None = None, address: str | None = None,
                 port: int = 5025) -> None:
        """Build the tool on a device link or on an address and port."""

    @overload
    def _getRecv(self, log_print: bool = False, size: int = 1024,
                 isdecode: Literal[True] = True) -> str:
        """Receive one reply from the device link."""

    @overload
    def _getRecv(self, log_print: bool, size: int, isdecode: Literal[False]) -> bytes: ...
    @overload
    def _getRecv(self, log_print: bool = False, size: int = 1024, *,
                 isdecode: Literal[False]) -> bytes: ...
    @overload
    def _getRecv(self, log_print: bool = False, size: int = 1024,
                 isdecode: bool = True) -> str | bytes: ...
    @overload
    def _sendCmd(self, cmd: str | ReadableBuffer, log_print: bool = False, size: int = 1024,
                 isdecode: Literal[True] = True) -> str:
        """Send one command and return its reply."""

    @overload
    def _sendCmd(self, cmd: str | ReadableBuffer, log_print: bool, size: int,
                 isdecode: Literal[False]) -> bytes: ...
    @overload
    def _sendCmd(self, cmd: str | ReadableBuffer, log_print: bool = False, size: int = 1024, *,
                 isdecode: Literal[False]) -> bytes: ...
    @overload
    def _sendCmd(self, cmd: str | ReadableBuffer, log_print: bool = False, size: int = 1024,
                 isdecode: bool = True) -> str | bytes: ...
    def _fpgaCtrlInit(self) -> str:
        """Initialize the FPGA control."""

    def _fpgaGetId(self) -> str:
        """Get the FPGA ID."""

    def _fpgaGetVersion(self) -> str:
        """Get the FPGA version."""

    def _fpgaCfgMode(self, mode: str | bytes) -> str:
        """Configure the FPGA mode."""

    def _fpgaErase(self, erase_bits: str | bytes | int) -> str:
        """Erase the FPGA memory."""

    def _fpgaRstPagePtr(self, section: str | bytes) -> str:
        """Reset the FPGA page pointer."""

    def _fpgaProgram(self, data_block: ReadableBuffer) -> bool:
        """Program the FPGA with the given data block."""

    def _fpgaRead(self) -> bytes:
        """Read data from the FPGA."""

    def _fpgaDone(self) -> str:
        """Mark the FPGA programming as done."""

    def _fpgaRefresh(self) -> str:
        """Refresh the FPGA."""

    def _fpgaGetInfo(self) -> str:
        """Get the FPGA information."""

    def _fpgaGetControlFwVer(self) -> str:
        """Get the FPGA control firmware version."""

    def _fpgaGetSerialNumber(self) -> str:
        """Get the FPGA serial number."""

    def _fpgaProgramFile(self, image_path: str, device_type: int = 28) -> bool:
        """Write an image file to the FPGA flash in 16-byte blocks, read it back and verify it."""

    def _checkControlFwVersion(self) -> bool:
        """Check if the control firmware version is compatible."""

    def _checkUpdateFile(self, image_path: str) -> bool:
        """Check if the update file is valid."""

    def _checkFileHeader(self, image_path: str) -> bool:
        """Check the header of the update file: a .bin passes as it is; a .tbin passes when the
        HMAC-SHA256 digests of its JSON header and of its image match the stored ones.
        Under a policy (_TRUSTED_KEYS not empty) a .tbin also needs a valid signature by a
        trusted key, and a .bin is refused."""

    def initFpga(self, device_type: int, disable_fw_check: bool = False) -> RetType:
        """Initialize FPGA."""

    def set_progress_callback(self, callback: _ProgressCallback | None) -> None:
        """Set the progress callback, called as callback(stage, done, total);
        None switches it off."""

    def processFpgaUpdate(self, image_path: str | None = None, device_type: int = 32) -> RetType:
        """Update the FPGA image of the device: check the image file, write and
        verify it, and read the new FPGA version."""

    def disconnect(self) -> None:
        """Close the device link if the tool opened it."""

    def _updateUnder(self, terms: _Terms, image_path: str | None = None,
                     device_type: int = 32) -> RetType:
        """processFpgaUpdate under `terms` (a _Terms: trust policy, fleet driver, last look
        before the erase). The terms receive the verdict and the transfer counts; a
        refusal's RetData is {'reason': ..., 'errno': ..., 'detail': ...}."""


class _WindowFallback(RuntimeError):
    """A block was refused inside a window: the attempt ended with the flash partly
    written; run it again with a window of 1. Attributes: offset (the image bytes the
    device accepted in order), window."""

    offset: int
    window: int

@disjoint_base
class _FleetDriver:
    """The native driver of a fleet run: updates given it in their _Terms hand their
    transfers to its thread, each keeping up to `window` program or read commands in
    flight."""

    def __init__(self, window: int = 1) -> None: ...
    @property
    def window(self) -> int:
        """The program or read commands each transfer keeps in flight."""

    def cancel(self) -> None:
        """Ends every transfer running or still to come as interrupted."""

    def close(self) -> None:
        """Ends what still runs and stops the driver's thread."""


@disjoint_base
class _Terms:
    """The terms of one check or update (trust policy, fleet driver, the last look before
    the erase) and what it left: its verdict and its transfer counts."""

    def __init__(self, *, trusted: Iterable[ReadableBuffer] | None = None,
                 driver: _FleetDriver | None = None,
                 before_erase: Callable[[], object] | None = None) -> None: ...
    def check(self, check: Callable[[str], object], image_path: str) -> bool:
        """Runs `check` (tool._checkUpdateFile or tool._checkFileHeader) on image_path under
        these terms, as an update runs it; its verdict is left here."""

    @property
    def trusted(self) -> frozenset[bytes] | None: ...
    @property
    def driver(self) -> _FleetDriver | None: ...
    @property
    def before_erase(self) -> Callable[[], object] | None: ...
    @property
    def reason(self) -> str | None: ...
    @property
    def errno(self) -> int | None: ...
    @property
    def detail(self) -> str | None: ...
    @property
    def counts(self) -> tuple[int, int] | None: ...
