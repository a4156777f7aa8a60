"""Shared pieces of the benchmarks: emulators in a process of their own (so
their CPU time is not the updating process's), test images, child processes
that time one update and report as JSON."""

import contextlib
import json
import os
import select
import subprocess
import sys
import tempfile

# Many emulators hold two descriptors each (listener, connection): the soft
# limit on open files is raised to the hard one first.
SERVE = r"""
import json, resource, sys
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
try:
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
except (ValueError, OSError):  # an unlimited hard limit: keep the soft one
    pass
from quorvex.emulator import DeviceEmulator
options = json.loads(sys.argv[1])
count = options.pop("count", 1)
emus = [DeviceEmulator(**options) for _ in range(count)]
print(json.dumps([e.port for e in emus]), flush=True)
sys.stdin.read()  # serve until the parent closes our stdin
for e in emus:
    e.close()
"""


class EmulatorProcess:
    """The child process serving emulators: their ports, its pid, and the
    CPU time it has used so far (user + sys of all its threads)."""

    def __init__(self, proc, ports):
        self.proc, self.ports, self.pid = proc, ports, proc.pid

    def cpu(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@contextlib.contextmanager
def emulator_process(count=1, start_timeout=60, **options):
    """An EmulatorProcess serving `count` emulators built with `options`.
    RuntimeError when it has not started within `start_timeout` seconds."""
    options["count"] = count
    proc = subprocess.Popen([sys.executable, "-c", SERVE, json.dumps(options)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], start_timeout)
        line = proc.stdout.readline() if ready else ""
        if not line:
            why = f"exited with status {proc.poll()}" if proc.poll() is not None \
                else f"had not started after {start_timeout} s"
            raise RuntimeError(f"the process serving {count} emulators {why}")
        yield EmulatorProcess(proc, json.loads(line))
    finally:
        proc.stdin.close()
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@contextlib.contextmanager
def emulators(count=1, **options):
    """Ports of `count` emulators served by one child process."""
    with emulator_process(count, **options) as served:
        yield served.ports


@contextlib.contextmanager
def image(size, suffix=".bin"):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "image" + suffix)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        yield path


HERE = os.path.dirname(os.path.abspath(__file__))


def build_raw_client(directory):
    """bench/raw_client.cpp built into `directory`, with the protocol code it
    shares with the link; the executable's path."""
    exe = os.path.join(directory, "raw_client")
    cxx = os.environ.get("CXX", "c++")
    core = os.path.join(HERE, os.pardir, "src", "core")
    subprocess.run([cxx, "-O2", "-std=c++17", "-pthread", "-I", core, "-o", exe,
                    os.path.join(HERE, "raw_client.cpp"), os.path.join(core, "protocol.cpp")],
                   check=True)
    return exe


def run_child(code, *args, timeout=None):
    """Runs `code` in a fresh interpreter; its last stdout line is JSON.
    subprocess.TimeoutExpired once `timeout` seconds have passed (the child
    is killed)."""
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], check=True,
                         stdout=subprocess.PIPE, text=True, timeout=timeout).stdout
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


# One fleet run through quorvex.fleet.update, timed inside the process like
# OUR_UPDATE: wall clock, CPU and peak RSS around update() alone. Arguments:
# a JSON object of host, ports, image, retries and timeout. Prints the
# outcome counts, the first failures' messages, and the peak RSS before and
# after. The library's output (fd 1 as well as sys.stdout) goes to
# /dev/null; the soft limit on open files is raised to the hard one, since
# every device holds a socket.
FLEET_UPDATE = r"""
import json, os, sys, time, resource
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
try:
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
except (ValueError, OSError):  # an unlimited hard limit: keep the soft one
    pass
from quorvex import fleet
args = json.loads(sys.argv[1])
devices = [fleet.Device(args["host"], p, device_type=32) for p in args["ports"]]
sys.stdout.flush()
real_fd = os.dup(1)
devnull = open(os.devnull, "w")
os.dup2(devnull.fileno(), 1)
real_stdout, sys.stdout = sys.stdout, devnull
ru0 = resource.getrusage(resource.RUSAGE_SELF); w0 = time.monotonic()
report = fleet.update(args["image"], devices, retries=args["retries"], timeout=args["timeout"])
w1 = time.monotonic(); ru1 = resource.getrusage(resource.RUSAGE_SELF)
sys.stdout = real_stdout
os.dup2(real_fd, 1)
cpu = (ru1.ru_utime - ru0.ru_utime) + (ru1.ru_stime - ru0.ru_stime)
failed = [f"{r.device.label}: {r.outcome}: {r.message}" for r in report.results
          if r.outcome != fleet.UPDATED]
print(json.dumps({"wall": w1 - w0, "cpu": cpu, "counts": report.counts(),
                  "ok": not failed and len(report.results) == len(devices),
                  "failed": failed[:5], "before_kib": ru0.ru_maxrss,
                  "maxrss_kib": ru1.ru_maxrss,
                  "nofile": resource.getrlimit(resource.RLIMIT_NOFILE)[0]}))
"""
