"""The defaults a station keeps: $XDG_CONFIG_HOME/quorvex/config.toml (else
~/.config/quorvex/config.toml), or the file given with --config PATH.

    history  = "postgresql://flash@db.line.example/quorvex"
    station  = "bay-3"
    operator = "line-b"
    trust    = ["/etc/quorvex/keys"]
    retries  = 2
    jobs     = 16
    timeout  = 20.0
    window   = "auto"

A value holds unless something nearer says otherwise: a flag over the
environment (QUORVEX_HISTORY, QUORVEX_STATION, ... ; QUORVEX_TRUST as the
library reads it) over the file over the built-in default. Relative paths in
the file are taken from the file's folder. A file that cannot be read, is
not TOML, or holds an unknown key or a bad value is a ConfigError naming the
file, the line and the key.
"""

from __future__ import annotations

import os
import re
import sys
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover
    import tomli as tomllib

__all__ = ["ConfigError", "FilePath", "KEYS", "MAX_NAME", "check_name", "MAX_BYTES", "Setting",
           "apply_settings", "config_path", "default_config_path", "load_settings",
           "settings_in_force"]

MAX_BYTES = 1 << 20
"""The largest configuration file read."""


class ConfigError(ValueError):
    """A configuration that cannot be used; the message names where and why."""


class FilePath(str):
    """A path the configuration file gave, which knows where ("FILE line N"),
    so that a path found unusable later is blamed on the file, not a flag."""

    source: str

    def __new__(cls, value: str, source: str) -> FilePath:
        self = super().__new__(cls, value)
        self.source = source
        return self


@dataclass(frozen=True)
class Setting:
    """A value in force and where it came from: "flag", "environment NAME",
    "FILE line N" or "default"."""
    key: str
    value: Any
    source: str


def _text(value: Any) -> str:
    if not isinstance(value, str) or not value.strip() or "\0" in value:
        raise ValueError("expected a non-empty text")
    return value


MAX_NAME = 255
"""The longest station or operator name, in characters."""


def check_name(value: Any) -> str:
    """A station or operator name: non-empty text of at most MAX_NAME
    characters, no control characters (it is shown in tables and reports).
    ValueError otherwise."""
    import unicodedata

    if not isinstance(value, str) or not value.strip():
        raise ValueError("expected a non-empty name")
    if len(value) > MAX_NAME:
        raise ValueError(f"expected a name of at most {MAX_NAME} characters, not {len(value)}")
    bad = next((c for c in value if unicodedata.category(c) in ("Cc", "Cs")
                or c in "\u2028\u2029"), None)
    if bad is not None:
        raise ValueError(f"expected a name without control characters, not one with "
                         f"{bad!r}")
    return value


def _whole(low: int) -> Callable[[Any], int]:
    def check(value: Any) -> int:
        if isinstance(value, str) and re.fullmatch(r"\s*\d{1,9}\s*", value):
            value = int(value)
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value < 10**9:
            raise ValueError(f"expected a whole number >= {low}")
        return value
    return check


def _seconds(value: Any) -> float:
    if isinstance(value, str):
        try:
            value = float(value)
        except ValueError:
            raise ValueError("expected a number of seconds > 0") from None
    if isinstance(value, bool) or not isinstance(value, (int, float)) \
            or not 0 < value < 86400 * 365:
        raise ValueError("expected a number of seconds > 0")
    return float(value)


def _window(value: Any) -> int | str:
    from .fleet._window import check_window

    try:
        return check_window(value)
    except ValueError:
        raise ValueError("expected a whole number 1..256 or 'auto'") from None


def _paths(value: Any) -> list[str]:
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, list) or not value or not all(
            isinstance(v, str) and v.strip() and "\0" not in v for v in value):
        raise ValueError("expected a path or a list of paths")
    return list(value)


# key -> (its environment variable, its check, whether it holds paths)
KEYS: dict[str, tuple[str, Callable[[Any], Any], bool]] = {
    "history": ("QUORVEX_HISTORY", _text, True),
    "station": ("QUORVEX_STATION", check_name, False),
    "operator": ("QUORVEX_OPERATOR", check_name, False),
    "trust": ("QUORVEX_TRUST", _paths, True),
    "retries": ("QUORVEX_RETRIES", _whole(0), False),
    "jobs": ("QUORVEX_JOBS", _whole(1), False),
    "timeout": ("QUORVEX_TIMEOUT", _seconds, False),
    "window": ("QUORVEX_WINDOW", _window, False),
}


def default_config_path(env: Mapping[str, str] = os.environ) -> Path:
    """$XDG_CONFIG_HOME/quorvex/config.toml, else ~/.config/quorvex/config.toml
    (a relative XDG_CONFIG_HOME is ignored, as the XDG rules say)."""
    base = env.get("XDG_CONFIG_HOME")
    folder = Path(base) if base and os.path.isabs(base) else Path.home() / ".config"
    return folder / "quorvex" / "config.toml"


def config_path(argv: Sequence[str]) -> Optional[str]:
    """The --config PATH of a command line (None without one)."""
    found = None
    it = iter(argv)
    for arg in it:
        if arg == "--":
            break
        if arg == "--config":
            found = next(it, None)
            if found is None:
                raise ConfigError("--config: expected a PATH")
        elif arg.startswith("--config="):
            found = arg.split("=", 1)[1]
    return found


def _line_of(text: str, key: str) -> int:
    pattern = re.compile(rf'^\s*(?:{re.escape(key)}|"{re.escape(key)}"|\'{re.escape(key)}\')\s*=')
    for n, line in enumerate(text.splitlines(), 1):
        if pattern.match(line):
            return n
    return 1


