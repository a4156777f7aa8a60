"""Making and describing .tbin update images; see quorvex.tbin."""

import os
from collections.abc import Sequence
from typing import Any

from _typeshed import ReadableBuffer, StrOrBytesPath

# The image or container as bytes, or the path of the file that holds it.
# A bytes object is always content here, never a path.
_Source = ReadableBuffer | str | os.PathLike[str] | os.PathLike[bytes]
_DevType = int | list[int]

def pack(image: _Source, dev_type: _DevType, header: dict[str, Any] | None,
         key_prefix: str) -> bytes:
    """The .tbin container for an image as bytes; see quorvex.tbin.pack."""

def pack_file(image_path: StrOrBytesPath, out_path: StrOrBytesPath, dev_type: _DevType,
              header: dict[str, Any] | None, key_prefix: str) -> int:
    """Writes the .tbin container for an image file to out_path; see quorvex.tbin.pack_file."""

def describe(source: _Source, key_prefix: str, digests: bool = True) -> dict[str, Any]:
    """What a .tbin container holds and what is wrong with it; see quorvex.tbin.describe."""

def generate_key(path: StrOrBytesPath) -> str:
    """Writes a new Ed25519 key pair to path and path + '.pub'; see quorvex.tbin.generate_key."""

def load_public_key(path: StrOrBytesPath) -> bytes:
    """The raw 32-byte key of a PEM public key file; see quorvex.tbin.load_public_key."""

def load_trust(path: StrOrBytesPath) -> list[bytes]:
    """The raw public keys of a key file or a folder of them; see quorvex.tbin.load_trust."""

def private_key_id(path: StrOrBytesPath) -> str:
    """The key id of a private key file, read as sign() reads it."""

def key_id(public_key: ReadableBuffer) -> str:
    """The key id of a raw public key; see quorvex.tbin.key_id."""

def signing_digest(source: _Source) -> bytes:
    """The 32-byte message a signature signs; see quorvex.tbin.signing_digest."""

def signature_report(source: _Source, keys: Sequence[ReadableBuffer]) -> dict[str, Any]:
    """The signature trailer of a container, checked against raw public keys; see
    quorvex.tbin.signature_report."""

def sign(path: StrOrBytesPath, key_path: StrOrBytesPath, out: StrOrBytesPath | None) -> str:
    """Adds a signature made with a private key file; see quorvex.tbin.sign."""

def attach_signature(path: StrOrBytesPath, signature: ReadableBuffer, public_key: ReadableBuffer,
                     out: StrOrBytesPath | None) -> str:
    """Adds a signature made elsewhere, once it verifies; see quorvex.tbin.attach_signature."""

def read_signature(path: StrOrBytesPath) -> bytes:
    """The raw 64-byte Ed25519 signature held by the file at path."""
