"""One packet at a time: ``load`` and ``iter_load`` from files, pipes and
in-memory streams, ``send``/``recv`` over sockets, ``info`` and
``packet_length`` (``Receiver``, in ``receiver``, keeps a socket's bytes
between calls).

Packets follow each other in a stream with nothing in between. The codec's
walker tells from a packet's first bytes how long it is (or how many bytes it
needs at least before it can tell), so a reader takes exactly one packet and
leaves the stream at the start of the next: successive ``load`` calls return
successive values, as with ``pickle``.

A stream reader never trusts the length a header declares for allocating: it
grows one buffer as bytes actually arrive, at most doubling what has arrived,
and never reads past the end of the packet (the native ``PacketReader``,
which also reads a descriptor in one native loop per step). A regular file
is different: its size bounds what can arrive, so a packet is read with one
``readinto`` of its measured length.
"""

from __future__ import annotations

import errno
import io
import mmap as _mmap
import os
import socket
import stat
import threading
from collections.abc import Callable, Iterator
from typing import IO, TYPE_CHECKING, Any

from .. import _native
from .._encoding import convert
from .._model.tree_packet import encoded, tree_of
from ..ragged import StringTensor
from .file_objects import PathLike, file_descriptor
from .packets import decode as loads  # trees are rebuilt where values leave this module
from .receiver import packet_reader

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = ["load", "iter_load", "info", "packet_length", "send", "recv"]

_probe = _native.probe
_packet_meter = _native.packet_meter
_measure = _native.measure
_walk = _native.walk
_send_to = _native.send_to
_take_arrived = _native.take_arrived
_loads = _native.loads
_open_file = _native.open_file
_map_file = _native.map_file
# The kernel's readahead would read far around every page touched in a
# mapping; one entry of a large file should cost about that entry.
_MADV_RANDOM = getattr(_mmap, "MADV_RANDOM", -1)
# A regular file shorter than this is read into memory by load() rather than
# mapped: below it, one read costs less than mapping, faulting each page in
# and unmapping (bench/small_files.py --sweep measures both by size).
READ_BELOW = 1 << 20
_FIRST_STEP = 64 << 10  # the first read of a packet's bytes from a file
_scratch = threading.local()
_MSG_PEEK = socket.MSG_PEEK
_IOV_MAX = os.sysconf("SC_IOV_MAX") if hasattr(os, "sysconf") else 16
# A model file (vakra.save) starts with its record, a bundle of these entries
# (version 2 adds optional ones after them; vakra._model._model_record): load
# refuses to give it out as if it were the file's value.
MODEL_RECORD_KEYS = ("format", "names", "ranges", "metadata", "file_size")


def packet_length(data: Any) -> int:
    """The exact length of the packet that starts at ``data[0]``.

    Bytes after the packet are not looked at, for every kind, compressed
    packets included. The cost is one step per nested packet and per LZ4 block,
    never a pass over the bodies.

    Parameters
    ----------
    data : bytes-like
        Any buffer of bytes holding at least the packet's beginning.

    Returns
    -------
    int
        The packet's length; when ``data`` is too short to tell, a negative
        number: minus the least number of further bytes needed before the answer
        can change (read that many more and ask again).

    Raises
    ------
    ValueError
        With the codec's message when ``data`` cannot start a packet ("Invalid
        vakra packet", ...).

    Examples
    --------
    >>> packet = vakra.dumps(np.arange(3, dtype=np.int32))
    >>> vakra.packet_length(packet + b"next packet")
    76
    >>> vakra.packet_length(packet[:4])
    -4
    """
    complete, length = _probe(data)
    return length if complete else -length


