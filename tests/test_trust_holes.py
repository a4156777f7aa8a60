"""Trust settings that must never fail open: revocations that apply to every
caller, entries of a trust or revoked folder that are not files, FIFOs where
a setting's file belongs, the site's FPGA floor in check and inspect."""

import os

import pytest

from _cli import cli
from quorvex import _trust_store, fleet, tbin
from quorvex.fleet import REFUSED, UPDATED, Device


@pytest.fixture
def keys(tmp_path):
    """Two key pairs (k1, k2) and an image signed by k1: (ids, raw public keys, image)."""
    ids, raw = {}, {}
    for name in ("k1", "k2"):
        ids[name] = tbin.generate_key(tmp_path / name)
        raw[name] = tbin.load_public_key(tmp_path / f"{name}.pub")
    image = tmp_path / "p.tbin"
    image.write_bytes(tbin.pack(os.urandom(300), 32))
    tbin.sign(image, tmp_path / "k1")
    return ids, raw, image


def test_revocations_apply_to_a_callers_own_key_list(keys, tmp_path, emu, monkeypatch):
    ids, raw, image = keys
    listing = tmp_path / "revoked.ids"
    listing.write_text(ids["k1"] + "\n")
    monkeypatch.setenv("QUORVEX_REVOKED", str(listing))
    monkeypatch.delenv("QUORVEX_TRUST", raising=False)

    # Every key of the list revoked: no run at all, naming the key.
    with pytest.raises(ValueError, match=f"every trusted key is revoked.*{ids['k1']}"):
        fleet.update(image, [Device(emu.host, emu.port)], trusted=[raw["k1"]], history=None)
    assert emu.counters()["connections"] == 0
    # k1 revoked beside a trusted k2: k1's signature does not count.
    report = fleet.update(image, [Device(emu.host, emu.port)], trusted=[raw["k1"], raw["k2"]],
                          history=None)
    assert [d.outcome for d in report.results] == [REFUSED]
    tbin.sign(image, tmp_path / "k2")
    report = fleet.update(image, [Device(emu.host, emu.port)], trusted=[raw["k1"], raw["k2"]],
                          history=None)
    assert [d.outcome for d in report.results] == [UPDATED]
