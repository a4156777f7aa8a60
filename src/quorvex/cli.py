"""quorvex-fpga: FPGA updates of networked beamforming devices from the shell.

One verb per job (info, update, check, pack, inspect, emulate); run
``quorvex-fpga --help`` for the overview and ``quorvex-fpga VERB --help``
for a verb. The native modules are imported only after the log is set up
(on standard error), so standard output carries nothing but results.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import socket
import sys
import textwrap
import traceback

from ._cli_console import PROG, Console, LogSetup, stdout_to
from ._cli_update import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_LINK, EXIT_OK, EXIT_REFUSED,
                          EXIT_USAGE, DeviceJob, FleetProgress, address_label, check_image,
                          open_link, parse_address, run_fleet, worst)

__all__ = ["main"]

_EXIT_MEANING = {
    EXIT_OK: "success",
    EXIT_FAILED: "the update or its read-back verification failed",
    EXIT_REFUSED: "refused by a check or by the device (the flash was not touched)",
    EXIT_USAGE: "usage error: the command line is wrong",
    EXIT_LINK: "link error: cannot connect, no answer in time, or the connection was lost",
    EXIT_INTERRUPTED: "interrupted (Ctrl-C)",
}


def _exit_text(*codes, **meanings):
    """The exit status table of a verb: `codes`, with a meaning of its own
    for some (keyword s1=... for status 1)."""
    lines = [f"  {c:<4} {meanings.get(f's{c}', _EXIT_MEANING[c])}"
             for c in (codes or _EXIT_MEANING)]
    return "exit status:\n" + "\n".join(lines) + "\n"


_EXIT_TEXT = _exit_text()

_OVERVIEW = f"""\
Update the FPGA image of networked beamforming devices, and make and look
inside .tbin update images. Results go to standard output (--json makes them
machine-readable); progress, log lines and errors go to standard error.

Run '{PROG} VERB --help' for the options of one verb.

{_EXIT_TEXT}
examples:
  {PROG} info --address 192.0.2.10
  {PROG} check fpga.tbin
  {PROG} update fpga.tbin --address 192.0.2.10
  {PROG} update fpga.tbin --address 192.0.2.10 --address 192.0.2.11 --json
  {PROG} pack fpga.bin --dev-type 32 --header version=\\"1.2.0\\" -o fpga.tbin
  {PROG} emulate --port 5025