def load(file: PathLike | IO[bytes], *, mmap: bool = True, max_size: int | None = None,
         writable: bool = False) -> Any:
    """Read one packet from ``file`` and return its value.

    A file object is left right after the packet, so successive calls return
    successive values; a path gives its first packet (:func:`iter_load` gives
    them all).

    With ``mmap=True`` (the default) a regular file of ``READ_BELOW`` bytes
    (1 MiB) or more is memory-mapped with random-access advice: uncompressed
    arrays are views of the mapping, nothing is read until it is used, and the
    mapping lives as long as any array that views it; it holds no file
    descriptor. Do not truncate the file while such arrays are in use. A smaller
    file (counted from the file object's position) is read into memory in one
    call, which costs less than mapping it, and arrays view that memory instead.
    Pipes, sockets (``sock.makefile("rb")``), ``io.BytesIO`` and every other
    stream are read into one buffer in bounded steps, never past the packet.

    After an error a seekable stream is back at the packet's first byte; on
    other streams the bytes already read are gone (an exception raised while
    reading says how many in its note). A packet read whole but failing to
    decode is consumed.

    Parameters
    ----------
    file : str, os.PathLike or binary file object
        A path, or a file object opened for binary reading.
    mmap : bool, default True
        Map regular files. With ``False`` a regular file's packet is read with
        one ``readinto`` of its measured length.
    max_size : int, optional
        Refuse a packet declared larger than this many bytes, before its body is
        read.
    writable : bool, default False
        Return writable arrays: the file is mapped copy-on-write (or read into
        memory of its own), so writes stay in this process and never reach the
        file.

    Returns
    -------
    object
        The packet's value, as :func:`loads` gives it.

    Raises
    ------
    EOFError
        When the stream ends before the first byte of a packet.
    ValueError
        "Packet cut short: expected at least N bytes, read M" when it ends
        inside one; a packet larger than ``max_size``; the errors of
        :func:`loads`. A path to a file that is no vakra file at all names it
        and the converter (``vakra convert x.npy x.vkr``); a model file (written
        by :func:`save`) says so, since its first packet is the file's index,
        not its value: it is read with :func:`open` or :func:`load_file`.
    IsADirectoryError
        For a directory, naming it.
    OSError
        From the file system, and what the stream raises.

    See Also
    --------
    iter_load : every packet of a file or stream.
    dump : the writer.

    Examples
    --------
    >>> vakra.dump({"x": np.arange(3)}, "x.vkr")
    >>> vakra.load("x.vkr")["x"]
    array([0, 1, 2])
    >>> import io
    >>> stream = io.BytesIO(vakra.dumps(np.array(1)) + vakra.dumps(np.array(2)))
    >>> vakra.load(stream), vakra.load(stream)
    (array(1), array(2))
    >>> vakra.load(stream)
    Traceback (most recent call last):
    ...
    EOFError: ...
    """
    return tree_of(read_value(file, mmap, max_size, writable))


def read_value(file: PathLike | IO[bytes], mmap: bool = True, max_size: int | None = None,
               writable: bool = False) -> Any:
    """:func:`load` without rebuilding trees: a tree's bundle comes back as the bundle it is."""
    if isinstance(file, (str, bytes, os.PathLike)):
        if mmap:
            value = _load_path(file, max_size, writable)
        else:
            with open(file, "rb", buffering=0) as handle:  # read in as few calls as the packet needs: no buffer
                value = _load_from_handle(handle, mmap, max_size, writable)
    else:
        value = _load_from_handle(file, mmap, max_size, writable)
    if type(value) is dict and len(value) >= len(MODEL_RECORD_KEYS):  # at least a model file's record's entries
        _refuse_model_record(value, file)
    return value


def _is_record(value: dict) -> bool:
    """Whether `value` is a model file's record: its five entries first."""
    return tuple(value)[:len(MODEL_RECORD_KEYS)] == MODEL_RECORD_KEYS and isinstance(value["format"], StringTensor)


def _refuse_model_record(value: dict, file: Any) -> None:
    """ValueError when `value` is a model file's record."""
    if _is_record(value):
        shown = os.fsdecode(file) if isinstance(file, (str, bytes, os.PathLike)) else getattr(file, "name", "the file")
        raise ValueError(f"{shown} is a model file (written by vakra.save), whose first packet is its index: read "
                         "it with vakra.open or vakra.load_file (vakra.torch.open and vakra.torch.load_file for "
                         "tensors)")


