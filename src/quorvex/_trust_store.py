"""What a site's trust settings say, loaded in one place: the trusted keys
less the revoked ones, the key ids revoked, and the lowest FPGA version the
site lets onto a device.

Sources:

- trust paths (QUORVEX_TRUST, separated by os.pathsep, and the command
  line's --trust): key files, or folders of ``*.pub`` / ``*.pem`` keys. A
  trust folder may also hold
  - ``revoked/``: public key files (``*.pub``, ``*.pem``) and key-id lists
    (any other file) of keys that no longer count;
  - ``min-fpga-version``: one line, the lowest FPGA version an image may carry.
- QUORVEX_REVOKED (paths, as QUORVEX_TRUST): more revoked public keys, key-id
  lists, or folders of them.
- QUORVEX_MIN_FPGA_VERSION: a floor, as the file.

A key-id list holds one key id (16 hex digits, as ``inspect`` shows them) a
line; blank lines and lines starting with ``#`` are skipped, anything else
is an error naming the file and the line. Every source that cannot be read
is an error: revocations that silently vanish would let a lost key back in.

A signature by a revoked key never counts, even when the key is also
trusted: revoked keys are taken out of the trusted set. A policy whose
every trusted key is revoked is an error (TrustError), not an empty policy,
which would mean "no policy" and let unsigned images through.
"""

from __future__ import annotations

import os
import re
import stat
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Optional

__all__ = ["TrustError", "Policy", "load", "site_floor", "REVOKED_ENV", "FLOOR_ENV", "FLOOR_FILE",
           "REVOKED_FOLDER"]

TRUST_ENV = "QUORVEX_TRUST"
REVOKED_ENV = "QUORVEX_REVOKED"
FLOOR_ENV = "QUORVEX_MIN_FPGA_VERSION"
REVOKED_FOLDER = "revoked"
FLOOR_FILE = "min-fpga-version"
_KEY_SUFFIXES = (".pub", ".pem")
_LIST_MAX = 1 << 20  # bytes of one key-id list or floor file
_KEY_ID = re.compile(r"[0-9a-fA-F]{16}")


class TrustError(ValueError):
    """A trust setting that cannot be used; the text names it and why."""


class Policy(frozenset):  # type: ignore[type-arg]
    """The trusted raw public keys (revoked ones taken out), with what else
    the settings say: `revoked`, the revoked key ids (16 lower-case hex
    digits), and `floor`, the lowest FPGA version allowed (None: no floor).
    A frozenset, so it stands wherever a set of trusted keys is taken."""

    revoked: frozenset[str]
    revoked_keys: frozenset[bytes]  # the revoked keys at hand, to verify signatures with
    floor: Optional[str]

    def __new__(cls, keys: Iterable[bytes] = (), revoked: Iterable[str] = (),
                floor: Optional[str] = None, revoked_keys: Iterable[bytes] = ()) -> "Policy":
        self = super().__new__(cls, keys)
        self.revoked = frozenset(revoked)
        self.revoked_keys = frozenset(revoked_keys)
        self.floor = floor
        return self

    def standing(self, key_id: str) -> str:
        """"revoked", "trusted" or "untrusted" for a signer's key id."""
        if key_id in self.revoked:
            return "revoked"
        from . import tbin

        return "trusted" if any(tbin.key_id(k) == key_id for k in self) else "untrusted"


def _split(value: Optional[str]) -> list[str]:
    return [p for p in (value or "").split(os.pathsep) if p]


def load(paths: Sequence[str] = (), *, base: Optional[Iterable[Any]] = None,
         environ: Optional[Mapping[str, str]] = None) -> Policy:
    """The policy of the trust paths `paths` and of the environment.

    base
        Keys trusted already (quorvex.QVRFpga._TRUSTED_KEYS, which holds the
        keys of QUORVEX_TRUST); None loads QUORVEX_TRUST here.
    environ
        Where QUORVEX_TRUST, QUORVEX_REVOKED and QUORVEX_MIN_FPGA_VERSION are
        read (os.environ by default).

    TrustError for a source that cannot be read or parsed, and for a policy
    whose every trusted key is revoked."""
    from . import tbin

    env = os.environ if environ is None else environ
    trust_paths = [*_split(env.get(TRUST_ENV)), *paths]
    keys: set[bytes] = set(bytes(k) for k in base) if base is not None else set()
    for p in (paths if base is not None else trust_paths):
        try:
            keys.update(tbin.load_trust(p))
        except (OSError, ValueError) as e:
            raise TrustError(f"trust path {p!r}: {_why(e)}") from None

    # Revoked keys read from files; a base loaded here before keeps what it knew.
    revoked: set[str] = set(getattr(base, "revoked", ()))
    seen: set[bytes] = set(getattr(base, "revoked_keys", ()))
    for p in trust_paths:
        folder = os.path.join(p, REVOKED_FOLDER)
        if os.path.isdir(p) and os.path.lexists(folder):
            revoked |= _revoked_at(folder, seen)
    for p in _split(env.get(REVOKED_ENV)):
        revoked |= _revoked_at(p, seen, REVOKED_ENV)

    trusted = {k for k in keys if tbin.key_id(k) not in revoked}
    if keys and not trusted:
        ids = ", ".join(sorted(tbin.key_id(k) for k in keys))
        raise TrustError(f"every trusted key is revoked ({ids}): a policy that trusts no key "
                         f"would let every image through; trust a key that is not revoked, "
                         f"or remove the trust settings")
    known = keys | seen
    return Policy(trusted, revoked, site_floor(paths, environ=env),
                  [k for k in known if tbin.key_id(k) in revoked])


