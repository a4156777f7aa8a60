"""quorvex-fpga emulate: the device emulator in the foreground. It parses its
own arguments (quorvex.emulator.main), so it has `run_args` instead of `run`."""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from ._common import EXIT_USAGE, PROG, Verbs


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    # Listed in the overview only: `main` hands `emulate ...` to run_args unparsed.
    return verbs.add_parser(
        "emulate", add_help=False,
        help="run the device emulator in the foreground, for trying things without a device "
             f"('{PROG} emulate --help' for its options)")


def run_args(argv: Sequence[str]) -> int:
    """The emulator's own console script, with this tool's usage status."""
    from .. import emulator

    try:
        return emulator.main(list(argv), prog=f"{PROG} emulate")
    except SystemExit as e:
        if e.code == 2:  # argparse's usage error
            return EXIT_USAGE
        raise
