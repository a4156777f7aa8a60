"""The TCP device link against a scripted peer on the loopback interface."""

import _thread
import random
import signal
import socket
import threading
import time

import pytest

from quorvex.QVRCommService import _MAX_REPLY, _TCPConn
from quorvex.QVRUtils import RetCode, RetType, _RspType

LIST = _RspType.RSP_LIST
WAIT = 5.0  # bound on every wait of the peer and of the tests themselves


class Peer:
    """A device stand-in that accepts one connection per script and plays it.

    Steps: ("recv", b"...") reads exactly those bytes and checks them;
    ("send", b"...") sends them; ("blast", b"...") sends them and ignores the
    link going away meanwhile; ("echo", n) answers n lines with themselves;
    ("pause", s) sleeps; ("hold",) reads and drops
    whatever comes until the link closes or the test ends. The connection is
    closed when its script ends.
    """

    def __init__(self, *scripts, family=socket.AF_INET, host="127.0.0.1"):
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.bind((host, 0))
        self.sock.listen(2)
        self.sock.settimeout(WAIT)
        self.port = self.sock.getsockname()[1]
        self.scripts = scripts
        self.error = None
        self.release = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for script in self.scripts:
                conn, _ = self.sock.accept()
                with conn:
                    conn.settimeout(WAIT)
                    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    self._play(conn, script)
        except BaseException as e:  # reported by finish()
            self.error = e

    def _play(self, conn, script):
        for op, *arg in script:
            if op == "recv":
                data = b""
                while len(data) < len(arg[0]):
                    chunk = conn.recv(len(arg[0]) - len(data))
                    if not chunk:
                        raise EOFError(f"peer: link closed after {data!r}")
                    data += chunk
                assert data == arg[0], f"peer expected {arg[0]!r}, got {data!r}"
            elif op == "send":
                conn.sendall(arg[0])
            elif op == "blast":
                try:
                    conn.sendall(arg[0])
                except OSError:
                    return
            elif op == "echo":
                lines = conn.makefile("rb")
                for _ in range(arg[0]):
                    conn.sendall(lines.readline())
            elif op == "pause":
                time.sleep(arg[0])
            elif op == "hold":
                conn.settimeout(0.05)
                while not self.release.is_set():
                    try:
                        if not conn.recv(65536):
                            return
                    except socket.timeout:
                        continue
                    except OSError:
                        return

    def finish(self):
        self.release.set()
        self.thread.join(WAIT)
        self.sock.close()
        assert not self.thread.is_alive(), "peer did not finish its script"
        if self.error:
            raise self.error


@pytest.fixture
def peer():
    peers = []

    def make(*scripts, **kw):
        p = Peer(*scripts, **kw)
        peers.append(p)
        return p

    yield make
    for p in peers:
        p.finish()


def connect(p, host="127.0.0.1", timeout=WAIT, slow_timeout=2 * WAIT):
    link = _TCPConn(host, p.port, timeout, slow_timeout)
    assert link.initConnection() is True
    return link


BLOCK = b"#216" + b"\r\n\x00\xff" * 4 + b"\r\n"  # 16 data bytes holding CR LF


@pytest.mark.parametrize(
    "reply, parts",
    [
        (b"FPGA-ID-7\r\n", [b"FPG", b"A-ID-7\r", b"\n"]),
        (BLOCK, [BLOCK[:1], BLOCK[1:3], BLOCK[3:10], BLOCK[10:-1], BLOCK[-1:]]),
        (BLOCK, [BLOCK[i:i + 1] for i in range(4)] + [BLOCK[4:-2], BLOCK[-2:-1], BLOCK[-1:]]),
    ],
    ids=["line", "block", "block-header-byte-by-byte"],
)
def test_reply_split_across_segments_comes_back_whole(peer, reply, parts):
    assert b"".join(parts) == reply
    steps = [("recv", b"CMD\r\n")]
    for part in parts:
        steps += [("send", part), ("pause", 0.03)]
    p = peer(steps + steps)
    link = connect(p)
    link.sendRawBytes(b"CMD\r\n")
    assert link.recvRawBytes(1024) == reply
    r = link.sendCmd(b"CMD\r\n", LIST)
    assert r.RetData == reply[:-2].decode("utf-8", "replace")


