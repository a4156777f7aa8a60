"""quorvex-fpga pack: a raw image packed into a .tbin container."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import pathlib
import tempfile
from typing import Any

from .._text import printable
from ._common import (EXIT_FAILED, EXIT_OK, EXIT_REFUSED, EXIT_USAGE, PROG, Context, UsageError,
                      Verbs, exit_text, verb_parser)
from ._image import is_container
from ._options import dev_type


def header_item(text: str) -> tuple[str, Any]:
    """An argparse `type=` for --header KEY=VALUE: VALUE as JSON when it
    parses, else as text."""
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, not {text!r}")
    if key in ("DEV_TYPE", "dev_type"):
        raise argparse.ArgumentTypeError("the device type is given with --dev-type, not --header")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def fpga_version(text: str) -> str:
    """An argparse `type=` for --fpga-version: a dotted version the fleet can compare."""
    from .. import tbin

    try:
        version = tbin.image_version({"FPGA_VER": text})
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    assert version is not None
    return version


def add_parser(verbs: Verbs) -> argparse.ArgumentParser:
    p = verb_parser(
        verbs, "pack",
        help="pack a raw .bin image into a .tbin container",
        description="""
            Pack IMAGE.bin (a raw image file) into a .tbin container: a JSON header naming
            the device types, and HMAC-SHA256 digests of header and image. With --sign
            KEY the container is signed in the same step (see 'sign'), so no unsigned
            copy of it is ever left under OUT.tbin; KEY is a private key file or a
            PKCS#11 URI (pkcs11:token=...;object=...). --fpga-version records the
            image's FPGA version in the header ("FPGA_VER"), covered by its digest and
            signatures: 'update' then refuses to put it on a device whose FPGA is
            newer unless --allow-downgrade is given.""",
        epilog=f"examples:\n"
               f"  {PROG} pack fpga.bin --dev-type 32 -o fpga.tbin\n"
               f"  {PROG} pack fpga.bin -d 28 -d 32 --header build=1234 \\\n"
               f"      --header note='\"for the lab\"' -o fpga.tbin\n"
               f"  {PROG} pack fpga.bin -d 32 -o fpga.tbin --sign release.key\n"
               f"  {PROG} pack fpga.bin -d 32 --fpga-version 0.2.5.0 -o fpga.tbin \\\n"
               f"      --sign 'pkcs11:token=release;object=fpga-2026'\n\n"
               f"A --header VALUE is taken as JSON when it parses (1234, true, [1,2],\n"
               f"\"text\"), else as text.\n\n"
               + exit_text(EXIT_OK, EXIT_FAILED, EXIT_REFUSED, EXIT_USAGE,
                           s1="the container could not be written",
                           s2="no raw image file to pack (missing, empty, or a .tbin "
                              "already), or a signing key that cannot be used"))
    p.add_argument("image", metavar="IMAGE.bin", help="the raw image file (not a .tbin)")
    p.add_argument("--dev-type", "-d", type=dev_type, action="append", required=True,
                   metavar="N", help="a device type the image is for; repeat it for several")
    p.add_argument("--header", action="append", type=header_item, default=[],
                   metavar="KEY=VALUE", help="a further member of the JSON header; repeatable")
    p.add_argument("-o", "--output", required=True, metavar="OUT.tbin",
                   help="the container to write, named .tbin (replaced if it exists)")
    p.add_argument("--sign", metavar="KEY",
                   help="sign the container with this Ed25519 private key file, or with the "
                        "key in a PKCS#11 token that the URI KEY names")
    p.add_argument("--fpga-version", metavar="VERSION", type=fpga_version,
                   help="the image's FPGA version (such as 0.2.5.0), recorded as FPGA_VER")
    return p


def run(ctx: Context) -> int:
    from .. import tbin

    a = ctx.args
    header = dict(a.header)
    if a.fpga_version is not None:
        if "FPGA_VER" in header:
            raise UsageError("the FPGA version is given twice: --fpga-version and "
                             "--header FPGA_VER=...")
        header["FPGA_VER"] = a.fpga_version
    dev_types = a.dev_type[0] if len(a.dev_type) == 1 else a.dev_type
    # 'check' and 'update' tell a container from a raw image by its name alone:
    # a container named otherwise would be flashed as it is.
    if pathlib.Path(a.output).suffix.lower() != ".tbin":
        raise UsageError(f"name the output .tbin, not {a.output!r}: 'check' and 'update' know "
                         "a container by that name only, and would flash a .bin as it is")
    if not os.path.isfile(a.image):
        ctx.console.error(f"no image file {a.image!r}", "give the path of the raw image to pack")
        return EXIT_REFUSED
    if pathlib.Path(a.image).suffix.lower() == ".tbin" or is_container(a.image):
        ctx.console.error(f"{a.image!r} is a .tbin container already, not a raw image: "
                          "packed again it would be flashed with its container header",
                          "give the raw .bin image it was packed from")
        return EXIT_REFUSED
    image_size = os.path.getsize(a.image)
    if image_size == 0:
        ctx.console.error(f"{a.image!r} is empty: a container must carry an image",
                          "give the raw image file to pack")
        return EXIT_REFUSED
    if os.path.exists(a.output) and os.path.samefile(a.image, a.output):
        raise UsageError(f"-o {a.output!r} is the image file itself: packing would overwrite "
                         "the image it reads")
    signed_by = ""
    if a.sign is not None:
        try:  # the key is checked before anything is written
            tbin.private_key_id(a.sign)
        except (OSError, ValueError) as e:
            ctx.console.error(f"refused: cannot sign with {a.sign!r}: {e}")
            return EXIT_REFUSED
    try:
        if a.sign is None:
            size = tbin.pack_file(a.image, a.output, dev_types, header or None)
        else:
            size, key_id = _pack_signed(a.image, a.output, dev_types, header or None, a.sign)
            signed_by = f", signed by {key_id}"
    except (ValueError, TypeError) as e:
        raise UsageError(e) from None
    except OSError as e:
        ctx.console.error(f"cannot pack {a.image!r} into {a.output!r}: {e}")
        return EXIT_FAILED
    _warn_unknown_types(ctx, a.dev_type)
    types = ", ".join(map(str, a.dev_type))
    ctx.out(f"{printable(a.output)}: {size} bytes, a .tbin of {image_size} image bytes "
            f"for device type {types}{signed_by}")
    return EXIT_OK


def _warn_unknown_types(ctx: Context, dev_types: list[int]) -> None:
    """A warning for each device type that 'update' refuses: the container is
    still written (a newer tool may update it), but now is the time to say so."""
    from .. import QVRFpga

    known = list(QVRFpga._DEVICE_WHITELIST)
    for t in dict.fromkeys(dev_types):
        if t not in known:
            ctx.console.warning(f"device type {t} is not one this tool updates "
                                f"({', '.join(map(str, known))}): 'update' will refuse it",
                                "check --dev-type")


def _pack_signed(image: str, output: str, dev_types: Any, header: Any,
                 key: str) -> tuple[int, str]:
    """Packs into a temporary file beside `output`, then signs it into
    `output`: the name never holds an unsigned or half-written container."""
    from .. import tbin

    folder = os.path.dirname(os.path.abspath(output))
    temp = None
    try:
        fd, temp = tempfile.mkstemp(prefix=f".{os.path.basename(output)}.",
                                    suffix=".unsigned.tbin", dir=folder)
        os.close(fd)
        tbin.pack_file(image, temp, dev_types, header)
        key_id = tbin.sign(temp, key, out=output)
    except OSError as e:
        if temp is None or e.filename in (temp, os.fsencode(temp)):
            # The temporary file is ours: name the file the user asked for.
            raise OSError(e.errno, e.strerror, output) from None
        raise
    finally:
        if temp is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temp)
    return os.path.getsize(output), key_id
