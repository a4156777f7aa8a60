"""Shared test doubles: a device link object that records the wire and answers
like a device with a small flash model. The link is outside the system, so the
tool's own tests run against this; the real TCP link has tests of its own."""

import json
import logging
import os
import signal
import tempfile

import pytest

# A site policy on this machine would refuse the suite's unsigned images: the
# tests set their own trusted keys, and run (and start processes) without it.
for _setting in ("QUORVEX_TRUST", "QUORVEX_REVOKED", "QUORVEX_MIN_FPGA_VERSION",
                 "QUORVEX_PKCS11_PIN", "QUORVEX_PKCS11_MODULE"):
    os.environ.pop(_setting, None)

# Nor may a test run add rows to this machine's update history: the default
# history of every process the suite starts lies in a folder of its own,
# removed at the end.
_STATE_HOME = tempfile.TemporaryDirectory(prefix="quorvex-tests-state-")
os.environ["XDG_STATE_HOME"] = _STATE_HOME.name
# And no station's configuration file sets a default under the tests.
os.environ["XDG_CONFIG_HOME"] = os.path.join(_STATE_HOME.name, "config")
for _name in ("HISTORY", "STATION", "OPERATOR", "RETRIES", "JOBS", "TIMEOUT", "WINDOW"):
    os.environ.pop(f"QUORVEX_{_name}", None)

from quorvex.QVRUtils import RetType


class FakeLink:
    """Records every command as it would go on the wire and answers it.

    `replies` maps a command word to its reply text, to a callable taking the
    full command bytes, or to an exception instance to raise.
    """

    def __init__(self, **replies):
        self.wire = []
        self.rsp_types = []
        self.flash = bytearray()
        self.prog_ptr = 0
        self.read_ptr = 0
        self.closed = 0
        self.refusals = []  # replies to the next program blocks, e.g. ["1", ""]
        self.page_filter = None  # callable(page bytes, index) -> reply page bytes
        self.pages_read = 0
        self.replies = {
            "FPGA_GET_ID": "FPGA-ID-7",
            "GET_FPGA_VER": "1.2.3.4",
            "GET_FW_VER": "0.1.0.6",
            "GET_SN": "SN42",
            "GET_FE_INFO": json.dumps({"fe0": {"fpga_ver": "2.0.0.1"}, "fe1": {}}),
        }
        self.replies.update(replies)
        self._raw_reply = b""

    @staticmethod
    def word(data):
        return bytes(data).split(b" ", 1)[0].split(b"\r\n", 1)[0].decode("ascii", "replace")

    def commands(self):
        """The command words in the order sent."""
        return [self.word(d) for d in self.wire]

    def _answer(self, data):
        word = self.word(data)
        r = self.replies.get(word)
        if isinstance(r, BaseException):
            raise r
        if callable(r):
            return r(data)
        if r is not None:
            return r
        if word == "FPGA_PROGRAM":
            body = bytes(data)[len(b"FPGA_PROGRAM #"):]
            digits = int(body[:1])
            n = int(body[1:1 + digits])
            block = body[1 + digits:1 + digits + n]
            assert body[1 + digits + n:] == b"\r\n", "block not delimited by its length"
            if self.refusals:
                return self.refusals.pop(0)
            self.flash[self.prog_ptr:self.prog_ptr + n] = block
            self.prog_ptr += n
            return "0"
        if word == "FPGA_RST_PAGE_PTR":
            self.prog_ptr = self.read_ptr = 0
        if word == "FPGA_ERASE":
            self.flash = bytearray()
        return "0"

    def sendCmd(self, data, rsp_type):
        self.wire.append(bytes(data))
        self.rsp_types.append(rsp_type)
        return RetType(data=self._answer(data))

    def sendRawBytes(self, data):
        self.wire.append(bytes(data))
        if self.word(data) == "FPGA_READ":
            page = bytes(self.flash[self.read_ptr:self.read_ptr + 16])
            if self.page_filter:
                page = self.page_filter(page, self.pages_read)
            self.pages_read += 1
            self.read_ptr += 16
            self._raw_reply = b"#2%02d" % len(page) + page + b"\r\n"
        else:
            self._raw_reply = str(self._answer(data)).encode() + b"\r\n"

    def recvRawBytes(self, size):
        reply, self._raw_reply = self._raw_reply[:size], b""
        return reply

    def closeConnection(self):
        self.closed += 1


