"""A 1 MiB image written and verified against the emulator on loopback: our
processFpgaUpdate against a minimal blocking C++ client doing the same command
sequence with no progress output (the limit), both measured in this run.

Prints wall time and CPU time (user + sys of the updating process) per 16-byte
block for both, and the ratios: raw wall / our wall (aim: 0.95 or more) and
our CPU / raw CPU (aim: 1.1 or less)."""

import argparse
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import OUR_UPDATE, emulators, image, run_child  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def build_raw_client(tmp):
    """The baseline client, built with the protocol code it shares with the link."""
    exe = os.path.join(tmp, "raw_client")
    cxx = os.environ.get("CXX", "c++")
    core = os.path.join(HERE, os.pardir, "src", "core")
    subprocess.run([cxx, "-O2", "-std=c++17", "-I", core, "-o", exe,
                    os.path.join(HERE, "raw_client.cpp"), os.path.join(core, "protocol.cpp")],
                   check=True)
    return exe


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=1 << 20, help="image bytes (default 1 MiB)")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each; the best counts")
    parser.add_argument("--delay-us", type=int, default=0,
                        help="the emulator's delay of every reply, in us (default 0: loopback alone)")
    args = parser.parse_args()
    blocks = (args.size + 15) // 16

    with tempfile.TemporaryDirectory() as tmp, image(args.size) as path, \
            emulators(delay_us=args.delay_us) as (port,):
        raw_exe = build_raw_client(tmp)
        raw, ours = [], []
        for _ in range(args.rounds):  # alternate, so drift hits both alike
            out = subprocess.run([raw_exe, "127.0.0.1", str(port), path], check=True,
                                 stdout=subprocess.PIPE, text=True).stdout
            raw.append(json.loads(out))
            ours.append(run_child(OUR_UPDATE, "127.0.0.1", port, path))
        assert all(r["ok"] for r in raw + ours), "an update failed"

    def best(runs, key):
        return min(r[key] for r in runs)

    rw, rc, ow, oc = best(raw, "wall"), best(raw, "cpu"), best(ours, "wall"), best(ours, "cpu")
    us = 1e6 / blocks
    print(f"image {args.size} bytes, {blocks} blocks written and {blocks} pages read back; "
          f"reply delay {args.delay_us} us; best of {args.rounds}")
    print(f"raw C++ client : wall {rw:7.3f} s ({rw * us:6.2f} us/block), "
          f"cpu {rc:7.3f} s ({rc * us:6.2f} us/block)")
    print(f"processFpgaUpdate: wall {ow:7.3f} s ({ow * us:6.2f} us/block), "
          f"cpu {oc:7.3f} s ({oc * us:6.2f} us/block)")
    print(f"ratio wall (raw/ours): {rw / ow:.3f}   (aim >= 0.95)")
    print(f"ratio cpu (ours/raw):  {oc / rc:.3f}   (aim <= 1.10)")


if __name__ == "__main__":
    main()
