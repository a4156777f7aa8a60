"""Result records, response types and version values."""

import enum
import re

from .QVRPublic import RetCode

__all__ = ["RetCode", "RetType", "VER", "_RspType"]


class _RspType(enum.Enum):
    """How a device link collects the reply to a command."""

    RSP_LIST = 0
    RSP_STRING = 1


class RetType:
    """Result record: a status, a message and a payload, kept as given."""

    __slots__ = ("RetCode", "RetMsg", "RetData")

    def __init__(self, code=RetCode.OK, msg="", data=None):
        self.RetCode = code
        self.RetMsg = msg
        self.RetData = data

    def __repr__(self):
        return f"RetType({self.RetCode!r}, {self.RetMsg!r}, data={self.RetData!r})"


_VER_RE = re.compile(r"\d+(\.\d+){0,3}\Z", re.ASCII)


class VER:
    """A dotted version of one to four non-negative decimal components."""

    __slots__ = ("_text", "_key")

    def __init__(self, text):
        if not isinstance(text, str):
            raise ValueError(f"version must be text, not {type(text).__name__}")
        stripped = text.strip()
        if not _VER_RE.match(stripped):
            raise ValueError(f"invalid version: {text!r}")
        parts = [int(p) for p in stripped.split(".")]
        self._text = stripped
        self._key = tuple(parts + [0] * (4 - len(parts)))

    def __str__(self):
        return self._text

    def __repr__(self):
        return f"VER({self._text!r})"

    def __hash__(self):
        return hash(self._key)

    def _cmp(self, other):
        if not isinstance(other, VER):
            return NotImplemented
        return other._key

    def __eq__(self, other):
        k = self._cmp(other)
        return k if k is NotImplemented else self._key == k

    def __lt__(self, other):
        k = self._cmp(other)
        return k if k is NotImplemented else self._key < k

    def __le__(self, other):
        k = self._cmp(other)
        return k if k is NotImplemented else self._key <= k

    def __gt__(self, other):
        k = self._cmp(other)
        return k if k is NotImplemented else self._key > k

    def __ge__(self, other):
        k = self._cmp(other)
        return k if k is NotImplemented else self._key >= k