def test_bytes_behind_a_reply_answer_the_next_read(peer):
    p = peer([
        ("recv", b"A\r\n"),
        ("send", b"0\r\n" + BLOCK + b"\r\nlast\r\n"),
        ("recv", b"FPGA_READ\r\n"),
        ("recv", b"B\r\n"),
        ("recv", b"C\r\n"),
    ])
    link = connect(p)
    assert link.sendCmd(b"A\r\n", LIST).RetData == "0"
    link.sendRawBytes(b"FPGA_READ\r\n")
    assert link.recvRawBytes(1024) == BLOCK
    assert link.sendCmd(b"B\r\n", LIST).RetData == ""
    assert link.sendCmd(b"C\r\n", LIST).RetData == "last"


@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_command_bytes_go_out_unaltered_and_reply_is_a_rettype(peer, host):
    program = b"FPGA_PROGRAM #216" + b"\r\n" * 8 + b"\r\n"
    p = peer([
        ("recv", program), ("send", b" 0\r\n"),
        ("recv", bytes(program)), ("send", b"\xffok\r\n"),
    ])
    link = connect(p, host)
    r = link.sendCmd(program, LIST)
    assert type(r) is RetType
    assert (r.RetCode, r.RetMsg, r.RetData) == (RetCode.OK, "", " 0")
    assert link.sendCmd(bytearray(program), _RspType.RSP_STRING).RetData == "\ufffdok"


def test_reply_records_follow_a_patched_or_replaced_rettype(peer, monkeypatch):
    import quorvex.QVRUtils as utils

    p = peer([("recv", b"A\r\n"), ("send", b"1\r\n"), ("recv", b"B\r\n"), ("send", b"2\r\n")])
    link = connect(p)
    seen = []
    original = RetType.__init__

    def init(self, *args, **kwargs):
        seen.append((args, kwargs))
        original(self, *args, **kwargs)

    monkeypatch.setattr(RetType, "__init__", init)
    assert link.sendCmd(b"A\r\n", LIST).RetData == "1" and seen == [((), {"data": "1"})]
    monkeypatch.undo()

    class Other:
        def __init__(self, code=None, msg=None, data=None):
            self.RetData = ("other", data)

    monkeypatch.setattr(utils, "RetType", Other)
    assert link.sendCmd(b"B\r\n", LIST).RetData == ("other", "2")


# The link knows RetType's own __init__ by identity. A new __init__ that
# lands where a freed one lay must still be run: the link keeps the one it
# knows alive. In a child process, as the test leaves RetType altered.
STAND_IN_SCRIPT = r"""
import socket, threading
from quorvex.QVRCommService import _TCPConn
from quorvex import QVRUtils

srv = socket.create_server(("127.0.0.1", 0))

def serve():
    conn, _ = srv.accept()
    with conn:
        while data := conn.recv(64):
            conn.sendall(b"1\r\n" * data.count(b"\n"))

threading.Thread(target=serve, daemon=True).start()
link = _TCPConn("127.0.0.1", srv.getsockname()[1])
assert link.initConnection()
seen = []

def make_init():
    def __init__(self, code=QVRUtils.RetCode.OK, msg="", data=None):
        seen.append(data)
        self.RetCode, self.RetMsg, self.RetData = code, msg, data
    return __init__

del QVRUtils.RetType.__init__  # the class held the last reference to it
for i in range(20):
    QVRUtils.RetType.__init__ = make_init()
    link.sendCmd(b"A\r\n", None)
    assert len(seen) == i + 1, f"the new __init__ was skipped at call {i}"
"""


