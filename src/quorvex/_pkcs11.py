"""Ed25519 keys held in a PKCS#11 token (a hardware security module, a smart
card, SoftHSM), named by a PKCS#11 URI (RFC 7512)::

    pkcs11:token=release;object=fpga-2026?module-path=/usr/lib/softhsm/libsofthsm2.so

The token signs (CKM_EDDSA) the 32-byte message it is given; the private key
never enters this process. The PIN comes from ``pin-source=FILE`` (a path or
a ``file:`` URI) or from the environment variable QUORVEX_PKCS11_PIN, never
from the URI itself: a URI is typed on command lines, which others can read
(``pin-value=`` is refused). The module comes from ``module-path=``, else
from QUORVEX_PKCS11_MODULE.

Every failure is a :class:`TokenError` (a ValueError) whose text names the
URI as given, less any PIN, and says what went wrong. Each operation loads
the module, works, and finalises it again, so that nothing of a token stays
open between two operations (and a process may point SOFTHSM2_CONF
elsewhere between them).

Needs the optional dependency python-pkcs11 (``pip install 'quorvex[pkcs11]'``);
this module imports it only when a token is used.
"""

from __future__ import annotations

import os
import threading
import urllib.parse
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, Optional, TypeGuard

__all__ = ["TokenError", "is_uri", "parse_uri", "redact", "sign_message", "public_key",
           "generate_key", "public_key_pem", "write_public_key"]

SCHEME = "pkcs11:"
PIN_ENV = "QUORVEX_PKCS11_PIN"
MODULE_ENV = "QUORVEX_PKCS11_MODULE"
_PIN_FILE_MAX = 4096  # a PIN file is a line, not a document

# RFC 7512's attributes, by where they may appear.
_PATH_ATTRS = {"token", "manufacturer", "serial", "model", "library-manufacturer",
               "library-description", "library-version", "object", "type", "id",
               "slot-description", "slot-manufacturer", "slot-id"}
_QUERY_ATTRS = {"pin-source", "pin-value", "module-name", "module-path"}
_OBJECT_TYPES = {"private", "public", "cert", "secret-key", "data"}

# CKA_EC_PARAMS of Ed25519: the curve's OID 1.3.101.112, or its name as a
# PrintableString, as tokens variously write it.
_ED25519_PARAMS = (bytes.fromhex("06032b6570"), b"\x13\x0cedwards25519")
# SubjectPublicKeyInfo of an Ed25519 key, less its 32 key bytes.
_SPKI_PREFIX = bytes.fromhex("302a300506032b6570032100")


class TokenError(ValueError):
    """A token operation failed; the text names the URI without its PIN."""


def is_uri(key: object) -> TypeGuard[str]:
    """Whether a key argument is a PKCS#11 URI rather than a file path (a
    file whose name starts with "pkcs11:" is given as ./pkcs11:...)."""
    return isinstance(key, str) and key[:len(SCHEME)].lower() == SCHEME


def _is_pin(attr: str) -> bool:
    return urllib.parse.unquote(attr.split("=", 1)[0]).strip().lower() == "pin-value"


def redact(uri: str) -> str:
    """`uri` as an error may show it: any pin-value, in its path or its
    query, taken out."""
    head, sep, query = uri.partition("?")
    path = ";".join(a for a in head.split(";") if not _is_pin(a))
    if not sep:
        return path
    kept = [a for a in query.split("&") if not _is_pin(a)]
    return path + ("?" + "&".join(kept) if kept else "")


@dataclass
class Uri:
    """A parsed PKCS#11 URI: the path attributes (values decoded; "id" as
    bytes) and the query attributes."""

    text: str  # as given, less any PIN: for messages
    path: dict[str, Any] = field(default_factory=dict)
    query: dict[str, str] = field(default_factory=dict)

    def fail(self, why: str) -> TokenError:
        return TokenError(f"{self.text}: {why}")

    @property
    def label(self) -> Optional[str]:
        return self.path.get("object")


