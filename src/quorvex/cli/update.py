"""quorvex-fpga update: check an image offline, then write it to one device,
a list of them or an inventory through quorvex.fleet, and say how each ended."""

from __future__ import annotations

import argparse
import time

from .._text import printable
from ._address import devices as fleet_devices
from ..fleet._outcomes import INTERRUPTED, OS_ERROR, OUTCOMES, PRECEDENCE, READY, REFUSED
from ._common import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_LINK, EXIT_OK, EXIT_REFUSED,
                      EXIT_USAGE, PROG, Context, Verbs, exit_text, verb_parser)
from ._console import stdout_to
from ._display import FleetDisplay, result_table, totals_line
from ._image import check_image
from ._jobs import run_cancellable
from ._line import LineRun, history_path, line_options, name, rerun_devices
from ._options import count, device_options, json_error, window_option
from ._trust import policy, trust_option

EXIT_STATUSES = exit_text(
    EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE, EXIT_LINK, EXIT_INTERRUPTED,
    s1="a device failed (after its retries) or was skipped; an error of the host; "
       "or no history",
    s2="refused, the flash untouched: image, type, version or identity",
    s64="usage error: the command line, the inventory or the configuration is wrong, "
        "a history URL holds a password, "
        "or --retry-failed/--resume names a run of another image",
    s74="link error: no device could be reached")

# What --dry-run promises of its exit status.
DRY_RUN_STATUS = """\
--dry-run exits by the same rule: a device that passes every check made
before the erase ends 'ready', which counts as success.
"""


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "update", with_json=True,
        help="check an image, then write it to one or more devices and verify it",
        description="""
            Check IMAGE (offline, before any connection), then on each device:
            connect, initialise, check its serial and FPGA id against the expected
            ones, erase, write the image in 16-byte blocks, read it back and compare
            digests, mark it done and refresh. A link error or a read-back mismatch is
            tried again from the start over a new connection (--retries), after a wait
            of 1, 2, 4 ... s (at most 30 s). Several devices (repeated --address or
            --resource, or --inventory) run at once. Every attempt is recorded in the history.
            Progress goes to standard error (a live table on a terminal); the end is a
            table of the devices on standard output. Ctrl-C stops cleanly.""",
        epilog=f"examples:\n"
               f"  {PROG} update fpga.tbin --address 192.0.2.10\n"
               f"  {PROG} update fpga.tbin -a 192.0.2.10 --expect-serial SN-0042\n"
               f"  {PROG} update fpga.tbin --resource TCPIP::192.0.2.10::5025::SOCKET\n"
               f"  {PROG} update fpga.tbin --inventory rack3.csv --canary 1 --max-failures 2\n"
               f"  {PROG} update fpga.tbin --inventory rack3.toml --skip-current --json\n"
               f"  {PROG} update fpga.tbin --address 192.0.2.10 --dry-run\n"
               f"  {PROG} update fpga.tbin --address 198.51.100.7 --window auto\n"
               f"  {PROG} update fpga.tbin --address 192.0.2.10 --trust keys/\n"
               f"  {PROG} update fpga.tbin -i rack3.csv --events run.jsonl --junit run.xml\n"
               f"  {PROG} update fpga.tbin --retry-failed 0b6a3f3e-8f9c-4a55-a1f1-5c2d9e7b4a10\n\n"
               f"{PRECEDENCE}{DRY_RUN_STATUS}\n{EXIT_STATUSES}")
    p.add_argument("image", metavar="IMAGE", help="the image: a raw .bin or a .tbin container")
    device_options(p, several=True)
    g = p.add_argument_group("the run")
    g.add_argument("--retries", type=count(0), default=1, metavar="N",
                   help="further attempts for a device after a link error or a read-back "
                        "mismatch (default: %(default)s); refusals are never retried")
    g.add_argument("--canary", type=count(0), default=0, metavar="N",
                   help="update the first N devices first, the rest only if all N succeeded")
    g.add_argument("--max-failures", type=count(1), default=None, metavar="K",
                   help="once K devices have failed, start no more (they end 'skipped')")
    g.add_argument("--jobs", "-j", type=count(1), default=None, metavar="J",
                   help="at most J devices at once (default: all)")
    g.add_argument("--skip-current", action="store_true",
                   help="read each device's flash first; a device that holds the image "
                        "already is left 'unchanged', not erased")
    window_option(g, "program or read")
    g = p.add_argument_group("identity (a single --address or --resource; an inventory has "
                             "its own)")
    g.add_argument("--expect-serial", metavar="S",
                   help="refuse the device, untouched, unless its serial number is S")
    g.add_argument("--expect-fpga-id", metavar="ID",
                   help="refuse the device, untouched, unless its FPGA id is ID")
    g = p.add_argument_group("history")
    h = g.add_mutually_exclusive_group()
    h.add_argument("--history", metavar="PATH|URL",
                   help="the history to record every attempt in: an SQLite file, or a "
                        "PostgreSQL database shared by a line's stations "
                        "(postgresql://USER@HOST/DB; the password from ~/.pgpass or "
                        "PGPASSWORD) (default: $XDG_STATE_HOME/quorvex/history.sqlite3, else "
                        "~/.local/state/quorvex/history.sqlite3)")
    h.add_argument("--no-history", action="store_true", help="record nothing")
    g.add_argument("--operator", metavar="NAME", type=name,
                   help="who ran the update, for the history (default: the login name)")
    g = p.add_argument_group("safety checks")
    g.add_argument("--force-version", action="store_true",
                   help="update even a device whose FPGA version is below the supported minimum")
    g.add_argument("--allow-downgrade", action="store_true",
                   help="write an image whose FPGA_VER is older than the device's FPGA version "
                        "(refused otherwise; the history names who allowed it). A site floor "
                        "(QUORVEX_MIN_FPGA_VERSION, min-fpga-version in a trust folder) holds "
                        "even then")
    g.add_argument("--force-device-type", action="store_true",
                   help="write a .tbin even when its header names other device types")
    g.add_argument("--dry-run", action="store_true",
                   help="check the image, connect, initialise, check the identity and the "
                        "image on each device, then stop before the erase (no retries, "
                        "nothing recorded; the same exit statuses)")
    trust_option(g)
    line_options(p)
    return p


