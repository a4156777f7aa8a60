"""Benchmark: FpgaTool._checkFileHeader on a 64 MiB .tbin against OpenSSL's
own tool computing the HMAC-SHA256 of the same image bytes.

Time: the best of a few runs of each, in the same run of this script, with
the files in the page cache. Ours is timed in-process around the call;
`openssl dgst -sha256 -hmac KEY` is timed around the whole child process, so
its process start-up counts against it (a few milliseconds, measured
separately with an empty file and printed).

Memory: the check reads the file whole into one buffer of its own, in C++,
where tracemalloc cannot see it. So a fresh interpreter imports the module,
warms the check up on a small file, reads its peak resident set size, runs
the check on the 64 MiB file and reads the peak again; the growth of the
peak is what the check cost. Aim: no more than the file size + 8 MiB (the
image is never copied). The peak is VmHWM of /proc/self/status where there
is one: getrusage's ru_maxrss is the same figure, except that Linux carries
a parent's peak over into a child at fork, so a child of a large parent
would show no growth at all; ru_maxrss is the fallback elsewhere (and this
script keeps itself small until the child has run, for that case).
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

RUNS = 5
IMAGE_SIZE = 64 * 1024 * 1024

MEMORY_CHILD = r"""
import json, resource, sys
from quorvex import QVRFpga

def peak_kib():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]), "VmHWM"
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, "ru_maxrss"

tool = QVRFpga.FpgaTool(connection=object())
assert tool._checkFileHeader(sys.argv[2]) is True  # warm-up: imports, first log call
before, how = peak_kib()
ok = tool._checkFileHeader(sys.argv[1])
after, _ = peak_kib()
print(json.dumps({"ok": ok, "growth_kib": after - before, "how": how}))
"""


def best(fn, runs=RUNS):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    from quorvex import QVRFpga, tbin

    openssl = shutil.which("openssl")
    if not openssl:
        sys.exit("openssl is not installed: no baseline to compare with")
    key = QVRFpga._TBIN_KEY_PREFIX + "032"
    with tempfile.TemporaryDirectory() as tmp:
        image = os.path.join(tmp, "image.bin")
        packed = os.path.join(tmp, "image.tbin")
        small = os.path.join(tmp, "small.tbin")
        empty = os.path.join(tmp, "empty.bin")
        with open(image, "wb") as f:
            for _ in range(IMAGE_SIZE // 2**20):  # in pieces: this process stays small
                f.write(os.urandom(2**20))
        open(empty, "wb").close()
        tbin.pack_file(image, packed, 32, {"build": "bench"})
        tbin.pack_file(empty, small, 32)
        size = os.path.getsize(packed)

        mem = subprocess.run([sys.executable, "-c", MEMORY_CHILD, packed, small], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        mem = json.loads(mem.strip().splitlines()[-1])

        tool = QVRFpga.FpgaTool(connection=object())
        assert tool._checkFileHeader(packed) is True

        def ours():
            if tool._checkFileHeader(packed) is not True:
                raise RuntimeError("the check refused the benchmark image")

        def theirs(path=image):
            subprocess.run([openssl, "dgst", "-sha256", "-hmac", key, path], check=True,
                           stdout=subprocess.DEVNULL)

        ours()
        theirs()  # both files in the page cache before timing
        t_ours = best(ours)
        t_theirs = best(theirs)
        t_start = best(lambda: theirs(empty))

    growth = mem["growth_kib"] * 1024
    limit = size + 8 * 1024 * 1024
    print(f"file: {size / 2**20:.1f} MiB .tbin ({IMAGE_SIZE / 2**20:.0f} MiB image)")
    print(f"_checkFileHeader:             {t_ours * 1000:8.1f} ms (best of {RUNS})")
    print(f"openssl dgst -sha256 -hmac:   {t_theirs * 1000:8.1f} ms (best of {RUNS}; "
          f"its start-up alone {t_start * 1000:.1f} ms)")
    print(f"ratio ours/openssl:           {t_ours / t_theirs:8.2f} (aim <= 1.1)")
    if not mem["ok"]:
        sys.exit("the check refused the benchmark image in the memory run")
    print(f"peak memory growth of the check ({mem['how']}): {growth / 2**20:.1f} MiB "
          f"(aim <= file size + 8 MiB = {limit / 2**20:.1f} MiB): {'ok' if growth <= limit else 'OVER'}")


if __name__ == "__main__":
    main()
