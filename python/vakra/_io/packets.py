"""The public functions dumps, loads, dump and dump_into (``load``, ``info``
and the socket functions live in ``streams``).

They follow ``pickle`` and ``json``: ``dumps``/``loads`` work on bytes,
``dump`` on a path or a binary file object. Every encoder is one call of
the extension's native walk (``vakra._native``), which sizes and writes any
accepted value in one pass; ``_encoding.convert`` handles the values it does
not take as they are.
"""

from __future__ import annotations

import errno
import io
import os
from typing import IO, TYPE_CHECKING, Any

from .. import _native
from .._encoding import convert
from .._model.tree_packet import encoded, tree_of
from .atomic_write import write_descriptor_to_path
from .file_objects import PathLike, file_descriptor
from .frames import decode_frames

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, WriteableBuffer

__all__ = ["dumps", "loads", "dump", "dump_into", "decode"]

_loads = _native.loads
_walk = _native.walk
_encode = _native.encode
_encode_into = _native.encode_into
_encode_to_fd = _native.encode_to_fd
_encode_segments = _native.encode_segments


def dumps(obj: Any, *, check_integrity: bool = False, compress: bool = False, alignment: int = 64) -> bytes:
    """Encode ``obj`` as one packet and return it.

    Parameters
    ----------
    obj : array_like, sparse matrix, StringTensor, QuantizedTensor, list, dict or checkpoint tree
        A NumPy array, a torch tensor or other CPU array exporting DLPack or
        the array interface, a SciPy sparse matrix or array (:class:`~scipy.sparse.coo_matrix`,
        :class:`~scipy.sparse.csr_matrix`, :class:`~scipy.sparse.csc_matrix` and their arrays), a
        :class:`StringTensor`, a :class:`~vakra.quantize.QuantizedTensor`, a
        list of ``str`` or ``bytes`` (stored as a string tensor), or a dict (or
        dict subclass) with ``str`` keys whose values are any of these, nested
        dicts included (encoded as a bundle, exactly as ever). Any other
        checkpoint tree (dicts with ``str`` or ``int`` keys of any size, lists,
        tuples, Python and NumPy scalars and tensors at any depth, a bare
        scalar included) travels as a bundle of its tensors and its skeleton
        and comes back from every reader of packets as the tree. Arrays in
        another byte order are stored in native (little-endian) order,
        non-contiguous arrays as C-ordered copies. The options apply to every
        value at any depth; sparse components always use the defaults.
    check_integrity : bool, default False
        Append an XXH3-64 checksum to every array, string and quantized body,
        verified by every decode.
    compress : bool, default False
        Store array bodies as LZ4 frames.
    alignment : int, default 64
        Place array and quantized bodies at a multiple of this many bytes from
        the packet's first byte: a power of two, at most 65536.

        The options apply to every value at any depth; sparse components always
        use the defaults. The flags take any truthy or falsy value.

    Returns
    -------
    bytes
        The packet.

    Raises
    ------
    TypeError
        For values of other types; in a tree the message names the value's
        path and the kinds a tree holds.
    ValueError
        For unsupported dtypes, tensors off the CPU, an alignment that is no
        power of two or above 65536 ("Alignment must be a power of two no
        larger than 65536"), a tree holding itself or nested more than 200
        levels, and the limits of the format (32 dimensions, 10^9 elements).

    See Also
    --------
    loads : the value back.
    dump : to a file.
    dump_into : into a buffer of the caller's.

    Examples
    --------
    >>> packet = vakra.dumps({"weights": np.ones((2, 3), np.float32), "labels": ["cat", "dog"]})
    >>> packet[:4]
    b'VKRA'
    >>> len(vakra.dumps(np.arange(3, dtype=np.int32)))
    76
    """
    return encoded(_encode, obj, bool(check_integrity), bool(compress), alignment, convert)


