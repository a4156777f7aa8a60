"""Making and describing .tbin update images; see quorvex.tbin."""

import os
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
