"""quorvex-fpga sign: a .tbin signed with an Ed25519 key, here or elsewhere."""

from __future__ import annotations

import argparse
import os
import pathlib

from .._text import printable
from ._common import (EXIT_FAILED, EXIT_OK, EXIT_REFUSED, EXIT_USAGE, PROG, Context, UsageError,
                      Verbs, exit_text, verb_parser)


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "sign",
        help="sign a .tbin with an Ed25519 key, or with a key held elsewhere",
        description="""
            Add an Ed25519 signature to IMAGE.tbin, in a trailer at its end. With --key,
            sign with a private key file, or in a PKCS#11 token: KEY is then a URI such as
            pkcs11:token=release;object=fpga-2026?module-path=/usr/lib/softhsm/libsofthsm2.so
            (PIN from the URI's pin-source=FILE or QUORVEX_PKCS11_PIN, never the command
            line; module also from QUORVEX_PKCS11_MODULE), and the private key never
            leaves the token. For a key held elsewhere (an HSM, another
            machine): --digest prints the 32-byte message to sign as 64 hex digits; sign
            those 32 bytes (not their hex text) with Ed25519 there, then --attach the raw
            64-byte signature with the signer's --pubkey, which is verified before
            anything is written. Signing
            again with another key adds a second signature; with the same key, replaces
            its signature. Without -o the file is replaced atomically (a temporary file
            in its folder, then a rename).""",
        epilog=f"examples:\n"
               f"  {PROG} sign fpga.tbin --key release.key\n"
               f"  {PROG} sign fpga.tbin --key release.key -o fpga-signed.tbin\n"
               f"  QUORVEX_PKCS11_PIN=... {PROG} sign fpga.tbin --key "
               f"'pkcs11:token=release;object=fpga-2026'\n"
               f"  {PROG} sign fpga.tbin --digest | xxd -r -p > fpga.digest\n"
               f"  openssl pkeyutl -sign -rawin -inkey hsm.key -in fpga.digest -out fpga.sig\n"
               f"  {PROG} sign fpga.tbin --attach fpga.sig --pubkey hsm.pub\n\n"
               + exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE,
                           s1="the signed image could not be written",
                           s2="refused: unreadable image or key, a key others can read, a "
                              "signature that does not verify, a malformed trailer, a token "
                              "that refused (module, token, PIN, key)"))
    p.add_argument("image", metavar="IMAGE.tbin", help="the container to sign")
    how = p.add_mutually_exclusive_group(required=True)
    how.add_argument("--key", metavar="KEY",
                     help="the private key file to sign with (PKCS#8 PEM as 'keygen' or "
                          "'openssl genpkey' writes it; readable by its owner only), or a "
                          "PKCS#11 URI naming an Ed25519 key in a token")
    how.add_argument("--digest", action="store_true",
                     help="print the 32-byte message to sign elsewhere, as 64 hex digits, "
                          "and stop")
    how.add_argument("--attach", metavar="SIG",
                     help="attach the raw 64-byte Ed25519 signature in the file SIG "
                          "(needs --pubkey)")
    p.add_argument("--pubkey", metavar="PUB", help="with --attach: the signer's public key file")
    p.add_argument("-o", "--output", metavar="OUT.tbin",
                   help="write the signed container here instead of replacing IMAGE.tbin")
    return p


def _require_tbin(path: str, what: str) -> None:
    # A trailer on a file flashed as it is (a .bin) would be written as image.
    if pathlib.Path(path).suffix.lower() != ".tbin":
        raise UsageError(f"{what} must be named .tbin, not {path!r}: only a .tbin container "
                         "carries a signature; a .bin is written to the device as it is")


def run(ctx: Context) -> int:
    from .. import tbin

    a = ctx.args
    _require_tbin(a.image, "IMAGE")
    if a.output is not None:
        if a.digest:
            raise UsageError("--digest writes nothing: -o makes no sense with it")
        _require_tbin(a.output, "-o")
    if a.pubkey is not None and a.attach is None:
        raise UsageError("--pubkey goes with --attach")
    if a.attach is not None and a.pubkey is None:
        raise UsageError("--attach needs --pubkey: the signature is verified before it is attached")
    try:
        if a.digest:
            ctx.out(tbin.signing_digest(a.image).hex())
            return EXIT_OK
        if a.key is not None:
            key_id = tbin.sign(a.image, a.key, out=a.output)
        else:
            signature = _read_signature(a.attach)
            public_key = tbin.load_public_key(a.pubkey)
            key_id = tbin.attach_signature(a.image, signature, public_key, out=a.output)
    except PermissionError as e:
        if e.errno is None:  # a private key others can read: the text says what to do
            ctx.console.error(f"refused: {e}")
            return EXIT_REFUSED
        return _os_failure(ctx, e)
    except ValueError as e:
        ctx.console.error(f"refused: {e}")
        return EXIT_REFUSED
    except OSError as e:
        return _os_failure(ctx, e)
    out = a.output or a.image
    count = len(tbin.signatures(out))
    ctx.out(f"{printable(out)}: signed by {key_id} ({count} signature{'s' if count != 1 else ''})")
    return EXIT_OK


def _read_signature(path: str) -> bytes:
    from .. import _tbin
    return _tbin.read_signature(path)


def _os_failure(ctx: Context, e: OSError) -> int:
    """An image or key that cannot be read is refused (2); an image that was
    read but whose signed copy could not be written is a failure (1)."""
    a = ctx.args
    ctx.console.error(f"cannot sign {a.image!r}: {e}")
    target = a.output or a.image
    named = None if e.filename is None else os.path.realpath(os.fspath(e.filename))
    if named == os.path.realpath(target) and os.path.isfile(a.image) \
            and os.access(a.image, os.R_OK):
        return EXIT_FAILED
    return EXIT_REFUSED
