"""The TCP device link _TCPConn."""

from _typeshed import ReadableBuffer
from typing_extensions import disjoint_base

from quorvex.QVRUtils import RetType, _RspType

_MAX_REPLY: int

def _protocol_word(data: ReadableBuffer) -> str:
    """The command word of data as messages show it (printable ASCII, 40 bytes at most)."""

def _protocol_is_slow(data: ReadableBuffer) -> bool:
    """True for a command whose reply is waited for with the slow time-out."""

def _protocol_block(data: ReadableBuffer) -> tuple[int, int] | None:
    """(header size, data length) of the definite-length block that data starts
    with, or None when data does not start with a whole block header."""

def _protocol_failure(kind: str, link: str, command: str = "", seconds: float = 0.0,
                      count: int = 0, why: str = "") -> str:
    """The words of a link failure of `kind`, as every link words it."""

# A native class: it cannot share a subclass with another native base.
@disjoint_base
class _TCPConn:
    """TCP link to a device that answers each command with one line ending in CR LF."""

    def __init__(self, address: str, port: int, timeout: float = 10.0,
                 slow_timeout: float = 120.0) -> None:
        """A link to address:port, not yet connected."""

    def initConnection(self) -> bool:
        """Connects; True when connected, False when no address of the host answered
        within `timeout` seconds (the reason is in last_error)."""

    def sendCmd(self, data: ReadableBuffer, rsp_type: _RspType) -> RetType:
        """Sends data (a whole command, CR LF included) unaltered and returns
        RetType(data=reply) with the reply's CR LF removed, decoded as UTF-8
        (undecodable bytes replaced)."""

    def sendRawBytes(self, data: ReadableBuffer) -> None:
        """Sends all of data; the reply is left for recvRawBytes."""

    def recvRawBytes(self, size: int) -> bytes:
        """Reads one whole reply and returns its first `size` bytes, header and CR LF
        included: a definite-length block (#, digit d, d digits of length n, n
        bytes, CR LF) by its length, anything else up to its CR LF. The rest of a
        longer reply stays buffered: the next recvRawBytes returns up to `size`
        bytes of it without waiting, and no received byte is ever dropped."""

    def _lend_link(self) -> object:
        """The native link, for the fleet driver of quorvex.QVRFpga: valid while this
        object lives; the borrower works it only under the link's own lock."""

    def closeConnection(self) -> None:
        """Closes the link; harmless when closed already."""

    @property
    def address(self) -> str:
        """The address as given."""

    @property
    def port(self) -> int:
        """The TCP port."""

    @property
    def timeout(self) -> float:
        """Seconds to wait for a connection or a reply."""

    @property
    def slow_timeout(self) -> float:
        """Seconds to wait for the reply to FPGA_ERASE."""

    @property
    def connected(self) -> bool:
        """True while the link is connected and not broken."""

    @property
    def last_error(self) -> str | None:
        """Why the last initConnection() failed, or None."""
