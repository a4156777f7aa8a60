"""The emulator's two costs: the link (latency_us, replies overlapping) and
the device's own work (busy_us, one command at a time), with commands sent
back to back in one write. Times are only bounded from below, where a timer
can never be early, or compared against the cost of the serial alternative
with a wide margin."""

import socket
import threading
import time

import pytest

from quorvex.emulator import DeviceEmulator

WAIT = 10.0


def _connect(emu):
    return socket.create_connection((emu.host, emu.port), timeout=WAIT)


def _read_exactly(sock, n):
    got = bytearray()
    while len(got) < n:
        chunk = sock.recv(65536)
        if not chunk:
            break
        got += chunk
    return bytes(got)


def _program(block):
    return b"FPGA_PROGRAM #2%02d" % len(block) + block + b"\r\n"


# A pipelined mix: a block holding CR LF, queries, read-back pages.
BLOCK = b"ab\r\ncd\r\n" * 2
BATCH = (b"FPGA_RST_PAGE_PTR CFG\r\n" + _program(BLOCK) + b"FPGA_GET_ID\r\nGET_SN\r\n"
         + b"FPGA_RST_PAGE_PTR CFG\r\nFPGA_READ\r\nFPGA_READ\r\nGET_FPGA_VER\r\n")
REPLIES = (b"0\r\n0\r\n0x51A70032\r\nQVX-EMU-0001\r\n0\r\n#216" + BLOCK + b"\r\n#200\r\n"
           + b"0.2.4.0\r\n")


@pytest.mark.parametrize("options", [
    {},
    {"latency_us": 3000},
    {"busy_us": 500},
    {"latency_us": 2000, "busy_us": 300, "split_replies": 2},
    {"latency_us": 2000, "delay_us": 1000},
])
@pytest.mark.parametrize("half_close", [False, True])
def test_commands_sent_together_are_answered_in_order(options, half_close):
    with DeviceEmulator(record_commands=True, **options) as emu:
        s = _connect(emu)
        s.sendall(BATCH)
        if half_close:  # what was sent before is still answered, then the connection ends
            s.shutdown(socket.SHUT_WR)
        assert _read_exactly(s, len(REPLIES)) == REPLIES
        if half_close:
            assert s.recv(1) == b""
        s.close()
        assert b"".join(emu.commands()) == BATCH


def test_a_drop_behind_queued_replies_comes_after_them():
    with DeviceEmulator(latency_us=20_000, drop_after=3) as emu:
        s = _connect(emu)
        s.sendall(b"GET_SN\r\n" * 6)
        assert _read_exactly(s, 1 << 10) == b"QVX-EMU-0001\r\n" * 3  # then closed
        s.close()
        assert emu.counters()["dropped"] == 1


def _timed_batch(emu, count, conns=1):
    """Seconds until every connection has all `count` replies to GET_SN sent
    in one write each, all connections at once."""
    socks = [_connect(emu) for _ in range(conns)]
    want = b"QVX-EMU-0001\r\n" * count
    got = [None] * conns

    def read(i):
        got[i] = _read_exactly(socks[i], len(want))

    threads = [threading.Thread(target=read, args=(i,)) for i in range(conns)]
    t0 = time.monotonic()
    for s in socks:
        s.sendall(b"GET_SN\r\n" * count)
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT)
    elapsed = time.monotonic() - t0
    for s in socks:
        s.close()
    assert got == [want] * conns
    return elapsed


def test_latency_overlaps_while_busy_and_delay_add_up():
    n, cost = 20, 0.1
    with DeviceEmulator(latency_us=int(cost * 1e6)) as emu:
        overlapped = _timed_batch(emu, n)
    with DeviceEmulator(delay_us=int(cost * 1e6) // 4) as emu:
        held = _timed_batch(emu, n)
    with DeviceEmulator(busy_us=int(cost * 1e6) // 4) as emu:
        busy = _timed_batch(emu, n // 2, conns=2)  # one device: the two connections queue
    assert overlapped >= cost                      # no reply leaves before its latency
    assert overlapped < n * cost / 4               # nor waits for the replies before it
    assert held >= n * cost / 4
    assert busy >= n * cost / 4