def loads(data: ReadableBuffer, *, writable: bool = False) -> Any:
    """Decode the packet at the start of ``data``.

    Bytes after the packet are ignored, whatever its kind. Uncompressed arrays,
    at any depth, are read-only views into ``data`` (which they keep alive);
    compressed arrays, strings and quantized tensors are copies. Bundles come
    back as dicts (a checkpoint tree's bundle as the tree it carries, see
    :func:`dumps`), sparse packets as SciPy :class:`~scipy.sparse.coo_matrix`,
    :class:`~scipy.sparse.csr_matrix` or :class:`~scipy.sparse.csc_matrix`. Ragged and inline packets, which only other writers
    produce, give None (as does a dict holding one).

    Parameters
    ----------
    data : bytes-like
        Any buffer of bytes: ``bytes``, ``bytearray``, ``memoryview``, ``mmap``,
        a uint8 NumPy array.
    writable : bool, default False
        Return writable arrays: views where ``data`` is writable memory
        (``bytearray``, writable ``memoryview``, shared memory; writes go
        through to it), copies where it is read-only.

    Returns
    -------
    object
        The value: an array, dict, sparse matrix, :class:`StringTensor` or
        :class:`~vakra.quantize.QuantizedTensor`.

    Raises
    ------
    ValueError
        With the codec's message for damaged or truncated packets ("Packet too
        short", "Invalid vakra packet", "Integrity check failed: XXH3
        mismatch", ...); in a dict, a note names the damaged entry.
    TypeError, BufferError
        When ``data`` is not a buffer of bytes.
    ImportError
        For a sparse packet without SciPy installed, or bfloat16, float8 and
        float4 without ml_dtypes.

    See Also
    --------
    dumps : the packet of a value.
    info : a packet described without decoding it.

    Examples
    --------
    >>> packet = vakra.dumps({"x": np.arange(4.0)})
    >>> x = vakra.loads(packet)["x"]
    >>> x, x.flags.writeable
    (array([0., 1., 2., 3.]), False)
    >>> vakra.loads(bytearray(packet), writable=True)["x"].flags.writeable
    True
    """
    return tree_of(decode(data, writable))


def decode(data: ReadableBuffer, writable: bool = False) -> Any:
    """The value of the packet in ``data`` as the codec decodes it, a tree's
    bundle as the bundle it is: :func:`loads` without rebuilding trees."""
    try:
        if writable:
            return decode_frames((data,), True)
        return _loads(data)
    except ValueError as error:
        _note_damaged_entry(data, error)
        raise


def _note_damaged_entry(data: ReadableBuffer, error: ValueError) -> None:
    """Adds a note naming the dict entry of the packet in `data` that fails
    to decode, the deepest one, when the packet's framing reads (a damaged
    body or checksum, a bad sparse structure). Only failures pay for this
    second pass, which decodes entries one by one. Whatever goes wrong here
    leaves `error` as it was."""
    try:
        facts = _walk(data)
        with memoryview(data) as view:
            path = _damaged_path(view, facts) if view.ndim == 1 and view.itemsize == 1 else []
    except Exception:  # noqa: BLE001 - the error being reported is `error`, not this one
        return
    if path:
        error.add_note("vakra: the damaged value is at " + "".join(f"[{key!r}]" for key in path))


def _damaged_path(view: memoryview, facts: dict) -> list[str]:
    """The keys down to the deepest dict entry in `view` that does not decode
    (offsets in `facts` count from ``view[0]``)."""
    for key, child in (facts.get("entries") or {}).items() if facts["kind"] == "bundle" else ():
        with view[child["offset"]:child["offset"] + child["size"]] as part:
            try:
                _loads(part)
            except ValueError:
                return [key, *_damaged_path(view, child)]
            except Exception:  # another kind of failure (a missing library) is not damage
                continue
    return []