def run(ctx: Context) -> int:
    # The policy holds for the whole run: the update checks the image again.
    with policy(ctx.args.trust) as trusted:
        return _run(ctx, trusted)


def _run(ctx: Context, trusted: frozenset[bytes]) -> int:
    from ..fleet import DescriptorLimit, update
    from ..history import History, HistoryError

    a, console = ctx.args, ctx.console
    devices = rerun_devices(a)
    if devices is None:
        devices = fleet_devices(a, pinning=True)
    elif not devices:
        console.line(f"{PROG}: run {a.retry_failed or a.resume} left no device to run again")
        if a.json:  # no run started: no id of its own; the run it would take up named
            ctx.out_json({"run_id": None, "rerun_of": a.retry_failed or a.resume, "devices": [],
                          "counts": dict.fromkeys(OUTCOMES, 0), "exit_status": EXIT_OK})
        return EXIT_OK

    # The device types the image must name: the devices' (an inventory's may
    # differ from --device-type); with several, each device's update checks its own.
    types = {d.device_type for d in devices}
    image = check_image(a.image, min(types), a.force_device_type or len(types) > 1, trusted)
    for level, text in image.messages:
        if level == "warning":
            console.warning(text)
    if not image.ok:
        return image_refused(ctx, image, dry_run=a.dry_run)

    line = LineRun(ctx, devices, a.image)
    history = None if a.dry_run else history_path(a)
    if history is not None:  # opened first: a run id is printed only for a run that starts
        try:
            history = History(history)
        except HistoryError as e:
            line.cancelled()
            return _history_failed(ctx, e)
    if not a.dry_run:
        line.start("skip-current" if a.skip_current else "update")
    floor = getattr(trusted, "floor", None)  # the site's, as the policy read it
    try:
        report, display, seconds = displayed_run(ctx, devices, lambda cancel, progress: update(
            a.image, devices, retries=0 if a.dry_run else a.retries, canary=a.canary,
            max_failures=a.max_failures, jobs=a.jobs, skip_current=a.skip_current,
            history=history, operator=a.operator, on_progress=line.progress(progress),
            timeout=a.timeout, force_version=a.force_version, dry_run=a.dry_run,
            trusted=trusted, cancel=cancel, run_id=line.run_id, station=a.station,
            allow_downgrade=a.allow_downgrade, min_fpga_version=floor, window=a.window))
    except KeyboardInterrupt:
        line.cancelled()
        console.line(f"{PROG}: interrupted: the devices did not stop in time; run the update "
                     f"again, a device may hold no complete image")
        return EXIT_INTERRUPTED
    except HistoryError as e:
        line.cancelled()
        return _history_failed(ctx, e)
    except DescriptorLimit as e:
        line.cancelled()
        return descriptor_limit(ctx, e)
    if a.dry_run:
        return _dry_run_report(ctx, report, seconds, image)
    return line.finish(report, report_run(ctx, report, display, seconds,
                                          image=image.as_dict()))


