"""quorvex-fpga check: the checks that 'update' runs on an image before it
connects, on their own."""

from __future__ import annotations

import argparse

from .._text import printable
from ._common import EXIT_OK, EXIT_REFUSED, EXIT_USAGE, PROG, Context, Verbs, exit_text, verb_parser
from ._image import check_image, check_version, signature_lines
from ._options import dev_type
from ._trust import policy, trust_option


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "check", with_json=True,
        help="check an image file offline, as 'update' does first",
        description="""
            Run the two checks that 'update' runs before it connects: the file check
            (exists, .bin or .tbin, not empty, readable) and the header check (for a
            .tbin, both HMAC digests; under a trust policy, a valid signature by a
            trusted key too), and holds the image's FPGA version (FPGA_VER) to the
            site's floor as every update would. No device is contacted.""",
        epilog=f"examples:\n  {PROG} check fpga.tbin --device-type 32\n"
               f"  {PROG} check fpga.tbin --trust release.key.pub\n\n"
               + exit_text(EXIT_OK, EXIT_REFUSED, EXIT_USAGE, s2="the image is refused"))
    p.add_argument("image", metavar="IMAGE", help="the image file to check")
    p.add_argument("--device-type", "-t", type=dev_type, metavar="N",
                   help="also check that a .tbin names this device type")
    trust_option(p)
    return p


def run(ctx: Context) -> int:
    a = ctx.args
    with policy(a.trust) as trusted:
        report = check_image(a.image, a.device_type, trusted=trusted)
        check_version(report, trusted.floor)
    if a.json:
        ctx.out_json(report.as_dict())
    else:
        def out(text: str) -> None:  # file names and log lines may hold control characters
            ctx.out(printable(text))

        def verdict(result: bool | None) -> str:
            return "not run" if result is None else "passed" if result else "FAILED"
        out(f"{a.image}:")
        out(f"  file check    {verdict(report.file_check)}")
        out(f"  header check  {verdict(report.header_check)}"
            + ("  (.bin: no header to check)" if report.format == "bin"
               and report.header_check else ""))
        if report.device_types is not None:
            out(f"  device types  {', '.join(map(str, report.device_types)) or 'none'}"
                + ("" if report.device_type_ok is None else
                   "  (matches)" if report.device_type_ok else
                   f"  (not {a.device_type})"))
        if report.image_bytes is not None:
            out(f"  image         {report.image_bytes} bytes")
        if report.fpga_version is not None or report.floor is not None:
            out(f"  fpga version  {report.fpga_version or 'none'}"
                + (f"  (site floor {report.floor})" if report.floor else ""))
        if report.signatures is not None:
            for i, line in enumerate(signature_lines(report.signatures)):
                out(f"  {'' if i else 'signatures':<14}{line}")
            if report.signature_problem:
                out(f"  {'':<14}{report.signature_problem}")
        for level, text in report.messages:
            if level in ("warning", "error") or a.verbose:
                out(f"  {level}: {text}")
    if not report.ok:
        ctx.console.error(f"image refused: {report.problem}", report.hint)
    return report.status
