"""What every verb of quorvex-fpga is made of: the exit statuses (those of a
device run are quorvex.fleet's, imported here) and their meanings, the usage
error, the parser class, and the context a verb runs in.

A verb is a module of this package with two functions:

    add_parser(verbs: Verbs) -> argparse.ArgumentParser
        registers the verb's sub-parser (usually through `verb_parser`);
    run(ctx: Context) -> int
        does the job and returns the exit status.

A verb that parses its own arguments (emulate) has `run_args(argv) -> int`
instead of `run`: `main` hands it everything after the verb's name.
"""

from __future__ import annotations

import argparse
import json
import sys
import textwrap
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, NoReturn, Optional, TextIO

from ..fleet._outcomes import (EXIT_FAILED, EXIT_INTERRUPTED, EXIT_LINK, EXIT_MEANINGS, EXIT_OK,
                               EXIT_REFUSED)
from ._console import PROG
from ._options import json_option, output_options

if TYPE_CHECKING:
    from ._console import Console, LogSetup

# What add_parser(verbs) receives: the parser's sub-parsers, where a verb adds its own.
Verbs = argparse._SubParsersAction

EXIT_USAGE = 64
# As a shell reports a program that SIGPIPE ended (128 + 13): the reader of
# standard output went away, as `| head` does. Not 1, which says an update failed.
EXIT_OUTPUT_CLOSED = 141

# Every status in order: a device run's, and the command line's own.
_EXIT_MEANING = dict(sorted({
    **EXIT_MEANINGS,
    EXIT_USAGE: "usage error: the command line is wrong",
    EXIT_OUTPUT_CLOSED: "standard output was closed before the result was all written "
                        "(e.g. '| head')",
}.items()))

# What to do about a link error, wherever one ends a verb.
LINK_HINT = "check the address and port, and that the device is on"


def exit_text(*codes: int, **meanings: str) -> str:
    """The exit status table of a verb: `codes` (all of them when none is
    given), with a meaning of its own for some (keyword s1=... for status 1)."""
    lines = [f"  {c:<4} {meanings.get(f's{c}', _EXIT_MEANING[c])}"
             for c in (codes or _EXIT_MEANING)]
    return "exit status:\n" + "\n".join(lines) + "\n"


EXIT_TEXT = exit_text()


class UsageError(Exception):
    """A command line that parses but makes no sense (exit status 64)."""


def refuse_pin_in_uri(uri: str) -> None:
    """A PKCS#11 URI that carries its PIN is a usage error: the PIN comes from
    the URI's pin-source=FILE or the environment, never the command line."""
    from .. import _pkcs11

    if _pkcs11.redact(uri) != uri:
        raise UsageError("the PIN must not be on the command line: give pin-source=FILE in "
                         f"the URI, or set {_pkcs11.PIN_ENV}")


class OutputClosed(Exception):
    """Standard output is a pipe whose reader has gone (exit status 141).
    Not an OSError: a broken pipe to a device is a link error, this is not."""


class Parser(argparse.ArgumentParser):
    """argparse with the usage error status 64 (EX_USAGE) instead of 2,
    which this tool keeps for refusals. add_check(fn) adds a check of the
    parsed arguments that argparse cannot express: fn(namespace) returns a
    usage error message, or None."""

    def add_check(self, check: Callable[[argparse.Namespace], Optional[str]]) -> None:
        self.__dict__.setdefault("_checks", []).append(check)

    def parse_known_args(self, args: Any = None, namespace: Any = None) -> Any:
        ns, extras = super().parse_known_args(args, namespace)
        for check in self.__dict__.get("_checks", ()):
            message = check(ns)
            if message:
                self.error(message)
        return ns, extras

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n"
                              f"Run '{self.prog} --help' for the options.\n")


FORMATTER = argparse.RawDescriptionHelpFormatter


def paragraph(text: str) -> str:
    """An indented triple-quoted text as one filled paragraph."""
    return textwrap.fill(" ".join(text.split()), 78)


def verb_parser(verbs: Verbs, name: str, *, help: str, description: str, epilog: str,
                with_json: bool = False) -> argparse.ArgumentParser:
    """A verb's sub-parser with the output options (-v, -q) and, `with_json`,
    --json; `description` is filled as one paragraph."""
    parents = [output_options()] + ([json_option()] if with_json else [])
    return verbs.add_parser(name, parents=parents, formatter_class=FORMATTER, help=help,
                            description=paragraph(description), epilog=epilog)


class Context:
    """What a verb runs with: its parsed arguments, standard output for the
    results, and the console and log on standard error."""

    def __init__(self, args: argparse.Namespace, stdout: TextIO, console: Console,
                 log: LogSetup) -> None:
        self.args, self.stdout, self.console, self.log = args, stdout, console, log

    def out(self, text: str = "") -> None:
        """One line of the result on standard output; OutputClosed when
        nobody reads it any more."""
        try:
            self.stdout.write(text + "\n")
            self.stdout.flush()
        except BrokenPipeError:
            raise OutputClosed() from None

    def out_json(self, obj: Any) -> None:
        """The result as one JSON object (bytes as hex, anything else unknown as text)."""
        self.out(json.dumps(obj, indent=2, default=_json_default))


def _json_default(o: object) -> str:
    if isinstance(o, (bytes, bytearray, memoryview)):
        return bytes(o).hex()
    return str(o)


__all__ = ["EXIT_OK", "EXIT_FAILED", "EXIT_REFUSED", "EXIT_USAGE", "EXIT_LINK",
           "EXIT_INTERRUPTED", "EXIT_OUTPUT_CLOSED", "EXIT_TEXT", "FORMATTER", "LINK_HINT",
           "PROG", "Context", "OutputClosed", "Parser", "UsageError", "Verbs",
           "exit_text", "paragraph", "verb_parser"]
