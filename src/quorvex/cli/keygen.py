"""quorvex-fpga keygen: a new Ed25519 key pair for signing images."""

from __future__ import annotations

import argparse

from ._common import (EXIT_FAILED, EXIT_OK, EXIT_REFUSED, EXIT_USAGE, PROG, Context, Verbs,
                      exit_text, verb_parser)


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "keygen",
        help="make an Ed25519 key pair for signing images",
        description="""
            Write a new Ed25519 private key to NAME (PKCS#8 PEM, readable by its owner
            only) and its public key to NAME.pub (SubjectPublicKeyInfo PEM), and print
            the key id. Existing files are never overwritten. Give NAME.pub to the
            machines that must trust the images you sign (--trust, QUORVEX_TRUST);
            keep NAME to yourself.""",
        epilog=f"example:\n  {PROG} keygen -o release.key\n\n"
               + exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE,
                           s1="the key files could not be written",
                           s2="NAME or NAME.pub exists already"))
    p.add_argument("-o", "--output", required=True, metavar="NAME",
                   help="the private key file to write; the public key goes to NAME.pub")
    return p


def run(ctx: Context) -> int:
    from .. import tbin

    a = ctx.args
    try:
        key_id = tbin.generate_key(a.output)
    except FileExistsError as e:
        ctx.console.error(str(e), "choose another NAME, or move the old key pair away first")
        return EXIT_REFUSED
    except OSError as e:
        ctx.console.error(f"cannot write the key pair {a.output!r}: {e}")
        return EXIT_FAILED
    ctx.out(f"{a.output}: private key, {a.output}.pub: public key, key id {key_id}")
    return EXIT_OK
