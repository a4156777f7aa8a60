"""Making and describing ``.tbin`` FPGA update images.

A ``.tbin`` is an 80-byte fixed header, a JSON header and the image::

    offset  size  field
    0       4     header_length     length of the JSON header (big-endian u32)
    4       4     image_length      length of the image
    8       4     image_start_addr  where the image starts (80 + header_length here)
    12      4     reserved          written as 0, never read
    16      32    header_hash       HMAC-SHA256 of the JSON header bytes
    48      32    image_hash        HMAC-SHA256 of the image bytes
    80      ...   JSON header       e.g. {"DEV_TYPE": [28, 32], "build": "r1"}
    ...     ...   image

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
"""

from __future__ import annotations

import os
from typing import Any, Optional, Union

from . import _tbin

__all__ = ["pack", "pack_file", "describe"]

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
         key_prefix: Optional[str] = None) -> bytes:
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

    Raises ValueError for a device type the checker could not key (0, a
    negative number, a bool, an empty list, a non-integer), for a header that
    names its own device type, and for an image or header too large for the
    32-bit fields; TypeError for a header that is not a dict or not JSON
    serialisable; OSError when the image file cannot be read.
    """
    return _tbin.pack(image, dev_type, header, _key_prefix(key_prefix))


def pack_file(image_path: PathArg, out_path: PathArg, dev_type: DevType, header: Header = None, *,
              key_prefix: Optional[str] = None) -> int:
    """Write the ``.tbin`` container for the image file ``image_path`` to
    ``out_path`` and return the number of bytes written.

    The image is streamed from its file and digested on the way, so an image
    of any size costs a small, fixed amount of memory. ``out_path`` is
    replaced if it exists; when writing fails it is removed again rather than
    left half written. Arguments and errors are those of :func:`pack`; an
    ``out_path`` that names the image file itself is refused (ValueError).
    """
    return _tbin.pack_file(image_path, out_path, dev_type, header, _key_prefix(key_prefix))


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
