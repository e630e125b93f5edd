"""Files replaced atomically, and durably unless the caller opts out.

The kernel resolves the path: the destination's directory is opened by its
path walk and every later step acts relative to that descriptor, so its
rules for following links (``fs.protected_symlinks``) hold for these writes
as for ``open()``. A symlink at the end is followed by the kernel too, and
its target is replaced where it lies; the link stays.

What is written goes to a new file in the destination's directory: an
unnamed one (``O_TMPFILE``) where the file system has them, so that a
process killed half-way leaves nothing behind, else a hidden named one. It
takes the old file's mode (and owner, where permitted), is synced when
durable, linked under a temporary name (a link never replaces a name) and
renamed over the destination, and the directory is synced. A failed write
leaves the old file as it was. A FIFO, device, tty or socket behind the path
has no such replace and is written into.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import io
import itertools
import os
import secrets
import stat
import threading
from collections.abc import Callable
from typing import IO, Any

from . import write_behind

__all__ = ["write_to_path", "write_descriptor_to_path"]

_PROC_FD = "/proc/self/fd"
_HAS_PROC = os.path.isdir(_PROC_FD)
# Unnamed temporaries are linked through /proc; without it they cannot be.
UNNAMED_TEMPORARIES = hasattr(os, "O_TMPFILE") and _HAS_PROC
_NO_TMPFILE = (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL)  # the file system (or kernel) has none
_TEMPORARY_TAG = secrets.token_hex(4)
_temporary_numbers = itertools.count()
# Files replaced from this size on have their page cache freed first (see _release_cache_of).
_LARGE_FILE = 32 << 20
_POSIX_FADV_DONTNEED = getattr(os, "POSIX_FADV_DONTNEED", None)


def write_to_path(path: str, write: Callable[[IO[bytes]], None], *, durable: bool = True) -> None:
    """Runs ``write`` on the binary file that becomes ``path``'s content, as
    :func:`write_descriptor_to_path` does with a descriptor. A writer that
    turns its file's OSError into another exception (torch.save raises
    RuntimeError on a full disk) is reported with the OSError."""
    def write_handle(descriptor: int) -> None:
        raw = _FailureKeepingFile(descriptor, "w", closefd=False)
        with io.BufferedWriter(raw) as handle:
            try:
                write(handle)
            except Exception as error:
                if raw.failure is not None and not isinstance(error, OSError):
                    raise raw.failure from error
                raise

    write_descriptor_to_path(path, write_handle, durable=durable)


class _FailureKeepingFile(io.FileIO):
    """A descriptor's file that remembers the first OSError of a write."""

    failure: OSError | None = None

    def write(self, data: bytes) -> int | None:  # type: ignore[override]
        try:
            return super().write(data)
        except OSError as error:
            self.failure = self.failure or error
            raise


def write_descriptor_to_path(path: str, write: Callable[[int], None], *, durable: bool = True) -> None:
    """Runs ``write`` on the descriptor of the file that becomes ``path``'s
    content: a new file renamed over a regular file (or none) once ``write``
    returns, so that on any error the old file is untouched and the new one
    gone; a FIFO, device, tty or socket itself. With ``durable`` the new file
    is synced before the rename and the directory after. Errors name
    ``path``."""
    try:
        directory = _open_directory(os.path.dirname(path) or ".")
        try:
            _write_at(directory, os.path.basename(path), path, write, durable)
        finally:
            os.close(directory)
    except OSError as error:
        error.filename = path  # the file the caller named, never a temporary
        del error.filename2
        raise


def _write_at(directory: int, name: str, path: str, write: Callable[[int], None], durable: bool) -> None:
    try:
        status = os.stat(name, dir_fd=directory, follow_symlinks=False)
    except FileNotFoundError:
        _replace(directory, name, None, write, durable)
        return
    if stat.S_ISLNK(status.st_mode):
        _write_through_link(directory, name, path, write, durable)
    elif stat.S_ISREG(status.st_mode):
        _replace(directory, name, status, write, durable)
    else:
        entry = os.open(name, os.O_PATH | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=directory)
        try:
            _write_into(entry, directory, name, write)
        finally:
            os.close(entry)


def _write_through_link(directory: int, name: str, path: str, write: Callable[[int], None], durable: bool) -> None:
    """Replaces the file a symlink leads to, found by the kernel; a dangling
    link's target is created by the kernel, as ``open()`` would, and removed
    again when the write fails."""
    created = False
    try:
        target = os.open(name, os.O_PATH | os.O_CLOEXEC, dir_fd=directory)
    except FileNotFoundError:
        target = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_NOCTTY | os.O_CLOEXEC, 0o666, dir_fd=directory)
        created = True
    try:
        status = os.fstat(target)
        if not stat.S_ISREG(status.st_mode):
            _write_into(target, directory, name, write)
            return
        there, name_there = _place_of(target, status, path)
        try:
            _replace(there, name_there, status, write, durable)
        except BaseException:
            if created:
                with contextlib.suppress(OSError):
                    os.unlink(name_there, dir_fd=there)
            raise
        finally:
            os.close(there)
    finally:
        os.close(target)


