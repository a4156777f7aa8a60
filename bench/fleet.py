"""16 emulated devices, each delaying every reply by 500 us, updated from 16
threads of one process at once, against one device updated alone. Prints the
aggregate speed-up: 16 x (time for one alone) / (time for all 16); aim 14x or
better, which needs the GIL released wherever the tool waits."""

import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import emulators, image  # noqa: E402


def update(port, path, results, i):
    from quorvex.QVRFpga import FpgaTool

    tool = FpgaTool(address="127.0.0.1", port=port)
    try:
        results[i] = tool.processFpgaUpdate(path, 32).RetCode.name == "OK"
    finally:
        tool.disconnect()


def timed(ports, path):
    results = [None] * len(ports)
    threads = [threading.Thread(target=update, args=(p, path, results, i))
               for i, p in enumerate(ports)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    assert all(results), f"updates failed: {results}"
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--devices", type=int, default=16)
    parser.add_argument("--size", type=int, default=16 * 1024, help="image bytes per device")
    parser.add_argument("--delay-us", type=int, default=500)
    args = parser.parse_args()

    import io
    sys.stdout = io.StringIO()  # the library's progress lines: not wanted here
    try:
        with image(args.size) as path, emulators(args.devices, delay_us=args.delay_us) as ports:
            alone = timed(ports[:1], path)
            together = timed(ports, path)
    finally:
        sys.stdout = sys.__stdout__
    speedup = args.devices * alone / together
    print(f"{args.devices} devices, {args.size} bytes each, {args.delay_us} us reply delay")
    print(f"one device alone: {alone:.2f} s; all {args.devices} at once: {together:.2f} s")
    print(f"aggregate speed-up: {speedup:.1f}x   (aim >= 14x)")


if __name__ == "__main__":
    main()