def iter_load(file: PathLike | IO[bytes], *, mmap: bool = True, max_size: int | None = None,
              writable: bool = False) -> Iterator[Any]:
    """The values of the packets in ``file``, one after another until it ends.

    What successive :func:`load` calls return, with the same options and
    errors; the iteration stops at a clean end, and a file object is read from
    where it stands. A regular file is mapped once for all its packets (with
    ``mmap=True``), and a file object is kept right after the packet last
    returned. Other streams (and files with ``mmap=False``) are read in large
    chunks by a :class:`Receiver`; when the iteration stops early a seekable
    stream is put back right after the last packet returned, while the bytes a
    non-seekable one had already given are gone with the iterator. A model
    file's packets come as they are stored, its record (the index of its
    entries) first; one that holds tensors too large for a packet (stored
    as raw bodies, which are no packets) raises ``ValueError`` saying so
    before anything is given.

    Parameters
    ----------
    file : str, os.PathLike or binary file object
        A path, or a file object opened for binary reading.
    mmap, max_size, writable
        As for :func:`load`.

    Yields
    ------
    object
        The value of each packet.

    Raises
    ------
    ValueError, OSError
        As :func:`load` raises them, for the packet that fails.

    Examples
    --------
    >>> with open("log.vkr", "wb") as f:
    ...     for step in range(3):
    ...         vakra.dump({"step": np.array(step)}, f)
    >>> [int(value["step"]) for value in vakra.iter_load("log.vkr")]
    [0, 1, 2]
    """
    values = _iter_values(file, mmap, max_size, writable)
    first = next(values, _NOTHING)
    if first is _NOTHING:
        return
    if type(first) is dict and len(first.get("bodies", ())) and _is_record(first):
        shown = os.fsdecode(file) if isinstance(file, (str, bytes, os.PathLike)) else getattr(file, "name", "the file")
        raise ValueError(f"{shown} is a model file holding tensors too large for a packet, stored as raw bodies "
                         "that are no packets: it is not read packet by packet; read it with vakra.open or "
                         "vakra.load_file (vakra.torch.open and vakra.torch.load_file for tensors)")
    yield tree_of(first)
    for value in values:
        yield tree_of(value)


_NOTHING = object()


def _iter_values(file: PathLike | IO[bytes], mmap: bool, max_size: int | None, writable: bool) -> Iterator[Any]:
    if not isinstance(file, (str, bytes, os.PathLike)):
        yield from _iter_handle(file, mmap, max_size, writable)
        return
    data = _open_file(file, writable, READ_BELOW, -1) if mmap else None
    if data is not None and type(data) is not int:
        yield from _iter_buffer(data, max_size, writable)
        return
    with open(file, "rb") if data is None else opened_stream(data, file) as handle:
        yield from _iter_streamed(handle, max_size, writable)


def info(data: ReadableBuffer | str | os.PathLike) -> dict[str, Any]:
    """Describe the packet at the start of ``data`` without decoding any body.

    Checksums are not verified (use :func:`loads`).

    Parameters
    ----------
    data : bytes-like, str or os.PathLike
        A buffer of bytes, or a path (``bytes`` are the packet itself): the
        file's first packet is described from its headers alone, as
        ``vakra info FILE`` reads them (a regular file is mapped and only the
        pages holding headers are read; a pipe or device is read one bounded
        packet).

    Returns
    -------
    dict
        The header facts first: ``version``, ``flags``, ``dtype_code``,
        ``ndim``, ``aligned``, ``integrity_protected``, (for bundles
        ``entry_count``), ``shape`` and ``total_elements``. Then ``kind``
        ("dense", "bundle", "sparse", "string", "quantized", "ragged" or
        "inline"), ``dtype`` (its name, or None), ``offset`` (where the packet
        starts, counted from ``data[0]``: 0, or a nested packet's place),
        ``size`` (the packet's exact length; bytes after it are not looked at),
        ``body_size`` (stored body bytes, None for containers), kind details
        (``compressed``; ``format``; ``count``; ``quant_scheme``, ``axis``,
        ``group_size``, ``scale_count``) and, for bundles and sparse packets,
        ``entries`` or ``components``: the same dict for every nested packet.

    Raises
    ------
    ValueError
        With the codec's message when the header or framing is damaged or
        truncated.
    OSError
        For a path, and the errors of :func:`load`.

    Examples
    --------
    >>> facts = vakra.info(vakra.dumps({"w": np.zeros((2, 3), np.float32)}))
    >>> facts["kind"], facts["size"]
    ('bundle', 107)
    >>> w = facts["entries"]["w"]
    >>> w["kind"], w["dtype"], w["shape"]
    ('dense', 'float32', (2, 3))
    """
    if isinstance(data, (str, os.PathLike)):
        return file_info(data)
    return _walk(data)


