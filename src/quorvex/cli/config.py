"""quorvex-fpga config: the defaults in force and where each comes from."""

from __future__ import annotations

import argparse
import os

from ._common import EXIT_OK, EXIT_USAGE, PROG, Context, Verbs, exit_text, verb_parser


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "config", with_json=True,
        help="show the defaults in force (configuration file, environment, built-in)",
        description="""
            Show the value of each default a station keeps (history, station, operator,
            trust, retries, jobs, timeout, window) and where it comes from: a flag beats
            the environment (QUORVEX_HISTORY, QUORVEX_STATION, QUORVEX_OPERATOR,
            QUORVEX_TRUST, QUORVEX_RETRIES, QUORVEX_JOBS, QUORVEX_TIMEOUT,
            QUORVEX_WINDOW), which beats the configuration file
            ($XDG_CONFIG_HOME/quorvex/config.toml, else ~/.config/quorvex/config.toml, or
            --config PATH), which beats the built-in default. The file is TOML, one
            'key = value' line per default; relative paths are taken from its folder.""",
        epilog=f"examples:\n  {PROG} config\n  {PROG} config --config /etc/quorvex/bay3.toml "
               f"--json\n\n"
               + exit_text(EXIT_OK, EXIT_USAGE, s0="shown",
                           s64="the configuration file or a variable is wrong (named)"))
    p.add_argument("--config", metavar="PATH", default=None,
                   help="the configuration file (default: $XDG_CONFIG_HOME/quorvex/"
                        "config.toml, else ~/.config/quorvex/config.toml)")
    return p


def builtin_defaults() -> dict[str, object]:
    from ..history import default_operator, default_path, default_station

    return {"history": os.fspath(default_path()), "station": default_station(),
            "operator": default_operator(), "trust": [], "retries": 1, "jobs": "all devices",
            "timeout": 10.0, "window": 1}


def run(ctx: Context) -> int:
    from ..config import ConfigError, default_config_path, load_settings, settings_in_force

    try:
        settings = load_settings(ctx.args.config)
    except ConfigError as e:
        from ._common import UsageError
        raise UsageError(str(e)) from None
    rows = settings_in_force(ctx.args, settings, builtin_defaults())
    file = ctx.args.config or os.fspath(default_config_path())
    if ctx.args.json:
        ctx.out_json({"config": file, "settings": {s.key: {"value": s.value, "source": s.source}
                                                   for s in rows}})
        return EXIT_OK
    ctx.out(f"configuration file: {file}"
            + ("" if ctx.args.config or os.path.exists(file) else " (none)"))
    width = max(len(s.key) for s in rows)
    for s in rows:
        value = ", ".join(s.value) if isinstance(s.value, list) else str(s.value)
        ctx.out(f"{s.key.ljust(width)}  {value or '(none)'}  [{s.source}]")
    return EXIT_OK