def _read(path: Path) -> str:
    """The file's text: a regular file, at most MAX_BYTES, never waited for."""
    from ._files import FileTooLarge, NotRegularFile, read_regular

    try:
        data = read_regular(path, MAX_BYTES)
    except NotRegularFile:
        raise ConfigError(f"config {path}: not a regular file") from None
    except FileTooLarge:
        raise ConfigError(f"config {path}: larger than {MAX_BYTES} bytes") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ConfigError(f"config {path}: not UTF-8 text (byte {e.start})") from None


def load_settings(path: Optional[str] = None,
                  env: Mapping[str, str] = os.environ) -> dict[str, Setting]:
    """The settings the environment and the file give (the file `path`,
    else the default one when it exists), the environment first. ConfigError
    for a file or a variable that cannot be used."""
    out: dict[str, Setting] = {}
    file = Path(path) if path is not None else default_config_path(env)
    if path is not None or _present(file):
        try:
            text = _read(file)
        except OSError as e:
            raise ConfigError(f"config {file}: cannot read it: {e.strerror or e}") from None
        try:
            doc = tomllib.loads(text)
        except tomllib.TOMLDecodeError as e:
            reason = str(e).replace("(at end of document)",
                                    f"(at line {max(1, len(text.splitlines()))}, the end)")
            raise ConfigError(f"config {file}: not valid TOML: {reason}") from None
        for key, value in doc.items():
            where = f"{file} line {_line_of(text, key)}"
            if key not in KEYS:
                raise ConfigError(f"config {where}: unknown key {key!r} (known: "
                                  f"{', '.join(KEYS)})")
            _, check, paths = KEYS[key]
            try:
                value = check(value)
            except ValueError as e:
                raise ConfigError(f"config {where}: {key}: {e}, not {value!r}"[:300]) from None
            if paths:
                value = _resolve(value, file.parent)
            if key == "trust":
                value = [FilePath(v, where) for v in value]
            out[key] = Setting(key, value, where)
    for key, (name, check, _) in KEYS.items():
        if env.get(name):
            try:
                out[key] = Setting(key, check(env[name]), f"environment {name}")
            except ValueError as e:
                raise ConfigError(f"{name}: {e}, not {env[name][:80]!r}") from None
    return out


def _present(file: Path) -> bool:
    """Whether the default file is there. A folder on its way that may not be
    looked into is an error, not an absent file: the station's settings would
    be dropped without a word."""
    try:
        os.stat(file)
    except (FileNotFoundError, NotADirectoryError):
        return False
    except OSError as e:
        raise ConfigError(f"config {file}: cannot read it: {e.strerror or e}") from None
    return True


def _resolve(value: Any, folder: Path) -> Any:
    """Paths of the file taken from its folder (a URL stays as it is)."""
    def one(p: str) -> str:
        if "://" in p:
            return p
        return os.path.join(folder, os.path.expanduser(p))
    return [one(p) for p in value] if isinstance(value, list) else one(value)


def _subparsers(parser: Any) -> list[Any]:
    import argparse

    found = []
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            found += list(action.choices.values())
    return found


def _verbs(parser: Any) -> dict[str, Any]:
    import argparse

    found: dict[str, Any] = {}
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            found.update(action.choices)
    return found


def _verb_of(argv: Sequence[str], verbs: Mapping[str, Any]) -> Optional[str]:
    """The verb a command line names: its first word that is one (None without)."""
    it = iter(argv)
    for arg in it:
        if arg == "--config":
            next(it, None)
        elif arg in verbs:
            return arg
        elif not arg.startswith("-"):
            return None
    return None


def apply_settings(parser: Any, argv: Sequence[str],
                   env: Mapping[str, str] = os.environ) -> dict[str, Setting]:
    """Makes the settings of the environment and the file the defaults of
    every verb that has the option (a flag still overrides them), and gives
    each such verb --config PATH. Returns the settings; ConfigError as
    load_settings."""
    verbs = _verbs(parser)
    verb = _verb_of(argv, verbs)
    reads = verb is not None and (bool({a.dest for a in verbs[verb]._actions} & set(KEYS))
                                  or verb == "config")
    # A verb that reads no setting works whatever the file holds: a broken
    # file must not stop a pack or an emulator.
    settings = load_settings(config_path(argv), env) if reads else {}
    for p in [parser] + _subparsers(parser):
        dests = {a.dest for a in p._actions}
        if p is parser or dests & set(KEYS) or p.prog.endswith(" config"):
            if "config" not in dests:
                p.add_argument("--config", metavar="PATH", default=None,
                               help="the configuration file (default: $XDG_CONFIG_HOME/"
                                    "quorvex/config.toml, else ~/.config/quorvex/config.toml)")
        for key, s in settings.items():
            # QUORVEX_TRUST is read by the library itself; --trust adds to it.
            if key in dests and not (key == "trust" and s.source.startswith("environment")):
                p.set_defaults(**{key: s.value})
    return settings


def settings_in_force(args: Any, settings: Mapping[str, Setting],
                      defaults: Mapping[str, Any]) -> list[Setting]:
    """Every key's value and source: a flag where `args` holds one that is
    not the setting's or the default's, else the setting, else `defaults`."""
    out = []
    for key in KEYS:
        if key in settings:
            s = settings[key]
            given = getattr(args, key, s.value)
            out.append(s if given == s.value else Setting(key, given, "flag"))
        elif key in defaults:
            out.append(Setting(key, defaults[key], "default"))
    return out