def _place_of(target: int, status: os.stat_result, path: str) -> tuple[int, str]:
    """The directory (a descriptor) and the name of the file the kernel
    opened as `target`, checked to be that very file."""
    where = os.readlink(f"{_PROC_FD}/{target}") if _HAS_PROC else os.path.realpath(path)
    directory = _open_directory(os.path.dirname(where))
    try:
        found = os.stat(os.path.basename(where), dir_fd=directory, follow_symlinks=False)
        if (found.st_dev, found.st_ino) != (status.st_dev, status.st_ino):
            raise FileNotFoundError(errno.ENOENT, "the link's target moved while it was replaced")
    except BaseException:
        os.close(directory)
        raise
    return directory, os.path.basename(where)


def _write_into(found: int, directory: int, name: str, write: Callable[[int], None]) -> None:
    """Writes into the FIFO, device, tty or socket that `found` (an O_PATH
    descriptor) is. A socket cannot be opened by name: a descriptor of this
    process's own for it (``/dev/stdout`` as a socket) is written to."""
    flags = os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC
    try:
        descriptor = os.open(f"{_PROC_FD}/{found}", flags) if _HAS_PROC else os.open(name, flags, dir_fd=directory)
    except OSError as error:
        own = _own_descriptor(os.fstat(found)) if error.errno == errno.ENXIO and _HAS_PROC else None
        if own is None:
            raise
        descriptor = own
    try:
        write(descriptor)
    finally:
        os.close(descriptor)


def _own_descriptor(status: os.stat_result) -> int | None:
    """A new descriptor for one of the process's descriptors open for writing on `status`'s file."""
    for entry in os.listdir(_PROC_FD):
        with contextlib.suppress(OSError, ValueError):
            descriptor = int(entry)
            mine = os.fstat(descriptor)
            if (mine.st_dev, mine.st_ino) == (status.st_dev, status.st_ino) and \
                    fcntl.fcntl(descriptor, fcntl.F_GETFL) & os.O_ACCMODE != os.O_RDONLY:
                return os.dup(descriptor)
    return None


def _replace(directory: int, name: str, old: os.stat_result | None, write: Callable[[int], None],
             durable: bool) -> None:
    """Runs ``write`` on a new file in `directory`, which takes `old`'s mode
    (and owner, where permitted), and puts it in place as `name`."""
    let_go = _release_cache_of(directory, name, old)
    try:
        _put_in_place(directory, name, old, write, durable)
    finally:
        if let_go is not None:
            let_go()


def _put_in_place(directory: int, name: str, old: os.stat_result | None, write: Callable[[int], None],
                  durable: bool) -> None:
    descriptor, temporary = _new_file(directory, name)
    try:
        try:
            if old is not None:
                _take_status(descriptor, old)
            # Write-back starts while the file is written: the sync then
            # finds most of it on disk.
            with write_behind.watching(descriptor, durable):
                write(descriptor)
            if durable:
                os.fdatasync(descriptor)
            if temporary is None:
                temporary = _link(descriptor, directory, name, new=old is None)
        finally:
            os.close(descriptor)
        if temporary is not None:
            if durable or not _exchange(directory, temporary, name):
                os.rename(temporary, name, src_dir_fd=directory, dst_dir_fd=directory)
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary, dir_fd=directory)
        raise
    if durable:
        _sync_directory(directory)


def _exchange(directory: int, temporary: str, name: str) -> bool:
    """Swaps `temporary` and `name` in one step and unlinks the old file,
    now under the temporary name; False where the kernel or file system
    cannot swap (or `name` went meanwhile), for a plain rename instead.

    A rename over a file makes ext4 write the new file out at once, as a
    guard for programs that never sync; a save that asked not to be durable
    would wait for the disk there (1.0 s against 0.3 s to a new path for
    838 MiB). A swap is no rename over a file: readers see the old file or
    the new one, never neither, and write-back runs when the kernel likes."""
    if _renameat2 is None:
        return False
    if _renameat2(directory, os.fsencode(temporary), directory, os.fsencode(name), _RENAME_EXCHANGE) != 0:
        return False
    with contextlib.suppress(FileNotFoundError):
        os.unlink(temporary, dir_fd=directory)
    return True


