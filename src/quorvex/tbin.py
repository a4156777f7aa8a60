"""Making, describing and signing ``.tbin`` FPGA update images.

A ``.tbin`` is an 80-byte fixed header, a JSON header and the image, and,
when signed, a signature trailer at the end (all integers big-endian)::

    offset  size  field
    0       4     header_length     length of the JSON header (u32)
    4       4     image_length      length of the image (u32)
    8       4     image_start_addr  where the image starts (80 + header_length here)
    12      4     reserved          written as 0, never read
    16      32    header_hash       HMAC-SHA256 of the JSON header bytes
    48      32    image_hash        HMAC-SHA256 of the image bytes
    80      ...   JSON header       e.g. {"DEV_TYPE": [28, 32], "build": "r1"}
    ...     ...   image             image_length bytes at image_start_addr
    S       T     trailer           only in a signed file; S = file size - T

Everything before the trailer (bytes 0 to S-1: fixed header, JSON header,
image and any padding) is the *signed region*. The trailer is one or more
entries followed by a 16-byte footer; an entry is::

    0       2     algorithm         u16; 1 = Ed25519 (any other: kept, listed, never valid)
    2       2     L                 u16 signature length (64 for Ed25519)
    4       8     key id            first 8 bytes of SHA-256 of the raw 32-byte public key
    12      L     signature

and the footer, the file's last 16 bytes::

    0       4     T                 trailer length: all entries plus this footer (u32)
    4       4     N                 number of entries (u32, at least 1)
    8       8     magic             b"QVXSIG\x00\x01"

The trailer is found from the file's end: a file whose last 8 bytes are not
the magic is unsigned (so bytes appended after a trailer leave the file
unsigned). With the magic present, a T shorter than 16 + 12 * N or longer
than the file, N = 0 or N > 64, two entries with one key id, entries that
do not fill exactly T - 16 bytes, or a signed region shorter than the
80-byte fixed header make the trailer malformed (so refusing a file costs at
most one verification per trusted key, whatever was appended to it): the
file counts as unsigned and :func:`signature_report` names the problem.
Every signature signs the 32-byte SHA-256 digest of the signed region
(:func:`signing_digest`) with Ed25519 as it stands (not Ed25519ph),
so a signer held elsewhere signs 32 bytes. The digests of the fixed header
cover only the JSON header and the image, so a signed file passes the
unsigned checks exactly as before. A key id is shown as 16 lower-case hex
digits. A signed file whose image range (image_start_addr + image_length)
reaches past the signed region is reported ("image range outside the signed
region") and refused under a trust policy, so trailer bytes are never
written as image.

Keys are PEM files: PKCS#8 private keys (written mode 0600; one that group or
others can read is refused, with a ``chmod 600`` hint) and SubjectPublicKeyInfo
public keys, as ``openssl genpkey -algorithm ed25519`` and ``openssl pkey
-pubout`` make them. Private key material stays in native code and is never
logged, printed or put in an error text.

Both digests are keyed with ``_TBIN_KEY_PREFIX`` of :mod:`quorvex.QVRFpga`
followed by the header's device types, sorted and written with at least
three digits each (``[32, 28]`` gives ``"028032"``). :func:`pack` derives
the key through the very code :meth:`FpgaTool._checkFileHeader` uses, so a
packed image always passes that check under the same key prefix.

Example::

    from quorvex import tbin
    blob = tbin.pack("fpga.bin", dev_type=[28, 32], header={"version": "1.2.0"})
    with open("fpga.tbin", "wb") as f:
        f.write(blob)
    info = tbin.describe("fpga.tbin")
    assert info["ok"], info["problems"]

    key_id = tbin.generate_key("release.key")      # and release.key.pub
    tbin.sign("fpga.tbin", "release.key")
    trusted = tbin.load_trust("release.key.pub")
    assert tbin.signature_report("fpga.tbin", trusted)["accepted"]
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, Optional, Union

from . import _tbin

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = ["pack", "pack_file", "describe", "image_version", "FPGA_VERSION_KEY", "generate_key",
           "load_public_key", "load_trust",
           "key_id", "private_key_id", "signing_digest", "sign", "attach_signature", "signatures",
           "signature_report"]

ImageSource = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", "os.PathLike[bytes]"]
DevType = Union[int, "list[int]"]
PathArg = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]
# Further members of a JSON header.
Header = Optional["dict[str, Any]"]


def _key_prefix(key_prefix: Optional[str]) -> str:
    if key_prefix is None:
        # Read at every call: a site that sets quorvex.QVRFpga._TBIN_KEY_PREFIX
        # is obeyed here as it is by the checker.
        from . import QVRFpga

        key_prefix = QVRFpga._TBIN_KEY_PREFIX
    if not isinstance(key_prefix, str):
        raise TypeError(f"key_prefix must be str, not {type(key_prefix).__name__}")
    return key_prefix


def pack(image: ImageSource, dev_type: DevType, header: Header = None, *,
         key_prefix: Optional[str] = None, fpga_version: Optional[str] = None) -> bytes:
    """Build a ``.tbin`` container and return it as bytes.

    image
        The FPGA image: a bytes-like object, or the path (str or
        os.PathLike) of a file whose whole content is the image.
    dev_type
        The device type the image is for, a positive int (``32``), or a
        non-empty list of them for an image that serves several (``[28, 32]``).
        It is stored as ``"DEV_TYPE"`` and selects the key.
    header
        Further members of the JSON header (a dict of JSON-serialisable
        values); it must not carry ``"DEV_TYPE"`` or ``"dev_type"`` itself.
    key_prefix
        The key prefix; by default ``quorvex.QVRFpga._TBIN_KEY_PREFIX`` as it
        is at the time of the call.
    fpga_version
        The image's FPGA version, a dotted version of one to four numbers
        (``"0.2.5.0"``), stored as ``"FPGA_VER"``: a fleet run then refuses
        to put the image on a device whose FPGA is newer, unless told to.

    Raises ValueError for an empty image ("image is empty"), for a device
    type the checker could not key (0, a
    negative number, a bool, an empty list, a non-integer), for a header that
    names its own device type, and for an image or header too large for the
    32-bit fields; TypeError for a header that is not a dict or not JSON
    serialisable; OSError when the image file cannot be read.
    """
    return _tbin.pack(image, dev_type, _versioned(header, fpga_version), _key_prefix(key_prefix))


def pack_file(image_path: PathArg, out_path: PathArg, dev_type: DevType, header: Header = None, *,
              key_prefix: Optional[str] = None, fpga_version: Optional[str] = None) -> int:
    """Write the ``.tbin`` container for the image file ``image_path`` to
    ``out_path`` and return the number of bytes written.

    The image is streamed from its file and digested on the way, so an image
    of any size costs a small, fixed amount of memory. ``out_path`` is
    replaced if it exists; when writing fails it is removed again rather than
    left half written. Arguments and errors are those of :func:`pack`; an
    ``out_path`` that names the image file itself is refused (ValueError).
    """
    return _tbin.pack_file(image_path, out_path, dev_type, _versioned(header, fpga_version),
                           _key_prefix(key_prefix))


#: The JSON header's member holding the image's FPGA version.
FPGA_VERSION_KEY = "FPGA_VER"


def _versioned(header: Header, fpga_version: Optional[str]) -> Header:
    """`header` with "FPGA_VER" set to `fpga_version`; a version given
    either way must be one the fleet can compare."""
    if isinstance(header, dict) and FPGA_VERSION_KEY in header:
        if fpga_version is not None:
            raise ValueError(f"the FPGA version is given twice: fpga_version={fpga_version!r} "
                             f"and header[{FPGA_VERSION_KEY!r}]")
        # Any value, None too: a member the fleet cannot compare refuses
        # every device later, so it is refused here, at once.
        return {**header, FPGA_VERSION_KEY: image_version(header)}
    if fpga_version is None:
        return header
    text = image_version({FPGA_VERSION_KEY: fpga_version})
    return {**(header or {}), FPGA_VERSION_KEY: text}


def image_version(header: Any) -> Optional[str]:
    """The FPGA version a parsed JSON header records ("FPGA_VER"), as text,
    or None when it records none. ValueError for a value that is no dotted
    version of one to four numbers."""
    if not isinstance(header, dict) or FPGA_VERSION_KEY not in header:
        return None
    value = header[FPGA_VERSION_KEY]
    from .QVRUtils import VER

    if isinstance(value, str):
        try:
            return str(VER(value))
        except ValueError:
            pass
    raise ValueError(f"{FPGA_VERSION_KEY} {value!r} is not a dotted version such as \"0.2.5.0\"")


def describe(source: ImageSource, *, key_prefix: Optional[str] = None,
             digests: bool = True) -> "dict[str, Any]":
    """Tell what a ``.tbin`` container holds and what is wrong with it.

    source
        The path of a ``.tbin`` file (str or os.PathLike), or the container's
        bytes (any bytes-like object).
    key_prefix
        As for :func:`pack`.
    digests
        False skips the two digests (for a caller that has just checked
        them): ``header_hash_ok``, ``image_hash_ok`` and ``ok`` are then None.

    Returns a dict:

    - ``file_size``: bytes in the container;
    - ``header_length``, ``image_length``, ``image_start_addr``, ``reserved``:
      the fixed fields as stored (None where the container is too short);
    - ``header``: the parsed JSON header, or None when it does not parse;
    - ``dev_type``: the value the key is derived from (``DEV_TYPE`` when it is
      true, else ``dev_type``), ``device_types``: its values as integers in
      key order, ``devtype_str``: their text in the key, ``key``: the key text;
    - ``header_hash_ok``, ``image_hash_ok``: whether each stored digest
      matches; ``ok``: both do, which is exactly when
      ``FpgaTool._checkFileHeader`` accepts the file;
    - ``problems``: texts naming what is wrong or odd (truncation, a range cut
      at the end of the file, an image that starts inside the header, a JSON
      error, no device type, a digest that does not match). A container may
      pass the check and still list problems, e.g. an image range cut at the
      end of the file whose digest was made over the cut bytes.

    A malformed container never raises; a path that cannot be read raises
    OSError (FileNotFoundError, IsADirectoryError, PermissionError, ...).
    """
    return _tbin.describe(source, _key_prefix(key_prefix), digests)


# --- signatures -----------------------------------------------------------------


def generate_key(path: PathArg) -> str:
    """Make a new Ed25519 key pair and return its key id.

    The private key goes to ``path`` (PKCS#8 PEM, mode 0600) and the public
    key to ``path + ".pub"`` (SubjectPublicKeyInfo PEM). Each file is written
    to a temporary file in the same folder, flushed to disk and only then
    given its name; an existing file of either name is never overwritten
    (FileExistsError).
    """
    return _tbin.generate_key(path)


def load_public_key(path: PathArg) -> bytes:
    """The raw 32-byte Ed25519 key of a PEM public key file.

    ValueError names the file when it holds anything else (a private key,
    another key type, text that is no PEM public key); OSError when it cannot
    be read.
    """
    return _tbin.load_public_key(path)


def load_trust(*paths: PathArg) -> "frozenset[bytes]":
    """The raw public keys at ``paths``: each a public key file, or a folder
    whose ``*.pub`` and ``*.pem`` files are all Ed25519 public keys.

    A file that is no Ed25519 public key, or a folder without one, is a
    ValueError naming it; a path that cannot be read an OSError.
    """
    keys: "set[bytes]" = set()
    for p in paths:
        keys.update(_tbin.load_trust(p))
    return frozenset(keys)


def key_id(public_key: "ReadableBuffer") -> str:
    """The key id of a raw 32-byte public key: 16 lower-case hex digits."""
    return _tbin.key_id(public_key)


def private_key_id(key_path: PathArg) -> str:
    """The key id of a private key file or PKCS#11 URI, read and checked as
    :func:`sign` reads it (so this is also the way to test that a key can
    sign: for a token, the PIN is tried and the key looked up)."""
    from . import _pkcs11

    if _pkcs11.is_uri(key_path):
        return _tbin.key_id(_pkcs11.public_key(key_path, private=True))
    return _tbin.private_key_id(key_path)


def signing_digest(source: ImageSource) -> bytes:
    """The 32-byte message a signature of ``source`` signs: the SHA-256 of its
    signed region (everything before an existing trailer, else the whole
    file). Sign it with Ed25519 elsewhere and :func:`attach_signature` the
    result. ValueError for a malformed trailer or a file too short to be a
    ``.tbin``."""
    return _tbin.signing_digest(source)


def sign(path: PathArg, key_path: PathArg, *, out: Optional[PathArg] = None) -> str:
    """Sign the ``.tbin`` at ``path`` with the private key ``key_path`` and
    return the key id.

    ``key_path`` is a private key file, or a PKCS#11 URI (RFC 7512) naming
    an Ed25519 key in a token, e.g.
    ``"pkcs11:token=release;object=fpga-2026?module-path=/usr/lib/softhsm/libsofthsm2.so"``:
    the token then signs :func:`signing_digest` of the file and the private
    key never enters this process. Its PIN comes from ``pin-source=FILE`` or
    QUORVEX_PKCS11_PIN (never from the URI itself), its module from
    ``module-path=`` or QUORVEX_PKCS11_MODULE.

    The signature is added to the trailer (a file already signed by the same
    key has that signature replaced). The result goes to ``out``, or replaces
    ``path`` itself (the file a symbolic link names, keeping its permission
    bits); either way through a temporary file in the target's
    folder that is flushed and then renamed, so a failure never leaves a
    half-written file. The file is streamed, never held in Python memory.

    A private key file that group or others can access is refused
    (PermissionError, with a ``chmod 600`` hint); ValueError for a key that is
    not an unencrypted Ed25519 PKCS#8 PEM key, a malformed trailer or a file
    too short to be a ``.tbin``; for a token, ValueError naming the URI (less
    any PIN) and what failed: the module, the token, the PIN, the key.
    """
    from . import _pkcs11

    target = _in_place(path) if out is None else out
    if _pkcs11.is_uri(key_path):
        signature, public_key = _pkcs11.sign_message(key_path, signing_digest(path))
        return _tbin.attach_signature(path, signature, public_key, target)
    return _tbin.sign(path, key_path, target)


def attach_signature(path: PathArg, signature: "ReadableBuffer", public_key: "ReadableBuffer", *,
                     out: Optional[PathArg] = None) -> str:
    """Attach a raw 64-byte Ed25519 ``signature`` made elsewhere over
    :func:`signing_digest` of ``path``, by the raw 32-byte ``public_key``;
    return the key id. The signature is verified first: one that does not
    verify is refused (ValueError) and nothing is written. Writing is as for
    :func:`sign`."""
    return _tbin.attach_signature(path, signature, public_key,
                                  _in_place(path) if out is None else out)


def _in_place(path: PathArg) -> "str | bytes":
    # Replacing a file that a symbolic link names replaces the file, not the link.
    return os.path.realpath(path)


def _key_list(keys: Any, name: str) -> "list[bytes]":
    # As the check takes _TRUSTED_KEYS: any iterable of bytes-like 32-byte keys.
    if isinstance(keys, (str, bytes, bytearray, memoryview)) or not isinstance(keys, Iterable):
        raise TypeError(f"{name} must be an iterable of raw 32-byte public keys, "
                        f"not {type(keys).__name__}")
    out = []
    for k in keys:
        try:
            raw = None if isinstance(k, str) else memoryview(k).tobytes()
        except TypeError:
            raw = None
        if raw is None or len(raw) != 32:
            raise TypeError(f"{name} must hold raw 32-byte public keys (bytes), not {k!r:.60}")
        out.append(raw)
    return out


def signature_report(source: ImageSource, trusted: "Optional[Iterable[ReadableBuffer]]" = None, *,
                     keys: "Iterable[ReadableBuffer]" = (),
                     revoked: "Iterable[str]" = ()) -> "dict[str, Any]":
    """What the signature trailer of ``source`` (a path or the bytes) holds.

    trusted
        Raw 32-byte public keys a policy trusts (e.g.
        ``quorvex.QVRFpga._TRUSTED_KEYS`` or :func:`load_trust`); None or no
        key at all means no policy, as for the header check.
    keys
        Further public keys to verify signatures with, trusted or not.
    revoked
        Key ids (16 hex digits) of revoked keys: a signature by one never
        counts, even when its key is also in ``trusted``.

    Returns a dict:

    - ``signed``: the file ends with a well-formed trailer;
    - ``signed_size``: bytes in the signed region (the file size if unsigned);
    - ``problem``: None, ``"malformed signature trailer: ..."`` or
      ``"image range outside the signed region"``;
    - ``signatures``: one dict per entry, in trailer order: ``algorithm``
      (``"ed25519"`` or ``"unknown(N)"``), ``key_id``, ``valid`` (True or
      False when a key at hand has its key id, None when none has: a trailer
      carries key ids, not keys, so a signature is verified only against
      the keys given), ``trusted`` (its key id is one of ``trusted`` and not
      revoked; None without a policy), ``revoked`` (its key id is one of
      ``revoked``), ``standing`` (``"trusted"``, ``"untrusted"`` or
      ``"revoked"``; None without a policy and not revoked);
    - ``accepted``: under a policy, whether it accepts the file (no problem,
      and a valid signature by a trusted key that is not revoked); None
      without one.
    """
    if isinstance(revoked, (str, bytes)):
        raise TypeError("revoked must be an iterable of key ids, not one text")
    gone = {str(r).lower() for r in revoked}
    trusted_list = [] if trusted is None else _key_list(trusted, "trusted")
    report = _tbin.signature_report(source, trusted_list + _key_list(keys, "keys"))
    # No trusted key is no policy, as an empty _TRUSTED_KEYS is to the check.
    ids = {_tbin.key_id(k) for k in trusted_list} - gone if trusted_list else None
    for entry in report["signatures"]:
        entry["trusted"] = None if ids is None else entry["key_id"] in ids
        entry["revoked"] = entry["key_id"] in gone
        entry["standing"] = ("revoked" if entry["revoked"] else None if ids is None else
                             "trusted" if entry["trusted"] else "untrusted")
    if ids is None:
        report["accepted"] = None
    else:
        report["accepted"] = (report["signed"] and report["problem"] is None
                              and any(e["valid"] and e["trusted"] for e in report["signatures"]))
    return report


def signatures(source: ImageSource, trusted: "Optional[Iterable[ReadableBuffer]]" = None, *,
               keys: "Iterable[ReadableBuffer]" = ()) -> "list[dict[str, Any]]":
    """The signatures of ``source``: ``signature_report(...)["signatures"]``."""
    found: "list[dict[str, Any]]" = signature_report(source, trusted, keys=keys)["signatures"]
    return found