def parse_uri(text: str) -> Uri:
    """Parses `text`; TokenError for anything that is no usable URI."""
    if not is_uri(text):
        raise TokenError(f"{redact(str(text))!s}: not a PKCS#11 URI (it must start with "
                         f"'{SCHEME}')")
    uri = Uri(redact(text))
    body = text[len(SCHEME):]
    path, _, query = body.partition("?")
    if any(_is_pin(a) for a in (*path.split(";"), *query.split("&"))):
        raise uri.fail(f"the PIN must not be part of the URI (command lines can be read by "
                       f"others): give pin-source=FILE, or set {PIN_ENV}")
    for where, part, sep, known in (("path", path, ";", _PATH_ATTRS),
                                    ("query", query, "&", _QUERY_ATTRS)):
        into: dict[str, Any] = uri.path if where == "path" else uri.query
        for attr in filter(None, part.split(sep)):
            name, eq, raw = attr.partition("=")
            name = name.strip().lower()
            if not eq or name not in known:
                raise uri.fail(f"unknown or malformed attribute {name or attr!r} "
                               f"(known: {', '.join(sorted(known))})")
            if name in into:
                raise uri.fail(f"attribute {name!r} given twice")
            try:
                into[name] = (urllib.parse.unquote_to_bytes(raw) if name == "id"
                              else urllib.parse.unquote(raw, errors="strict"))
            except UnicodeDecodeError:
                raise uri.fail(f"attribute {name!r} is not UTF-8 text") from None
    if uri.path.get("type", "private") not in _OBJECT_TYPES:
        raise uri.fail(f"unknown object type {uri.path['type']!r}")
    if "object" not in uri.path and "id" not in uri.path:
        raise uri.fail("name the key with object=LABEL or id=%HEX")
    return uri


def _module_path(uri: Uri) -> str:
    path = uri.query.get("module-path") or os.environ.get(MODULE_ENV, "")
    if not path:
        raise uri.fail(f"no PKCS#11 module: give module-path=/path/to/module.so or set "
                       f"{MODULE_ENV}")
    return path


def _pin(uri: Uri) -> str:
    source = uri.query.get("pin-source")
    if source is None:
        pin = os.environ.get(PIN_ENV)
        if pin is None:
            raise uri.fail(f"no PIN: give pin-source=FILE in the URI or set {PIN_ENV}")
        return pin
    path = urllib.parse.urlsplit(source).path if source.startswith("file:") else source
    from ._files import FileTooLarge, read_regular

    try:
        data = read_regular(path, _PIN_FILE_MAX)
    except FileTooLarge:
        raise uri.fail(f"pin-source {path!r} is too large to hold a PIN") from None
    except OSError as e:
        raise uri.fail(f"cannot read the PIN from pin-source {path!r}: "
                       f"{e.strerror or e}") from None
    try:
        return data.decode("utf-8").rstrip("\r\n")
    except UnicodeDecodeError:
        raise uri.fail(f"pin-source {path!r} does not hold UTF-8 text") from None


def _binding(uri: Uri) -> Any:
    try:
        import pkcs11
    except ImportError:
        raise uri.fail("a PKCS#11 token needs python-pkcs11: pip install 'quorvex[pkcs11]'") \
            from None
    return pkcs11


# One token operation at a time in this process: each finalises the module
# it loaded, which would pull it from under another thread's operation.
_ONE_AT_A_TIME = threading.Lock()


@contextmanager
def _session(uri: Uri, *, rw: bool = False) -> Iterator[Any]:
    """A logged-in session on the token `uri` names; the module is finalised
    when the block ends, whatever happens."""
    p11 = _binding(uri)
    module = _module_path(uri)
    pin = _pin(uri)
    with _ONE_AT_A_TIME, _open(uri, p11, module, pin, rw) as session:
        yield session


