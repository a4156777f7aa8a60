"""quorvex-fpga update: check an image offline, then write it to one or more
devices at once, verify it and say how each device ended."""

from __future__ import annotations

import argparse

from ._address import device_address, same_devices
from ._common import (EXIT_OK, EXIT_TEXT, PROG, WORST_FIRST, Context, UsageError, Verbs,
                      verb_parser, worst)
from ._console import FleetProgress, stdout_to
from ._image import check_image
from ._jobs import DeviceJob, run_fleet
from ._options import device_options
from ._trust import policy, trust_option


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "update", with_json=True,
        help="check an image, then write it to one or more devices and verify it",
        description="""
            Check IMAGE (offline, before any connection), then on each device:
            initialise, erase, write the image in 16-byte blocks, read it back and
            compare digests, mark it done and refresh. Ends with one summary line per
            device: outcome, new FPGA version, bytes, seconds, rate, refused blocks
            resent. Several --address options update the devices concurrently. Ctrl-C
            stops cleanly and says where each device was left.""",
        epilog=f"examples:\n"
               f"  {PROG} update fpga.tbin --address 192.0.2.10\n"
               f"  {PROG} update fpga.tbin -a 192.0.2.10 -a 192.0.2.11 -a 192.0.2.12:5026\n"
               f"  {PROG} update fpga.tbin --address 192.0.2.10 --dry-run\n"
               f"  {PROG} update fpga.tbin --address 192.0.2.10 --trust keys/\n\n"
               f"With several devices the exit status is the worst of theirs:\n"
               f"{WORST_FIRST}.\n\n{EXIT_TEXT}")
    p.add_argument("image", metavar="IMAGE", help="the image: a raw .bin or a .tbin container")
    device_options(p, several=True)
    g = p.add_argument_group("safety checks")
    g.add_argument("--force-version", action="store_true",
                   help="update even a device whose FPGA version is below the supported minimum")
    g.add_argument("--force-device-type", action="store_true",
                   help="write a .tbin even when its header names other device types")
    g.add_argument("--dry-run", action="store_true",
                   help="check the image, connect and initialise, then stop before the erase")
    trust_option(g)
    return p


def run(ctx: Context) -> int:
    # The policy holds for the whole run: the update checks the image again.
    with policy(ctx.args.trust):
        return _run(ctx)


def _run(ctx: Context) -> int:
    a, console = ctx.args, ctx.console
    targets = [device_address(t, a.port) for t in a.address]
    twice = same_devices(targets)
    if twice:
        raise UsageError(f"{'; '.join(twice)}: one device can take only one update at a time")

    image = check_image(a.image, a.device_type, a.force_device_type)
    for level, text in image.messages:
        if level == "warning":
            console.warning(text)
    if not image.ok:
        console.error(f"image refused: {image.problem}", image.hint)
        if a.json:
            ctx.out_json({"image": image.as_dict(), "dry_run": a.dry_run, "devices": [],
                          "exit_status": image.status})
        return image.status

    jobs = [DeviceJob(h, p, image=image, device_type=a.device_type, timeout=a.timeout,
                      force_version=a.force_version, dry_run=a.dry_run) for h, p in targets]
    if len(jobs) == 1:
        # One device: the library's own progress lines, moved to stderr.
        with stdout_to(None if a.quiet else console.stream()):
            jobs[0].run()
    else:
        # Several: a compact line per device; the library's lines would
        # garble each other, so they go nowhere.
        ctx.log.per_device(True)
        if not a.quiet:
            board = FleetProgress(console, jobs)
            for job in jobs:
                job.on_progress = board
        with stdout_to(None):
            run_fleet(jobs, console)

    for job in jobs:
        if job.outcome == "interrupted":
            console.line(f"{PROG}: interrupted: {job.label}: device {job.where_left()}")
            if job.hint:
                console.line(f"{PROG}: hint: {job.hint}")
        elif job.status != EXIT_OK:
            console.error(f"{job.label}: {job.outcome.replace('-', ' ')}: {job.message}",
                          job.hint)
    status = worst(job.status for job in jobs)
    if a.json:
        ctx.out_json({"image": image.as_dict(), "dry_run": a.dry_run,
                      "devices": [job.as_dict() for job in jobs], "exit_status": status})
    else:
        for job in jobs:
            ctx.out(job.summary())
    return status
