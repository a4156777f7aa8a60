"""Why an image or an update is refused, as a reason code that travels beside
the message: from the command line's --json, from an update under its
terms, and the trust policy of one run never seen by another run."""

import errno
import json
import os
import subprocess
import sys
import tempfile
import threading

import pytest

from quorvex import QVRFpga, fleet, tbin
from quorvex.fleet import REFUSED, UPDATED, Device
from quorvex.QVRPublic import RetCode

from _cli import cli
from _helpers import wait_for


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Images for every refusal, and the keys: "trusted" signed the signed
    images, "other" is a key that did not."""
    d = tmp_path_factory.mktemp("images")
    tbin.generate_key(d / "trusted")
    tbin.generate_key(d / "other")
    image = os.urandom(300)

    def put(name, data):
        (d / name).write_bytes(data)
        return d / name

    put("plain.bin", image)
    put("plain.bin.gz", image)
    put("plain.tbin", tbin.pack(image, 32))
    signed = put("signed.tbin", tbin.pack(image, 32))
    tbin.sign(signed, d / "trusted")
    damaged = bytearray(signed.read_bytes())
    damaged[-20] ^= 1  # inside the signature
    put("badsig.tbin", bytes(damaged))
    put("empty.bin", b"")
    put("for28.tbin", tbin.pack(image, 28))
    tampered = bytearray(tbin.pack(image, 32))
    tampered[-1] ^= 1
    put("tampered.tbin", bytes(tampered))
    put("garbled.tbin", b"\x00\x00\x00\x05" + os.urandom(120))
    (d / "folder.bin").mkdir()
    return d


@pytest.mark.parametrize("name, options, reason", [
    ("missing.bin", [], "not_found"),
    ("plain.bin.gz", [], "file_type"),
    ("folder.bin", [], "not_a_file"),
    ("empty.bin", [], "empty_image"),
    ("garbled.tbin", [], "parse_error"),
    ("tampered.tbin", [], "digest_mismatch"),
    ("plain.bin", ["--trust", "trusted.pub"], "not_signed"),
    ("plain.tbin", ["--trust", "trusted.pub"], "not_signed"),
    ("signed.tbin", ["--trust", "other.pub"], "untrusted_key"),
    ("badsig.tbin", ["--trust", "trusted.pub"], "bad_signature"),
    ("for28.tbin", ["-t", "32"], "device_type"),
    ("signed.tbin", ["--trust", "trusted.pub"], None),
])
def test_check_and_update_json_name_the_reason(files, name, options, reason):
    options = [str(files / o) if o.endswith(".pub") else o for o in options]
    checked = cli("check", files / name, *options, "--json")
    doc = json.loads(checked.stdout)
    assert (doc["reason"], doc["ok"], checked.returncode) == (reason, reason is None,
                                                             0 if reason is None else 2)
    if reason is None:
        return
    # update refuses the same image before it connects, for the same reason
    updated = cli("update", files / name, *options, "-a", "127.0.0.1:9", "--json")
    assert updated.returncode == 2
    assert json.loads(updated.stdout)["image"]["reason"] == reason


# quorvex-fpga check, run as a user that permissions bind (root reads any
# file): everything it needs is loaded first, then root is given up.
_DROP_THEN_CHECK = """
import contextlib, io, os, sys
import quorvex.cli.check, quorvex.cli._image, quorvex.QVRFpga, quorvex.tbin, json
from quorvex.cli import main
with contextlib.redirect_stdout(io.StringIO()), contextlib.suppress(SystemExit):
    main(["check", "--help"])  # loads what the verb loads lazily
if os.geteuid() == 0:
    os.setgroups([]); os.setgid(65534); os.setuid(65534)
sys.exit(main(["check", sys.argv[1], "--json"]))
"""


def test_an_os_error_is_told_apart_from_a_refusal_with_its_errno():
    """An image the operating system will not let us read is "os_error" with
    the errno, not a refusal of the image."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p)
                                            for p in env["PYTHONPATH"].split(os.pathsep) if p)
    with tempfile.TemporaryDirectory() as folder:  # one the unprivileged user may look into
        os.chmod(folder, 0o711)
        env["XDG_CONFIG_HOME"] = env["HOME"] = folder  # no settings of root's to read
        locked = os.path.join(folder, "locked.bin")
        with open(locked, "wb") as f:
            f.write(b"\x01")
        os.chmod(locked, 0)
        proc = subprocess.run([sys.executable, "-c", _DROP_THEN_CHECK, locked],
                              capture_output=True, text=True, timeout=60, env=env)
    doc = json.loads(proc.stdout[proc.stdout.index("{"):])
    assert (proc.returncode, doc["reason"], doc["errno"]) == (2, "os_error", errno.EACCES), \
        proc.stderr


class FakeLink:
    """A device link that accepts every command and reads back `readback`."""

    def __init__(self, readback=b""):
        self.readback, self.sent = readback, 0

    def sendCmd(self, data, rsp_type):
        from quorvex.QVRUtils import RetType
        self.sent += 1
        return RetType(data="1.0" if data.startswith(b"GET_FPGA_VER") else "0")

    def sendRawBytes(self, data):
        self.sent += 1

    def recvRawBytes(self, size):
        page, self.readback = self.readback[:16], self.readback[16:]
        return b"#2%02d" % len(page) + page + b"\r\n"


