"""Shared pieces of the benchmarks: emulators in a process of their own (so
their CPU time is not the updating process's), test images, child processes
that time one update and report as JSON."""

import contextlib
import json
import os
import subprocess
import sys
import tempfile

SERVE = r"""
import json, sys
from quorvex.emulator import DeviceEmulator
options = json.loads(sys.argv[1])
count = options.pop("count", 1)
emus = [DeviceEmulator(**options) for _ in range(count)]
print(json.dumps([e.port for e in emus]), flush=True)
sys.stdin.read()  # serve until the parent closes our stdin
for e in emus:
    e.close()
"""


@contextlib.contextmanager
def emulators(count=1, **options):
    """Ports of `count` emulators served by one child process."""
    options["count"] = count
    proc = subprocess.Popen([sys.executable, "-c", SERVE, json.dumps(options)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        if not line:
            raise RuntimeError("the emulator process did not start")
        yield json.loads(line)
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)


@contextlib.contextmanager
def image(size, suffix=".bin"):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "image" + suffix)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        yield path


def run_child(code, *args):
    """Runs `code` in a fresh interpreter; its last stdout line is JSON."""
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


# One update by FpgaTool over its own TCP link, timed inside the process:
# wall clock and CPU (user + sys, all threads) around processFpgaUpdate alone.
OUR_UPDATE = r"""
import json, os, sys, time, resource
from quorvex.QVRFpga import FpgaTool
host, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
tool = FpgaTool(address=host, port=port)
devnull = open(os.devnull, "w")
real_stdout, sys.stdout = sys.stdout, devnull   # progress lines cost their writes, not a terminal
ru0 = resource.getrusage(resource.RUSAGE_SELF); w0 = time.monotonic()
ret = tool.processFpgaUpdate(path, 32)
w1 = time.monotonic(); ru1 = resource.getrusage(resource.RUSAGE_SELF)
sys.stdout = real_stdout
tool.disconnect()
cpu = (ru1.ru_utime - ru0.ru_utime) + (ru1.ru_stime - ru0.ru_stime)
print(json.dumps({"wall": w1 - w0, "cpu": cpu, "ok": ret.RetCode.name == "OK",
                  "maxrss_kib": ru1.ru_maxrss}))
"""
