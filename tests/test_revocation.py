"""Revoked keys: a signature by one never counts, whether the revocation
comes from a trust folder's revoked/ or from QUORVEX_REVOKED, and even when
the same key is trusted too; check, inspect and update say "revoked"."""

import json
import os

import pytest

from _cli import cli
from quorvex import _trust_store, tbin


@pytest.fixture
def site(tmp_path):
    """A trust folder holding alice's and bob's public keys, an image signed
    by alice only and one signed by both."""
    folder = tmp_path / "site"
    folder.mkdir()
    ids = {}
    for name in ("alice", "bob"):
        ids[name] = tbin.generate_key(tmp_path / name)
        os.replace(tmp_path / f"{name}.pub", folder / f"{name}.pub")
    images = {}
    for signers in (("alice",), ("alice", "bob")):
        path = tmp_path / f"{'-'.join(signers)}.tbin"
        path.write_bytes(tbin.pack(os.urandom(200), 32))
        for name in signers:
            tbin.sign(path, tmp_path / name)
        images[signers] = path
    return folder, ids, images


def _revoke(how, folder, ids, tmp_path):
    """Revokes alice by `how`; returns the environment that says so."""
    if how == "revoked/ key":
        (folder / "revoked").mkdir()
        (folder / "revoked" / "alice.pub").write_bytes((folder / "alice.pub").read_bytes())
        return {}
    if how == "id list in revoked/":
        (folder / "revoked").mkdir()
        (folder / "revoked" / "lost.txt").write_text(f"# lost 2026-11\n\n{ids['alice'].upper()}\n")
        return {}
    listing = tmp_path / "revoked.ids"
    listing.write_text(ids["alice"] + "\n")
    return {"QUORVEX_REVOKED": str(listing)}


HOWS = ["revoked/ key", "id list in revoked/", "QUORVEX_REVOKED"]


@pytest.mark.parametrize("how", HOWS)
def test_a_signature_by_a_revoked_key_never_counts_even_when_the_key_is_trusted(
        site, tmp_path, how, emu):
    folder, ids, images = site
    env = {"QUORVEX_TRUST": str(folder), **_revoke(how, folder, ids, tmp_path)}
    alone = images[("alice",)]

    r = cli("check", alone, env=env)
    assert r.returncode == 2 and f"signed by revoked key {ids['alice']}" in r.stderr
    r = cli("inspect", alone, "--json", env=env)
    doc = json.loads(r.stdout)
    assert r.returncode == 2 and doc["accepted"] is False
    assert [(s["key_id"], s["valid"], s["standing"]) for s in doc["signatures"]] == \
        [(ids["alice"], True, "revoked")]
    r = cli("update", alone, "-a", emu.address, "--no-history", env=env)
    assert r.returncode == 2 and "revoked" in r.stderr
    assert emu.counters()["connections"] == 0  # refused before anything connects

    # Beside a valid signature by a trusted key that is not revoked, the file
    # is accepted on that one alone.
    both = images[("alice", "bob")]
    r = cli("inspect", both, "--json", env=env)
    doc = json.loads(r.stdout)
    assert r.returncode == 0 and doc["accepted"] is True
    assert {s["key_id"]: s["standing"] for s in doc["signatures"]} == \
        {ids["alice"]: "revoked", ids["bob"]: "trusted"}
    r = cli("inspect", both, env=env)
    assert f"{ids['alice']}  ed25519  verifies, revoked" in r.stdout
    r = cli("update", both, "-a", emu.address, "--no-history", env=env)
    assert r.returncode == 0, r.stderr


def test_a_policy_whose_every_trusted_key_is_revoked_fails_closed(site, tmp_path, emu):
    folder, ids, images = site
    listing = tmp_path / "revoked.ids"
    listing.write_text(f"{ids['alice']}\n{ids['bob']}\n")
    env = {"QUORVEX_TRUST": str(folder), "QUORVEX_REVOKED": str(listing)}
    unsigned = tmp_path / "unsigned.tbin"
    unsigned.write_bytes(tbin.pack(os.urandom(100), 32))
    for verb in (("check", unsigned), ("update", unsigned, "-a", emu.address, "--no-history")):
        r = cli(*verb, env=env)
        assert r.returncode == 64 and "every trusted key is revoked" in r.stderr, r.stderr
    assert emu.counters()["connections"] == 0
    with pytest.raises(_trust_store.TrustError, match="every trusted key is revoked"):
        _trust_store.load(environ=env)


@pytest.mark.parametrize("text, said", [
    ("0123456789abcde\n", "line 1"),               # 15 digits
    ("# ok\n0123456789abcdef\nnot-an-id\n", "line 3"),
    ("0123456789abcdefg\n", "line 1"),
])
def test_a_revocation_list_that_does_not_parse_is_an_error_naming_file_and_line(
        site, tmp_path, text, said):
    folder, _, images = site
    listing = tmp_path / "bad.ids"
    listing.write_text(text)
    env = {"QUORVEX_TRUST": str(folder), "QUORVEX_REVOKED": str(listing)}
    r = cli("check", images[("alice",)], env=env)
    assert r.returncode == 64 and str(listing) in r.stderr and said in r.stderr


def test_the_library_policy_from_the_environment_leaves_revoked_keys_out(site, tmp_path):
    import subprocess
    import sys

    folder, ids, images = site
    (folder / "revoked").mkdir()
    (folder / "revoked" / "ids").write_text(ids["alice"] + "\n")
    probe = ("import sys\nfrom quorvex.QVRFpga import FpgaTool\n"
             "class Link:\n    pass\n"
             "print(FpgaTool(connection=Link())._checkFileHeader(sys.argv[1]))")
    env = {**os.environ, "QUORVEX_TRUST": str(folder)}
    for signers, verdict in ((("alice",), "False"), (("alice", "bob"), "True")):
        r = subprocess.run([sys.executable, "-c", probe, str(images[signers])], env=env,
                           capture_output=True, text=True, timeout=60)
        assert r.stdout.split()[-1] == verdict, r.stderr  # behind the log lines
    (folder / "revoked" / "ids").write_text(f"{ids['alice']}\n{ids['bob']}\n")
    r = subprocess.run([sys.executable, "-c", probe, str(images[("alice", "bob")])], env=env,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode != 0 and "every trusted key is revoked" in r.stderr
