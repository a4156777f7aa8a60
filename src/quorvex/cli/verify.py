"""quorvex-fpga verify: read each device's flash back and compare it with an
image, without erasing or writing anything."""

from __future__ import annotations

import argparse

from ._address import devices as fleet_devices
from ._common import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_LINK, EXIT_OK, EXIT_REFUSED,
                      EXIT_USAGE, PROG, Context, Verbs, exit_text, verb_parser)
from ._image import check_image
from ._options import count, device_options, window_option
from ._trust import policy, trust_option
from .update import descriptor_limit, displayed_run, image_refused, report_run


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "verify", with_json=True,
        help="check that devices hold an image, reading their flash back only",
        description="""
            Check IMAGE offline, then on each device: connect, initialise the FPGA
            control (which puts it in transfer mode), reset the page pointer and read
            the flash back page by page, and compare its SHA-256 with the image's. No
            erase and no write is sent: the flash is left as it was, the FPGA control
            in transfer mode, not marked done and not refreshed. A device that holds
            the image ends 'unchanged', one that differs 'failed'.""",
        epilog=f"examples:\n"
               f"  {PROG} verify fpga.tbin --address 192.0.2.10\n"
               f"  {PROG} verify fpga.tbin --inventory rack3.csv --json\n\n"
               + exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE, EXIT_LINK,
                           EXIT_INTERRUPTED,
                           s0="every device holds the image",
                           s1="a device's flash differs from the image",
                           s2="refused: the image (nothing was read), or a device that is "
                              "not the one expected",
                           s74="link error: no device could be reached")
               + "\nWith several devices, the first that holds: 0, 130, 74 (every device\n"
                 "unreachable), 1, 2.\n")
    p.add_argument("image", metavar="IMAGE", help="the image: a raw .bin or a .tbin container")
    device_options(p, several=True)
    p.add_argument("--jobs", "-j", type=count(1), default=None, metavar="J",
                   help="at most J devices at once (default: all)")
    window_option(p, "read")
    trust_option(p)
    return p


def run(ctx: Context) -> int:
    with policy(ctx.args.trust) as trusted:
        return _run(ctx, trusted)


def _run(ctx: Context, trusted: frozenset[bytes]) -> int:
    from ..fleet import DescriptorLimit, verify

    a, console = ctx.args, ctx.console
    devices = fleet_devices(a)
    image = check_image(a.image, a.device_type, True, trusted)
    if not image.ok:
        return image_refused(ctx, image)

    try:
        report, display, seconds = displayed_run(ctx, devices, lambda cancel, progress: verify(
            a.image, devices, jobs=a.jobs, timeout=a.timeout, on_progress=progress,
            cancel=cancel, window=a.window))
    except KeyboardInterrupt:
        console.line(f"{PROG}: interrupted")
        return EXIT_INTERRUPTED
    except DescriptorLimit as e:
        return descriptor_limit(ctx, e)
    return report_run(ctx, report, display, seconds, image=image.as_dict())
