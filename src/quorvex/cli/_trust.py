"""The trust policy as the command line sees it: quorvex.QVRFpga._TRUSTED_KEYS
(read from QUORVEX_TRUST when the library loads) plus the keys of any
--trust options, for the length of one verb's run."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Iterator, Sequence

from ._common import UsageError

__all__ = ["trust_option", "trusted_keys", "policy", "SIGNATURE_HINT", "is_signature_refusal"]

# What to do about an image the policy refuses.
SIGNATURE_HINT = ("sign it with a trusted key ('quorvex-fpga sign IMAGE --key KEY'), or trust "
                  "the key that signed it with --trust PUBKEY; 'quorvex-fpga inspect IMAGE' "
                  "lists its signatures")


def trust_option(p: argparse._ActionsContainer) -> None:
    """--trust PATH, repeatable."""
    p.add_argument("--trust", action="append", default=[], metavar="PATH",
                   help="also trust the Ed25519 public key in PATH, or every *.pub and *.pem "
                        "key in the folder PATH (repeatable; adds to QUORVEX_TRUST). With "
                        "any trusted key, a .tbin must carry a valid signature by one of them "
                        "and a .bin is refused")


def trusted_keys() -> frozenset[bytes]:
    """The keys the library trusts right now (empty: no policy)."""
    from .. import QVRFpga

    return frozenset(bytes(k) for k in QVRFpga._TRUSTED_KEYS)


@contextlib.contextmanager
def policy(paths: Sequence[str]) -> Iterator[frozenset[bytes]]:
    """Adds the keys at `paths` to quorvex.QVRFpga._TRUSTED_KEYS while the
    block runs (the checks read it at call time), then puts the old value
    back. A path that holds no usable key is a usage error naming it."""
    from .. import QVRFpga, tbin

    if not paths:
        yield trusted_keys()
        return
    try:
        added = tbin.load_trust(*paths)
    except (OSError, ValueError) as e:
        raise UsageError(f"--trust: {e}") from None
    old = QVRFpga._TRUSTED_KEYS
    keys = trusted_keys() | added
    QVRFpga._TRUSTED_KEYS = keys
    try:
        yield keys
    finally:
        QVRFpga._TRUSTED_KEYS = old


def is_signature_refusal(text: str) -> bool:
    """Whether a log line of the header check is a refusal by the policy."""
    return text.startswith(("FPGA tbin signature ", "FPGA image not signed"))