"""


def _para(text):
    return textwrap.fill(" ".join(text.split()), 78)


class _Parser(argparse.ArgumentParser):
    """argparse with the usage error status 64 (EX_USAGE) instead of 2,
    which this tool keeps for refusals."""

    def error(self, message):
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n"
                              f"Run '{self.prog} --help' for the options.\n")


class UsageError(Exception):
    """A command line that parses but makes no sense (exit status 64)."""


# --- argument types ---------------------------------------------------------------

def _port(text):
    try:
        port = int(text)
    except ValueError:
        port = 0
    if not 1 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"expected a TCP port 1..65535, not {text!r}")
    return port


def _seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value <= 86400:
        raise argparse.ArgumentTypeError(f"expected a number of seconds > 0, not {text!r}")
    return value


def _dev_type(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a device type number such as 32, not {text!r}")
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive device type, not {text!r}")
    return value


def _header_item(text):
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, not {text!r}")
    if key in ("DEV_TYPE", "dev_type"):
        raise argparse.ArgumentTypeError("the device type is given with --dev-type, not --header")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


# --- the parser --------------------------------------------------------------------

def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    out = common.add_argument_group("output")
    out.add_argument("-v", "--verbose", action="store_true",
                     help="show debug log lines too")
    out.add_argument("-q", "--quiet", action="store_true",
                     help="no progress and no info lines: only warnings, errors and results")

    json_opt = argparse.ArgumentParser(add_help=False)
    json_opt.add_argument("--json", action="store_true",
                          help="print the result as one JSON object on standard output")

    def device_options(p, several):
        g = p.add_argument_group("device")
        if several:
            g.add_argument("--address", "-a", action="append", required=True, metavar="HOST",
                           help="the device: a host name or IP address, optionally with :PORT "
                                "([IPV6]:PORT for IPv6). Repeat it to update several devices "
                                "at once, one thread each")
        else:
            g.add_argument("--address", "-a", required=True, metavar="HOST",
                           help="the device: a host name or IP address, optionally with :PORT "
                                "([IPV6]:PORT for IPv6)")
        g.add_argument("--port", "-p", type=_port, default=5025,
                       help="TCP port for addresses given without one (default: %(default)s)")
        g.add_argument("--device-type", "-t", type=_dev_type, default=32, metavar="N",
                       help="the device type (default: %(default)s)")
        g.add_argument("--timeout", type=_seconds, default=10.0, metavar="S",
                       help="seconds to wait for the connection and for each reply "
                            "(default: %(default)s; an erase may take up to 120 s)")

    fmt = argparse.RawDescriptionHelpFormatter
    parser = _Parser(prog=PROG, description=_OVERVIEW, formatter_class=fmt)
    from . import __version__
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", required=True, title="verbs")

    p = verbs.add_parser(
        "info", parents=[common, json_opt], formatter_class=fmt,
        help="show a device's FPGA id and version, control firmware and serial number",
        description=_para("""
            Initialise the device's FPGA control (as an update does first) and show its
            FPGA id, FPGA version, control firmware version and serial number. A device
            type this tool does not update, or an FPGA version below the supported
            minimum, is reported as a warning with exit status 2; any other failure of
            the initialisation (other than of the link) as an error with exit status 1."""),
        epilog=f"example:\n  {PROG} info --address 192.0.2.10\n\n"
               + _exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE, EXIT_LINK,
                            EXIT_INTERRUPTED,
                            s1="the initialisation failed (e.g. an FPGA version that "
                               "cannot be read)",
                            s2="a device type or FPGA version that 'update' refuses"))
    device_options(p, several=False)
    p.set_defaults(run=cmd_info)

    p = verbs.add_parser(
        "update", parents=[common, json_opt], formatter_class=fmt,
        help="check an image, then write it to one or more devices and verify it",
        description=_para("""
            Check IMAGE (offline, before any connection), then on each device:
            initialise, erase, write the image in 16-byte blocks, read it back and
            compare digests, mark it done and refresh. Ends with one summary line per
            device: outcome, new FPGA version, bytes, seconds, rate, refused blocks
            resent. Several --address options update the devices concurrently. Ctrl-C
            stops cleanly and says where each device was left."""),
        epilog=f"examples:\n"
               f"  {PROG} update fpga.tbin --address 192.0.2.10\n"
               f"  {PROG} update fpga.tbin -a 192.0.2.10 -a 192.0.2.11 -a 192.0.2.12:5026\n"
               f"  {PROG} update fpga.tbin --address 192.0.2.10 --dry-run\n\n"
               f"With several devices the exit status is the worst of theirs:\n"
               f"130, then 1, then 74, then 2, then 0.\n\n{_EXIT_TEXT}")
    p.add_argument("image", metavar="IMAGE", help="the image: a raw .bin or a .tbin container")
    device_options(p, several=True)
    g = p.add_argument_group("safety checks")
    g.add_argument("--force-version", action="store_true",
                   help="update even a device whose FPGA version is below the supported minimum")
    g.add_argument("--force-device-type", action="store_true",
                   help="write a .tbin even when its header names other device types")
    g.add_argument("--dry-run", action="store_true",
                   help="check the image, connect and initialise, then stop before the erase")
    p.set_defaults(run=cmd_update)

    p = verbs.add_parser(
        "check", parents=[common, json_opt], formatter_class=fmt,
        help="check an image file offline, as 'update' does first",
        description=_para("""
            Run the two checks that 'update' runs before it connects: the file check
            (exists, .bin or .tbin, not empty, readable) and the header check (for a
            .tbin, both HMAC digests). No device is contacted."""),
        epilog=f"example:\n  {PROG} check fpga.tbin --device-type 32\n\n"
               + _exit_text(EXIT_OK, EXIT_REFUSED, EXIT_USAGE, s2="the image is refused"))
    p.add_argument("image", metavar="IMAGE", help="the image file to check")
    p.add_argument("--device-type", "-t", type=_dev_type, metavar="N",
                   help="also check that a .tbin names this device type")
    p.set_defaults(run=cmd_check)

    p = verbs.add_parser(
        "pack", parents=[common], formatter_class=fmt,
        help="pack a raw .bin image into a .tbin container",
        description=_para("""
            Pack IMAGE.bin (a raw image file) into a .tbin container: a JSON header naming
            the device types, and HMAC-SHA256 digests of header and image."""),
        epilog=f"examples:\n"
               f"  {PROG} pack fpga.bin --dev-type 32 -o fpga.tbin\n"
               f"  {PROG} pack fpga.bin -d 28 -d 32 --header build=1234 \\\n"
               f"      --header note='\"for the lab\"' -o fpga.tbin\n\n"
               f"A --header VALUE is taken as JSON when it parses (1234, true, [1,2],\n"
               f"\"text\"), else as text.\n\n"
               + _exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE,
                            s1="the container could not be written",
                            s2="no raw image file to pack (missing, or a .tbin already)"))
    p.add_argument("image", metavar="IMAGE.bin", help="the raw image file (not a .tbin)")
    p.add_argument("--dev-type", "-d", type=_dev_type, action="append", required=True,
                   metavar="N", help="a device type the image is for; repeat it for several")
    p.add_argument("--header", action="append", type=_header_item, default=[],
                   metavar="KEY=VALUE", help="a further member of the JSON header; repeatable")
    p.add_argument("-o", "--output", required=True, metavar="OUT.tbin",
                   help="the container to write, named .tbin (replaced if it exists)")
    p.set_defaults(run=cmd_pack)

    p = verbs.add_parser(
        "inspect", parents=[common, json_opt], formatter_class=fmt,
        help="show what a .tbin container holds and whether its digests match",
        description=_para("""
            Show the fixed fields, the JSON header, the device types and whether the two
            digests match, and name anything wrong with the container."""),
        epilog=f"example:\n  {PROG} inspect fpga.tbin --json\n\n"
               + _exit_text(EXIT_OK, EXIT_REFUSED, EXIT_USAGE,
                            s2="unreadable, or the header check would refuse it"))
    p.add_argument("file", metavar="FILE.tbin", help="the container to look inside")
    p.set_defaults(run=cmd_inspect)

    verbs.add_parser(
        "emulate", add_help=False,
        help="run the device emulator in the foreground, for trying things without a device "
             f"('{PROG} emulate --help' for its options)")
    return parser


# --- main ---------------------------------------------------------------------------

class _Context:
    def __init__(self, args, stdout, console, log):
        self.args, self.stdout, self.console, self.log = args, stdout, console, log

    def out(self, text=""):
        self.stdout.write(text + "\n")
        self.stdout.flush()

    def out_json(self, obj):
        self.out(json.dumps(obj, indent=2, default=_json_default))


def _json_default(o):
    if isinstance(o, (bytes, bytearray, memoryview)):
        return bytes(o).hex()
    return str(o)


def main(argv=None):
    """The console script: returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["emulate"]:
        return _emulate(argv[1:])
    args = build_parser().parse_args(argv)

    stdout = sys.stdout
    console = Console(sys.stderr)
    log = LogSetup(console, 1 if args.verbose else -1 if args.quiet else 0)
    ctx = _Context(args, stdout, console, log)
    try:
        return args.run(ctx)
    except UsageError as e:
        console.line(f"{PROG} {args.verb}: error: {e}")
        return EXIT_USAGE
    except KeyboardInterrupt:
        console.line(f"{PROG}: interrupted; no device was being written")
        return EXIT_INTERRUPTED
    except (ConnectionError, TimeoutError) as e:
        console.error(str(e), "check the address and port, and that the device is on")
        return EXIT_LINK
    except Exception as e:  # a fault of ours: say what, and show where with -v
        console.error(f"{type(e).__name__}: {e}", None if args.verbose else
                      "run it again with -v to see where it happened")
        if args.verbose:
            console.line(traceback.format_exc().rstrip())
        return EXIT_FAILED
    finally:
        log.close()