def send(sock: socket.socket, obj: Any, *, check_integrity: bool = False, compress: bool = False,
         alignment: int = 64) -> int:
    """Send ``obj`` as one packet over a connected stream socket.

    A packet of up to 64 KiB is copied once and sent in one system call; a
    larger one goes out with its array bodies straight from the arrays' own
    memory (``sendmsg``), never built as ``bytes``. Under ``check_integrity``
    bodies are copied and hashed as copied, so the packet always matches its
    checksums; unchecked bodies go out as the arrays hold them while they are
    sent, and may tear if another thread writes one meanwhile.

    Parameters
    ----------
    sock : socket.socket
        A connected stream socket.
    obj : object
        Any value :func:`dumps` takes.
    check_integrity, compress, alignment
        As for :func:`dumps`.

    Returns
    -------
    int
        The packet's length in bytes.

    Raises
    ------
    TypeError, ValueError
        As :func:`dumps` raises them.
    OSError
        From the socket; an error in the middle of sending leaves the peer with
        part of a packet.

    Examples
    --------
    >>> import socket
    >>> left, right = socket.socketpair()
    >>> vakra.send(left, {"x": np.arange(3)})
    107
    >>> vakra.recv(right)["x"]
    array([0, 1, 2])
    >>> left.close(); right.close()
    """
    # A small packet goes out from the native call itself when the socket takes it at once;
    # anything else (a large packet, the rest of a partial send) through _send_segments.
    return encoded(lambda value: _send_to(sock, value, check_integrity, compress, alignment, convert, _send_segments),
                   obj)


def recv(sock: socket.socket, *, max_size: int | None = None, writable: bool = False) -> Any:
    """Receive one packet from a connected stream socket and return its value.

    Exactly the packet's bytes are taken from the socket, into one buffer that
    uncompressed arrays then view. A timeout (``TimeoutError``) or
    ``BlockingIOError`` before the first byte of a packet consumes nothing, so
    the call may be repeated; one in the middle of a packet leaves the bytes
    already read consumed (the exception's note says how many): the connection
    is then inside a packet and should be closed. A :class:`Receiver` keeps
    such bytes instead, and reads small messages in one system call.

    Parameters
    ----------
    sock : socket.socket
        A connected stream socket.
    max_size : int, optional
        Refuse a packet declared larger than this many bytes, before its body
        is read.
    writable : bool, default False
        Return writable arrays, as :func:`load` does.

    Returns
    -------
    object
        The packet's value.

    Raises
    ------
    EOFError
        When the peer has closed the connection before a packet starts.
    ValueError, OSError
        The errors of :func:`load`.

    Examples
    --------
    >>> import socket
    >>> left, right = socket.socketpair()
    >>> _ = vakra.send(left, np.arange(2.0))
    >>> left.close()
    >>> vakra.recv(right)
    array([0., 1.])
    >>> vakra.recv(right)
    Traceback (most recent call last):
    ...
    EOFError: ...
    >>> right.close()
    """
    packet = _arrived_packet(sock, max_size, writable)
    if packet is not None:
        return tree_of(loads(packet, True) if writable else _loads(packet))
    return tree_of(_read_stream(sock, max_size, writable, decoded=True))


def read_packet(handle: IO[bytes], max_size: int | None = None) -> Any:
    """The next packet's bytes from a binary file or stream, a buffer; a
    stream is read in bounded steps and never past the packet; the errors of
    :func:`load`."""
    status = _regular_file_status(handle)
    if status is not None:
        return _read_regular(handle, status.st_size, max_size)
    return _read_stream(handle, max_size, decoded=False)


