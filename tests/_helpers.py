"""Small helpers shared by several test modules."""

import os
import signal
import socket
import time

from quorvex import tbin


def image(tmp_path, size, kind="bin"):
    """The path of a random image of `size` bytes: a .bin, or packed as a
    .tbin for device type 32."""
    return image_and_data(tmp_path, size, kind)[0]


def image_and_data(tmp_path, size, kind="bin"):
    """(path, raw bytes) of a random image of `size` bytes: a .bin, or packed
    as a .tbin for device type 32; the bytes are what the flash should hold."""
    raw = tmp_path / "image.bin"
    raw.write_bytes(os.urandom(size))
    if kind == "bin":
        return str(raw), raw.read_bytes()
    out = tmp_path / "image.tbin"
    tbin.pack_file(str(raw), str(out), 32)
    return str(out), raw.read_bytes()


def row_then_kill(p):
    """The row number child process `p` prints first; `p` is then killed
    with SIGKILL and reaped."""
    try:
        row = int(p.stdout.readline())
        p.send_signal(signal.SIGKILL)
        assert p.wait(10) == -signal.SIGKILL
    finally:
        p.kill()
        p.communicate()
    return row


def dead_ports(n):
    """n distinct loopback ports that nothing listens on (all held at once
    while drawn, so the kernel cannot hand the same one out twice)."""
    socks = [socket.socket() for _ in range(n)]
    try:
        for s in socks:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def dead_port():
    """A loopback port that nothing listens on."""
    return dead_ports(1)[0]


def wait_for(cond, timeout=20.0):
    """Returns once cond() is true; fails the test after `timeout` seconds."""
    end = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < end, "timed out waiting"
        time.sleep(0.02)