def site_floor(paths: Sequence[str] = (), *,
               environ: Optional[Mapping[str, str]] = None) -> Optional[str]:
    """The lowest FPGA version the site allows (None: no floor): the
    strictest of QUORVEX_MIN_FPGA_VERSION and the min-fpga-version files of
    the trust folders (QUORVEX_TRUST's and `paths`). TrustError for one that
    cannot be read or is no version."""
    from .QVRUtils import VER

    env = os.environ if environ is None else environ
    floors = [_floor_file(f) for p in [*_split(env.get(TRUST_ENV)), *paths]
              if os.path.isdir(p) and os.path.lexists(f := os.path.join(p, FLOOR_FILE))]
    if env.get(FLOOR_ENV, "").strip():
        floors.append(_version(env[FLOOR_ENV], FLOOR_ENV))
    return max(floors, key=VER, default=None)  # the strictest; the first of equals


def _why(e: BaseException) -> str:
    if isinstance(e, OSError) and e.strerror:
        return e.strerror
    return str(e)


def _revoked_at(path: str, seen: set[bytes], what: Optional[str] = None) -> set[str]:
    """The key ids revoked by the file or folder `path`; the public keys
    among them are added to `seen`."""
    where = f"{what}: {path!r}" if what else repr(path)
    if os.path.isdir(path):
        ids: set[str] = set()
        try:
            names = sorted(os.listdir(path))
        except OSError as e:
            raise TrustError(f"revoked keys {where}: {_why(e)}") from None
        # Every entry counts: one that cannot be read as a file (a dangling
        # link, a subfolder, a FIFO) is an error, never skipped, or a lost
        # key would be trusted again without a word.
        for name in names:
            if not name.startswith("."):
                ids |= _revoked_file(os.path.join(path, name), seen)
        return ids
    if not os.path.exists(path):
        raise TrustError(f"revoked keys {where}: no such file or folder")
    return _revoked_file(path, seen)


def _revoked_file(path: str, seen: set[bytes]) -> set[str]:
    from . import tbin

    _regular(path, "revoked keys")
    if path.lower().endswith(_KEY_SUFFIXES):
        try:
            raw = tbin.load_public_key(path)
        except (OSError, ValueError) as e:
            raise TrustError(f"revoked key {path!r}: {_why(e)}") from None
        seen.add(raw)
        return {tbin.key_id(raw)}
    ids = set()
    for n, line in enumerate(_read_lines(path, "revoked key ids"), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if not _KEY_ID.fullmatch(line):
            raise TrustError(f"revoked key ids {path!r}, line {n}: {line[:40]!r} is not a key "
                             f"id (16 hex digits, as 'quorvex-fpga inspect' shows them)")
        ids.add(line.lower())
    return ids


def _regular(path: str, what: str) -> None:
    """TrustError unless `path` is a regular file, a link to one included."""
    try:
        st = os.stat(path)
    except OSError as e:
        raise TrustError(f"{what} {path!r}: {_why(e)}") from None
    if not stat.S_ISREG(st.st_mode):
        raise TrustError(f"{what} {path!r}: not a regular file")


def _read_lines(path: str, what: str) -> list[str]:
    from ._files import FileTooLarge, NotRegularFile, read_regular

    try:
        data = read_regular(path, _LIST_MAX)
    except FileTooLarge:
        raise TrustError(f"{what} {path!r}: larger than {_LIST_MAX} bytes") from None
    except NotRegularFile as e:  # its text names the path and what it is
        raise TrustError(f"{what} {e}") from None
    except OSError as e:
        raise TrustError(f"{what} {path!r}: {_why(e)}") from None
    try:
        return data.decode("utf-8").splitlines()
    except UnicodeDecodeError:
        raise TrustError(f"{what} {path!r}: not UTF-8 text") from None


def _floor_file(path: str) -> str:
    lines = [ln.strip() for ln in _read_lines(path, "FPGA version floor")
             if ln.strip() and not ln.strip().startswith("#")]
    if len(lines) != 1:
        raise TrustError(f"FPGA version floor {path!r}: expected one version line, "
                         f"found {len(lines)}")
    return _version(lines[0], repr(path))


def _version(text: str, where: str) -> str:
    from .QVRUtils import VER

    try:
        return str(VER(text))
    except ValueError:
        raise TrustError(f"FPGA version floor {where}: {text.strip()[:40]!r} is not a dotted "
                         f"version such as 0.2.5.0") from None

