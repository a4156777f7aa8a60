"""quorvex-fpga inspect: what a .tbin container holds and whether its digests
match."""

from __future__ import annotations

import argparse
import json

from ._common import EXIT_OK, EXIT_REFUSED, EXIT_USAGE, PROG, Context, Verbs, exit_text, verb_parser

# The key is derived from a site secret: it is never shown.
_SECRET_FIELDS = ("key",)


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "inspect", with_json=True,
        help="show what a .tbin container holds and whether its digests match",
        description="""
            Show the fixed fields, the JSON header, the device types and whether the two
            digests match, and name anything wrong with the container.""",
        epilog=f"example:\n  {PROG} inspect fpga.tbin --json\n\n"
               + exit_text(EXIT_OK, EXIT_REFUSED, EXIT_USAGE,
                           s2="unreadable, or the header check would refuse it"))
    p.add_argument("file", metavar="FILE.tbin", help="the container to look inside")
    return p


def run(ctx: Context) -> int:
    from .. import tbin

    a = ctx.args
    try:
        info = tbin.describe(a.file)
    except OSError as e:
        ctx.console.error(f"cannot read {a.file!r}: {e.strerror or e}",
                          "give the path of a .tbin file")
        return EXIT_REFUSED
    info = {k: v for k, v in info.items() if k not in _SECRET_FIELDS}
    status = EXIT_OK if info.get("ok") else EXIT_REFUSED
    if a.json:
        ctx.out_json({"path": a.file, **info})
    else:
        def show(name: str, value: object) -> None:
            ctx.out(f"{name:<14}{value}")

        show("file", f"{a.file} ({info.get('file_size')} bytes)")
        header = info.get("header")
        show("header", (json.dumps(header) if header is not None else "(does not parse)")
             + f"  ({info.get('header_length')} bytes)")
        types = info.get("device_types")
        show("device types", ", ".join(map(str, types)) if types else "(none)")
        show("image", f"{info.get('image_length')} bytes at offset {info.get('image_start_addr')}")

        def ok(flag: bool | None) -> str:
            return "ok" if flag else "MISMATCH" if flag is not None else "not checked"
        show("digests", f"header {ok(info.get('header_hash_ok'))}, "
                        f"image {ok(info.get('image_hash_ok'))}")
        problems = info.get("problems") or []
        show("problems", "none" if not problems else problems[0])
        for p in problems[1:]:
            show("", p)
    if status != EXIT_OK:
        ctx.console.error(f"{a.file} would be refused by the header check",
                          "pack the image again, with the key of this site")
    return status
