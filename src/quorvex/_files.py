"""Files named by people, opened on the Python side: the one place that opens
them. A FIFO, a device node or a directory given where a file belongs is
refused at once, naming the path, instead of waiting for a writer that never
comes; a size bound, where given, is held both by the size the file claims
and by the bytes actually read (a file may grow while it is read)."""

from __future__ import annotations

import os
import stat
from typing import BinaryIO, Optional

__all__ = ["NotRegularFile", "FileTooLarge", "open_regular", "read_regular", "write_atomically",
           "write_new"]


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


def write_atomically(path: str | os.PathLike[str], data: bytes, *, mode: int = 0o644) -> None:
    """`data` in `path`, whole or not at all. A regular file (or none yet) is
    written to a temporary file beside it, flushed to the disk, then renamed
    over it; a symbolic link is followed, so its target is what gets
    replaced. A FIFO or a character device (/dev/stdout, /dev/null, a pipe
    to a reader) is written in place, as a shell redirection would: renaming
    over it would destroy the node. Anything else (a directory, a block
    device, a socket) is refused with NotRegularFile. OSError when it cannot
    be written (the temporary file is removed)."""
    path = os.path.realpath(os.fspath(path))
    try:
        st: Optional[os.stat_result] = os.lstat(path)
    except FileNotFoundError:
        st = None
    if st is not None and not stat.S_ISREG(st.st_mode):
        if stat.S_ISFIFO(st.st_mode) or stat.S_ISCHR(st.st_mode):
            _write_in_place(path, data)
            return
        raise NotRegularFile(f"{path}: {_kind(st.st_mode)}, not a regular file")
    _replace(path, data, mode)


def _write_in_place(path: str, data: bytes) -> None:
    # Non-blocking open: a FIFO with no reader fails at once (ENXIO) rather
    # than waiting for one that may never come.
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0)
                 | getattr(os, "O_NOCTTY", 0))
    try:
        os.set_blocking(fd, True)
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    finally:
        os.close(fd)


def write_new(path: str | os.PathLike[str], data: bytes, *, mode: int = 0o644) -> None:
    """`data` in a new file `path`, whole or not at all, and never over an
    existing one (FileExistsError): written beside it, flushed to the disk,
    then linked into place. OSError when it cannot be written."""
    path = os.path.abspath(os.fspath(path))
    temp = _written_beside(path, data, mode)
    try:
        os.link(temp, path)  # fails, rather than replaces, when `path` exists
    finally:
        os.unlink(temp)
    _sync_folder(os.path.dirname(path))


def _written_beside(path: str, data: bytes, mode: int) -> str:
    """A temporary file beside `path` holding `data` on the disk, with `mode`."""
    import tempfile

    fd, temp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp",
                                dir=os.path.dirname(path))
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, mode)  # mkstemp made it 0600
    except BaseException:
        os.unlink(temp)
        raise
    return temp


def _replace(path: str, data: bytes, mode: int) -> None:
    temp = _written_beside(path, data, mode)
    try:
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    _sync_folder(os.path.dirname(path))


def _sync_folder(folder: str) -> None:
    try:
        dfd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(dfd)
    except OSError:
        pass
    finally:
        os.close(dfd)
