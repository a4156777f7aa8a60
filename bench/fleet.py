"""Fleet updates through quorvex.fleet.update against the limits of a native
client, on emulated devices that delay every reply.

For each setting (devices @ reply delay) one process serves the emulators
and, one after the other:
  - quorvex.fleet.update on one device alone (t1), then on all N (tN);
  - N blocking C++ clients at once, one thread each (bench/raw_client.cpp);
  - one C++ client driving all N sockets from one epoll thread (the limit).
Every updating process runs in a child of its own and is timed inside it;
the emulators' process is measured apart (/proc/PID/stat).

Printed: the speed-up over one device (N x t1 / tN), our aggregate rate over
the blocking clients' and over the epoll client's, the CPU time of the
updating process per 16-byte block (each block written and its page read
back) for all three, and the emulators' CPU per block in each run. A last
row updates many devices (512@5ms) with a larger image, after the epoll
client on the same emulators, checks that every one was updated, and
reports the updating process's peak memory growth per device. The children
raise their soft limit on open files to the hard one.

Aims (only printed, never enforced): at 128@1ms, >= 0.9 of the epoll
client's rate, > 1.0 of the blocking clients', CPU per block <= 1.5x the
epoll client's; at 64@2ms and 16@500us, >= 0.95 of the epoll client's rate;
the big run, <= 64 KiB of memory per device. The benchmark fails (status 1,
after the table) when any update fails or times out."""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import (FLEET_UPDATE, build_raw_client, emulator_process, image,  # noqa: E402
                     run_child)

HOST = "127.0.0.1"
MEMORY_AIM_KIB = 64
# The aims of each setting: ours/epoll aggregate at least, ours/blocking above,
# our CPU per block over the epoll client's at most (None: no aim).
AIMS = {(128, 1000): (0.9, 1.0, 1.5), (64, 2000): (0.95, None, None),
        (16, 500): (0.95, None, None)}


class Failed(Exception):
    """An update that failed or did not end in time."""


def setting(text):
    """"16@500" -> (16, 500): devices @ reply delay in microseconds."""
    try:
        n, delay = text.split("@")
        n, delay = int(n), int(delay)
    except ValueError:
        raise argparse.ArgumentTypeError(f"bad setting {text!r}: expected DEVICES@DELAY_US")
    if n < 1 or delay < 0:
        raise argparse.ArgumentTypeError(f"bad setting {text!r}: devices >= 1, delay >= 0")
    return n, delay


def settings(text):
    return [setting(t) for t in text.split(",") if t.strip()]


def measure(emu, run):
    """run() -> result dict, with the emulators' CPU during it added."""
    c0 = emu.cpu()
    r = run()
    r["emu_cpu"] = emu.cpu() - c0
    return r