def dump(obj: Any, file: PathLike | IO[bytes], *, check_integrity: bool = False, compress: bool = False,
         alignment: int = 64, durable: bool = True) -> None:
    """Write ``obj`` as one packet to ``file``, a path or a binary file object.

    A path to a regular file is replaced atomically: the packet goes to a new
    file beside it, which then takes the old file's mode (and owner, where
    permitted) and is renamed over it, so a failed dump leaves the old file as
    it was and processes that have the old file mapped (``load``) keep reading
    intact data. The replace is durable: the new file is synced to disk before
    the rename and the directory after, so a crash or power loss once ``dump``
    returns leaves the new packet. The kernel follows symlinks on the way, as
    for ``open()`` (``fs.protected_symlinks`` holds); a symlink's target is
    replaced, the link stays; an existing FIFO, device, tty or socket is written
    into (``"/dev/stdout"`` works). A killed process leaves no temporary file
    where the file system has unnamed ones (``O_TMPFILE``: ext4, XFS, btrfs,
    tmpfs).

    A file object receives the packet at its current position. Going to a real
    file or pipe, the packet is written straight to the descriptor with bodies
    taken from the values' own memory, never built as ``bytes`` (the file
    object is flushed before, so earlier writes keep their order); other file
    objects receive it in pieces through ``write``. With ``check_integrity``
    each body is copied first and hashed as copied, so the file always matches
    its checksums; unchecked bodies are written from the arrays' memory as it
    is then and may tear if another thread writes an array meanwhile.

    Parameters
    ----------
    obj : object
        Any value :func:`dumps` takes.
    file : str, os.PathLike or binary file object
        The path to replace, or a file object opened for binary writing.
    check_integrity, compress, alignment
        As for :func:`dumps`.
    durable : bool, default True
        Sync the new file and its directory. ``False`` skips both syncs: faster,
        but a crash soon after may leave the old file or, on some file systems,
        an empty one.

    Returns
    -------
    None

    Raises
    ------
    TypeError, ValueError
        As :func:`dumps` raises them; ``TypeError`` also for a file opened in
        text mode.
    OSError
        From the file system, naming the path given; and whatever a signal
        handler raises while a write blocks (with a note of the bytes written).

    See Also
    --------
    load : the next packet of a file.
    save : any number of named values in one file, read lazily.

    Examples
    --------
    >>> vakra.dump({"step": np.array(3)}, "state.vkr")
    >>> vakra.load("state.vkr")["step"]
    array(3)
    >>> with open("steps.vkr", "wb") as f:
    ...     for step in range(3):
    ...         vakra.dump(np.array(step), f)
    >>> list(vakra.iter_load("steps.vkr"))
    [array(0), array(1), array(2)]
    """
    options = (bool(check_integrity), bool(compress), alignment, convert)
    if isinstance(file, (str, bytes, os.PathLike)):
        _dump_to_path(obj, os.fsdecode(file), options, bool(durable))
    else:
        _dump_to_handle(obj, file, options)


def dump_into(obj: Any, buffer: WriteableBuffer, *, check_integrity: bool = False, compress: bool = False,
              alignment: int = 64) -> int:
    """Write ``obj`` as one packet at the start of ``buffer`` and return its length.

    Every value is encoded straight into ``buffer``; bytes after the packet are
    left as they were.

    Parameters
    ----------
    obj : object
        Any value :func:`dumps` takes.
    buffer : writable bytes-like
        A ``bytearray``, writable ``mmap``, shared-memory buffer, uint8 NumPy
        array, ...
    check_integrity, compress, alignment
        As for :func:`dumps`.

    Returns
    -------
    int
        The packet's length in bytes.

    Raises
    ------
    ValueError
        "Buffer is read-only" or "Buffer too small" (the buffer is then
        unchanged), and the errors of :func:`dumps`.

    Examples
    --------
    >>> buffer = bytearray(256)
    >>> vakra.dump_into(np.arange(3, dtype=np.int32), buffer)
    76
    >>> vakra.loads(buffer)
    array([0, 1, 2], dtype=int32)
    """
    return encoded(_encode_into, obj, buffer, bool(check_integrity), bool(compress), alignment, convert)


def _dump_to_path(obj: Any, path: str, options: tuple, durable: bool) -> None:
    write_descriptor_to_path(path, lambda descriptor: encoded(_encode_to_fd, obj, descriptor, *options),
                             durable=durable)


def _dump_to_handle(obj: Any, handle: IO[bytes], options: tuple) -> None:
    if isinstance(handle, io.TextIOBase):
        raise TypeError("file must be opened in binary mode ('wb'), not text mode")
    descriptor = file_descriptor(handle)
    if descriptor is not None:
        handle.flush()
        encoded(_encode_to_fd, obj, descriptor, *options)
        return
    for segment in encoded(_encode_segments, obj, *options):
        _write_all(handle, segment)


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