@pytest.mark.parametrize("name, readback, reason", [
    (None, b"", "no_path"),
    ("missing.bin", b"", "not_found"),
    ("tampered.tbin", b"", "digest_mismatch"),
    ("plain.bin", b"not the image", "verify_failed"),
])
def test_an_update_under_terms_carries_its_verdict(files, name, readback, reason):
    link = FakeLink(readback)
    terms = QVRFpga._Terms()
    tool = QVRFpga.FpgaTool(connection=link)
    path = None if name is None else str(files / name)
    ret = tool._updateUnder(terms, path, 32)
    assert ret.RetCode is RetCode.ERROR and terms.reason == reason
    assert ret.RetData["reason"] == reason and ret.RetData["errno"] is None
    assert (link.sent > 0) == (reason == "verify_failed")  # refused before any command
    # processFpgaUpdate itself: the same message, and no payload
    plain = tool.processFpgaUpdate(path, 32)
    assert (plain.RetMsg, plain.RetData) == (ret.RetMsg, None)


def test_a_check_of_another_still_refuses_an_unsigned_image_under_the_terms_policy(files):
    class Lenient(QVRFpga.FpgaTool):
        def _checkFileHeader(self, image_path):
            return True

    link = FakeLink()
    terms = QVRFpga._Terms(trusted=[tbin.load_public_key(files / "trusted.pub")])
    with pytest.raises(RuntimeError, match="changed after its check"):
        Lenient(connection=link)._updateUnder(terms, str(files / "plain.tbin"), 32)
    assert terms.reason == "file_changed" and link.sent == 2  # erase, pointer reset: no block


def test_two_runs_in_one_process_each_keep_their_own_policy(files):
    from quorvex.emulator import DeviceEmulator

    before = QVRFpga._TRUSTED_KEYS
    key = tbin.load_public_key(files / "trusted.pub")
    results = {}
    # A: an unsigned image under a policy, on a device slow to answer its
    # first command; B, started meanwhile: no policy, a quick device.
    with DeviceEmulator(flash_size=1 << 16, delay_us=1_000_000, delay_command=1) as slow, \
            DeviceEmulator(flash_size=1 << 16) as quick:
        def run(name, path, dev, trusted):
            results[name] = fleet.update(path, [Device(dev.host, dev.port)], trusted=trusted)

        a = threading.Thread(target=run, args=("a", files / "plain.tbin", slow, [key]))
        a.start()
        # B starts only once A's device holds A's first command: A's run, and
        # its policy, are then under way and stay so for the second of delay.
        wait_for(lambda: sum(n for w, n in slow.counters().items() if w.isupper()) >= 1)
        run("b", files / "plain.bin", quick, [])
        a.join(30)
        assert results["a"].results[0].outcome == REFUSED
        assert results["a"].results[0].message == "FPGA image header check failed."
        assert slow.counters()["FPGA_ERASE"] == 0
        assert results["b"].results[0].outcome == UPDATED
    assert QVRFpga._TRUSTED_KEYS is before


@pytest.mark.parametrize("fpga_version, device_type, reason, status, hint", [
    ("0.2.3.4", 32, "ok", 0, None),
    ("0.2.3.3", 32, "version", 2, "--force-version"),
    ("0.2.3.4", 28, "device_type", 2, "check --device-type"),
    ("v2-beta", 32, "init_failed", 1, None),
])
def test_info_and_update_json_name_why_the_initialisation_refused(files, fpga_version,
                                                                  device_type, reason, status,
                                                                  hint):
    from quorvex.emulator import DeviceEmulator

    with DeviceEmulator(fpga_version=fpga_version) as e:
        r = cli("info", "-a", e.address, "-t", device_type, "--json")
        assert (json.loads(r.stdout)["init"]["reason"], r.returncode) == (reason, status)
        assert hint is None or hint in r.stderr
        if status != 2:
            return
        u = cli("update", files / "plain.bin", "-a", e.address, "-t", device_type, "--json",
                "--no-history")
        (dev,) = json.loads(u.stdout)["devices"]
        assert (dev["outcome"], dev["reason"], u.returncode) == ("refused", reason, 2)
        assert hint in u.stderr


@pytest.mark.parametrize("call, match", [
    (lambda: QVRFpga._Terms(trusted=[bytes(31)]), "trusted holds a key of 31 bytes"),
    (lambda: QVRFpga._Terms(trusted=5), "trusted must be an iterable"),
    (lambda: QVRFpga._Terms(driver=object()), "driver must be a QVRFpga._FleetDriver"),
    (lambda: QVRFpga._Terms(before_erase=3), "before_erase must be callable"),
    (lambda: QVRFpga._Terms().check(5, "a.bin"), "check must be a check"),
    (lambda: QVRFpga.FpgaTool(connection=FakeLink())._updateUnder(None, "a.bin"), "terms must be"),
])
def test_terms_refuse_what_they_cannot_use_by_name(call, match):
    with pytest.raises(TypeError, match=match):
        call()


def test_a_check_run_under_terms_obeys_an_override_which_says_no_reason(files):
    class Strict(QVRFpga.FpgaTool):
        def _checkFileHeader(self, image_path):
            return False

    terms = QVRFpga._Terms(trusted=[tbin.load_public_key(files / "trusted.pub")])
    assert terms.check(Strict(connection=FakeLink())._checkFileHeader, str(files / "signed.tbin")) \
        is False
    assert terms.reason == "check_failed"
    assert terms.check(Strict(connection=FakeLink())._checkUpdateFile, str(files / "plain.bin"))
    assert terms.reason == "ok"