def file_info(path: str | os.PathLike) -> dict[str, Any]:
    """vakra.info of the first packet of the file at `path`, from its headers,
    as the CLI reads them: a regular file is mapped with random-access advice,
    so bodies are not read; anything else (a pipe, a device) goes through the
    bounded stream reader, which stops at the first bytes that are no packet."""
    data = _open_file(path, False, 0, _MADV_RANDOM)
    if type(data) is int:  # not a regular file: its descriptor
        with opened_stream(data, path) as handle:
            return _walk(read_packet(handle))
    return _walk(data)


def opened_stream(descriptor: int, path: PathLike) -> IO[bytes]:
    """A binary file over `descriptor`, what ``_native.open_file`` gives for
    a `path` that is no regular file (a pipe, a device); a directory is
    closed and refused with ``IsADirectoryError`` naming `path`."""
    try:
        directory = stat.S_ISDIR(os.fstat(descriptor).st_mode)
    except BaseException:
        os.close(descriptor)
        raise
    if directory:
        os.close(descriptor)
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fsdecode(path))
    return open(descriptor, "rb")


def _send_segments(sock: socket.socket, segments: list) -> int:
    """Sends the packet made of `segments` (bytes and 1-D byte memoryviews, in
    order) with as few sendmsg calls as the socket allows, picking up after
    partial sends; one segment with sendall, which every socket has."""
    if len(segments) == 1:
        sock.sendall(segments[0])
        return len(segments[0])
    total = sum(map(len, segments))
    sent = sock.sendmsg(segments if len(segments) <= _IOV_MAX else segments[:_IOV_MAX])
    if sent == total:
        return total
    views, first = [memoryview(segment) for segment in segments], 0
    while True:
        while first < len(views) and sent >= len(views[first]):
            sent -= len(views[first])
            first += 1
        if first == len(views):
            return total
        views[first] = views[first][sent:]
        sent = sock.sendmsg(views[first:first + _IOV_MAX])


def _load_from_handle(handle: IO[bytes], use_mmap: bool, max_size: int | None, writable: bool) -> Any:
    regular = _mappable_file(handle, use_mmap)
    if regular is not None:
        return _load_mapped(handle, *regular, max_size, writable)
    return _load_streamed(handle, max_size, writable)


def _mappable_file(handle: IO[bytes], use_mmap: bool) -> tuple[int, int] | None:
    """The descriptor and size of the regular file behind `handle` when it is
    to be mapped, flushed first; None for anything read as a stream. A text
    file is refused."""
    if isinstance(handle, io.TextIOBase):
        raise TypeError("file must be opened in binary mode ('rb'), not text mode")
    descriptor = file_descriptor(handle) if use_mmap else None
    if descriptor is None:
        return None
    handle.flush()  # a read-write file may still hold buffered writes
    status = os.fstat(descriptor)
    return (descriptor, status.st_size) if stat.S_ISREG(status.st_mode) else None


def _load_path(path: PathLike, max_size: int | None, writable: bool) -> Any:
    """The first packet of the file at `path`: read or mapped by its size, in
    one native call that closes the descriptor before it returns."""
    data = _open_file(path, writable, READ_BELOW, _MADV_RANDOM)
    if type(data) is int:  # not a regular file: its descriptor, read as a stream
        with opened_stream(data, path) as handle:
            return _load_streamed(handle, max_size, writable)
    try:
        _packet_size(data, max_size)
    except ValueError as error:
        if _starts_a_packet(data):
            raise
        shown = os.fsdecode(path)
        stem = os.path.splitext(os.path.basename(shown))[0] or "out"
        raise ValueError(f"{shown} is not a vakra file ({error}); a .npy, .npz, safetensors or torch.save file "
                         f"becomes one with `vakra convert {shown} {stem}.vkr`") from None
    return loads(data, writable)  # bytes after the packet are ignored


def _starts_a_packet(data: Any) -> bool:
    """Whether `data` begins as a vakra packet does (a damaged one included)."""
    with memoryview(data) as view, view[:16] as start:
        try:
            _probe(start)
        except ValueError:
            return False
    return True