@contextmanager
def _open(uri: Uri, p11: Any, module: str, pin: str, rw: bool) -> Iterator[Any]:
    try:
        lib = p11.lib(module)
    except (p11.PKCS11Error, OSError) as e:
        raise uri.fail(f"cannot load the PKCS#11 module {module!r}: {e}") from None
    try:
        token = _token(uri, lib, p11)
        if token.flags & p11.TokenFlag.USER_PIN_LOCKED:
            raise uri.fail(f"token {token.label!r} is locked: its user PIN was entered wrongly "
                           f"too often (its security officer must unlock it)")
        try:
            session = token.open(rw=rw, user_pin=pin)
        except p11.PinIncorrect:
            raise uri.fail(f"wrong PIN for token {token.label!r}") from None
        except (p11.PinLocked, p11.PinExpired) as e:
            raise uri.fail(f"token {token.label!r} is locked ({type(e).__name__})") from None
        except p11.UserPinNotInitialized:
            raise uri.fail(f"token {token.label!r} has no user PIN set yet") from None
        except p11.PKCS11Error as e:
            raise uri.fail(f"cannot log in to token {token.label!r}: "
                           f"{type(e).__name__} {e}".rstrip()) from None
        with session:
            yield session
    except TokenError:
        raise
    except p11.PKCS11Error as e:
        raise uri.fail(f"the token failed: {type(e).__name__} {e}".rstrip()) from None
    finally:
        try:
            lib.finalize()
        except p11.PKCS11Error:
            pass


def _token(uri: Uri, lib: Any, p11: Any) -> Any:
    want = {k: uri.path[k] for k in ("token", "serial", "manufacturer", "model") if k in uri.path}
    found = []
    for slot in lib.get_slots(token_present=True):
        if "slot-id" in uri.path and str(slot.slot_id) != uri.path["slot-id"]:
            continue
        try:
            token = slot.get_token()
        except (p11.TokenNotPresent, p11.TokenNotRecognised):
            continue
        have = {"token": token.label, "serial": token.serial.decode("ascii", "replace")
                if isinstance(token.serial, bytes) else str(token.serial),
                "manufacturer": token.manufacturer_id, "model": token.model}
        if all(str(have[k]).strip() == v for k, v in want.items()):
            found.append(token)
    if not found:
        raise uri.fail("no such token" + (f" ({', '.join(f'{k}={v}' for k, v in want.items())})"
                                          if want else " (no token present)"))
    if len(found) > 1:
        raise uri.fail(f"{len(found)} tokens match: name one with token=, serial= or slot-id=")
    return found[0]


def _find(uri: Uri, session: Any, p11: Any, object_class: Any, what: str) -> Any:
    attrs: dict[Any, Any] = {p11.Attribute.CLASS: object_class}
    if uri.label is not None:
        attrs[p11.Attribute.LABEL] = uri.label
    if "id" in uri.path:
        attrs[p11.Attribute.ID] = uri.path["id"]
    objects = list(session.get_objects(attrs))
    if not objects:
        raise uri.fail(f"no {what} with this label/id in the token")
    if len(objects) > 1:
        raise uri.fail(f"{len(objects)} {what}s match: name one with id=")
    key = objects[0]
    if getattr(key, "key_type", None) != p11.KeyType.EC_EDWARDS:
        kind = getattr(getattr(key, "key_type", None), "name", "unknown")
        raise uri.fail(f"the {what} is of type {kind}, not an Ed25519 key")
    return key


def _raw_public(uri: Uri, key: Any, p11: Any) -> bytes:
    try:
        point = bytes(key[p11.Attribute.EC_POINT])
    except p11.PKCS11Error as e:
        raise uri.fail(f"cannot read the public key: {type(e).__name__}") from None
    if len(point) == 34 and point[:2] == b"\x04\x20":  # DER OCTET STRING, as most write it
        point = point[2:]
    if len(point) != 32:
        raise uri.fail(f"the public key is not an Ed25519 key ({len(point)}-byte point)")
    return point