def image_refused(ctx: Context, image, **extra) -> int:
    """An image refused offline, before any device: said on standard error,
    and with --json as the run's document (`extra` after its "image")."""
    problem = f"image refused: {image.problem}"
    ctx.console.error(problem, image.hint)
    if ctx.args.json:
        ctx.out_json({"image": image.as_dict(), **extra, "devices": [],
                      "exit_status": image.status, **json_error("image", problem, image.status)})
    return image.status


def _history_failed(ctx: Context, e: OSError) -> int:
    from .history import history_failed

    return history_failed(ctx, e, "give another --history PATH, or --no-history to update "
                                  "without a record; no device was touched")


def displayed_run(ctx: Context, devices, call):
    """Runs call(cancel, on_progress) for `devices` under the progress display,
    on a thread that Ctrl-C cancels. Returns (report, display, seconds)."""
    display = FleetDisplay(ctx.console, devices, quiet=ctx.args.quiet)
    if len(devices) > 1:
        ctx.log.per_device(True, display.thread_names)
    start = time.monotonic()
    # The library's own progress lines would garble the display: they go nowhere.
    with stdout_to(None), display:
        report, _ = run_cancellable(lambda cancel: call(cancel, display), ctx.console)
    return report, display, time.monotonic() - start


def descriptor_limit(ctx: Context, e: OSError) -> int:
    """A run that needs more open files than this process may have."""
    ctx.console.error(str(e.strerror or e), "lower --jobs, or raise the hard limit of open "
                                             "files (ulimit -Hn)")
    return EXIT_FAILED


def hint(result) -> str | None:
    """What to do about a device that did not end well, for people."""
    if result.unreachable:
        return f"check that {result.device.label} is on and reachable"
    if result.reason == OS_ERROR:
        return "this host ran short or failed (see the error); lower --jobs, or free what it " \
               "lacks, and run again"
    if result.outcome != REFUSED:
        return None
    if result.reason == "version":
        return "give --force-version to update it anyway"
    if result.reason == "device_type":
        return "check --device-type; this tool updates device type 32"
    if result.reason == "identity":
        return "check that the device at this address is the one you mean"
    return None


def _say_ends(ctx: Context, report) -> None:
    """The devices that did not end well, on standard error."""
    for r in report.results:
        if r.outcome == INTERRUPTED:
            ctx.console.line(f"{PROG}: interrupted: {r.device.label}: device "
                             f"{r.left or 'not touched'}")
        elif not r.ok and r.message:
            ctx.console.error(f"{r.device.label}: {r.outcome}: {r.message}", hint(r))


def report_run(ctx: Context, report, display: FleetDisplay, seconds: float, **extra) -> int:
    """What every fleet verb ends with: the devices that did not end well on
    standard error, then the table and totals (or --json) on standard output."""
    _say_ends(ctx, report)
    status = report.exit_status
    if ctx.args.json:
        doc = report.as_dict()
        for key, value in extra.items():
            doc.setdefault(key, value)
        ctx.out_json(doc)
    else:
        ctx.out(result_table(report.results))
        ctx.out(totals_line(report.results, seconds) + f"; exit status {status}")
    return status


def _dry_run_report(ctx: Context, report, seconds: float, image) -> int:
    """--dry-run's end: a line per device (what the update would write, or
    why it would not start), or --json."""
    _say_ends(ctx, report)
    status = report.exit_status
    if ctx.args.json:
        doc = {"image": image.as_dict(), **report.as_dict()}
        for d, r in zip(doc["devices"], report.results):
            d["hint"] = None if r.ok else hint(r)
        ctx.out_json(doc)
        return status
    for r in report.results:
        if r.outcome == READY:
            ctx.out(printable(f"{r.device.label}: ready, version "
                              f"{r.old_version or '(not reported)'}, "
                              f"would write {image.image_bytes or 0} bytes"))
        else:
            ctx.out(printable(f"{r.device.label}: {r.outcome} after {r.seconds:.2f} s, "
                              f"device {r.left or 'not touched'}"))
    ctx.out(totals_line(report.results, seconds) + f"; exit status {status}")
    return status


__all__ = ["DRY_RUN_STATUS", "PRECEDENCE", "add_parser", "descriptor_limit", "hint",
           "image_refused", "report_run", "run"]
