"""The trust policy as the command line sees it: quorvex.QVRFpga._TRUSTED_KEYS
(read from QUORVEX_TRUST when the library loads) plus the keys of any
--trust options, less the revoked keys (quorvex._trust_store). A verb takes
the policy once and hands it to every check and update of its run; nothing
process-wide is changed."""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Iterator, Sequence

from .._trust_store import Policy
from ._common import UsageError

__all__ = ["trust_option", "trusted_keys", "policy", "SIGNATURE_HINT", "SIGNATURE_REASONS"]

# What to do about an image the policy refuses.
SIGNATURE_HINT = ("sign it with a trusted key ('quorvex-fpga sign IMAGE --key KEY'), or trust "
                  "the key that signed it with --trust PUBKEY; 'quorvex-fpga inspect IMAGE' "
                  "lists its signatures")

# The reason codes of the header check that are refusals by the policy.
SIGNATURE_REASONS = frozenset({"not_signed", "untrusted_key", "bad_signature"})


def trust_option(p: argparse._ActionsContainer) -> None:
    """--trust PATH, repeatable."""
    p.add_argument("--trust", action="append", default=[], metavar="PATH",
                   help="also trust the Ed25519 public key in PATH, or every *.pub and *.pem "
                        "key in the folder PATH (repeatable; adds to QUORVEX_TRUST). With "
                        "any trusted key, a .tbin must carry a valid signature by one of them "
                        "and a .bin is refused")


def trusted_keys() -> frozenset[bytes]:
    """The keys the library trusts by default right now (empty: no policy);
    the Policy itself when the library's is one (as QUORVEX_TRUST makes it)."""
    from .. import QVRFpga

    keys = QVRFpga._TRUSTED_KEYS
    return keys if isinstance(keys, Policy) else frozenset(bytes(k) for k in keys)


@contextlib.contextmanager
def policy(paths: Sequence[str]) -> Iterator[Policy]:
    """The policy of one verb's run, for the block to pass to its checks and
    updates: the library's default keys and the keys at `paths`, less every
    revoked key. A setting that cannot be used (a path without a usable key,
    a revocation list that does not parse, every trusted key revoked) is a
    usage error naming it."""
    from .. import QVRFpga
    from .._trust_store import TrustError, load

    # The configuration file's paths first, so that a bad one is blamed on
    # its file and line rather than on a --trust the command line never had.
    for path in paths:
        source = getattr(path, "source", None)
        if source is not None:
            try:
                load([path], base=QVRFpga._TRUSTED_KEYS)
            except TrustError as e:
                raise UsageError(f"config {source}: trust: {e}") from None
    try:
        keys = load(paths, base=QVRFpga._TRUSTED_KEYS)
    except TrustError as e:
        raise UsageError(f"--trust: {e}" if paths else str(e)) from None
    yield keys