def _emulate(argv):
    """The emulator's own console script, with this tool's usage status."""
    from . import emulator

    try:
        return emulator.main(argv, prog=f"{PROG} emulate")
    except SystemExit as e:
        if e.code == 2:  # argparse's usage error
            return EXIT_USAGE
        raise


# --- info -------------------------------------------------------------------------

def cmd_info(ctx):
    from .QVRFpga import FpgaTool
    from .QVRPublic import RetCode

    a = ctx.args
    host, port = _address(a.address, a.port)
    label = address_label(host, port)
    info = {"address": label, "host": host, "port": port, "device_type": a.device_type,
            "init": None, "fpga_id": None, "fpga_version": None, "control_fw_version": None,
            "serial_number": None, "control_fw_below_minimum": None, "error": None}
    status, link = EXIT_OK, None
    try:
        link = open_link(host, port, a.timeout)
        tool = FpgaTool(connection=link)
        ret = tool.initFpga(a.device_type)
        info["init"] = {"code": ret.RetCode.name, "message": ret.RetMsg}
        if ret.RetCode is RetCode.OK:
            info["fpga_id"] = ret.RetData["fpga_id"]
            info["fpga_version"] = ret.RetData["fpga_version"]
        else:
            # A WARNING is a refusal of the device type or version; an ERROR
            # that is not the link's (which breaks the link: the queries
            # below raise) is a failure. Neither carries data: ask the
            # plain queries instead.
            status = EXIT_REFUSED if ret.RetCode is RetCode.WARNING else EXIT_FAILED
            info["fpga_id"] = tool._fpgaGetId()
            info["fpga_version"] = tool._fpgaGetVersion()
        info["control_fw_version"] = tool._fpgaGetControlFwVer()
        info["serial_number"] = tool._fpgaGetSerialNumber()
    except (ConnectionError, TimeoutError, OSError) as e:
        # initFpga reports the first failure itself; later calls only see a closed link.
        init = info["init"]
        info["error"] = init["message"] if init and init["code"] == "ERROR" else str(e)
        status = EXIT_LINK
    finally:
        if link is not None:
            link.closeConnection()

    if status == EXIT_LINK:
        error = info["error"]
        ctx.console.error(error if label in error else f"{label}: {error}",
                          "check the address and port, and that the device is on")
    else:
        info["control_fw_below_minimum"] = _below_fw_minimum(info["control_fw_version"])
    if status == EXIT_REFUSED:
        msg = info["init"]["message"]
        hint = ("'update' refuses it unless --force-version is given"
                if msg.startswith("FPGA version") else
                "check --device-type" if msg.startswith("Device type") else None)
        ctx.console.warning(f"{label}: {msg}", hint)
    elif status == EXIT_FAILED:
        ctx.console.error(f"{label}: {info['init']['message']}",
                          "check that the device at this address is the one you mean")
    info["exit_status"] = status
    if ctx.args.json:
        ctx.out_json(info)
    elif status != EXIT_LINK:
        fw = info["control_fw_version"]
        if info["control_fw_below_minimum"]:
            fw += f" (below the minimum {info['control_fw_below_minimum']})"
        for name, value in (("device", label), ("FPGA id", info["fpga_id"]),
                            ("FPGA version", info["fpga_version"]),
                            ("control firmware", fw), ("serial number", info["serial_number"])):
            ctx.out(f"{name:<17} {value or '(no answer)'}")
    return status