def ours(ports, path, timeout):
    what = f"quorvex.fleet.update of {len(ports)} device{'s' if len(ports) > 1 else ''}"
    spec = json.dumps({"host": HOST, "ports": ports, "image": path, "retries": 0,
                       "timeout": 10.0})
    try:
        r = run_child(FLEET_UPDATE, spec, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Failed(f"{what}: no end after {timeout:.0f} s (killed)")
    except subprocess.CalledProcessError as e:
        raise Failed(f"{what}: the child process failed with status {e.returncode}")
    if not r["ok"]:
        counts = {k: v for k, v in r["counts"].items() if v}
        raise Failed(f"{what}: {counts}; " + "; ".join(r["failed"]))
    return r


def raw(exe, mode, ports, path, timeout):
    what = f"the {mode} raw client on {len(ports)} devices"
    try:
        p = subprocess.run([exe, f"--{mode}", HOST, path, *map(str, ports)], timeout=timeout,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    except subprocess.TimeoutExpired:
        raise Failed(f"{what}: no end after {timeout:.0f} s (killed)")
    r = json.loads(p.stdout) if p.stdout.strip() else {"ok": False}
    if p.returncode != 0 or not r["ok"]:
        raise Failed(f"{what}: status {p.returncode}: "
                     f"{p.stderr.strip() or 'the pages read back differ from the image'}")
    return r


def best(runs):
    return min(runs, key=lambda r: r["wall"])


def run_setting(exe, n, delay, size, rounds, timeout, path):
    """The figures of one setting: best of `rounds` for each of the four runs."""
    blocks = (size + 15) // 16
    with emulator_process(n, delay_us=delay, flash_size=max(size, 1 << 20)) as emu:
        runs = {"one": [], "ours": [], "blocking": [], "epoll": []}
        for _ in range(rounds):  # interleaved, so drift hits all alike
            runs["one"].append(measure(emu, lambda: ours(emu.ports[:1], path, timeout)))
            runs["ours"].append(measure(emu, lambda: ours(emu.ports, path, timeout)))
            runs["blocking"].append(
                measure(emu, lambda: raw(exe, "threads", emu.ports, path, timeout)))
            runs["epoll"].append(measure(emu, lambda: raw(exe, "epoll", emu.ports, path, timeout)))
    one, o, b, e = (best(runs[k]) for k in ("one", "ours", "blocking", "epoll"))
    per = 1e6 / (n * blocks)  # seconds over the run -> microseconds per block
    return {
        "n": n, "delay": delay, "size": size, "t1": one["wall"], "tn": o["wall"],
        "tb": b["wall"], "te": e["wall"],
        "speedup": n * one["wall"] / o["wall"],
        "vs_blocking": b["wall"] / o["wall"], "vs_epoll": e["wall"] / o["wall"],
        "cpu": (o["cpu"] * per, b["cpu"] * per, e["cpu"] * per),
        "emu": (o["emu_cpu"] * per, b["emu_cpu"] * per, e["emu_cpu"] * per),
        "rate": n * size / o["wall"],
    }


def run_big(exe, n, delay, size, timeout, path):
    """The memory run: the epoll client first (the emulators hold up, and the
    time to beat), then ours, which must update every device."""
    blocks = (size + 15) // 16
    with emulator_process(n, delay_us=delay, flash_size=max(size, 1 << 20),
                          start_timeout=timeout) as emu:
        try:
            e = measure(emu, lambda: raw(exe, "epoll", emu.ports, path, timeout))
        except Failed as x:
            raise Failed(f"the emulators did not hold up: {x}")
        r = measure(emu, lambda: ours(emu.ports, path, timeout))
    per = 1e6 / (n * blocks)
    return {"n": n, "delay": delay, "size": size, "tn": r["wall"], "te": e["wall"],
            "vs_epoll": e["wall"] / r["wall"], "cpu": (r["cpu"] * per, e["cpu"] * per),
            "emu": (r["emu_cpu"] * per, e["emu_cpu"] * per), "rate": n * size / r["wall"],
            "memory_kib": (r["maxrss_kib"] - r["before_kib"]) / n, "nofile": r["nofile"],
            "counts": r["counts"]}


def label(n, delay):
    return f"{n}@{delay / 1000:g}ms" if delay >= 1000 else f"{n}@{delay}us"


def aims_text(row):
    aim = AIMS.get((row["n"], row["delay"]))
    if not aim:
        return ""
    ge_epoll, gt_blocking, cpu_max = aim
    parts = [f"epoll >= {ge_epoll} {'met' if row['vs_epoll'] >= ge_epoll else 'MISSED'}"]
    if gt_blocking is not None:
        parts.append(f"blocking > {gt_blocking} "
                     f"{'met' if row['vs_blocking'] > gt_blocking else 'MISSED'}")
    if cpu_max is not None:
        ratio = row["cpu"][0] / row["cpu"][2]
        parts.append(f"cpu <= {cpu_max}x epoll {'met' if ratio <= cpu_max else 'MISSED'}")
    return "; ".join(parts)


def print_table(rows, failures, big, big_failure):
    print()
    print("speed-up: N x t1 / tN; /blocking, /epoll: our aggregate rate over theirs; CPU: the")
    print("updating process's, emu: the emulators' process's, in us per 16-byte block (written")
    print("and read back) in our run / the blocking clients' / the epoll client's")
    head = (f"{'setting':<10} | {'speed-up':>8} | {'/blocking':>9} | {'/epoll':>6} | "
            f"{'CPU ours blocking epoll ours/epoll':>34} | {'emu ours blocking epoll':>23} | aims")
    print(head)
    print("-" * len(head))
    for row in rows:
        c, e = row["cpu"], row["emu"]
        print(f"{label(row['n'], row['delay']):<10} | {row['speedup']:7.1f}x | "
              f"{row['vs_blocking']:9.3f} | {row['vs_epoll']:6.3f} | "
              f"{c[0]:13.1f} {c[1]:8.1f} {c[2]:5.1f} {c[0] / c[2]:9.2f}x | "
              f"{e[0]:8.1f} {e[1]:8.1f} {e[2]:5.1f} | {aims_text(row)}")
    for what, why in failures:
        print(f"{what:<10} | FAILED: {why}")
    if big:
        c, e = big["cpu"], big["emu"]
        print(f"{label(big['n'], big['delay']):<10} | {big['size'] // 1024} KiB each: all "
              f"{big['counts']['updated']} updated in {big['tn']:.1f} s "
              f"({big['rate'] / 1024:.0f} KiB/s), the epoll client {big['te']:.1f} s "
              f"(/epoll {big['vs_epoll']:.3f}); CPU {c[0]:.1f} vs epoll {c[1]:.1f} us/block, "
              f"emu {e[0]:.1f} vs {e[1]:.1f}")
        print(f"{'':<10} | memory growth {big['memory_kib']:.1f} KiB per device "
              f"(aim <= {MEMORY_AIM_KIB} KiB: "
              f"{'met' if big['memory_kib'] <= MEMORY_AIM_KIB else 'MISSED'})")
    if big_failure:
        print(f"{big_failure[0]:<10} | FAILED: {big_failure[1]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, allow_abbrev=False,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--settings", type=settings, default=None,
                        help="DEVICES@DELAY_US,... (default 16@500,64@2000,128@1000)")
    parser.add_argument("--size", type=int, default=None,
                        help="image bytes per device (default 16 KiB)")
    parser.add_argument("--big", type=settings, default=None,
                        help="the memory run, DEVICES@DELAY_US (default 512@5000); '' skips it")
    parser.add_argument("--big-size", type=int, default=None,
                        help="image bytes per device of the memory run (default 32 KiB)")
    parser.add_argument("--rounds", type=int, default=2,
                        help="runs of each setting, interleaved; the best counts (default 2)")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds one run of a setting may take before it is killed "
                             "(default 120, 30 with --quick)")
    parser.add_argument("--big-timeout", type=float, default=None,
                        help="the same for each run of the memory run (default 300, 30 with "
                             "--quick)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: few devices, small images")
    args = parser.parse_args()
    q = args.quick
    todo = args.settings if args.settings is not None else \
        settings("4@500,8@2000,16@1000" if q else "16@500,64@2000,128@1000")
    size = args.size if args.size is not None else (2048 if q else 16 * 1024)
    big = args.big if args.big is not None else settings("32@5000" if q else "512@5000")
    big_size = args.big_size if args.big_size is not None else (2048 if q else 32 * 1024)
    timeout = args.timeout or (30.0 if q else 120.0)
    big_timeout = args.big_timeout or (30.0 if q else 300.0)
    if size < 1 or big_size < 1 or args.rounds < 1:
        parser.error("sizes and rounds must be at least 1")

    start = time.monotonic()
    rows, failures, big_row, big_failure = [], [], None, None
    with tempfile.TemporaryDirectory() as tmp:
        exe = build_raw_client(tmp)
        with image(size) as path:
            for n, delay in todo:
                print(f"{label(n, delay)}: {size} bytes each ...", flush=True)
                try:
                    row = run_setting(exe, n, delay, size, args.rounds, timeout, path)
                except (Failed, RuntimeError) as e:
                    failures.append((label(n, delay), str(e)))
                    print(f"  FAILED: {e}", flush=True)
                    continue
                rows.append(row)
                print(f"  one device {row['t1']:.2f} s; all {n}: ours {row['tn']:.2f} s, "
                      f"blocking raw {row['tb']:.2f} s, epoll raw {row['te']:.2f} s",
                      flush=True)
        for n, delay in big:
            print(f"{label(n, delay)}: {big_size} bytes each, through quorvex.fleet.update "
                  f"(open-file limit raised to the hard one in the children) ...", flush=True)
            try:
                with image(big_size) as path:
                    big_row = run_big(exe, n, delay, big_size, big_timeout, path)
                print(f"  ours {big_row['tn']:.2f} s, epoll raw {big_row['te']:.2f} s; "
                      f"open-file limit {big_row['nofile']}", flush=True)
            except (Failed, RuntimeError) as e:
                big_failure = (label(n, delay), str(e))
                print(f"  FAILED: {e}", flush=True)
    print_table(rows, failures, big_row, big_failure)
    print(f"aims: 128@1ms >= 0.9 of epoll raw, > 1.0 of blocking raw, CPU/block <= 1.5x epoll "
          f"raw's; 64@2ms and 16@500us >= 0.95 of epoll raw; memory <= {MEMORY_AIM_KIB} KiB "
          f"per device")
    print(f"whole benchmark: {time.monotonic() - start:.0f} s")
    if failures or big_failure:
        sys.exit(1)


if __name__ == "__main__":
    main()
