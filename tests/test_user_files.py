"""Every file a user names is refused at once unless it is a regular file:
a FIFO with no writer never holds a command up, a device is never read."""

import os
import subprocess
import time

import pytest

from _cli import cli
from quorvex import tbin


@pytest.fixture
def late_writer():
    """Opens a FIFO for writing after a few seconds: a reader that waits for
    a writer (the fault) is let go, late, instead of hanging the run."""
    writers = []

    def start(path):
        writers.append(subprocess.Popen(["sh", "-c", 'sleep 10; : > "$0"', str(path)]))

    yield start
    for w in writers:
        w.kill()
        w.wait()


@pytest.fixture(params=["fifo", "device"])
def special(request, tmp_path, late_writer):
    """A path that is no regular file, named like the file it stands for."""
    def make(name):
        path = tmp_path / name
        if request.param == "device":
            path.symlink_to("/dev/zero")  # endless: a reader never gets to its end
        else:
            os.mkfifo(path)
            late_writer(path)
        return str(path)
    return make


@pytest.fixture
def files(tmp_path):
    image = tmp_path / "fpga.tbin"
    image.write_bytes(tbin.pack(os.urandom(300), 32))
    key = tmp_path / "k.key"
    tbin.generate_key(key)
    sig = tmp_path / "k.sig"
    sig.write_bytes(bytes(64))
    return {"image": str(image), "key": str(key), "pub": f"{key}.pub", "sig": str(sig),
            "out": str(tmp_path / "out.tbin")}


# (what the special path stands for, its name, the command line)
CLI_CASES = [
    ("image", "in.tbin", ["sign", "{special}", "--key", "{key}"]),
    ("key", "k2.key", ["sign", "{image}", "--key", "{special}"]),
    ("signature", "s.sig", ["sign", "{image}", "--attach", "{special}", "--pubkey", "{pub}"]),
    ("public key", "p.pub", ["sign", "{image}", "--attach", "{sig}", "--pubkey", "{special}"]),
]


@pytest.mark.parametrize("what,name,argv", CLI_CASES, ids=[c[0] for c in CLI_CASES])
def test_the_command_line_refuses_a_special_file_at_once_naming_it(files, special, what, name, argv):
    path = special(name)
    before = open(files["image"], "rb").read()
    t0 = time.monotonic()
    r = cli(*(a.format(special=path, **files) for a in argv), timeout=20)
    assert time.monotonic() - t0 < 8, f"waited on the {what}"
    assert r.returncode == 2, r.stderr
    assert path in r.stderr and "not a regular file" in r.stderr
    assert open(files["image"], "rb").read() == before


API_CASES = {
    "describe": lambda p, f: tbin.describe(p),
    "signing_digest": lambda p, f: tbin.signing_digest(p),
    "signatures": lambda p, f: tbin.signatures(p),
    "pack_file": lambda p, f: tbin.pack_file(p, f["out"], 32),
    "load_public_key": lambda p, f: tbin.load_public_key(p),
    "load_trust": lambda p, f: tbin.load_trust(p),
    "private_key_id": lambda p, f: tbin.private_key_id(p),
}


@pytest.mark.parametrize("call", API_CASES.values(), ids=API_CASES.keys())
def test_each_native_reader_refuses_a_special_file_at_once(files, special, call):
    path = special("x.tbin")
    t0 = time.monotonic()
    with pytest.raises((OSError, ValueError), match="not a regular file") as e:
        call(path, files)
    assert time.monotonic() - t0 < 5
    assert path in str(e.value)
    assert not os.path.exists(files["out"])


def test_a_folder_is_refused_before_the_output_is_touched(files, tmp_path):
    with open(files["out"], "wb") as f:
        f.write(b"kept")
    with pytest.raises(IsADirectoryError):
        tbin.pack_file(tmp_path, files["out"], 32)
    assert open(files["out"], "rb").read() == b"kept"