def _below_fw_minimum(version):
    """The minimum control firmware version when `version` is below it."""
    from . import QVRFpga
    from .QVRUtils import VER

    try:
        minimum = QVRFpga._FPGA_FW_VER_MIN
        return minimum if VER(version) < VER(minimum) else None
    except (ValueError, AttributeError):
        return None


# --- update -----------------------------------------------------------------------

def _address(text, default_port):
    try:
        return parse_address(text, default_port)
    except ValueError as e:
        raise UsageError(e) from None


def _same_devices(targets):
    """Texts naming the (host, port) targets that reach one device: the same
    label, or names that resolve to a common address and port. A name that
    does not resolve is left to the link, which reports it."""
    ends = []
    for host, port in targets if len(targets) > 1 else ():
        try:
            infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        except (OSError, UnicodeError):
            infos = []
        # (address, port), and the scope of a link-local IPv6 address
        ends.append({(sa[0], sa[1], *sa[3:4]) for *_, sa in infos})
    labels = [address_label(h, p) for h, p in targets]
    found = []
    for i, first in enumerate(labels):
        for j in range(i + 1, len(labels)):
            if labels[j] == first:
                text = f"{first} is given more than once"
            elif ends[i] & ends[j]:
                address, port = min(ends[i] & ends[j])[:2]
                text = (f"{first} and {labels[j]} are the same device "
                        f"({address_label(address, port)})")
            else:
                continue
            if text not in found:
                found.append(text)
    return found


