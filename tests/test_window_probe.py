"""The window probe against the emulator (answers in order) and scripted
peers that do not."""

import socket
import threading

import pytest

from quorvex.emulator import DeviceEmulator
from quorvex.fleet._window import WINDOW, probe_window


class Peer:
    """A scripted device on the loopback: `answer(chunk)` gives the bytes to
    send back for each chunk received, None to close the connection."""

    def __init__(self, answer):
        self.srv = socket.create_server(("127.0.0.1", 0))
        self.port = self.srv.getsockname()[1]
        self.answer = answer
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        try:
            conn, _ = self.srv.accept()
        except OSError:
            return
        with conn:
            while True:
                chunk = conn.recv(4096)
                reply = self.answer(chunk) if chunk else None
                if reply is None:
                    return
                conn.sendall(reply)

    def close(self):
        self.srv.close()


def first_line_only(chunk):
    """A device that takes one command per read and drops the rest."""
    word = chunk.split(b"\r\n")[0]
    return {b"FPGA_GET_ID": b"0x51A70032\r\n", b"GET_SN": b"SN1\r\n"}.get(word, b"-1\r\n")


def one_answer_for_all(chunk):
    return b"0x51A70032\r\n"  # whatever was asked


@pytest.mark.parametrize("options", [{}, {"latency_us": 20_000, "split_replies": 3}])
def test_a_device_that_answers_in_order_gets_the_window(options):
    with DeviceEmulator(**options) as emu:
        assert probe_window((emu.host, emu.port), timeout=2.0) == WINDOW


@pytest.mark.parametrize("answer", [first_line_only, one_answer_for_all, lambda chunk: None,
                                    lambda chunk: b""])
def test_a_device_that_drops_or_muddles_pipelined_input_gets_1(answer):
    peer = Peer(answer)
    try:
        assert probe_window(("127.0.0.1", peer.port), timeout=0.3) == 1
    finally:
        peer.close()


def test_an_unreachable_device_gets_1():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]  # bound, not listening: refused
        assert probe_window(("127.0.0.1", port), timeout=0.5) == 1


@pytest.mark.parametrize("where", ["before", "while waiting"])
def test_a_cancel_ends_the_probe_at_once(where):
    import time

    asked = threading.Event()

    def swallow(chunk):  # takes the queries, never answers
        asked.set()
        return b""

    peer = Peer(swallow)
    cancel = threading.Event()
    if where == "before":
        cancel.set()
    else:  # the cancel comes once the queries are out and the probe waits on them
        threading.Thread(target=lambda: asked.wait(6.0) and cancel.set(), daemon=True).start()
    try:
        t0 = time.monotonic()
        assert probe_window(("127.0.0.1", peer.port), timeout=6.0, cancel=cancel) == 1
        assert time.monotonic() - t0 < 1.0
    finally:
        peer.close()


def test_a_probe_that_may_be_cancelled_still_finds_the_window():
    with DeviceEmulator(latency_us=20_000) as emu:
        assert probe_window((emu.host, emu.port), 2.0, cancel=threading.Event()) == WINDOW
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        assert probe_window(("127.0.0.1", s.getsockname()[1]), 0.5,
                            cancel=threading.Event()) == 1
