"""quorvex-fpga: FPGA updates of networked beamforming devices from the shell.

One verb per job (info, update, verify, check, pack, sign, keygen, pubkey,
inspect, emulate, history),
each a module of this package; run ``quorvex-fpga --help`` for the overview and
``quorvex-fpga VERB --help`` for a verb. The native modules are imported only
after the log is set up (on standard error), so standard output carries
nothing but results.

A new verb is one module (see _common for what it holds) and its name in
`VERBS`.
"""

from __future__ import annotations

import importlib
import json
import os
import sys
import traceback
from collections.abc import Sequence
from types import ModuleType
from typing import Any, NoReturn, TextIO

from ._common import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_LINK, EXIT_OUTPUT_CLOSED, EXIT_TEXT,
                      EXIT_USAGE, FORMATTER, LINK_HINT, PROG, Context, OutputClosed, Parser,
                      UsageError)
from ._console import Console, LogSetup
from ._options import json_error, wants_json

__all__ = ["VERBS", "build_parser", "main"]

# The verbs, in the order the overview lists them.
VERBS = ("info", "update", "verify", "check", "pack", "sign", "keygen", "pubkey", "inspect",
         "emulate", "history", "config")

_OVERVIEW = f"""\
Update the FPGA image of networked beamforming devices, and make, sign and
look inside .tbin update images. Results go to standard output (--json makes them
machine-readable); progress, log lines and errors go to standard error.

Run '{PROG} VERB --help' for the options of one verb.

{EXIT_TEXT}
examples:
  {PROG} info --address 192.0.2.10
  {PROG} check fpga.tbin
  {PROG} update fpga.tbin --address 192.0.2.10
  {PROG} update fpga.tbin --address 192.0.2.10 --address 192.0.2.11 --json
  {PROG} update fpga.tbin --resource TCPIP::192.0.2.10::5025::SOCKET
  {PROG} update fpga.tbin --inventory rack3.csv --canary 1 --max-failures 2
  {PROG} verify fpga.tbin --inventory rack3.csv
  {PROG} pack fpga.bin --dev-type 32 --header version=\\"1.2.0\\" -o fpga.tbin
  {PROG} keygen -o release.key
  {PROG} sign fpga.tbin --key release.key
  {PROG} check fpga.tbin --trust release.key.pub
  {PROG} emulate --port 5025
"""


def _verb(name: str) -> ModuleType:
    return importlib.import_module(f"{__name__}.{name}")


class _Parser(Parser):
    """The parser of quorvex-fpga and of each verb (argparse makes the verbs'
    of the same class): options are never abbreviated (--ver would be taken
    for whichever option starts so), and with `json_out` set a usage error is
    also written there as JSON."""

    json_out: TextIO | None = None

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    def error(self, message: str) -> NoReturn:
        if self.json_out is not None:
            _print_json(self.json_out, json_error("usage", message, EXIT_USAGE))
        super().error(message)


def build_parser(*, json_out: TextIO | None = None) -> Parser:
    """The parser of the whole command line, one sub-parser per verb; each
    parsed command line carries the verb's `run` as `args.run`. With
    `json_out`, a usage error is also written there as one JSON object."""
    cls = type("Parser", (_Parser,), {"json_out": json_out}) if json_out else _Parser
    parser = cls(prog=PROG, description=_OVERVIEW, formatter_class=FORMATTER)
    from .. import __version__
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    verbs = parser.add_subparsers(dest="verb", metavar="VERB", required=True, title="verbs")
    for name in VERBS:
        module = _verb(name)
        p = module.add_parser(verbs)
        if hasattr(module, "run"):
            p.set_defaults(run=module.run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """The console script: returns the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] and argv[0] in VERBS:
        own_args = getattr(_verb(argv[0]), "run_args", None)
        if own_args is not None:
            return own_args(argv[1:])
    as_json = wants_json(argv)
    parser = build_parser(json_out=sys.stdout if as_json else None)
    try:  # the defaults of the configuration file and the environment
        from ..config import ConfigError, apply_settings
        apply_settings(parser, argv)
    except ConfigError as e:
        Console(sys.stderr).line(f"{PROG}: error: {e}")
        if as_json:
            _print_json(sys.stdout, json_error("config", str(e), EXIT_USAGE))
        return EXIT_USAGE
    args = parser.parse_args(argv)

    console = Console(sys.stderr)
    log = LogSetup(console, 1 if args.verbose else -1 if args.quiet else 0)
    ctx = Context(args, sys.stdout, console, log)
    as_json = bool(getattr(args, "json", False))

    def failed(kind: str, message: str, status: int) -> int:
        if as_json:
            try:
                _print_json(ctx.stdout, json_error(kind, message, status))
            except OSError:
                pass
        return status

    try:
        return args.run(ctx)
    except UsageError as e:
        console.line(f"{PROG} {args.verb}: error: {e}")
        return failed(getattr(e, "kind", "usage"), str(e), EXIT_USAGE)
    except OutputClosed:
        # Whoever read the results has gone: end quietly, as a program that
        # SIGPIPE ends does.
        _drop_stdout()
        return EXIT_OUTPUT_CLOSED
    except KeyboardInterrupt:
        console.line(f"{PROG}: interrupted; no device was being written")
        return failed("interrupted", "interrupted; no device was being written",
                      EXIT_INTERRUPTED)
    except (ConnectionError, TimeoutError) as e:
        console.error(str(e), LINK_HINT)
        return failed("link", str(e), EXIT_LINK)
    except Exception as e:  # a fault of ours: say what, and show where with -v
        trust = _trust_setting_error(e)
        if trust is not None:
            console.error(str(trust), "set QUORVEX_TRUST to public key files or folders of "
                                      "them (separated by os.pathsep), or unset it")
            return failed("usage", str(trust), EXIT_USAGE)
        console.error(f"{type(e).__name__}: {e}", None if args.verbose else
                      "run it again with -v to see where it happened")
        if args.verbose:
            console.line(traceback.format_exc().rstrip())
        return failed("internal", f"{type(e).__name__}: {e}", EXIT_FAILED)
    finally:
        log.close()


def _print_json(out: TextIO, obj: Any) -> None:
    out.write(json.dumps(obj, indent=2) + "\n")
    out.flush()


def _trust_setting_error(e: BaseException) -> BaseException | None:
    """The reason QUORVEX_TRUST could not be read, when that is why a native
    module failed to load (the module's import error carries it as its cause)."""
    cause = e.__cause__ if isinstance(e, ImportError) else None
    if isinstance(cause, ImportError) and str(cause).startswith("QUORVEX_TRUST"):
        return cause
    return None


def _drop_stdout() -> None:
    """Points the process's standard output at the null device, so that the
    interpreter's last flush at exit does not hit the closed pipe again (and
    report it, with exit status 120)."""
    out = sys.__stdout__
    if out is None or sys.stdout is not out:  # a stand-in (a test's capture): let it be
        return
    try:
        fd = out.fileno()
    except (AttributeError, OSError, ValueError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, fd)
    finally:
        os.close(null)
