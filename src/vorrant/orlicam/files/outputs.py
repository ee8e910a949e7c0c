"""Output files that never destroy data by surprise.

An output is a regular file: a FIFO would hang the writer, a device or a folder is no
place for frames. An existing file is replaced only when the caller says so. A file
that disappears or is replaced while it is written is reported, not written on blindly.
Every failure names the file.
"""
from __future__ import annotations

import errno
import fcntl
import os
import stat
from pathlib import Path

from .templates import check_name

__all__ = ["OutputFile", "check_output", "write_new"]

_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _kind(mode: int) -> str | None:
    """What a file of this mode is when it is no regular file; None for a regular file."""
    for test, name in _KINDS:
        if test(mode):
            return name
    return None if stat.S_ISREG(mode) else "not a regular file"


def _cannot(path: str | os.PathLike[str], why: str) -> str:
    return f"cannot write {str(path)!r}: {why}"


def check_output(path: str | os.PathLike[str], overwrite: bool = False, hint: str = "overwrite=True") -> Path:
    """The path, once a new regular file can be made there, or an existing regular file
    may be replaced (`overwrite`). Nothing is created. `hint` is how the caller asks to
    replace a file, for the error message."""
    target = Path(check_name(os.fspath(path), "the output name"))
    folder = target.parent
    try:
        folder_mode = os.stat(folder).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(_cannot(target, f"folder {str(folder)!r} does not exist")) from None
    except NotADirectoryError:
        raise NotADirectoryError(_cannot(target, f"a part of {str(folder)!r} is not a folder")) from None
    if not stat.S_ISDIR(folder_mode):
        raise NotADirectoryError(_cannot(target, f"{str(folder)!r} is not a folder"))
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None:
        kind = _kind(mode)
        if kind == "a folder":
            raise IsADirectoryError(_cannot(target, "it is a folder"))
        if kind is not None:
            raise OSError(_cannot(target, f"it is {kind}, not a regular file"))
        if not overwrite:
            raise FileExistsError(_cannot(target, f"it exists ({hint} replaces it)"))
    # Tried, not inferred from permission bits (root, read-only mounts, sysfs); a file
    # made for the trial is removed again.
    try:
        fd = os.open(target, os.O_WRONLY | os.O_CLOEXEC | os.O_NONBLOCK | (0 if mode is not None else
                                                                          os.O_CREAT | os.O_EXCL), 0o666)
    except OSError as error:
        raise OSError(_cannot(target, error.strerror or str(error))) from None
    os.close(fd)
    if mode is None:
        os.unlink(target)
    return target


class OutputFile:
    """A file opened for writing frames: created new (or replacing a regular file when
    `overwrite`), refused when it is anything but a regular file, without blocking on a
    FIFO. Writes go straight to the file: no buffer holds frames back to fail later."""

    __slots__ = ("path", "fd", "_identity")

    def __init__(self, path: str | os.PathLike[str], overwrite: bool = False) -> None:
        self.path = os.fspath(path)
        check_name(self.path, "the output name")
        flags = os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC | os.O_NONBLOCK | (0 if overwrite else os.O_EXCL)
        try:
            fd = os.open(path, flags, 0o666)
        except OSError as error:
            if error.errno == errno.EEXIST:
                raise FileExistsError(errno.EEXIST, "the file exists (overwrite=True replaces it)", self.path) from None
            if error.errno == errno.ENXIO:   # a FIFO without a reader
                raise OSError(errno.ENXIO, "it is a FIFO, not a regular file", self.path) from None
            raise self.failed(error) from None
        try:
            info = os.fstat(fd)
            kind = _kind(info.st_mode)
            if kind is not None:
                raise OSError(errno.EINVAL, f"it is {kind}, not a regular file", self.path)
            os.ftruncate(fd, 0)
            fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) & ~os.O_NONBLOCK)
        except BaseException:
            os.close(fd)
            raise
        self.fd: int | None = fd
        self._identity = (info.st_dev, info.st_ino)

    def failed(self, error: OSError) -> OSError:
        """The error again, naming this file (the bare errno message does not say which)."""
        if error.filename is not None or error.errno is None:
            return error
        return OSError(error.errno, error.strerror, self.path)

    def _fd(self) -> int:
        if self.fd is None:
            raise ValueError(f"{self.path!r} is closed")
        return self.fd

    def verify(self) -> None:
        """Raises when the path no longer leads to the file being written: whatever is
        written now would be lost, or land in a file someone else put there."""
        try:
            info = os.stat(self.path)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, "the file was removed while it was being written",
                                    self.path) from None
        except OSError as error:
            raise self.failed(error) from None
        if (info.st_dev, info.st_ino) != self._identity:
            raise OSError(errno.ESTALE, "the file was replaced while it was being written", self.path)

    def write_at(self, data: bytes | memoryview, offset: int) -> None:
        view = memoryview(data).cast("B")
        fd = self._fd()
        try:
            while view:
                done = os.pwrite(fd, view, offset)
                view, offset = view[done:], offset + done
        except OSError as error:
            raise self.failed(error) from None

    def truncate(self, size: int) -> None:
        try:
            os.ftruncate(self._fd(), size)
        except OSError as error:
            raise self.failed(error) from None

    def close(self) -> None:
        fd, self.fd = self.fd, None
        if fd is not None:
            os.close(fd)

    def discard(self) -> None:
        """Closes and removes the file, when the path still leads to it."""
        self.close()
        try:
            info = os.stat(self.path)
        except OSError:
            return
        if (info.st_dev, info.st_ino) == self._identity:
            os.unlink(self.path)


def write_new(path: str | os.PathLike[str], data: bytes | memoryview, overwrite: bool = False) -> None:
    """Writes a whole file at once; a failed write leaves no partial file behind."""
    out = OutputFile(path, overwrite)
    try:
        out.write_at(data, 0)
    except BaseException:
        out.discard()
        raise
    out.close()