@pytest.fixture(autouse=True, scope="session")
def _sigint_reaches_python():
    """The Ctrl-C tests need SIGINT to reach Python. A run started with SIGINT
    ignored (a background job of a shell, some CI runners) would pass the
    ignore on to this process and to every child it starts; a Python handler
    here is reset to the default in the children."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def emu_options():
    """Options of the emulator that `emu` starts; a test module overrides this
    fixture to start it otherwise."""
    return {}


@pytest.fixture
def emu(emu_options):
    """A device emulator serving on 127.0.0.1, closed after the test."""
    from quorvex.emulator import DeviceEmulator

    with DeviceEmulator(**emu_options) as e:
        yield e


@pytest.fixture
def emus():
    """make(**options) -> a running DeviceEmulator on a free loopback port
    (a 64 KiB flash unless told otherwise), closed after the test."""
    from quorvex.emulator import DeviceEmulator

    made = []

    def make(**options):
        options.setdefault("flash_size", 1 << 16)
        e = DeviceEmulator(port=0, **options)
        made.append(e)
        return e

    yield make
    for e in made:
        e.close()


@pytest.fixture
def quick_retries(monkeypatch):
    """The fleet's back-off between attempts and its grace after Ctrl-C, cut short."""
    from quorvex.fleet import _run

    monkeypatch.setattr(_run, "BACKOFF_BASE", 0.001)
    monkeypatch.setattr(_run, "CANCEL_GRACE", 0.2)


@pytest.fixture
def quiet_engine(monkeypatch):
    """The engine's progress lines kept off stdout, and the fleet's back-off
    between attempts cut short."""
    import io
    import sys

    from quorvex.fleet import _run

    monkeypatch.setattr(_run, "BACKOFF_BASE", 0.001)
    monkeypatch.setattr(sys, "stdout", io.StringIO())


@pytest.fixture
def log(caplog):
    """The FPGA logger's records as (level name, message), all or of one level."""
    caplog.set_level(logging.DEBUG, logger="FPGA")

    def lines(level=None):
        return [(r.levelname, r.getMessage()) for r in caplog.records
                if r.name == "FPGA" and (level is None or r.levelname == level)]

    return lines


@pytest.fixture
def link():
    return FakeLink()


@pytest.fixture
def tool(link):
    from quorvex.QVRFpga import FpgaTool

    return FpgaTool(connection=link)


@pytest.fixture
def image_size():
    """The size of the image that `image` writes; a test module overrides this."""
    return 1000


@pytest.fixture
def image(tmp_path, image_size):
    """The path of a random raw image of `image_size` bytes."""
    path = tmp_path / "fpga.bin"
    path.write_bytes(os.urandom(image_size))
    return path


@pytest.fixture
def tbin_image(tmp_path):
    """(path, image bytes) of a 3000-byte image packed as a .tbin for device type 32."""
    from quorvex import tbin

    data = os.urandom(3000)
    path = tmp_path / "img.tbin"
    path.write_bytes(tbin.pack(data, 32))
    return path, data


# -- history databases: an SQLite file, and a throwaway PostgreSQL server -----

@pytest.fixture(scope="session")
def pg_cluster():
    """One PostgreSQL server for the session, in a temporary folder."""
    pytest.importorskip("psycopg")
    from _postgres import throwaway_cluster

    yield from throwaway_cluster()


@pytest.fixture(params=["sqlite", "postgresql"])
def history_at(request, tmp_path):
    """Where a new, empty history lives: an SQLite path or a PostgreSQL URL."""
    if request.param == "sqlite":
        return str(tmp_path / "h.sqlite3")
    return request.getfixturevalue("pg_cluster").new_database()
