"""quorvex-fpga keygen: a new Ed25519 key pair for signing images, in files or in a
PKCS#11 token."""

from __future__ import annotations

import argparse
import os

from .._text import printable
from ._common import (EXIT_FAILED, EXIT_OK, EXIT_REFUSED, EXIT_USAGE, PROG, Context, Verbs,
                      exit_text, refuse_pin_in_uri, verb_parser)


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "keygen",
        help="make an Ed25519 key pair for signing images",
        description="""
            Write a new Ed25519 private key to NAME (PKCS#8 PEM, readable by its owner
            only) and its public key to NAME.pub (SubjectPublicKeyInfo PEM), and print
            the key id. Existing files are never overwritten. Give NAME.pub to the
            machines that must trust the images you sign (--trust, QUORVEX_TRUST);
            keep NAME to yourself. With --pkcs11 URI the key pair is made inside a
            PKCS#11 token instead (labelled by the URI's object=; its private key cannot
            leave the token) and only NAME.pub is written. The PIN comes from the URI's
            pin-source=FILE or QUORVEX_PKCS11_PIN, the module from module-path= or
            QUORVEX_PKCS11_MODULE.""",
        epilog=f"examples:\n  {PROG} keygen -o release.key\n"
               f"  {PROG} keygen --pkcs11 'pkcs11:token=release;object=fpga-2026"
               f"?module-path=/usr/lib/softhsm/libsofthsm2.so' -o keys/fpga-2026\n\n"
               + exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE,
                           s1="the key files could not be written",
                           s2="NAME or NAME.pub exists already; the token refused (PIN, "
                              "no such token, a key of that label exists, no Ed25519)"))
    p.add_argument("-o", "--output", required=True, metavar="NAME",
                   help="the private key file to write; the public key goes to NAME.pub")
    p.add_argument("--pkcs11", metavar="URI",
                   help="make the key pair in the PKCS#11 token URI names (RFC 7512), and "
                        "write only NAME.pub")
    return p


def run(ctx: Context) -> int:
    from .. import tbin

    a = ctx.args
    if a.pkcs11 is not None:
        return _in_token(ctx, a.pkcs11, a.output + ".pub")
    try:
        key_id = tbin.generate_key(a.output)
    except FileExistsError as e:
        ctx.console.error(str(e), "choose another NAME, or move the old key pair away first")
        return EXIT_REFUSED
    except OSError as e:
        ctx.console.error(f"cannot write the key pair {a.output!r}: {e}")
        return EXIT_FAILED
    ctx.out(printable(f"{a.output}: private key, {a.output}.pub: public key, key id {key_id}"))
    return EXIT_OK


def _in_token(ctx: Context, uri: str, pub_path: str) -> int:
    from .. import _pkcs11, tbin

    refuse_pin_in_uri(uri)
    if os.path.lexists(pub_path):  # before the token holds a key nobody has the public half of
        ctx.console.error(f"{pub_path!r} exists already", "choose another NAME, or move the old "
                                                          "public key away first")
        return EXIT_REFUSED
    try:
        raw = _pkcs11.generate_key(uri)
    except ValueError as e:
        ctx.console.error(f"refused: {e}")
        return EXIT_REFUSED
    key_id = tbin.key_id(raw)
    try:
        _pkcs11.write_public_key(pub_path, raw)
    except OSError as e:
        ctx.console.error(f"the key {key_id} was made in the token, but {pub_path!r} could not "
                          f"be written: {e}", f"export it with '{PROG} pubkey URI -o FILE'")
        return EXIT_FAILED
    ctx.out(printable(f"{pub_path}: public key of {_pkcs11.redact(uri)}, key id {key_id}"))
    return EXIT_OK