def _load_mapped(handle: IO[bytes], descriptor: int, size: int, max_size: int | None, writable: bool) -> Any:
    position = handle.tell()
    if position >= size:
        raise EOFError("no packet: the file ends here")
    # From the packet on; the file's position moves once the packet is measured.
    data = _map_file(descriptor, writable, READ_BELOW, _MADV_RANDOM, position)
    handle.seek(position + _packet_size(data, max_size))  # a packet read whole is consumed, even if it fails to decode
    return loads(data, writable)  # bytes after the packet are ignored


def _packet_size(data: Any, max_size: int | None) -> int:
    """The length of the packet at the start of `data`, which must hold all
    of it; the errors of :func:`load`."""
    if not len(data):
        raise EOFError("no packet: the file ends here")
    complete, length = _probe(data)
    if not complete:
        raise _cut_short(len(data) + length, len(data))
    _check_size(length, max_size)
    return length


def _load_streamed(handle: IO[bytes], max_size: int | None, writable: bool) -> Any:
    status = _regular_file_status(handle)
    if status is not None:
        return loads(_read_regular(handle, status.st_size, max_size), writable)
    return _read_stream(handle, max_size, writable, decoded=True)


def _regular_file_status(handle: IO[bytes]) -> os.stat_result | None:
    descriptor = file_descriptor(handle)
    if descriptor is None:
        return None
    status = os.fstat(descriptor)
    return status if stat.S_ISREG(status.st_mode) else None


def _read_regular(handle: IO[bytes], size: int, max_size: int | None) -> Any:
    """The packet at the file's position, read into memory: a first step (the
    whole file when it is small), then what the walker measures, each in one
    readinto into the final buffer (at least doubling it, so a bundle of many
    entries takes few steps). The file's size bounds every allocation. The
    file is left right after the packet, or where it was after an error."""
    position = handle.tell()
    remaining = size - position
    if remaining <= 0:
        raise EOFError("no packet: the file ends here")
    meter = _packet_meter()
    try:
        # bytes, which loads views without marking each array read-only
        memory: bytes | _mmap.mmap = handle.read(
            remaining if position == 0 and remaining < READ_BELOW else min(remaining, _FIRST_STEP))
        have = len(memory)
        while True:
            complete, length = _measure(meter, memoryview(memory)[:have])
            if complete:
                handle.seek(position + length)
                return _packet_of(memory, length)
            expected = have + length
            _check_size(expected, max_size)
            if have < len(memory):  # the file ended early, shrunk meanwhile
                raise _cut_short(expected, have)
            if expected > remaining:  # the file ends inside the packet
                raise _cut_short(expected, remaining)
            memory = _grown(memory, have, min(remaining, max(expected, 2 * have)))
            have += _read_fully(handle, memoryview(memory)[have:])
    except BaseException:
        handle.seek(position)
        raise


def _read_fully(handle: IO[bytes], view: memoryview) -> int:
    """Fills `view` from the file (one readinto, unless the system returns
    less), stopping early only at the file's end."""
    have = 0
    while have < len(view):
        got = handle.readinto(view[have:])
        if not got:
            break
        have += got
    return have


def _grown(memory: bytes | _mmap.mmap, have: int, size: int) -> _mmap.mmap:
    """`memory` grown to `size` bytes, the first `have` kept: an anonymous
    mapping, which grows again in place (no copy)."""
    if isinstance(memory, _mmap.mmap):
        memory.resize(size)
        return memory
    # Private: a shared anonymous mapping cannot grow past its first size.
    mapping = _mmap.mmap(-1, size, flags=_mmap.MAP_PRIVATE)
    if hasattr(_mmap, "MADV_HUGEPAGE"):
        mapping.madvise(_mmap.MADV_HUGEPAGE)  # fewer page faults while it fills
    mapping[:have] = memory[:have]
    return mapping


def _packet_of(memory: bytes | _mmap.mmap, length: int) -> Any:
    if isinstance(memory, _mmap.mmap):
        memory.resize(length)  # bytes read past the packet go back
        return memory
    # A small packet of a first step gets its own copy rather than keep the step alive.
    return memory[:length] if 2 * length < len(memory) else memory


