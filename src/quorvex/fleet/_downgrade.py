"""No silent downgrades: whether an image's FPGA version ("FPGA_VER" in its
JSON header) may go onto a device that reported a given version, decided
before the erase.

- An image older than the device's FPGA is refused, "downgrade from X to Y",
  unless the run allows downgrades; an allowed one is said so, with who
  allowed it, for the history.
- A site floor (the trust settings' min-fpga-version) refuses every image
  below it, allowed downgrade or not; an image that records no version
  cannot show that it is above the floor, and is refused under one too.
- Without a floor, an image without "FPGA_VER", or a device that reported no
  version, is written as before.

Versions are compared as quorvex.QVRUtils.VER values, read at call time.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

__all__ = ["downgrade_problem", "is_downgrade", "DowngradeRule", "read_image_version"]


def _ver(text: str):  # type: ignore[no-untyped-def]
    from ..QVRUtils import VER

    return VER(text)


def is_downgrade(image_version: Optional[str], device_version: Optional[str]) -> bool:
    """Whether writing an image of `image_version` takes a device that
    reported `device_version` back to an older FPGA (False when either is
    unknown). ValueError for a text that is no version."""
    if not image_version or not device_version:
        return False
    return bool(_ver(image_version) < _ver(device_version))


def downgrade_problem(image_version: Optional[str], device_version: Optional[str],
                      allow: bool, floor: Optional[str]) -> Optional[str]:
    """Why an image of `image_version` must not go onto a device that
    reported `device_version`, or None when it may. `allow` lets an image
    older than the device through; `floor` (None: no floor) holds even then."""
    if floor is not None:
        if not image_version:
            return (f"the image records no FPGA version (FPGA_VER), and this site accepts "
                    f"no FPGA version below {floor}; nothing was erased")
        try:
            below = _ver(image_version) < _ver(floor)
        except ValueError as e:
            return f"cannot compare the image's FPGA version with the site's floor: {e}"
        if below:
            return (f"FPGA version {image_version} of the image is below this site's floor "
                    f"{floor} (refused even with --allow-downgrade); nothing was erased")
    try:
        older = is_downgrade(image_version, device_version)
    except ValueError as e:
        return None if allow else (f"cannot tell whether this is a downgrade ({e}); "
                                   f"nothing was erased")
    if older and not allow:
        return (f"downgrade from {device_version} to {image_version}: give --allow-downgrade "
                f"to write an older FPGA image; nothing was erased")
    return None


@dataclass(frozen=True)
class DowngradeRule:
    """The downgrade rule of one run: whether older images are allowed, the
    site's floor, and who runs it (named for every downgrade allowed)."""

    allow: bool = False
    floor: Optional[str] = None
    operator: Optional[str] = None

    @classmethod
    def for_run(cls, allow: bool, floor: Optional[str],
                operator: Optional[str]) -> "DowngradeRule":
        """The rule of a run: `floor` None is the site's (quorvex._trust_store.site_floor);
        ValueError for a floor that is no version."""
        if floor is None:
            from .._trust_store import site_floor

            floor = site_floor()
        else:
            floor = str(_ver(floor))
        return cls(bool(allow), floor, operator)

    def judge(self, image_path: str,
              device_version: Optional[str]) -> tuple[Optional[str], str]:
        """(refusal or None, note) for the image at `image_path` on a device
        that reported `device_version`: the note names an allowed downgrade
        and who allowed it, else is empty."""
        try:
            image_version = read_image_version(image_path)
        except ValueError as e:
            return f"the image's FPGA version cannot be compared: {e}; nothing was erased", ""
        problem = downgrade_problem(image_version, device_version, self.allow, self.floor)
        if problem is not None:
            return problem, ""
        try:
            older = is_downgrade(image_version, device_version)
        except ValueError:
            older = bool(image_version and device_version)
        if not older:
            return None, ""
        from ..history import default_operator

        who = self.operator or default_operator()
        return None, f"downgrade from {device_version} to {image_version} allowed by {who}"


def read_image_version(path: str) -> Optional[str]:
    """The FPGA version the .tbin at `path` records, None for a raw image or
    a header without one; ValueError for a value that is no version."""
    from .. import tbin

    if not str(path).lower().endswith(".tbin"):
        return None
    try:
        info = tbin.describe(path, digests=False)
    except OSError:
        return None  # the update's own checks say what cannot be read
    return tbin.image_version(info.get("header"))
