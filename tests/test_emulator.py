"""The device emulator, spoken to over plain sockets on the loopback."""

import hashlib
import json
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import warnings

import pytest

from quorvex.emulator import OPTIONS, REPLY_CODES, DeviceEmulator, _options, _parser, main

WAIT = 5.0  # every socket wait is bounded by this


class Client:
    """A minimal client: commands out, reply lines (or read pages) back."""

    def __init__(self, emu, timeout=WAIT):
        self.sock = socket.create_connection((emu.host, emu.port), timeout=timeout)
        self.buf = b""

    def close(self):
        self.sock.close()

    def _more(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionError("emulator closed the connection")
        self.buf += chunk

    def line(self):
        while b"\r\n" not in self.buf:
            self._more()
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line

    def cmd(self, command):
        if isinstance(command, str):
            command = command.encode()
        self.sock.sendall(command + b"\r\n")
        return self.line().decode()

    def program(self, block):
        self.sock.sendall(b"FPGA_PROGRAM #%d%d" % (len(str(len(block))), len(block)) + block + b"\r\n")
        return self.line().decode()

    def read_page(self):
        self.sock.sendall(b"FPGA_READ\r\n")
        while len(self.buf) < 4:
            self._more()
        assert self.buf[:2] == b"#2"
        n = int(self.buf[2:4])
        while len(self.buf) < 4 + n + 2:
            self._more()
        page, tail, self.buf = self.buf[4:4 + n], self.buf[4 + n:6 + n], self.buf[6 + n:]
        assert tail == b"\r\n"
        return page

    def is_closed_by_peer(self):
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True


@pytest.fixture
def client(emu):
    c = Client(emu)
    yield c
    c.close()


def blocks_of(image, size=16):
    return [image[i:i + size] for i in range(0, len(image), size)]


def program_image(c, image, size=16):
    assert c.cmd("FPGA_ERASE 12") == "0"
    assert c.cmd("FPGA_RST_PAGE_PTR CFG") == "0"
    for block in blocks_of(image, size):
        assert c.program(block) == "0"
    assert c.cmd("FPGA_RST_PAGE_PTR CFG") == "0"


@pytest.mark.parametrize("image, size", [
    (b"\r\n" * 24, 16),                                # every block is CR LF pairs
    (b"A" * 15 + b"\r" + b"\n" + b"B" * 15, 16),       # CR LF split across two blocks
    (bytes(range(256)) * 3 + b"\r\n\r", 16),           # binary, short last page
    (bytes(range(256)) + b"tail\r\n", 100),            # larger blocks, read in 16-byte pages
])
def test_program_and_read_back_round_trip(emu, client, image, size):
    program_image(client, image, size)
    pages = [client.read_page() for _ in range((len(image) + 15) // 16)]
    assert b"".join(pages) == image
    assert all(len(p) == 16 for p in pages[:-1])
    assert client.read_page() == b""                   # past the programmed end: "#200"
    assert emu.flash() == image
    assert emu.flash_digest() == hashlib.sha256(image).hexdigest()
    assert emu.state()["programmed_length"] == len(image)
    assert emu.counters()["pages_read"] == len(pages)


def test_erase_forgets_what_was_programmed(emu, client):
    program_image(client, b"\x0f" * 20)
    assert client.cmd("FPGA_ERASE 13") == str(REPLY_CODES["BAD_ARGUMENT"])
    assert emu.flash() == b"\x0f" * 20                 # a refused erase erases nothing
    assert client.cmd("FPGA_ERASE 14") == "0"
    assert emu.flash() == b"" and emu.state()["erases"] == 2
    assert client.cmd("FPGA_RST_PAGE_PTR CFG") == "0"
    assert client.read_page() == b""
    assert client.program(b"\xf0" * 4) == "0"
    assert client.cmd("FPGA_RST_PAGE_PTR CFG") == "0"
    assert client.read_page() == b"\xf0" * 4


def test_programming_over_unerased_flash_only_clears_bits(emu, client):
    program_image(client, b"\x0f" * 16)
    assert client.program(b"\xf3" * 16) == "0"         # after the reset: same place, no erase
    assert emu.flash() == b"\x03" * 16


def test_block_past_the_end_of_flash_is_refused():
    with DeviceEmulator(flash_size=40) as emu:
        c = Client(emu)
        assert c.program(b"x" * 32) == "0"
        assert c.program(b"y" * 16) == str(REPLY_CODES["PAST_FLASH_END"])
        assert c.program(b"z" * 8) == "0"              # pointer did not move on the refusal
        assert emu.flash() == b"x" * 32 + b"z" * 8
        c.close()


def test_refuse_every_refuses_without_writing(emu, client):
    emu.set(refuse_every=3)
    answers = [client.program(bytes([i]) * 16) for i in range(7)]
    assert answers == ["0", "0", "1", "0", "0", "1", "0"]
    # Refused blocks are not written and do not move the pointer.
    assert emu.flash() == b"".join(bytes([i]) * 16 for i in (0, 1, 3, 4, 6))
    assert emu.counters()["blocks_refused"] == 2


@pytest.mark.parametrize("command, code", [
    (b"NO_SUCH_COMMAND", "UNKNOWN"),
    (b"", "UNKNOWN"),
    (b"fpga_get_id", "UNKNOWN"),
    (b"FPGA_RST_PAGE_PTR XYZ", "BAD_ARGUMENT"),
    (b"FPGA_CFG_MODE ", "BAD_ARGUMENT"),
    (b"ExtCtrl_EN 1", "BAD_ARGUMENT"),
    (b"BEAM_PATTERN_STORE_TDBS_BEAM 1,nan,0,0", "BAD_ARGUMENT"),
    (b"FPGA_PROGRAM", "BAD_BLOCK"),
    (b"FPGA_PROGRAM #x16", "BAD_BLOCK"),
    (b"FPGA_PROGRAM #13abcJUNK", "BAD_BLOCK"),         # no CR LF right after the block
    (b"FPGA_PROGRAM #14\r\n\r\nX", "BAD_BLOCK"),       # block taken by length, then junk
])
def test_bad_command_is_refused_and_the_parser_stays_in_step(emu, client, command, code):
    assert client.cmd(command) == str(REPLY_CODES[code])
    assert client.cmd("GET_SN") == "QVX-EMU-0001"
    assert emu.flash() == b""


def test_block_too_long_to_hold_closes_the_connection(emu, client):
    client.sock.sendall(b"FPGA_PROGRAM #6100000" + b"x" * 1000)
    assert client.line() == str(REPLY_CODES["LOST_FOOTING"]).encode()
    assert client.is_closed_by_peer()
    assert emu.counters()["dropped"] == 1


@pytest.mark.parametrize("options, answered", [
    (dict(drop_on="FPGA_READ", drop_on_count=2), 3),  # GET_SN, READ, GET_SN; then the 2nd READ
    (dict(drop_after=2), 2),
])
def test_drop_faults_close_without_answering_once(emu, options, answered):
    emu.set(**options)
    c = Client(emu)
    script = ["GET_SN", "FPGA_READ", "GET_SN", "FPGA_READ", "GET_SN"]
    replies = []
    with pytest.raises(ConnectionError):
        for command in script:
            replies.append(c.cmd(command))
    assert len(replies) == answered
    c.close()
    again = Client(emu)                                # the fault fires once
    assert [again.cmd(x) for x in script] == ["QVX-EMU-0001", "#200"] * 2 + ["QVX-EMU-0001"]
    again.close()
    assert emu.counters()["dropped"] == 1


@pytest.mark.parametrize("before", [0, 2])  # connections made before the option is set
def test_fault_connections_limits_the_faults_to_the_next_k_connections(emu, before):
    def session():
        c = Client(emu)
        c.sock.sendall(b"GET_SN\r\nFPGA_PROGRAM #216" + b"x" * 16 + b"\r\n")
        replies = c.line(), c.line()
        c.close()
        return replies

    for _ in range(before):
        assert session() == (b"QVX-EMU-0001", b"0")
    emu.set(garbage=True, refuse_every=1, fault_connections=2)
    clean = (b"QVX-EMU-0001", b"0")
    assert [session() == clean for _ in range(3)] == [False, False, True]
    emu.set(fault_connections=None)  # off: every connection has the faults again
    assert session()[0] != b"QVX-EMU-0001"


def test_split_replies_still_parse(emu, client):
    emu.set(split_replies=5)
    program_image(client, bytes(range(40)))
    assert [client.read_page() for _ in range(3)] == blocks_of(bytes(range(40)))
    assert client.cmd("GET_FPGA_VER") == "0.2.4.0"


def test_corrupt_page_flips_one_byte_of_that_page_only(emu, client):
    image = bytes(range(64))
    program_image(client, image)
    emu.set(corrupt_page=2)
    pages = [client.read_page() for _ in range(4)]
    good = blocks_of(image)
    assert [i for i in range(4) if pages[i] != good[i]] == [1]
    assert sum(a != b for a, b in zip(pages[1], good[1])) == 1
    assert emu.flash() == image                        # the flash itself is intact


def test_garbage_replies_are_not_text(emu, client):
    emu.set(garbage=True)
    client.sock.sendall(b"FPGA_GET_ID\r\n")
    reply = client.line()
    with pytest.raises(UnicodeDecodeError):
        reply.decode("utf-8")
    emu.set(garbage=False)
    assert client.cmd("FPGA_CTRL_INIT") == "0"
    assert emu.state()["initialised"]


def test_update_sequence_reports_the_new_version(emu, client):
    emu.set(fpga_version="0.2.3.4", version_after_update="0.2.5.0")
    assert client.cmd("FPGA_CTRL_INIT") == "0"
    assert client.cmd("FPGA_CFG_MODE TRANS") == "0"
    assert client.cmd("FPGA_REFRESH") == "0"           # no FPGA_DONE yet: same image
    assert client.cmd("GET_FPGA_VER") == "0.2.3.4"
    program_image(client, b"image")
    assert client.cmd("FPGA_DONE") == "0"
    assert client.cmd("FPGA_REFRESH") == "0"
    assert client.cmd("GET_FPGA_VER") == "0.2.5.0"
    info = json.loads(client.cmd("GET_FE_INFO"))
    assert next(iter(info.values()))["fpga_ver"] == "0.2.5.0"
    state = emu.state()
    assert (state["cfg_mode"], state["done"], state["refreshed"]) == ("TRANS", True, 2)


def test_fast_beam_store_apply_and_reboot(emu, client):
    assert client.cmd("ExtCtrl_EN 1,2") == "0"
    assert client.cmd("ExtCtrl_EN?") == "1"
    store_disabled = str(REPLY_CODES["STORE_DISABLED"])
    assert client.cmd("BEAM_PATTERN_STORE_FBS_BEAM TX,3,1,5,-4") == store_disabled
    assert client.cmd("BEAM_PATTERN_STORE_EN 1") == "0"
    assert client.cmd("BEAM_PATTERN_STORE_EN?") == "1"
    assert client.cmd("BEAM_PATTERN_STORE_FBS_BEAM TX,3,1,5,-4") == "0"
    assert client.cmd("BEAM_PATTERN_STORE_FBS_BEAM RX,3,0,7,8") == "0"
    assert client.cmd("BEAM_PATTERN_STORE_TDBS_BEAM 3,28e9,12.5,-0.1") == "0"
    assert client.cmd("BEAM_PATTERN_STORE_FBS_BEAM? TX,3") == "1,5,-4"
    assert client.cmd("BEAM_PATTERN_STORE_FBS_BEAM? RX,3") == "0,7,8"
    assert [float(x) for x in client.cmd("BEAM_PATTERN_STORE_TDBS_BEAM? 3").split(",")] == [28e9, 12.5, -0.1]
    assert client.cmd("BEAM_PATTERN_STORE_FBS_BEAM? TX,4") == str(REPLY_CODES["NOT_STORED"])
    assert emu.state()["applied_gains"] == {}
    assert client.cmd("BEAM_PATTERN_APPLY_BFIC 2") == "0"
    state = emu.state()
    assert state["applied_gains"] == state["stored_gains"] == {
        ("TX", 3): {"enable": True, "com_gain": 5, "ele_gain": -4},
        ("RX", 3): {"enable": False, "com_gain": 7, "ele_gain": 8},
    }
    assert state["applied_patterns"] == {3: {"rf_freq": 28e9, "theta": 12.5, "phi": -0.1}}

    assert client.cmd("REBOOT") == "0"
    state = emu.state()
    assert (state["ext_ctrl"], state["ext_mode"], state["store_enabled"]) == (0, 0, False)
    assert state["applied_gains"] == {} and state["applied_patterns"] == {}
    assert len(state["stored_gains"]) == 2 and state["reboots"] == 1
    assert client.cmd("ExtCtrl_EN?") == "0"
    assert client.cmd("BEAM_PATTERN_ERASE 2") == "0"
    assert emu.state()["stored_gains"] == {} and emu.state()["stored_patterns"] == {}


def test_concurrent_connections_share_one_device(emu):
    errors = []

    def work(beam):
        try:
            c = Client(emu)
            c.cmd("BEAM_PATTERN_STORE_EN 1")
            for i in range(100):
                assert c.cmd(f"BEAM_PATTERN_STORE_FBS_BEAM RX,{beam},1,{i},{beam}") == "0"
                assert c.cmd(f"BEAM_PATTERN_STORE_FBS_BEAM? RX,{beam}") == f"1,{i},{beam}"
            c.close()
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(b,)) for b in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 4)
    assert not errors and not any(t.is_alive() for t in threads)
    counts = emu.counters()
    assert counts["connections"] == 4
    assert counts["BEAM_PATTERN_STORE_FBS_BEAM"] == counts["BEAM_PATTERN_STORE_FBS_BEAM?"] == 400
    assert len(emu.state()["stored_gains"]) == 4


def test_close_returns_while_clients_are_connected_or_waiting():
    emu = DeviceEmulator(delay_command=1, delay_us=3600 * 10**6)
    idle, waiting = Client(emu), Client(emu)
    waiting.sock.sendall(b"GET_SN\r\n")                # its reply is held for an hour
    waiting.sock.settimeout(0.2)
    with pytest.raises(socket.timeout):
        waiting.line()
    waiting.sock.settimeout(WAIT)
    closer = threading.Thread(target=emu.close)
    closer.start()
    closer.join(WAIT)
    assert not closer.is_alive()
    assert idle.is_closed_by_peer() and waiting.is_closed_by_peer()
    with pytest.raises(OSError):
        Client(emu, timeout=1.0)
    emu.close()                                        # twice is harmless
    idle.close()
    waiting.close()



# --- serving: many connections, held replies, clients that read slowly ----------------

def _until(condition, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.005)


def test_replies_of_many_connections_are_held_at_the_same_time():
    with DeviceEmulator(delay_us=50_000) as emu:
        clients = [Client(emu) for _ in range(200)]
        start = time.monotonic()
        for c in clients:
            c.sock.sendall(b"GET_SN\r\n")
        assert [c.line() for c in clients] == [b"QVX-EMU-0001"] * 200
        elapsed = time.monotonic() - start
        for c in clients:
            c.close()
        assert emu.counters()["connections"] == 200
    assert 0.05 <= elapsed < 4.0                       # one after another: 10 s


def test_a_reply_held_for_an_hour_holds_up_no_other_connection_or_emulator():
    with DeviceEmulator(delay_command=1, delay_us=3600 * 10**6) as slow, DeviceEmulator() as other:
        held, free = Client(slow), Client(slow)
        held.sock.sendall(b"GET_SN\r\n")
        _until(lambda: slow.counters()["GET_SN"] == 1)  # the first command: the held one
        assert free.cmd("GET_FW_VER") == "0.1.1.0"
        assert free.cmd("FPGA_ERASE 12") == "0"
        side = Client(other)
        assert side.cmd("GET_SN") == "QVX-EMU-0001"
        held.sock.settimeout(0.2)
        with pytest.raises(socket.timeout):
            held.line()
        for c in (held, free, side):
            c.close()


def test_erase_seconds_hold_only_the_erasing_connection():
    with DeviceEmulator(erase_seconds=3600.0) as emu:
        eraser, reader = Client(emu), Client(emu)
        eraser.sock.sendall(b"FPGA_ERASE 12\r\nGET_SN\r\n")
        _until(lambda: emu.state()["erases"] == 1)
        assert reader.cmd("GET_FPGA_VER") == "0.2.4.0"
        # The erasing connection's next command waits for the erase's reply.
        assert emu.counters()["GET_SN"] == 0
        eraser.close()
        reader.close()


def _page_reply(c):
    while len(c.buf) < 4:
        c._more()
    n = int(c.buf[2:4])
    while len(c.buf) < 6 + n:
        c._more()
    page, c.buf = c.buf[4:4 + n], c.buf[6 + n:]
    return page


def test_pipelined_commands_are_answered_in_order_through_held_and_split_replies(emu, client):
    image = bytes(range(256)) * 2
    program_image(client, image)
    emu.set(split_replies=3, delay_us=2000)
    client.sock.sendall(b"FPGA_READ\r\n" * 32 + b"GET_SN\r\nFPGA_READ\r\n")
    assert [_page_reply(client) for _ in range(32)] == blocks_of(image)
    assert client.line() == b"QVX-EMU-0001"
    assert _page_reply(client) == b""
    assert emu.state()["read_pointer"] == 33 * 16


def test_a_client_that_stops_reading_gets_every_reply_later_and_holds_up_no_one():
    fe_info = '{"fe0": "' + "x" * 4000 + '"}'
    commands = 5000                                    # 20 MB of replies: more than sockets hold
    with DeviceEmulator(fe_info=fe_info) as emu:
        flood = Client(emu)
        flood.sock.sendall(b"GET_FE_INFO\r\nGET_SN\r\n" * (commands // 2))
        _until(lambda: emu.counters()["GET_FE_INFO"] > 0)
        other = Client(emu)
        assert other.cmd("FPGA_GET_ID") == "0x51A70032"
        # Not read, not answered: the replies wait in the sockets, not in the emulator.
        assert emu.counters()["GET_FE_INFO"] < commands // 2
        expected = (fe_info.encode() + b"\r\nQVX-EMU-0001\r\n") * (commands // 2)
        got = bytearray()
        while len(got) < len(expected):
            chunk = flood.sock.recv(1 << 20)
            assert chunk, "the emulator closed the connection"
            got += chunk
        assert bytes(got) == expected
        assert other.cmd("GET_SN") == "QVX-EMU-0001"
        flood.close()
        other.close()


def test_commands_sent_before_the_client_half_closes_are_all_answered(emu):
    c = Client(emu)
    c.sock.sendall(b"GET_SN\r\n" * 3 + b"FPGA_GET_ID\r\n")
    c.sock.shutdown(socket.SHUT_WR)
    assert [c.line() for _ in range(4)] == [b"QVX-EMU-0001"] * 3 + [b"0x51A70032"]
    assert c.is_closed_by_peer()
    c.close()


def test_closing_one_emulator_leaves_the_held_replies_of_another_alone():
    with DeviceEmulator(delay_us=300_000) as kept_emu:
        gone_emu = DeviceEmulator(delay_us=200_000)
        kept = [Client(kept_emu) for _ in range(10)]
        gone = [Client(gone_emu) for _ in range(10)]
        for c in kept + gone:
            c.sock.sendall(b"GET_SN\r\n")
        _until(lambda: kept_emu.counters()["GET_SN"] == gone_emu.counters()["GET_SN"] == 10)
        gone_emu.close()
        assert all(c.is_closed_by_peer() for c in gone)
        assert [c.line() for c in kept] == [b"QVX-EMU-0001"] * 10
        for c in kept + gone:
            c.close()


def test_a_forked_child_serves_emulators_of_its_own_and_leaves_the_parents_alone(emu, client):
    assert client.cmd("GET_SN") == "QVX-EMU-0001"      # the parent's threads are running

    def serve_own():
        own = DeviceEmulator(serial="CHILD")
        ok = Client(own, timeout=2.0).cmd("GET_SN") == "CHILD"
        own.close()
        return ok

    assert _in_child(serve_own)
    assert _in_child(lambda: emu.close() is None and emu.closed)  # the child's copy only
    assert client.cmd("GET_SN") == "QVX-EMU-0001"
    assert Client(emu).cmd("GET_FW_VER") == "0.1.1.0"


def _in_child(work):
    """Runs `work` in a forked child: True when it returned true, within WAIT."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        pid = os.fork()
    if pid == 0:  # the child ends here whatever happens, without cleaning up
        try:
            os._exit(0 if work() else 1)
        finally:
            os._exit(2)
    deadline = time.monotonic() + WAIT
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return False
    return os.waitstatus_to_exitcode(done[1]) == 0

def test_options_are_checked():
    with pytest.raises(TypeError, match="'bogus'.*'other'|'other'.*'bogus'"):
        DeviceEmulator(bogus=1, other=2)
    with DeviceEmulator() as emu:
        with pytest.raises(TypeError, match="refuse_evry"):
            emu.set(refuse_evry=2)
        with pytest.raises(TypeError, match="delay_us"):
            emu.set(delay_us="10")
        with pytest.raises(ValueError, match="one line"):
            emu.set(fpga_version="1\r\n0")
        with pytest.raises(ValueError):
            emu.set(flash_size=10)
        assert emu.options()["refuse_every"] == 0      # nothing was applied
        emu.set(fpga_id="ID-7", drop_after=None)
        c = Client(emu)
        assert c.cmd("FPGA_GET_ID") == "ID-7"
        c.close()


def test_listens_on_ipv6_loopback():
    try:
        emu = DeviceEmulator("::1")
    except OSError:
        pytest.skip("no IPv6 loopback here")
    with emu:
        assert emu.address == f"[::1]:{emu.port}"
        s = socket.create_connection(("::1", emu.port), timeout=WAIT)
        s.sendall(b"GET_FW_VER\r\n")
        assert s.recv(100) == b"0.1.1.0\r\n"
        s.close()


def test_port_in_use_is_an_os_error(emu):
    with pytest.raises(OSError, match=str(emu.port)):
        DeviceEmulator(port=emu.port)
    assert main(["--port", str(emu.port)]) == 1


@pytest.mark.parametrize("port", ["65536", "-1", "5o25"])
def test_a_port_out_of_range_is_a_usage_error(port, capsys):
    with pytest.raises(SystemExit) as e:
        main(["--port", port])
    assert e.value.code == 2
    assert "quorvex-emulator: error: argument --port" in capsys.readouterr().err


def test_console_script_serves_until_interrupted():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    with subprocess.Popen([sys.executable, "-m", "quorvex.emulator", "--port", "0", "--serial", "S-9"],
                          stdout=subprocess.PIPE, text=True, env=env) as proc:
        try:
            ready, _, _ = select.select([proc.stdout], [], [], WAIT * 2)
            assert ready, "the emulator printed nothing"
            line = proc.stdout.readline()
            assert line.startswith("quorvex-emulator listening on 127.0.0.1:")
            port = int(line.rsplit(":", 1)[1])
            with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as s:
                s.sendall(b"GET_SN\r\n")
                assert s.recv(100) == b"S-9\r\n"
            proc.send_signal(signal.SIGINT)
            assert proc.wait(WAIT * 2) == 0
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(WAIT)


# --- the options table: flags, keywords and the native module agree ------------------

def _flag(name):
    return "--" + name.replace("_", "-")


def _sample(option):
    """A valid value other than the default, as Python and as a command line."""
    kind = option["type"]
    if kind is bool:
        return True, []
    value = {int: option["minimum"] + 2 if option["minimum"] is not None else 3,
             str: "W-7", float: 0.25}[kind]
    return value, [str(value)]


@pytest.mark.parametrize("name", list(OPTIONS))
def test_every_option_is_a_flag_and_a_keyword_with_the_same_meaning(name):
    value, text = _sample(OPTIONS[name])
    assert value != OPTIONS[name]["default"]
    given = _options(_parser().parse_args([_flag(name), *text]))
    assert given == {name: value}
    with DeviceEmulator(**given) as by_flag, DeviceEmulator(**{name: value}) as by_keyword:
        assert by_flag.options()[name] == by_keyword.options()[name] == value
        defaults = {k: o["default"] for k, o in OPTIONS.items()}
        assert {k: v for k, v in by_flag.options().items() if k != name} == \
            {k: v for k, v in defaults.items() if k != name}


def _bad(option):
    """A value the emulator refuses, as Python and as a command line."""
    kind = option["type"]
    if kind is int:
        return option["minimum"] - 1, str(option["minimum"] - 1)
    if kind is float:
        return -1.0, "-1"
    return "two\nlines", "two\nlines"


@pytest.mark.parametrize("name", [n for n, o in OPTIONS.items() if o["type"] is not bool])
def test_a_bad_option_value_is_refused_in_the_same_words_as_flag_and_keyword(name):
    value, text = _bad(OPTIONS[name])
    with pytest.raises(ValueError) as by_keyword:
        DeviceEmulator(**{name: value})
    with pytest.raises(ValueError) as by_flag:
        DeviceEmulator(**_options(_parser().parse_args([_flag(name), text])))
    assert str(by_flag.value) == str(by_keyword.value)
    assert name in str(by_keyword.value)
