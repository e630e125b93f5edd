"""Files replaced atomically: what is written goes to a new file beside the
old one, which then takes the old file's mode (and owner, where permitted)
and is renamed over it, so a failed write leaves the old file as it was. A
FIFO or a device has no such replace and is written into."""

from __future__ import annotations

import contextlib
import itertools
import os
import secrets
import stat
from collections.abc import Callable
from typing import IO

__all__ = ["write_to_path", "write_descriptor_to_path"]

# Temporary files are named by a per-process tag and a counter.
_TEMPORARY_TAG = secrets.token_hex(4)
_temporary_numbers = itertools.count()


def write_to_path(path: str, write: Callable[[IO[bytes]], None]) -> None:
    """Runs ``write`` on the binary file that becomes ``path``'s content, as
    :func:`write_descriptor_to_path` does with a descriptor."""
    def write_handle(descriptor: int) -> None:
        with open(descriptor, "wb", closefd=False) as handle:
            write(handle)

    write_descriptor_to_path(path, write_handle)


def write_descriptor_to_path(path: str, write: Callable[[int], None]) -> None:
    """Runs ``write`` on the descriptor of the file that becomes ``path``'s
    content: a new file beside a regular file (or none), renamed over it once
    ``write`` returns, so that on any error the old file is untouched and the
    new one removed; a FIFO or a device itself. A symlink's target is written,
    the link stays. Errors name ``path``."""
    try:
        target, old = _destination(path)
        if old is not None and not stat.S_ISREG(old.st_mode):
            # A FIFO or a device has no atomic replace: the packet goes into it.
            descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
            try:
                write(descriptor)
            finally:
                os.close(descriptor)
        else:
            _replace_file(target, old, write)
    except OSError as error:
        error.filename = path  # the file the caller named, never a temporary
        del error.filename2
        raise


def _destination(path: str) -> tuple[str, os.stat_result | None]:
    """The file that `path` names, through a symlink at its end (only that
    one matters: a new file beside the target replaces it), and its status
    (None when there is none yet)."""
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        return path, None
    if not stat.S_ISLNK(status.st_mode):
        return path, status
    target = os.path.realpath(path)
    try:
        return target, os.stat(target)
    except FileNotFoundError:
        return target, None


def _replace_file(path: str, old: os.stat_result | None, write: Callable[[int], None]) -> None:
    """Runs ``write`` on a new file beside `path` and renames it over `path`,
    whose mode (and owner, where permitted) it takes first. The system calls:
    open, fstat (fchown and fchmod only where they change something), the
    writes, close, rename."""
    directory, name = os.path.split(path)
    temporary, descriptor = _new_temporary(directory, name)
    try:
        try:
            if old is not None:
                _take_status(descriptor, old)
            write(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _new_temporary(directory: str, name: str) -> tuple[str, int]:
    """A new file beside `name`, created as open() would (mode 0o666 less the
    umask); its name is unique within the process, and a clash with another
    process (a forked one shares the counter) picks a random one."""
    temporary = os.path.join(directory, f".{name}.{_TEMPORARY_TAG}{next(_temporary_numbers)}.tmp")
    while True:
        try:
            return temporary, os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            temporary = os.path.join(directory, f".{name}.{secrets.token_hex(8)}.tmp")


def _take_status(descriptor: int, old: os.stat_result) -> None:
    new = os.fstat(descriptor)
    if (new.st_uid, new.st_gid) != (old.st_uid, old.st_gid):
        with contextlib.suppress(PermissionError):  # only root gives a file to another owner
            os.fchown(descriptor, old.st_uid, old.st_gid)
        new = os.fstat(descriptor)  # fchown may have cleared set-id bits
    if new.st_mode != old.st_mode:
        os.fchmod(descriptor, stat.S_IMODE(old.st_mode))