def cmd_update(ctx):
    a, console = ctx.args, ctx.console
    targets = [_address(t, a.port) for t in a.address]
    twice = _same_devices(targets)
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


# --- check ------------------------------------------------------------------------

def cmd_check(ctx):
    a = ctx.args
    report = check_image(a.image, a.device_type)
    if a.json:
        ctx.out_json(report.as_dict())
    else:
        def verdict(result):
            return "not run" if result is None else "passed" if result else "FAILED"
        ctx.out(f"{a.image}:")
        ctx.out(f"  file check    {verdict(report.file_check)}")
        ctx.out(f"  header check  {verdict(report.header_check)}"
                + ("  (.bin: no header to check)" if report.format == "bin"
                   and report.header_check else ""))
        if report.device_types is not None:
            ctx.out(f"  device types  {', '.join(map(str, report.device_types)) or 'none'}"
                    + ("" if report.device_type_ok is None else
                       "  (matches)" if report.device_type_ok else
                       f"  (not {a.device_type})"))
        if report.image_bytes is not None:
            ctx.out(f"  image         {report.image_bytes} bytes")
        for level, text in report.messages:
            if level in ("warning", "error") or a.verbose:
                ctx.out(f"  {level}: {text}")
    if not report.ok:
        ctx.console.error(f"image refused: {report.problem}", report.hint)
    return report.status


# --- pack and inspect ------------------------------------------------------------

def cmd_pack(ctx):
    from . import tbin

    a = ctx.args
    header = dict(a.header)
    dev_type = a.dev_type[0] if len(a.dev_type) == 1 else a.dev_type
    # 'check' and 'update' tell a container from a raw image by its name alone:
    # a container named otherwise would be flashed as it is.
    if pathlib.Path(a.output).suffix.lower() != ".tbin":
        raise UsageError(f"name the output .tbin, not {a.output!r}: 'check' and 'update' know "
                         "a container by that name only, and would flash a .bin as it is")
    if not os.path.isfile(a.image):
        ctx.console.error(f"no image file {a.image!r}", "give the path of the raw image to pack")
        return EXIT_REFUSED
    if pathlib.Path(a.image).suffix.lower() == ".tbin" or _is_container(a.image):
        ctx.console.error(f"{a.image!r} is a .tbin container already, not a raw image: "
                          "packed again it would be flashed with its container header",
                          "give the raw .bin image it was packed from")
        return EXIT_REFUSED
    try:
        size = tbin.pack_file(a.image, a.output, dev_type, header or None)
    except (ValueError, TypeError) as e:
        raise UsageError(e) from None
    except OSError as e:
        ctx.console.error(f"cannot pack {a.image!r} into {a.output!r}: {e}")
        return EXIT_FAILED
    types = ", ".join(map(str, a.dev_type))
    ctx.out(f"{a.output}: {size} bytes, a .tbin of {os.path.getsize(a.image)} image bytes "
            f"for device type {types}")
    return EXIT_OK


def _is_container(path):
    """Whether `path` holds a .tbin container whose digests match."""
    from . import tbin

    try:
        return bool(tbin.describe(path).get("ok"))
    except OSError:
        return False  # packing reports what cannot be read


# The key is derived from a site secret: it is never shown.
_SECRET_FIELDS = ("key",)


def cmd_inspect(ctx):
    from . import tbin

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
        def show(name, value):
            ctx.out(f"{name:<14}{value}")

        show("file", f"{a.file} ({info.get('file_size')} bytes)")
        header = info.get("header")
        show("header", (json.dumps(header) if header is not None else "(does not parse)")
             + f"  ({info.get('header_length')} bytes)")
        types = info.get("device_types")
        show("device types", ", ".join(map(str, types)) if types else "(none)")
        show("image", f"{info.get('image_length')} bytes at offset {info.get('image_start_addr')}")

        def ok(flag):
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


if __name__ == "__main__":
    sys.exit(main())
