"""Inventories: the devices of a run, read from a .csv or a .toml file and
checked whole before anything connects."""

from __future__ import annotations

import os
from collections.abc import Sequence

from ._model import Device

__all__ = ["InventoryError", "load_inventory", "check_duplicates"]


class InventoryError(ValueError):
    """A bad inventory: the message names the file, the line and the value."""


def load_inventory(path: str | os.PathLike[str]) -> list[Device]:
    """The devices of a .csv (header row; columns address, port, name, serial,
    fpga_id, device_type; only address required) or .toml ([[device]] tables
    with the same keys) inventory. InventoryError for a bad row or a device
    listed twice."""
    raise NotImplementedError


def check_duplicates(devices: Sequence[Device]) -> None:
    """InventoryError (a ValueError) when two entries reach one device: the
    same host and port, compared by resolved address (an IPv4-mapped IPv6
    address is the IPv4 address)."""
    raise NotImplementedError