def _read_stream(stream: Any, max_size: int | None, writable: bool = False, *, decoded: bool) -> Any:
    """The next packet from a native reader of `stream` that never reads past
    it: its value, or its bytes unless `decoded`. After an error inside a
    packet, a seekable stream is back at its first byte; on others the bytes
    read are gone, and the error's note says how many unless the stream had
    ended."""
    start = stream.tell() if _seekable(stream) else None
    reader = packet_reader(stream, False, max_size, writable)
    try:
        return reader.next() if decoded else reader.next_bytes()
    except BaseException as error:
        if reader.buffered():
            if start is not None:
                stream.seek(start)
            elif not reader.ended():
                error.add_note(f"vakra: {reader.buffered()} bytes of the packet were read and are lost; "
                               "the stream is inside that packet")
        raise


def _arrived_packet(sock: socket.socket, max_size: int | None, writable: bool) -> Any:
    """A packet the socket holds whole, taken in one read after a peek has
    measured it (small packets usually arrive whole): in one native call
    where the socket's descriptor may be read directly and holds the packet
    already; else with the socket's own calls, which wait as its timeout says.
    None when it has not all arrived, or the socket takes no flags (TLS)."""
    packet = _take_arrived(sock, max_size, writable)
    if packet is not None:
        return packet
    try:
        peek = _scratch.peek  # one per thread, only read while it is filled
    except AttributeError:
        peek = _scratch.peek = memoryview(bytearray(_FIRST_STEP))
    try:
        seen = sock.recv_into(peek, _FIRST_STEP, _MSG_PEEK)
    except ValueError:
        return None
    if seen == 0:
        raise EOFError("no packet: the peer closed the connection")
    complete, length = _probe(peek[:seen])
    if max_size is not None:
        _check_size(length if complete else seen + length, max_size)
    if not complete:
        return None
    if writable:
        packet = bytearray(length)
        got = sock.recv_into(packet)
    else:
        packet = sock.recv(length)
        got = len(packet)
    if got != length:
        raise RuntimeError(f"the socket returned {got} of {length} bytes it had shown")
    return packet


def _iter_handle(handle: IO[bytes], use_mmap: bool, max_size: int | None, writable: bool) -> Iterator[Any]:
    regular = _mappable_file(handle, use_mmap)
    if regular is None:
        yield from _iter_streamed(handle, max_size, writable)
        return
    descriptor, size = regular
    position = handle.tell()
    if position < size:
        data = _map_file(descriptor, writable, READ_BELOW, -1, position)
        yield from _iter_buffer(data, max_size, writable, lambda end: handle.seek(position + end))


def _iter_buffer(data: Any, max_size: int | None, writable: bool,
                 consumed: Callable[[int], Any] | None = None) -> Iterator[Any]:
    """The packets of `data`, a file's bytes (mapped once, or read when small);
    `consumed(end)` follows each packet, even one that fails to decode."""
    view = memoryview(data)
    offset = 0
    try:
        while offset < len(view):
            end = offset + _packet_size(view[offset:], max_size)
            if consumed is not None:
                consumed(end)
            value = loads(view[offset:end], writable)
            offset = end
            yield value
    finally:
        view.release()  # the mapping goes with the last array that views it


def _iter_streamed(stream: IO[bytes], max_size: int | None, writable: bool) -> Iterator[Any]:
    seekable = _seekable(stream)
    reader = packet_reader(stream, True, max_size, writable)
    try:
        while True:
            try:
                value = reader.next()
            except EOFError:
                return
            yield value
    finally:
        if seekable and reader.buffered():
            stream.seek(stream.tell() - reader.buffered())  # right after the last packet returned


def _seekable(handle: Any) -> bool:
    try:
        return bool(handle.seekable())
    except (AttributeError, OSError, ValueError):
        return False


def _check_size(length: int, max_size: int | None) -> None:
    if max_size is not None and length > max_size:
        raise ValueError(f"Packet larger than max_size: at least {length} bytes, max_size {max_size}")


def _cut_short(expected: int, read: int) -> ValueError:
    return ValueError(f"Packet cut short: expected at least {expected} bytes, read {read}")
