"""Large image files are mapped for the checks rather than copied: a file that
is cut short or emptied while a check reads it must give a refusal, never
stop the process (a mapped page past a file's end raises SIGBUS)."""

import json
import os
import subprocess
import sys

import pytest

from quorvex import tbin

# Runs in a fresh interpreter, so that json.loads, which the native modules
# take when they are imported, is this hook: it runs between the file's
# opening and the digests, and cuts the file there. Prints the check's verdict.
CHILD = r"""
import json, os, sys
path, cut_to, which = sys.argv[1], int(sys.argv[2]), sys.argv[3]
real_loads = json.loads

def loads(text, *args, **kwargs):
    if cut_to >= 0:
        os.truncate(path, cut_to)
    return real_loads(text, *args, **kwargs)

json.loads = loads
from quorvex import QVRFpga, tbin
if which == "check":
    verdict = QVRFpga.FpgaTool(connection=object())._checkFileHeader(path)
else:
    described = tbin.describe(path)
    print("\n".join(described["problems"]))
    verdict = described["image_hash_ok"]
print(json.dumps(verdict))  # the last line; log lines may come first
"""

IMAGE_SIZE = 3 << 20  # well past the size from which files are mapped


@pytest.fixture(scope="module")
def packed(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("large")
    image = tmp / "image.bin"
    image.write_bytes(os.urandom(IMAGE_SIZE))
    path = tmp / "image.tbin"
    tbin.pack_file(str(image), str(path), 32, {"build": "large"})
    return path.read_bytes()


@pytest.mark.parametrize("which", ["check", "describe"])
@pytest.mark.parametrize("cut", ["unchanged", "cut inside the image", "emptied"])
def test_large_image_changed_while_checked_is_refused_without_a_crash(tmp_path, packed, which, cut):
    path = tmp_path / "image.tbin"
    path.write_bytes(packed)
    image_start = tbin.describe(packed)["image_start_addr"]
    cut_to = {"unchanged": -1, "cut inside the image": image_start + 123_456, "emptied": 0}[cut]
    proc = subprocess.run([sys.executable, "-c", CHILD, str(path), str(cut_to), which],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    assert proc.returncode == 0, f"the check ended the process ({proc.returncode}): {proc.stderr[-2000:]}"
    assert json.loads(proc.stdout.splitlines()[-1]) is (cut == "unchanged")
    # and said for what it is, not taken for a digest mismatch alone
    assert ("cut short while being read" in proc.stdout) is (cut != "unchanged")
    assert os.path.getsize(path) == (len(packed) if cut_to < 0 else cut_to)


# After a check has mapped a file (and so put its SIGBUS handler in place),
# a SIGBUS that is not about one of its mappings still does what it did
# before: a page of someone else's mapping past the file's end, or a signal
# sent with kill, ends the process, through faulthandler's report when that
# is on.
OTHER_SIGBUS = r"""
import faulthandler, mmap, os, signal, sys
from quorvex import QVRFpga
path, other, how, fh = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "on"
if fh:
    faulthandler.enable()
assert QVRFpga.FpgaTool(connection=object())._checkFileHeader(path) is True
sys.stdout.flush()
if how == "kill":
    os.kill(os.getpid(), signal.SIGBUS)
else:
    with open(other, "rb") as f:
        m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    os.truncate(other, 0)
    m[len(m) - 1]
print("survived")
"""


@pytest.mark.parametrize("faulthandler", ["off", "on"])
@pytest.mark.parametrize("how", ["kill", "fault"])
def test_sigbus_of_others_still_ends_the_process(tmp_path, packed, how, faulthandler):
    path, other = tmp_path / "image.tbin", tmp_path / "other.bin"
    path.write_bytes(packed)
    other.write_bytes(b"x" * 65536)
    proc = subprocess.run([sys.executable, "-c", OTHER_SIGBUS, str(path), str(other), how, faulthandler],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    # -SIGBUS, or 1 where a sanitizer's handler reports it and exits
    assert proc.returncode != 0 and "survived" not in proc.stdout, proc.stderr[-2000:]
    assert ("Bus error" in proc.stderr) is (faulthandler == "on")
