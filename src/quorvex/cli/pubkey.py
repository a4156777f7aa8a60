"""quorvex-fpga pubkey: the public key of an Ed25519 key held in a PKCS#11 token."""

from __future__ import annotations

import argparse

from .._text import printable
from ._common import (EXIT_FAILED, EXIT_OK, EXIT_REFUSED, EXIT_USAGE, PROG, Context, UsageError,
                      Verbs, exit_text, refuse_pin_in_uri, verb_parser)


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "pubkey",
        help="export the public key of an Ed25519 key in a PKCS#11 token",
        description="""
            Read the public key of the Ed25519 key pair that the PKCS#11 URI names (RFC
            7512) from its token, and print it as a PEM public key (SubjectPublicKeyInfo,
            as 'keygen' writes NAME.pub), or write it to FILE. The PIN comes from the URI's
            pin-source=FILE or QUORVEX_PKCS11_PIN (never from the command line), the
            module from module-path= or QUORVEX_PKCS11_MODULE.""",
        epilog=f"example:\n  {PROG} pubkey 'pkcs11:token=release;object=fpga-2026"
               f"?module-path=/usr/lib/softhsm/libsofthsm2.so' -o keys/fpga-2026.pub\n\n"
               + exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE,
                           s1="FILE could not be written",
                           s2="the token refused (module, token, PIN, key), or FILE exists"))
    p.add_argument("uri", metavar="URI", help="the key pair: pkcs11:token=...;object=...")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write the PEM here (never over an existing file) instead of printing it")
    return p


def run(ctx: Context) -> int:
    from .. import _pkcs11, tbin

    a = ctx.args
    if not _pkcs11.is_uri(a.uri):
        raise UsageError(f"URI must be a PKCS#11 URI (pkcs11:...), not {a.uri!r}")
    refuse_pin_in_uri(a.uri)
    try:
        raw = _pkcs11.public_key(a.uri)
    except ValueError as e:
        ctx.console.error(f"refused: {e}")
        return EXIT_REFUSED
    key_id = tbin.key_id(raw)
    if a.output is None:
        ctx.out(_pkcs11.public_key_pem(raw).rstrip("\n"))
        return EXIT_OK
    try:
        _pkcs11.write_public_key(a.output, raw)
    except FileExistsError:
        ctx.console.error(f"{a.output!r} exists already", "choose another FILE")
        return EXIT_REFUSED
    except OSError as e:
        ctx.console.error(f"cannot write {a.output!r}: {e}")
        return EXIT_FAILED
    ctx.out(printable(f"{a.output}: public key of {a.uri}, key id {key_id}"))
    return EXIT_OK
