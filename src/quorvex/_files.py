"""Files named by people, opened on the Python side: the one place that opens
them. A FIFO, a device node or a directory given where a file belongs is
refused at once, naming the path, instead of waiting for a writer that never
comes; a size bound, where given, is held both by the size the file claims
and by the bytes actually read (a file may grow while it is read)."""

from __future__ import annotations

import os
import stat
from typing import BinaryIO, Optional

__all__ = ["NotRegularFile", "FileTooLarge", "open_regular", "read_regular"]


class NotRegularFile(OSError):
    """A path that names something other than a regular file."""


class FileTooLarge(OSError):
    """A file larger than the bound its reader sets."""


_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket"))


def _kind(mode: int) -> str:
    return next((name for test, name in _KINDS if test(mode)), "not a regular file")


def too_large(path: str | os.PathLike[str], limit: int) -> FileTooLarge:
    return FileTooLarge(f"{os.fsdecode(path)}: larger than {limit} bytes")


def open_regular(path: str | os.PathLike[str], *, limit: Optional[int] = None) -> BinaryIO:
    """`path` opened for binary reading, without blocking on the open:
    NotRegularFile (an OSError) for anything but a regular file, FileTooLarge
    when `limit` is given and the file is larger; other OSErrors as the
    system reports them. The caller closes it (a `with` block)."""
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOCTTY", 0)
    fd = os.open(path, flags)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise NotRegularFile(f"{os.fsdecode(path)}: {_kind(st.st_mode)}, not a regular file")
        if limit is not None and st.st_size > limit:
            raise too_large(path, limit)
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def read_regular(path: str | os.PathLike[str], limit: int) -> bytes:
    """The whole content of a regular file of at most `limit` bytes (see
    open_regular); FileTooLarge when it holds more, even if it grew while
    being read."""
    with open_regular(path, limit=limit) as f:
        data = f.read(limit + 1)
    if len(data) > limit:
        raise too_large(path, limit)
    return data
