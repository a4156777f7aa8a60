"""quorvex-fpga inspect: what a .tbin container holds, whether its digests
match, and who signed it."""

from __future__ import annotations

import argparse
import json

from .._text import printable
from ._common import (EXIT_OK, EXIT_REFUSED, EXIT_USAGE, PROG, Context, UsageError, Verbs,
                      exit_text, verb_parser)
from ._image import FLOOR_HINT, signature_lines, version_problem
from ._trust import SIGNATURE_HINT, policy, trust_option

# The key is derived from a site secret: it is never shown.
_SECRET_FIELDS = ("key",)


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "inspect", with_json=True,
        help="show what a .tbin container holds, whether its digests match, who signed it",
        description="""
            Show the fixed fields, the JSON header, the device types and whether the two
            digests match, list each signature (its key id, whether it verifies, and
            whether the current trust policy holds its key trusted, untrusted or
            revoked), and name anything wrong
            with the container. A signature is verified with the trusted keys and any
            --pubkey; one whose key is at hand in neither is listed as not verified.""",
        epilog=f"examples:\n  {PROG} inspect fpga.tbin --json\n"
               f"  {PROG} inspect fpga.tbin --trust keys/ --pubkey lab.key.pub\n\n"
               + exit_text(EXIT_OK, EXIT_REFUSED, EXIT_USAGE,
                           s2="unreadable, or the header check would refuse it"))
    p.add_argument("file", metavar="FILE.tbin", help="the container to look inside")
    trust_option(p)
    p.add_argument("--pubkey", action="append", default=[], metavar="PUB",
                   help="a public key file to verify signatures with, without trusting it "
                        "(repeatable)")
    return p


def run(ctx: Context) -> int:
    from .. import tbin

    a = ctx.args
    try:
        extra = [tbin.load_public_key(p) for p in a.pubkey]
    except (OSError, ValueError) as e:
        raise UsageError(f"--pubkey: {e}") from None
    with policy(a.trust) as trusted:
        try:
            info = tbin.describe(a.file)
            sigs = tbin.signature_report(a.file, trusted, keys=[*extra, *trusted.revoked_keys],
                                         revoked=trusted.revoked)
        except OSError as e:
            ctx.console.error(f"cannot read {a.file!r}: {e.strerror or e}",
                              "give the path of a .tbin file")
            return EXIT_REFUSED
    info = {k: v for k, v in info.items() if k not in _SECRET_FIELDS}
    if sigs["problem"]:
        info["problems"] = [*info["problems"], sigs["problem"]]
    # Under a policy the header check also demands a trusted signature.
    refused_by_policy = sigs["accepted"] is False
    version, _, version_refusal = version_problem(a.file, trusted.floor)
    if version_refusal:
        info["problems"] = [*info["problems"], version_refusal]
    status = EXIT_OK if info.get("ok") and not refused_by_policy and not version_refusal \
        else EXIT_REFUSED
    info.update({"fpga_version": version, "floor": trusted.floor})
    info.update({"signed": sigs["signed"], "signed_size": sigs["signed_size"],
                 "signers": [s["key_id"] for s in sigs["signatures"]],
                 "signatures": sigs["signatures"], "policy": bool(trusted),
                 "accepted": sigs["accepted"]})
    if a.json:
        ctx.out_json({"path": a.file, **info})
    else:
        def show(name: str, value: object) -> None:
            ctx.out(printable(f"{name:<14}{value}"))

        show("file", f"{a.file} ({info.get('file_size')} bytes)")
        header = info.get("header")
        show("header", (json.dumps(header) if header is not None else "(does not parse)")
             + f"  ({info.get('header_length')} bytes)")
        types = info.get("device_types")
        show("device types", ", ".join(map(str, types)) if types else "(none)")
        show("image", f"{info.get('image_length')} bytes at offset {info.get('image_start_addr')}")
        if version or trusted.floor:
            show("fpga version", f"{version or 'none'}"
                 + (f"  (site floor {trusted.floor})" if trusted.floor else ""))

        def ok(flag: bool | None) -> str:
            return "ok" if flag else "MISMATCH" if flag is not None else "not checked"
        show("digests", f"header {ok(info.get('header_hash_ok'))}, "
                        f"image {ok(info.get('image_hash_ok'))}")
        for i, line in enumerate(signature_lines(sigs["signatures"])):
            show("" if i else "signatures", line)
        if trusted:
            show("policy", f"{len(trusted)} trusted key(s): "
                           + ("accepted" if sigs["accepted"] else "REFUSED"))
        problems = info.get("problems") or []
        show("problems", "none" if not problems else problems[0])
        for p in problems[1:]:
            show("", p)
    if not info.get("ok"):
        ctx.console.error(f"{a.file} would be refused by the header check",
                          "pack the image again, with the key of this site")
    elif refused_by_policy:
        ctx.console.error(f"{a.file} would be refused by the trust policy: "
                          + (sigs["problem"] or ("no signature" if not sigs["signed"] else
                                                 "no valid signature by a trusted key")),
                          SIGNATURE_HINT)
    elif version_refusal:
        ctx.console.error(f"{a.file} would be refused by every update: {version_refusal}",
                          FLOOR_HINT)
    return status
