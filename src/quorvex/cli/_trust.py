"""The trust policy as the command line sees it: quorvex.QVRFpga._TRUSTED_KEYS
(read from QUORVEX_TRUST when the library loads) plus the keys of any
--trust options, less the revoked keys (quorvex._trust_store), for the
length of one verb's run."""

from __future__ import annotations

import argparse
import contextlib
import contextvars
from collections.abc import Iterator, Sequence
from typing import Optional

from .._trust_store import Policy
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
    """The keys trusted right now (empty: no policy): those of the policy
    block being run, else the library's. Inside a block, a Policy that also
    names the revoked key ids and the FPGA version floor."""
    active = _ACTIVE.get()
    if active is not None:
        return active
    from .. import QVRFpga

    return frozenset(bytes(k) for k in QVRFpga._TRUSTED_KEYS)


# The policy of the block being run on this thread.
_ACTIVE: contextvars.ContextVar[Optional[Policy]] = contextvars.ContextVar("quorvex_policy",
                                                                          default=None)


@contextlib.contextmanager
def policy(paths: Sequence[str]) -> Iterator[Policy]:
    """Puts the policy of QUORVEX_TRUST and the keys at `paths`, less every
    revoked key, in quorvex.QVRFpga._TRUSTED_KEYS while the block runs (the
    checks read it at call time), then puts the old value back. A setting
    that cannot be used (a path without a usable key, a revocation list that
    does not parse, every trusted key revoked) is a usage error naming it."""
    from .. import QVRFpga
    from .._trust_store import TrustError, load

    try:
        keys = load(paths, base=QVRFpga._TRUSTED_KEYS)
    except TrustError as e:
        raise UsageError(f"--trust: {e}" if paths else str(e)) from None
    old = QVRFpga._TRUSTED_KEYS
    QVRFpga._TRUSTED_KEYS = keys
    token = _ACTIVE.set(keys)
    try:
        yield keys
    finally:
        _ACTIVE.reset(token)
        QVRFpga._TRUSTED_KEYS = old


def is_signature_refusal(text: str) -> bool:
    """Whether a log line of the header check is a refusal by the policy."""
    return text.startswith(("FPGA tbin signature ", "FPGA image not signed"))
