"""Windowed transfers against the emulator's two costs, each figure against a
baseline measured in the same run (the emulators serve from a process of
their own, so their CPU time is not ours).

One device (default), a 1 MiB image written and verified:
  - latency_us=1000: windows 1, 8, 32 and auto. Aim: window 32 at least 20x
    faster than window 1, the flash verified each time.
  - latency_us=1000, busy_us=100, window 32, against the device's own limit
    (busy_us x the commands of the transfer). Aim: within 1.25x of it.
  - latency_us=50: window 32 against the raw C++ client, which waits for every
    reply (bench/raw_client.cpp).
--fleet N: N devices at latency_us=2000, window 32 against window 1: the
aggregate rate and our CPU per 16-byte block written.

The transfers run on the native driver (QVRFpga._FleetDriver(window=N)
handed to each FpgaTool), "auto" first asking each device with
quorvex.fleet._window.probe_window."""

import argparse
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import build_raw_client, emulator_process, image, run_child  # noqa: E402

# One transfer per port, each on its own thread, through the driver with the
# window given ("auto": probed per device), timed around all of them.
WINDOWED = r"""
import json, os, sys, threading, time, resource
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
try:
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
except (ValueError, OSError):
    pass
from quorvex import QVRFpga
from quorvex.QVRFpga import FpgaTool
from quorvex.fleet._window import probe_window
args = json.loads(sys.argv[1])
host, ports, path, window = args["host"], args["ports"], args["image"], args["window"]
lanes = {}
results, used = [], []
lock = threading.Lock()

def lane(w):
    with lock:
        if w not in lanes:
            lanes[w] = QVRFpga._FleetDriver(window=w)
        return lanes[w]

def one(port):
    w = probe_window((host, port), 2.0) if window == "auto" else window
    tool = FpgaTool(address=host, port=port)
    try:
        terms = QVRFpga._Terms(driver=lane(w))
        ok = tool._updateUnder(terms, path, 32).RetCode.name == "OK"
    except Exception as e:
        ok = False
        print(f"{port}: {type(e).__name__}: {e}", file=sys.stderr)
    finally:
        tool.disconnect()
    with lock:
        results.append(ok)
        used.append(w)

devnull = open(os.devnull, "w")
real_stdout, sys.stdout = sys.stdout, devnull
ru0 = resource.getrusage(resource.RUSAGE_SELF); w0 = time.monotonic()
threads = [threading.Thread(target=one, args=(p,)) for p in ports]
for t in threads:
    t.start()
for t in threads:
    t.join()
w1 = time.monotonic(); ru1 = resource.getrusage(resource.RUSAGE_SELF)
sys.stdout = real_stdout
for l in lanes.values():
    l.close()
cpu = (ru1.ru_utime - ru0.ru_utime) + (ru1.ru_stime - ru0.ru_stime)
print(json.dumps({"wall": w1 - w0, "cpu": cpu, "ok": all(results) and len(results) == len(ports),
                  "windows": sorted(set(used))}))
"""


def windowed(ports, path, window, timeout):
    r = run_child(WINDOWED, json.dumps({"host": "127.0.0.1", "ports": ports, "image": path,
                                        "window": window}), timeout=timeout)
    assert r["ok"], f"an update with window {window} failed"
    return r


def commands(size):
    """The commands of one transfer: erase, two resets, a block and a page per
    16 bytes, done and refresh."""
    return 2 * ((size + 15) // 16) + 5


def one_device(args, tmp, path):
    size = args.size
    print(f"one device, {size} bytes ({(size + 15) // 16} blocks), best of {args.rounds}")
    with emulator_process(1, latency_us=1000, flash_size=max(size, 1 << 20)) as emu:
        best = {}
        for _ in range(args.rounds):
            for w in (1, 8, 32, "auto"):
                r = windowed(emu.ports, path, w, args.timeout)
                if w not in best or r["wall"] < best[w]["wall"]:
                    best[w] = r
    base = best[1]["wall"]
    print("latency_us=1000:")
    for w, r in best.items():
        used = f" (window {r['windows'][0]})" if w == "auto" else ""
        print(f"  window {w!s:>4}{used}: wall {r['wall']:8.3f} s   x{base / r['wall']:6.1f} "
              f"against window 1   cpu {r['cpu']:.3f} s")
    print(f"  ratio window 32 / window 1: x{base / best[32]['wall']:.1f}   (aim >= 20)")

    with emulator_process(1, latency_us=1000, busy_us=100, flash_size=max(size, 1 << 20)) as emu:
        walls = [windowed(emu.ports, path, 32, args.timeout)["wall"] for _ in range(args.rounds)]
    limit = commands(size) * 100e-6
    print(f"latency_us=1000, busy_us=100, window 32: wall {min(walls):.3f} s, device limit "
          f"{limit:.3f} s ({commands(size)} commands x 100 us): "
          f"x{min(walls) / limit:.3f}   (aim <= 1.25)")

    raw_exe = build_raw_client(tmp)
    with emulator_process(1, latency_us=50, flash_size=max(size, 1 << 20)) as emu:
        raw, ours = [], []
        for _ in range(args.rounds):
            out = subprocess.run([raw_exe, "127.0.0.1", str(emu.ports[0]), path], check=True,
                                 stdout=subprocess.PIPE, text=True).stdout
            raw.append(json.loads(out))
            ours.append(windowed(emu.ports, path, 32, args.timeout))
    assert all(r["ok"] for r in raw), "the raw client's update failed"
    rw, ow = min(r["wall"] for r in raw), min(r["wall"] for r in ours)
    print(f"latency_us=50: raw client (window 1) {rw:.3f} s, ours window 32 {ow:.3f} s: "
          f"x{rw / ow:.1f} faster")


def fleet(args, path):
    n, size = args.fleet, args.size
    blocks = n * ((size + 15) // 16)
    print(f"{n} devices, {size} bytes each, latency_us=2000, best of {args.rounds}")
    with emulator_process(n, latency_us=2000, flash_size=max(size, 1 << 20)) as emu:
        best = {}
        for _ in range(args.rounds):
            for w in (1, 32):
                r = windowed(emu.ports, path, w, args.timeout)
                if w not in best or r["wall"] < best[w]["wall"]:
                    best[w] = r
    for w, r in best.items():
        print(f"  window {w:>2}: wall {r['wall']:8.3f} s   {n * size / r['wall'] / 1e6:8.3f} MB/s "
              f"in all   cpu {r['cpu'] / blocks * 1e6:6.2f} us/block")
    print(f"  rate window 32 / window 1: x{best[1]['wall'] / best[32]['wall']:.1f}   "
          f"cpu per block window 32 / window 1: {best[32]['cpu'] / best[1]['cpu']:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=None,
                        help="image bytes (default 1 MiB; 64 KiB with --fleet)")
    parser.add_argument("--rounds", type=int, default=1, help="runs of each; the best counts")
    parser.add_argument("--fleet", type=int, default=0, metavar="N",
                        help="N devices at latency_us=2000 instead of the one-device tables")
    parser.add_argument("--timeout", type=float, default=1800, help="seconds one run may take")
    args = parser.parse_args()
    if args.size is None:
        args.size = (64 << 10) if args.fleet else (1 << 20)
    with tempfile.TemporaryDirectory() as tmp, image(args.size) as path:
        if args.fleet:
            fleet(args, path)
        else:
            one_device(args, tmp, path)


if __name__ == "__main__":
    main()
