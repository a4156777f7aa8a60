"""The live table's cost: `quorvex-fpga update` of N devices (30 and 128 by
default) with standard error on a pseudo-terminal, where the live table
runs, against the same run with standard error off a terminal, both in this
run against the same emulators (in a process of their own).

Prints, per device count, the wall time and the CPU time of the command in
both runs (best of the rounds, which alternate), the ratio of the wall times
(aim: 1.10 or less) and the display's share of one core: the extra CPU time
of the run on the terminal over its wall time (aim: 5 % or less)."""

import argparse
import fcntl
import os
import pty
import select
import struct
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import emulator_process, image  # noqa: E402


def run(argv, tty, rows, cols):
    """(wall, cpu) of the command with stderr on a pty of rows x cols, or
    off a terminal. Standard output (the end table) goes nowhere."""
    env = dict(os.environ, COLUMNS=str(cols), LINES=str(rows), TERM="xterm-256color")
    master = None
    if tty:
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        err = slave
    else:
        err = subprocess.DEVNULL
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=err, env=env)
    if master is not None:
        os.close(slave)
        while True:  # a terminal's reader: takes everything as it comes
            ready, _, _ = select.select([master], [], [], 0.5)
            if ready:
                try:
                    if not os.read(master, 1 << 16):
                        break
                except OSError:  # EIO: the child closed its side
                    break
            elif proc.poll() is not None:
                break
        os.close(master)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{' '.join(argv[2:5])}... exited with {status}")
    return wall, usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--devices", type=int, nargs="+", default=[30, 128])
    parser.add_argument("--size", type=int, default=64 << 10, help="image bytes (default 64 KiB)")
    parser.add_argument("--delay-us", type=int, default=200,
                        help="the emulator's delay of every reply (default 200 us)")
    parser.add_argument("--rounds", type=int, default=2, help="runs of each; the best counts")
    parser.add_argument("--rows", type=int, default=40, help="the terminal's height")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp, image(args.size) as path:
        for n in args.devices:
            with emulator_process(count=n, delay_us=args.delay_us) as served:
                inventory = os.path.join(tmp, f"devices{n}.csv")
                with open(inventory, "w") as f:
                    f.write("address,port\n")
                    f.writelines(f"127.0.0.1,{p}\n" for p in served.ports)
                argv = [sys.executable, "-m", "quorvex.cli", "update", path, "--inventory",
                        inventory, "--no-history", "--jobs", str(n), "--timeout", "30"]
                plain, live = [], []
                for _ in range(args.rounds):
                    plain.append(run(argv, False, args.rows, 120))
                    live.append(run(argv, True, args.rows, 120))
            pw, pc = min(w for w, _ in plain), min(c for _, c in plain)
            lw, lc = min(w for w, _ in live), min(c for _, c in live)
            print(f"{n} devices, {args.size} bytes each, reply delay {args.delay_us} us, "
                  f"best of {args.rounds}")
            print(f"  off a terminal: wall {pw:6.2f} s, cpu {pc:6.2f} s")
            print(f"  on a terminal : wall {lw:6.2f} s, cpu {lc:6.2f} s")
            print(f"  ratio wall (terminal/off): {lw / pw:.3f}   (aim <= 1.10)")
            print(f"  display share of one core: {max(0.0, lc - pc) / lw * 100:.1f} %"
                  f"   (aim <= 5 %)")


if __name__ == "__main__":
    main()
