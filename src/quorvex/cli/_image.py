"""Image files as quorvex-fpga sees them before any device is contacted: the
checks that FpgaTool runs before an update, run offline, and whether a file
is a .tbin container."""

from __future__ import annotations

import os
from typing import Any, NoReturn

from ._common import EXIT_OK, EXIT_REFUSED, PROG
from ._console import Collector
from ._trust import SIGNATURE_HINT, SIGNATURE_REASONS, trusted_keys

__all__ = ["ImageReport", "check_image", "check_version", "version_problem", "is_container",
           "signature_lines"]


class _OfflineLink:
    """The device link of a tool that only checks files: any use is a bug."""

    def _refuse(self, *args: Any, **kwargs: Any) -> NoReturn:
        raise RuntimeError("the image check must not talk to a device")

    initConnection = sendCmd = sendRawBytes = recvRawBytes = closeConnection = _refuse


class ImageReport:
    """What the two checks of FpgaTool (and the device-type comparison for a
    .tbin) said about an image file."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.format = os.path.splitext(path)[1].lower().lstrip(".") or None
        self.file_check: bool | None = None      # _checkUpdateFile
        self.header_check: bool | None = None    # _checkFileHeader
        # Why the image is refused: the checks' reason code (the errno of an
        # "os_error"), or "device_type" for a .tbin for other devices.
        self.reason: str | None = None
        self.errno: int | None = None
        self.device_types: list[int] | None = None  # .tbin: the types it is for
        self.device_type_ok: bool | None = None  # .tbin and a device type asked for
        self.image_bytes: int | None = None
        self.fpga_version: str | None = None  # its FPGA_VER, when check_version read it
        self.floor: str | None = None         # the site's floor it was held to
        # .tbin: its signatures as quorvex.tbin.signature_report lists them
        self.signatures: list[dict[str, Any]] | None = None
        self.signature_problem: str | None = None
        self.messages: list[tuple[str, str]] = []  # (level, text) from the checks and from us
        self.status = EXIT_OK
        self.problem = ""
        self.hint = ""

    @property
    def ok(self) -> bool:
        return self.status == EXIT_OK

    def refuse(self, problem: str, hint: str = "") -> None:
        self.status, self.problem, self.hint = EXIT_REFUSED, problem, hint

    def as_dict(self) -> dict[str, Any]:
        return {
            "path": self.path, "format": self.format, "ok": self.ok,
            "reason": self.reason, "errno": self.errno,
            "file_check": self.file_check, "header_check": self.header_check,
            "device_types": self.device_types, "device_type_ok": self.device_type_ok,
            "image_bytes": self.image_bytes,
            "fpga_version": self.fpga_version, "floor": self.floor,
            "signers": (None if self.signatures is None
                        else [s["key_id"] for s in self.signatures]),
            "signatures": self.signatures, "signature_problem": self.signature_problem,
            "messages": [{"level": lv, "text": t} for lv, t in self.messages],
            "problem": self.problem or None, "hint": self.hint or None,
        }


def check_image(path: str, device_type: int | None = None, force_device_type: bool = False,
                trusted: frozenset[bytes] | None = None) -> ImageReport:
    """Runs FpgaTool's own file and header checks on `path`, offline, under
    the policy `trusted` (None: the library's default), and for a .tbin
    compares the device types in its header with `device_type`."""
    from ..QVRFpga import FpgaTool, _Terms

    report = ImageReport(path)
    tool = FpgaTool(connection=_OfflineLink())
    terms = _Terms(trusted=trusted)
    with Collector("FPGA") as log:
        report.file_check = terms.check(tool._checkUpdateFile, path)
        if report.file_check:
            report.header_check = terms.check(tool._checkFileHeader, path)
    if not (report.file_check and report.header_check):
        report.reason, report.errno = terms.reason, terms.errno
    report.messages = log.messages()
    reasons = "; ".join(t for lv, t in report.messages if lv in ("warning", "error"))
    if report.file_check and report.format == "tbin":
        _read_signatures(report, trusted_keys() if trusted is None else trusted)
    if not report.file_check:
        report.refuse(reasons or "the file check failed",
                      "give the path of a non-empty, readable .bin or .tbin file")
        return report
    if not report.header_check:
        if report.format != "tbin" and report.reason in SIGNATURE_REASONS:
            report.refuse(reasons, f"a .bin carries no signature: pack it into a .tbin and sign "
                                   f"it ('{PROG} pack IMAGE.bin -d N -o IMAGE.tbin --sign KEY')")
        elif report.reason in SIGNATURE_REASONS:
            signers = ", ".join(f"{s['key_id']} ({standing(s)})"
                                for s in report.signatures or ()) or "none"
            revoked = [s["key_id"] for s in report.signatures or () if s.get("revoked")]
            if revoked:  # the check saw only that no trusted key signed
                reasons = f"signed by revoked key {', '.join(revoked)}; {reasons}"
            report.refuse(f"{reasons}; signatures: {signers}", SIGNATURE_HINT)
        else:
            report.refuse(reasons or "the header check failed",
                          "the .tbin is damaged or was packed with another key; "
                          f"'{PROG} inspect FILE' shows what is wrong with it")
        return report

    if report.format == "tbin":
        from .. import tbin
        info = tbin.describe(path, digests=False)  # the header check has just done them
        report.device_types = list(info.get("device_types") or [])
        start, length = info.get("image_start_addr") or 0, info.get("image_length") or 0
        report.image_bytes = max(0, min(length, info.get("file_size", 0) - start))
        if device_type is not None:
            report.device_type_ok = device_type in report.device_types
            if not report.device_type_ok:
                types = ", ".join(map(str, report.device_types)) or "none"
                text = (f"{path} is an image for device type {types}, "
                        f"not for device type {device_type}")
                if force_device_type:
                    report.messages.append(
                        ("warning", text + " (written anyway: --force-device-type)"))
                else:
                    report.reason = "device_type"
                    report.refuse(text, "check --device-type, or give --force-device-type "
                                        "to write it anyway")
    else:
        report.image_bytes = os.path.getsize(path)
    return report


FLOOR_HINT = ("pack the image again with a newer FPGA version (--fpga-version), or ask who "
              "keeps the site's floor (QUORVEX_MIN_FPGA_VERSION, min-fpga-version)")


def version_problem(path: str, floor: str | None) -> tuple[str | None, str | None, str | None]:
    """(FPGA version, reason, problem) of the image at `path` as a fleet run
    judges it on every device, whatever the device holds: "fpga_version"
    for a FPGA_VER that is no version, "below_floor" for an image below the
    site's `floor` or without a version under one; (version, None, None)
    when it passes."""
    from ..fleet._downgrade import downgrade_problem, read_image_version

    try:
        version = read_image_version(path)
    except ValueError as e:
        return None, "fpga_version", f"the image's FPGA version cannot be compared: {e}"
    problem = downgrade_problem(version, None, True, floor)
    return version, (None if problem is None else "below_floor"), problem


def check_version(report: ImageReport, floor: str | None) -> None:
    """Refuses an image that passed the checks but that an update would
    refuse on every device for its FPGA version (see version_problem)."""
    if not report.ok:
        return
    report.fpga_version, reason, problem = version_problem(report.path, floor)
    report.floor = floor
    if reason is not None and problem is not None:
        report.reason = reason
        report.refuse(problem, FLOOR_HINT if reason == "below_floor" else
                      "pack the image again with --fpga-version VERSION")


def _read_signatures(report: ImageReport, keys: frozenset[bytes]) -> None:
    """The signatures of a .tbin, judged under the policy `keys`."""
    from .. import tbin

    try:
        info = tbin.signature_report(report.path, keys, keys=getattr(keys, "revoked_keys", ()),
                                     revoked=getattr(keys, "revoked", ()))
    except OSError:
        return  # the header check has said what cannot be read
    report.signatures = info["signatures"]
    report.signature_problem = info["problem"]


def standing(sig: dict[str, Any]) -> str:
    """Whether a signature verifies and whether its key is trusted, in words."""
    valid = {True: "verifies", False: "does NOT verify", None: "no key at hand to verify"}
    return f"{valid[sig['valid']]}, {sig.get('standing') or 'no policy'}"


def signature_lines(sigs: list[dict[str, Any]]) -> list[str]:
    """One line per signature, as 'check' and 'inspect' list them ("none" for none)."""
    return [f"{s['key_id']}  {s['algorithm']}  {standing(s)}" for s in sigs] or ["none"]


def is_container(path: str) -> bool:
    """Whether `path` holds a .tbin container whose digests match."""
    from .. import tbin

    try:
        return bool(tbin.describe(path).get("ok"))
    except OSError:
        return False  # packing reports what cannot be read