def _libc_renameat2() -> Any:
    try:
        import ctypes

        function = ctypes.CDLL(None, use_errno=True).renameat2
    except (ImportError, OSError, AttributeError):  # not Linux, an old glibc, or no ctypes
        return None
    function.argtypes = (ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint)
    return function


_renameat2 = _libc_renameat2()
_RENAME_EXCHANGE = 2


def _release_cache_of(directory: int, name: str, old: os.stat_result | None) -> Callable[[], None] | None:
    """Frees the page cache of a large file about to be replaced, holding
    it open until the replacement is in place; returns what lets it go then
    (or None).

    Its cached pages would stay until the rename, so the new file's pages
    would come from memory not touched for a while: on a virtual machine
    whose host takes back free memory that costs a fault per page on the
    host (writes ran at a tenth of their speed here). Freed first, they are
    reused at once. Pages that a process maps stay, readers of the old file
    read it from disk again. Dropping a gigabyte's cache takes 20-40 ms, on
    a thread while the first writes run. Holding the file keeps the rename
    from freeing its blocks in place: the last close frees them (and, on a
    file system mounted with ``discard``, trims them), a tenth of a second
    for a gigabyte, also on a thread of its own."""
    if old is None or old.st_size < _LARGE_FILE or _POSIX_FADV_DONTNEED is None:
        return None
    try:
        replaced = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=directory)
    except OSError:  # not readable by this process: it is replaced all the same
        return None
    try:
        status = os.fstat(replaced)
    except OSError:
        status = None
    if status is None or (status.st_dev, status.st_ino) != (old.st_dev, old.st_ino):
        os.close(replaced)
        return None
    dropping = threading.Thread(target=_drop_cache, args=(replaced,), name="vakra replaced-file cache", daemon=True)
    dropping.start()

    def close() -> None:
        dropping.join()
        os.close(replaced)

    return threading.Thread(target=close, name="vakra replaced-file close", daemon=True).start


def _drop_cache(descriptor: int) -> None:
    with contextlib.suppress(OSError):
        os.posix_fadvise(descriptor, 0, 0, _POSIX_FADV_DONTNEED)


def _new_file(directory: int, name: str) -> tuple[int, str | None]:
    """A new file in `directory`, created as open() would (mode 0o666 less
    the umask): unnamed where possible (no name: None), else a hidden one."""
    flags = os.O_WRONLY | os.O_CLOEXEC
    if UNNAMED_TEMPORARIES:
        try:
            return os.open(".", flags | os.O_TMPFILE, 0o666, dir_fd=directory), None
        except OSError as error:
            if error.errno not in _NO_TMPFILE:
                raise
    while True:
        temporary = _temporary_name(name)
        with contextlib.suppress(FileExistsError):
            return os.open(temporary, flags | os.O_CREAT | os.O_EXCL, 0o666, dir_fd=directory), temporary


def _link(descriptor: int, directory: int, name: str, new: bool) -> str | None:
    """Links the unnamed file into `directory`: as `name` itself when there
    was no file (None), else under a temporary name to rename over it."""
    source = f"{_PROC_FD}/{descriptor}"
    if new:
        with contextlib.suppress(FileExistsError):  # one made meanwhile is replaced as any other
            os.link(source, name, dst_dir_fd=directory, follow_symlinks=True)
            return None
    while True:
        temporary = _temporary_name(name)
        with contextlib.suppress(FileExistsError):
            os.link(source, temporary, dst_dir_fd=directory, follow_symlinks=True)
            return temporary


def _temporary_name(name: str) -> str:
    """Unique within the process; a clash with another process (a forked one
    shares the counter) is met by trying the next."""
    return f".{name}.{_TEMPORARY_TAG}{next(_temporary_numbers)}.tmp"


def _open_directory(path: str) -> int:
    """The directory at `path`, readable so that it can be synced; a
    directory one may write but not list is opened for lookups only."""
    try:
        return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except PermissionError:
        return os.open(path, os.O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)


def _sync_directory(directory: int) -> None:
    try:
        os.fsync(directory)
    except OSError as error:
        # Opened for lookups only, or a file system that syncs no directories.
        if error.errno not in (errno.EBADF, errno.EINVAL):
            raise


def _take_status(descriptor: int, old: os.stat_result) -> None:
    new = os.fstat(descriptor)
    if (new.st_uid, new.st_gid) != (old.st_uid, old.st_gid):
        with contextlib.suppress(PermissionError):  # only root gives a file to another owner
            os.fchown(descriptor, old.st_uid, old.st_gid)
        new = os.fstat(descriptor)  # fchown may have cleared set-id bits
    if new.st_mode != old.st_mode:
        os.fchmod(descriptor, stat.S_IMODE(old.st_mode))
