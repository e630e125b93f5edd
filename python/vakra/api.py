"""The public functions dumps, loads, dump, dump_into and info (``load``
and the socket functions live in ``streams``).

They follow ``pickle`` and ``json``: ``dumps``/``loads`` work on bytes,
``dump`` on a path or a binary file object. Every encoder is one call of
the extension's native walk (``vakra._native``), which sizes and writes any
accepted value in one pass; ``_encoding.convert`` handles the values it does
not take as they are.
"""

from __future__ import annotations

import contextlib
import errno
import io
import itertools
import os
import secrets
import stat
from collections.abc import Callable
from typing import IO, TYPE_CHECKING, Any, Union


from . import _native
from ._encoding import convert
from .frames import loads_frames

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

__all__ = ["dumps", "loads", "dump", "dump_into", "info"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_loads = _native.loads
_walk = _native.walk
_encode = _native.encode
_encode_into = _native.encode_into
_encode_to_fd = _native.encode_to_fd
_encode_segments = _native.encode_segments
# Temporary files of dump(path) are named by a per-process tag and a counter.
_TEMPORARY_TAG = secrets.token_hex(4)
_temporary_numbers = itertools.count()


def dumps(obj: Any, *, check_integrity: bool = False, compress: bool = False, alignment: int = 64) -> bytes:
    """Encode ``obj`` as one packet and return it.

    ``obj`` is a NumPy array, a torch tensor or other CPU array exporting
    DLPack or the array interface, a SciPy sparse matrix or array (coo, csr,
    csc), a ``StringTensor``, a ``QuantizedTensor``, a list of ``str`` or
    ``bytes`` (stored as a string tensor) or a dict (or dict subclass) with
    ``str`` keys whose values are any of these, nested dicts included. The
    options apply to every value at any depth: ``check_integrity`` appends an
    XXH3-64 checksum to array, string and quantized bodies; ``compress``
    stores array bodies as LZ4 frames; ``alignment`` (a power of two, at most
    65536) places array and quantized bodies at that multiple from the
    packet's first byte. Sparse components always use the defaults.

    Arrays in another byte order are stored in native (little-endian) order
    and non-contiguous arrays as C-ordered copies; NumPy scalars become 0-d
    arrays. The flags take any truthy or falsy value.

    Raises ``TypeError`` for values of other types (and non-``str`` keys),
    ``ValueError`` for unsupported dtypes, tensors off the CPU, an alignment
    that is no power of two or above 65536 ("Alignment must be a power of
    two no larger than 65536"), dicts of more than 255 entries, nested more
    than 64 levels or holding themselves, and the limits of the format (32
    dimensions, 10^9 elements).
    """
    return _encode(obj, bool(check_integrity), bool(compress), alignment, convert)


def loads(data: ReadableBuffer, *, writable: bool = False) -> Any:
    """Decode the packet at the start of ``data`` (``bytes``, ``bytearray``,
    ``memoryview``, ``mmap``, a uint8 NumPy array: any buffer of bytes).
    Bytes after the packet are ignored, whatever its kind.

    Uncompressed arrays, at any depth, are read-only views into ``data``
    (which they keep alive); compressed arrays, strings and quantized tensors
    are copies. With ``writable=True`` arrays are writable instead: views
    where ``data`` is writable memory (``bytearray``, writable ``memoryview``,
    shared memory; writes go through to it), copies where it is read-only.
    Bundles come back as dicts, sparse packets as SciPy
    ``coo_matrix``/``csr_matrix``/``csc_matrix``. Ragged and inline packets,
    which only other writers produce, give None (as does a dict holding one).

    Raises ``ValueError`` with the codec's message for damaged or truncated
    packets ("Packet too short", "Invalid vakra packet",
    "Integrity check failed: XXH3 mismatch", ...), ``TypeError`` or
    ``BufferError`` when ``data`` is not a buffer of bytes, and
    ``ImportError`` for a sparse packet without SciPy installed.
    """
    if writable:
        return loads_frames((data,), writable=True)
    return _loads(data)


def dump(obj: Any, file: PathLike | IO[bytes], *, check_integrity: bool = False, compress: bool = False,
         alignment: int = 64) -> None:
    """Write ``obj`` as one packet to ``file``, a path or a binary file object.

    A path to a regular file is replaced atomically: the packet goes to a new
    file beside it, which then takes the old file's mode (and owner, where
    permitted) and is renamed over it, so a failed dump leaves the old file as
    it was and processes that have the old file mapped (``load``) keep reading
    intact data. A symlink's target is replaced, the link stays; an existing
    FIFO or device is written into. A file object receives the packet at its
    current position.
    Going to a real file or pipe, the packet is written straight to the
    descriptor with bodies taken from the values' own memory, never built as
    ``bytes`` (the file object is flushed before, so earlier writes keep
    their order); other file objects receive it in pieces through ``write``.
    With ``check_integrity`` each body is copied first and hashed as copied,
    so the file always matches its checksums; unchecked bodies are written
    from the arrays' memory as it is then and may tear if another thread
    writes an array meanwhile. Options and errors are those of
    :func:`dumps`, plus ``OSError`` from the file system (naming the path
    given), and whatever a signal handler raises while a write blocks (with
    a note of the bytes written).
    """
    options = (bool(check_integrity), bool(compress), alignment, convert)
    if isinstance(file, (str, bytes, os.PathLike)):
        _dump_to_path(obj, os.fsdecode(file), options)
    else:
        _dump_to_handle(obj, file, options)


def dump_into(obj: Any, buffer: WriteableBuffer, *, check_integrity: bool = False, compress: bool = False,
              alignment: int = 64) -> int:
    """Write ``obj`` as one packet at the start of ``buffer`` (a ``bytearray``,
    writable ``mmap``, shared-memory buffer, uint8 NumPy array, ...) and return
    its length. Bytes after the packet are left as they were.

    Every value is encoded straight into ``buffer``. Raises ``ValueError``
    "Buffer is read-only" or "Buffer too small" (the buffer is then
    unchanged), and the errors of :func:`dumps`.
    """
    return _encode_into(obj, buffer, bool(check_integrity), bool(compress), alignment, convert)


def info(data: ReadableBuffer | str | os.PathLike) -> dict[str, Any]:
    """Describe the packet at the start of ``data`` without decoding any body.

    ``data`` is a buffer of bytes, or a path (``str`` or ``os.PathLike``;
    ``bytes`` are the packet itself): the file's first packet is described
    from its headers alone, as ``vakra info FILE`` reads them (a regular file
    is mapped and only the pages holding headers are read; a pipe or device
    is read one bounded packet).

    The dict starts with the header facts: ``version``, ``flags``,
    ``dtype_code``, ``ndim``, ``aligned``, ``integrity_protected``, (for
    bundles ``entry_count``), ``shape`` and ``total_elements``. Then:
    ``kind`` ("dense", "bundle", "sparse", "string", "quantized", "ragged" or
    "inline"), ``dtype`` (its name, or None), ``offset`` (where the packet
    starts, counted from ``data[0]``: 0, or a nested packet's place),
    ``size`` (the packet's exact length; bytes after it are not looked at),
    ``body_size`` (stored body bytes, None for containers), kind details
    (``compressed``; ``format``; ``count``; ``quant_scheme``, ``axis``,
    ``group_size``, ``scale_count``) and, for bundles and sparse packets,
    ``entries`` or ``components``: the same dict for every nested packet.

    Checksums are not verified (use :func:`loads`). Raises ``ValueError``
    with the codec's message when the header or framing is damaged or
    truncated, and for a path ``OSError`` and the errors of :func:`vakra.load`.
    """
    if isinstance(data, (str, os.PathLike)):
        from .streams import file_info  # streams builds on this module

        return file_info(data)
    return _walk(data)


def _dump_to_path(obj: Any, path: str, options: tuple) -> None:
    write_descriptor_to_path(path, lambda descriptor: _encode_to_fd(obj, descriptor, *options))


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


def _dump_to_handle(obj: Any, handle: IO[bytes], options: tuple) -> None:
    if isinstance(handle, io.TextIOBase):
        raise TypeError("file must be opened in binary mode ('wb'), not text mode")
    descriptor = file_descriptor(handle)
    if descriptor is not None:
        handle.flush()
        _encode_to_fd(obj, descriptor, *options)
        return
    for segment in _encode_segments(obj, *options):
        _write_all(handle, segment)


def file_descriptor(handle: IO[bytes]) -> int | None:
    """The descriptor behind a plain binary file, or None.

    Only objects whose bytes go to the descriptor unchanged qualify: wrappers
    such as ``gzip.GzipFile`` also report a descriptor, but transform what is
    written through them.
    """
    buffered = (io.BufferedReader, io.BufferedWriter, io.BufferedRandom)
    raw = handle.raw if isinstance(handle, buffered) else handle
    if not isinstance(raw, io.FileIO):
        return None
    return handle.fileno()


def _write_all(handle: IO[bytes], data: bytes | memoryview) -> None:
    remaining = memoryview(data)
    while remaining:
        written = handle.write(remaining)
        if written is None:
            # A raw stream returns None when it would block: nothing was
            # written. Other writers that report nothing (as pickle allows)
            # are taken to have written everything.
            if isinstance(handle, io.RawIOBase):
                raise BlockingIOError(errno.EAGAIN, "the file object would block; the packet was not fully written")
            return
        if written >= len(remaining):
            return
        if written <= 0:
            raise OSError(errno.EIO, f"the file object accepted no bytes with {len(remaining)} of the packet left")
        remaining = remaining[written:]