def sign_message(key: str, message: bytes) -> tuple[bytes, bytes]:
    """Signs the 32-byte `message` with the Ed25519 key `key` names, in the
    token; returns (64-byte signature, raw 32-byte public key)."""
    uri = parse_uri(key)
    if uri.path.get("type", "private") != "private":
        raise uri.fail("signing needs the private key: type=private, or no type=")
    with _session(uri) as session:
        p11 = _binding(uri)
        private = _find(uri, session, p11, p11.ObjectClass.PRIVATE_KEY, "private key")
        public = _raw_public(uri, _find(uri, session, p11, p11.ObjectClass.PUBLIC_KEY,
                                        "public key"), p11)
        try:
            signature = bytes(private.sign(bytes(message), mechanism=p11.Mechanism.EDDSA))
        except p11.PKCS11Error as e:
            raise uri.fail(f"the token refused to sign: {type(e).__name__} {e}".rstrip()) \
                from None
    if len(signature) != 64:
        raise uri.fail(f"the token returned a {len(signature)}-byte signature, not 64 bytes")
    return signature, public


def public_key(key: str, *, private: bool = False) -> bytes:
    """The raw 32-byte public key of the Ed25519 key pair `key` names; with
    `private`, its private key must be there too (a key that can sign)."""
    uri = parse_uri(key)
    with _session(uri) as session:
        p11 = _binding(uri)
        if private:
            _find(uri, session, p11, p11.ObjectClass.PRIVATE_KEY, "private key")
        return _raw_public(uri, _find(uri, session, p11, p11.ObjectClass.PUBLIC_KEY,
                                      "public key"), p11)


def generate_key(key: str) -> bytes:
    """Makes an Ed25519 key pair in the token, labelled by the URI's object=
    (and given its id=, if any); the private key is sensitive and cannot be
    extracted. Refused when a key of that label/id exists. Returns the raw
    public key."""
    uri = parse_uri(key)
    if uri.label is None:
        raise uri.fail("a new key needs a label: object=LABEL")
    with _session(uri, rw=True) as session:
        p11 = _binding(uri)
        attrs: dict[Any, Any] = {p11.Attribute.LABEL: uri.label}
        if "id" in uri.path:
            attrs[p11.Attribute.ID] = uri.path["id"]
        if list(session.get_objects(attrs)):
            raise uri.fail("the token holds a key of this label/id already: choose another "
                           "object= (or remove the old key first)")
        common = dict(attrs)
        common[p11.Attribute.TOKEN] = True
        public_t = {**common, p11.Attribute.EC_PARAMS: _ED25519_PARAMS[0],
                    p11.Attribute.VERIFY: True}
        private_t = {**common, p11.Attribute.SIGN: True, p11.Attribute.SENSITIVE: True,
                     p11.Attribute.EXTRACTABLE: False, p11.Attribute.PRIVATE: True}
        try:
            pub, _ = session.generate_keypair(p11.KeyType.EC_EDWARDS, public_template=public_t,
                                              private_template=private_t)
        except (p11.MechanismInvalid, p11.FunctionNotSupported, p11.DomainParamsInvalid,
                p11.TemplateInconsistent, p11.AttributeValueInvalid) as e:
            raise uri.fail(f"the token cannot make Ed25519 keys ({type(e).__name__})") from None
        except p11.TokenWriteProtected:
            raise uri.fail("the token is write-protected: no key can be made in it") from None
        return _raw_public(uri, pub, p11)


def public_key_pem(raw: bytes) -> str:
    """The SubjectPublicKeyInfo PEM of a raw Ed25519 public key."""
    import base64

    der = base64.b64encode(_SPKI_PREFIX + bytes(raw)).decode("ascii")
    return f"-----BEGIN PUBLIC KEY-----\n{der}\n-----END PUBLIC KEY-----\n"


def write_public_key(path: "str | os.PathLike[str]", raw: bytes) -> None:
    """Writes the PEM of `raw` to `path`, atomically and never over an
    existing file (FileExistsError)."""
    from ._files import write_new

    write_new(path, public_key_pem(raw).encode("ascii"))
