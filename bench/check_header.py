"""Benchmark: the .tbin header check (FpgaTool._checkFileHeader, what
`quorvex-fpga check` runs) on a 64 MiB image, in fresh processes, against
OpenSSL's own tool computing the HMAC-SHA256 of the same image bytes.

Each run is a new process, as on the command line: nothing of the file is in
the process yet (its pages are in the page cache, for both tools). Ours: a
fresh interpreter imports the module, warms the check up on a small file
(imports, the first log call), then times the one call on the large file.
OpenSSL: `openssl dgst -sha256 -hmac KEY` timed around the whole child
process, so its start-up counts against it (printed beside it, measured with
an empty file). Best and median of RUNS runs each, and the ratio
openssl/ours (aim: 1.0 or more, ours at least as fast). For the record, the
whole `quorvex-fpga check FILE` process too, with the interpreter's start-up
and import alone beside it.

Signatures: the same check of the same file once signed (Ed25519, one
signature), under a policy that trusts the key (_TRUSTED_KEYS set in the
child), against the unsigned check of it without a policy, fresh processes
both, interleaved. Aim: signed/unsigned at most 1.25 (the signed region's
SHA-256 runs on a second thread beside the HMACs).

Memory: the growth of the peak resident set size across the call, in the
same fresh processes. Aim: no more than the file size + 8 MiB (the image is
never copied; a mapped file's pages count as resident). The peak is VmHWM of
/proc/self/status where there is one: getrusage's ru_maxrss is the same
figure, except that Linux carries a parent's peak over into a child at fork,
so a child of a large parent would show no growth at all; ru_maxrss is the
fallback elsewhere (and this script keeps itself small, for that case).
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = 7
IMAGE_SIZE = 64 * 1024 * 1024

CHILD = r"""
import json, resource, sys, time
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

if len(sys.argv) > 3:  # a policy: the raw public key in hex
    QVRFpga._TRUSTED_KEYS = frozenset([bytes.fromhex(sys.argv[3])])
tool = QVRFpga.FpgaTool(connection=object())
assert tool._checkFileHeader(sys.argv[2]) is True  # warm-up: imports, first log call
before, how = peak_kib()
t0 = time.perf_counter()
ok = tool._checkFileHeader(sys.argv[1])
seconds = time.perf_counter() - t0
after, _ = peak_kib()
print(json.dumps({"ok": ok, "seconds": seconds, "growth_kib": after - before, "how": how}))
"""


def timed(cmd):
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - t0


def ours_fresh(packed, small, *trusted):
    out = subprocess.run([sys.executable, "-c", CHILD, packed, small, *trusted], check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    r = json.loads(out.strip().splitlines()[-1])
    if r["ok"] is not True:
        sys.exit("the check refused the benchmark image")
    return r


def cli():
    """The console script beside this interpreter, else the module."""
    script = os.path.join(os.path.dirname(sys.executable), "quorvex-fpga")
    return [script] if os.access(script, os.X_OK) else [sys.executable, "-m", "quorvex.cli"]


def ms(seconds):
    return f"{seconds * 1000:7.1f} ms"


def line(what, times):
    return (f"{what:<34}best {ms(min(times))}, median {ms(statistics.median(times))}"
            f" ({len(times)} fresh processes)")


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
        with open(empty, "wb") as f:
            f.write(b"\0")
        tbin.pack_file(empty, small, 32)
        os.truncate(empty, 0)
        key_path = os.path.join(tmp, "bench.key")
        tbin.generate_key(key_path)
        public = tbin.load_public_key(key_path + ".pub").hex()
        signed, small_signed = packed + ".signed.tbin", small + ".signed.tbin"
        tbin.sign(packed, key_path, out=signed)
        tbin.sign(small, key_path, out=small_signed)
        size = os.path.getsize(packed)
        theirs_cmd = [openssl, "dgst", "-sha256", "-hmac", key]
        check_cmd = cli() + ["check", packed]

        timed(theirs_cmd + [image])  # both files in the page cache before timing
        timed(check_cmd)
        ours, theirs, start, whole, imports, ours_signed = [], [], [], [], [], []
        for _ in range(RUNS):  # interleaved: a busy moment of the machine hits both
            ours.append(ours_fresh(packed, small))
            ours_signed.append(ours_fresh(signed, small_signed, public)["seconds"])
            theirs.append(timed(theirs_cmd + [image]))
            start.append(timed(theirs_cmd + [empty]))
            whole.append(timed(check_cmd))
            imports.append(timed([sys.executable, "-c", "import quorvex.QVRFpga"]))

    t_ours = [r["seconds"] for r in ours]
    growth = max(r["growth_kib"] for r in ours) * 1024
    limit = size + 8 * 1024 * 1024
    print(f"file: {size / 2**20:.1f} MiB .tbin ({IMAGE_SIZE / 2**20:.0f} MiB image)")
    print(line("_checkFileHeader (the call):", t_ours))
    print(line("openssl dgst -sha256 -hmac:", theirs)
          + f"; its start-up alone {ms(min(start)).strip()}")
    print(f"ratio openssl/ours:               best {min(theirs) / min(t_ours):5.2f}, "
          f"median {statistics.median(theirs) / statistics.median(t_ours):5.2f}   (aim >= 1.0)")
    print(line("signed, under a policy:", ours_signed))
    print(f"ratio signed/unsigned:            best {min(ours_signed) / min(t_ours):5.2f}, "
          f"median {statistics.median(ours_signed) / statistics.median(t_ours):5.2f}   (aim <= 1.25)")
    print(line("quorvex-fpga check (process):", whole)
          + f"; interpreter start-up and import alone {ms(min(imports)).strip()}")
    print(f"peak memory growth of the check ({ours[0]['how']}): {growth / 2**20:.1f} MiB "
          f"(aim <= file size + 8 MiB = {limit / 2**20:.1f} MiB): {'ok' if growth <= limit else 'OVER'}")


if __name__ == "__main__":
    main()