def test_a_new_rettype_init_is_run_even_where_a_freed_one_lay():
    import subprocess
    import sys

    r = subprocess.run([sys.executable, "-c", STAND_IN_SCRIPT], capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr


@pytest.mark.parametrize("reply", [BLOCK, b"FPGA-ID-7 and more\r\n"], ids=["block", "line"])
@pytest.mark.parametrize("sizes", [[6, 5, 1, 1024], [0, 3, 0, 1024], [len(BLOCK) - 1, 1024]])
def test_rest_of_a_cut_reply_is_served_in_order_by_the_next_reads(peer, reply, sizes):
    # The next reply is already buffered behind the cut one: it must not be
    # served with the rest, however large the read. No read waits on the
    # socket while a rest is left (the peer sends nothing more until X).
    p = peer([("recv", b"FPGA_READ\r\n"), ("send", reply + b"7\r\n"),
              ("recv", b"X\r\n"), ("send", b"8\r\n")])
    link = connect(p, timeout=1.0)
    link.sendRawBytes(b"FPGA_READ\r\n")
    got, left = [], reply
    for size in sizes:
        piece = link.recvRawBytes(size)
        assert piece == left[:size]
        got.append(piece)
        left = left[len(piece):]
        if not left:
            break
    assert b"".join(got) == reply
    assert link.recvRawBytes(1024) == b"7\r\n"
    assert link.sendCmd(b"X\r\n", LIST).RetData == "8"


@pytest.mark.parametrize("cut, rest", [(4, "456789"), (11, ""), (12, None)])
def test_command_after_a_cut_reply_reads_its_rest_first(peer, cut, rest):
    # The rest of a cut reply is the next reply in the stream: a command
    # gets it (without its CR LF, or what is left of it), and the command's
    # own reply waits for the next read. A reply read whole leaves nothing.
    p = peer([("recv", b"FPGA_READ\r\n"), ("send", b"0123456789\r\n"),
              ("recv", b"A\r\n"), ("send", b"a\r\n"), ("recv", b"B\r\n"), ("send", b"b\r\n")])
    link = connect(p)
    link.sendRawBytes(b"FPGA_READ\r\n")
    assert link.recvRawBytes(cut) == b"0123456789\r\n"[:cut]
    if rest is None:
        assert link.sendCmd(b"A\r\n", LIST).RetData == "a"
        assert link.sendCmd(b"B\r\n", LIST).RetData == "b"
    else:
        assert link.sendCmd(b"A\r\n", LIST).RetData == rest
        assert link.recvRawBytes(1024) == b"a\r\n"
        assert link.sendCmd(b"B\r\n", LIST).RetData == "b"


def test_no_received_byte_is_lost_across_small_reads(peer):
    # A stream of lines and blocks (whose data holds CR LF and '#'), sent in
    # odd segments and read with sizes that cut most replies: each read gives
    # the next bytes of the current reply, never bytes of the one after.
    rng = random.Random(7)
    replies = []
    for i in range(60):
        if i % 3:
            data = bytes(rng.choice(b"#\r\n\x00\xffab") for _ in range(rng.randint(0, 40)))
            replies.append(b"#%d%d" % (len(str(len(data))), len(data)) + data + b"\r\n")
        else:
            replies.append(b"line %d%s\r\n" % (i, b"#" * rng.randint(0, 30)))
    stream = b"".join(replies)
    cuts = sorted(rng.sample(range(1, len(stream)), 25))
    steps = [("recv", b"FPGA_READ\r\n")]
    for a, b in zip([0] + cuts, cuts + [len(stream)]):
        steps += [("send", stream[a:b]), ("pause", 0.005)]
    p = peer(steps + [("recv", b"X\r\n"), ("send", b"done\r\n")])
    link = connect(p)
    link.sendRawBytes(b"FPGA_READ\r\n")
    for reply in replies:
        left = reply
        while left:
            size = rng.choice([0, 1, 2, 5, 16, 1024])
            piece = link.recvRawBytes(size)
            assert piece == left[:size]
            left = left[len(piece):]
    assert link.sendCmd(b"X\r\n", LIST).RetData == "done"


@pytest.mark.parametrize("reply", [b"#x1\r\n", b"#0\r\n", b"#21x\r\n", b"#2\r\n", b"#\r\n"],
                         ids=["digit-count", "zero-digits", "length-digit", "short", "bare"])
def test_hash_without_a_block_header_is_a_line(peer, reply):
    p = peer([("recv", b"FPGA_READ\r\n"), ("send", reply + b"7\r\n")])
    link = connect(p)
    link.sendRawBytes(b"FPGA_READ\r\n")
    assert link.recvRawBytes(1024) == reply
    assert link.recvRawBytes(1024) == b"7\r\n"


def assert_broken(link, p):
    assert not link.connected
    with pytest.raises(ConnectionError, match=rf"^link to 127\.0\.0\.1:{p.port} is closed$"):
        link.sendCmd(b"AGAIN\r\n", LIST)
    with pytest.raises(ConnectionError, match="is closed"):
        link.recvRawBytes(1024)


@pytest.mark.parametrize("sent", [b"", b"partial"])
def test_silent_peer_times_out_and_breaks_the_link(peer, sent):
    p = peer([("recv", b"FPGA_GET_ID\r\n"), ("send", sent), ("pause", 0.4), ("blast", b"late\r\n")])
    link = connect(p, timeout=0.2)
    with pytest.raises(TimeoutError, match=rf"127\.0\.0\.1:{p.port} to FPGA_GET_ID within 0\.2 s"):
        link.sendCmd(b"FPGA_GET_ID\r\n", LIST)
    time.sleep(0.3)  # the late reply arrives: it must not answer anything
    assert_broken(link, p)


@pytest.mark.parametrize("sent", [b"", b"half a li", b"#216\r\n"], ids=["nothing", "line", "block"])
def test_peer_that_closes_raises_connection_error(peer, sent):
    p = peer([("recv", b"FPGA_READ\r\n"), ("send", sent)])
    link = connect(p)
    link.sendRawBytes(b"FPGA_READ\r\n")
    with pytest.raises(ConnectionError, match=rf"127\.0\.0\.1:{p.port} closed the connection"):
        link.recvRawBytes(1024)
    assert_broken(link, p)


@pytest.mark.parametrize("reply", [
    b"x" * (_MAX_REPLY + 1) + b"\r\n",
    b"#7%07d" % (_MAX_REPLY + 1),
    # Refused from its leading digits: the rest of the header never comes,
    # so a link that waited for it would time out instead.
    b"#82",
    b"#9" + b"9" * 5,
    b"#13abcX\r\n",
], ids=["line", "block", "block-leading-digits", "block-nine-digits", "block-without-crlf"])
def test_overlong_or_malformed_reply_breaks_the_link(peer, reply):
    p = peer([("recv", b"GET_FE_INFO\r\n"), ("blast", reply), ("hold",)])
    link = connect(p, timeout=2.0)
    with pytest.raises(ConnectionError, match=rf"127\.0\.0\.1:{p.port} to GET_FE_INFO"):
        link.sendCmd(b"GET_FE_INFO\r\n", LIST)
    assert_broken(link, p)


def test_reply_of_the_longest_length_is_accepted(peer):
    line = b"y" * _MAX_REPLY
    data = b"y\r\n" * (_MAX_REPLY // 3) + b"y" * (_MAX_REPLY % 3)
    block = b"#7%07d" % _MAX_REPLY + data + b"\r\n"
    p = peer([("recv", b"GET_FE_INFO\r\n"), ("send", line + b"\r\n"),
              ("recv", b"FPGA_READ\r\n"), ("send", block + b"7\r\n")])
    link = connect(p)
    assert link.sendCmd(b"GET_FE_INFO\r\n", LIST).RetData == line.decode()
    link.sendRawBytes(b"FPGA_READ\r\n")
    assert link.recvRawBytes(2 * _MAX_REPLY) == block
    assert link.recvRawBytes(1024) == b"7\r\n"


def test_erase_waits_for_the_slow_timeout_other_commands_do_not(peer):
    script = [("recv", b"FPGA_ERASE 12\r\n"), ("pause", 0.6), ("send", b"0\r\n")]
    p = peer(script, [("recv", b"FPGA_DONE\r\n"), ("pause", 0.6), ("send", b"0\r\n")])
    link = connect(p, timeout=0.2, slow_timeout=3.0)
    assert link.sendCmd(b"FPGA_ERASE 12\r\n", LIST).RetData == "0"
    link = connect(p, timeout=0.2, slow_timeout=3.0)
    with pytest.raises(TimeoutError, match="to FPGA_DONE within 0.2 s"):
        link.sendCmd(b"FPGA_DONE\r\n", LIST)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("host", ["127.0.0.1", "no-such-host.invalid"])
def test_unreachable_device_gives_false(host):
    link = _TCPConn(host, free_port(), timeout=1.0)
    assert link.initConnection() is False
    assert link.last_error
    with pytest.raises(ConnectionError, match="not connected"):
        link.sendCmd(b"X\r\n", LIST)


def test_ipv6_loopback(peer):
    if not socket.has_ipv6:
        pytest.skip("no IPv6")
    try:
        p = peer([("recv", b"GET_SN\r\n"), ("send", b"SN42\r\n")],
                 family=socket.AF_INET6, host="::1")
    except OSError:
        pytest.skip("no IPv6 loopback")
    link = _TCPConn("::1", p.port, timeout=1.0)
    assert link.initConnection()
    assert link.sendCmd(b"GET_SN\r\n", LIST).RetData == "SN42"
    link.closeConnection()
    with pytest.raises(ConnectionError, match=rf"^link to \[::1\]:{p.port} is closed$"):
        link.sendCmd(b"GET_SN\r\n", LIST)


def test_close_twice_and_reconnect(peer):
    p = peer([("hold",)], [("recv", b"A\r\n"), ("send", b"1\r\n")])
    link = connect(p)
    link.closeConnection()
    link.closeConnection()
    assert_broken(link, p)
    assert link.initConnection()
    assert link.sendCmd(b"A\r\n", LIST).RetData == "1"
    assert link.connected


def test_close_from_another_thread_wakes_a_waiting_call(peer):
    p = peer([("recv", b"FPGA_ERASE 14\r\n"), ("hold",)])
    link = connect(p)
    threading.Timer(0.2, link.closeConnection).start()
    with pytest.raises(ConnectionError, match="is closed"):
        link.sendCmd(b"FPGA_ERASE 14\r\n", LIST)


def commands_from_two_threads(link, n, wait=WAIT):
    """Two threads send n commands each over `link` to an echoing peer: the
    commands whose reply was not their own, and whether a thread hung."""
    wrong = []

    def run(tag):
        for i in range(n):
            cmd = b"%s%d\r\n" % (tag, i)
            if link.sendCmd(cmd, LIST).RetData != cmd[:-2].decode():
                wrong.append(cmd)

    threads = [threading.Thread(target=run, args=(t,)) for t in (b"A", b"B")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(wait)
    return wrong, any(t.is_alive() for t in threads)


def test_threads_sharing_a_link_each_get_their_own_replies(peer):
    n = 300
    p = peer([("echo", 2 * n)])
    assert commands_from_two_threads(connect(p), n) == ([], False)


@pytest.mark.parametrize("how", ["interrupt_main", "sigint"])
def test_ctrl_c_ends_a_wait_and_breaks_the_link(peer, how):
    if how == "interrupt_main":
        interrupt = _thread.interrupt_main
    else:
        main = threading.main_thread().ident
        interrupt = lambda: signal.pthread_kill(main, signal.SIGINT)  # noqa: E731
    p = peer([("recv", b"FPGA_GET_ID\r\n"), ("hold",)])
    link = connect(p)
    timer = threading.Timer(0.2, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            link.sendCmd(b"FPGA_GET_ID\r\n", LIST)
    finally:
        timer.cancel()
    assert_broken(link, p)
