"""One packet at a time: ``load`` from files, pipes and in-memory streams,
``send``/``recv`` over sockets, and ``packet_length``.

Packets follow each other in a stream with nothing in between. The codec's
walker tells from a packet's first bytes how long it is (or how many bytes it
needs at least before it can tell), so a reader takes exactly one packet and
leaves the stream at the start of the next: successive ``load`` calls return
successive values, as with ``pickle``.

A stream reader never trusts the length a header declares for allocating: it
grows one buffer as bytes actually arrive, at most doubling what has arrived,
and never reads past the end of the packet.
"""

from __future__ import annotations

import errno
import io
import mmap as _mmap
import os
import socket
import stat
import threading
from collections.abc import Callable
from typing import IO, Any

import numpy as np

from . import _native
from ._encoding import convert
from .api import PathLike, file_descriptor, loads

__all__ = ["load", "packet_length", "send", "recv"]

ReadInto = Callable[[memoryview], "int | None"]

_probe = _native.probe
_packet_meter = _native.packet_meter
_measure = _native.measure
_encode = _native.encode
_encode_segments = _native.encode_segments
_open_file = _native.open_file
_map_file = _native.map_file
# The kernel's readahead would read far around every page touched in a
# mapping; one entry of a large file should cost about that entry.
_MADV_RANDOM = getattr(_mmap, "MADV_RANDOM", -1)
# A regular file shorter than this is read into memory by load() rather than
# mapped: below it, one read costs less than mapping, faulting each page in
# and unmapping (bench/small_files.py --sweep measures both by size).
READ_BELOW = 1 << 20
_FIRST_STEP = 64 << 10  # the first read of a packet's bytes after its header
_scratch = threading.local()
_MSG_PEEK = socket.MSG_PEEK
_IOV_MAX = os.sysconf("SC_IOV_MAX") if hasattr(os, "sysconf") else 16
_EXACT_READERS = (io.BufferedReader, io.BufferedRandom, io.BytesIO, io.FileIO)  # readinto counts what it wrote


def packet_length(data: Any) -> int:
    """The exact length of the packet that starts at ``data[0]``.

    ``data`` is any buffer of bytes; bytes after the packet are not looked at,
    for every kind, compressed packets included. When ``data`` is too short to
    tell, the result is negative: minus the least number of further bytes
    needed before the answer can change (read that many more and ask again).
    Raises ``ValueError`` with the codec's message when ``data`` cannot start
    a packet ("Invalid vakra packet", ...). The cost is one step per nested
    packet and per LZ4 block, never a pass over the bodies.
    """
    complete, length = _probe(data)
    return length if complete else -length


def load(file: PathLike | IO[bytes], *, mmap: bool = True, max_size: int | None = None,
         writable: bool = False) -> Any:
    """Read one packet from ``file``, a path or a binary file object, and
    return its value. A file object is left right after the packet, so
    successive calls return successive values; a path gives its first packet.

    With ``mmap=True`` (the default) a regular file of ``READ_BELOW`` bytes
    (1 MiB) or more is memory-mapped with random-access advice: uncompressed
    arrays are views of the mapping, nothing is read until it is used, and
    the mapping lives as long as any array that views it; it holds no file
    descriptor. Do not truncate the file while such arrays are in use. A
    smaller file (counted from the file object's position) is read into
    memory in one call, which costs less than mapping it, and arrays view that
    memory instead. Pipes, sockets (``sock.makefile("rb")``), ``io.BytesIO``
    and every other stream, and all files with ``mmap=False``, are read into
    one buffer in bounded steps, never past the packet. With
    ``writable=True`` arrays are writable: the file is mapped copy-on-write
    (or read into memory of its own), so writes stay in this process and never
    reach the file.

    Raises ``EOFError`` when the stream ends before the first byte of a
    packet, ``ValueError`` "Packet cut short: expected at least N bytes, read
    M" when it ends inside one, and ``ValueError`` when the packet is declared
    larger than ``max_size`` bytes (checked before its body is read). After
    such an error a seekable stream is back at the packet's first byte; on
    other streams the bytes already read are gone (an exception raised while
    reading says how many in its note). A packet read whole but failing to
    decode (the errors of :func:`vakra.loads`) is consumed. Other errors are
    ``OSError`` and what the stream raises.
    """
    if isinstance(file, (str, bytes, os.PathLike)):
        if mmap:
            return _load_path(file, max_size, writable)
        with open(file, "rb") as handle:
            return _load_from_handle(handle, mmap, max_size, writable)
    return _load_from_handle(file, mmap, max_size, writable)


def send(sock: socket.socket, obj: Any, *, check_integrity: bool = False, compress: bool = False,
         alignment: int = 64) -> int:
    """Send ``obj`` as one packet over a connected stream socket and return
    the packet's length. Array bodies go to the socket straight from the
    arrays' own memory (``sendmsg``); the packet is never built as ``bytes``.
    Under ``check_integrity`` bodies are copied and hashed as copied, so the
    packet always matches its checksums; unchecked bodies go out as the
    arrays hold them while they are sent, and may tear if another thread
    writes one meanwhile. The options and errors are those of
    :func:`vakra.dumps`, plus ``OSError`` from the socket; an error in the
    middle of sending leaves the peer with part of a packet.
    """
    options = (bool(check_integrity), bool(compress), alignment, convert)
    if type(obj) is np.ndarray and obj.nbytes <= _FIRST_STEP:
        packet = _encode(obj, *options)  # copying a small array costs less than a vectored send
        sock.sendall(packet)
        return len(packet)
    return _send_segments(sock, _encode_segments(obj, *options))


def recv(sock: socket.socket, *, max_size: int | None = None) -> Any:
    """Receive one packet from a connected stream socket and return its value.

    Exactly the packet's bytes are taken from the socket, into one buffer
    that uncompressed arrays then view. Raises ``EOFError`` when the peer has
    closed the connection before a packet starts, and the errors of
    :func:`load` otherwise. A timeout (``TimeoutError``) or
    ``BlockingIOError`` before the first byte of a packet consumes nothing,
    so the call may be repeated; one in the middle of a packet leaves the
    bytes already read consumed (the exception's note says how many): the
    connection is then inside a packet and should be closed.
    """
    return loads(_socket_packet(sock, max_size))


def _send_segments(sock: socket.socket, segments: list) -> int:
    """Sends the packet made of `segments` (bytes and 1-D byte memoryviews, in
    order) with as few sendmsg calls as the socket allows, picking up after
    partial sends."""
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
    if isinstance(handle, io.TextIOBase):
        raise TypeError("file must be opened in binary mode ('rb'), not text mode")
    descriptor = file_descriptor(handle) if use_mmap else None
    if descriptor is not None:
        handle.flush()  # a read-write file may still hold buffered writes
        status = os.fstat(descriptor)
        if stat.S_ISREG(status.st_mode):
            return _load_mapped(handle, descriptor, status.st_size, max_size, writable)
    return _load_streamed(handle, max_size, writable)


def _load_path(path: PathLike, max_size: int | None, writable: bool) -> Any:
    """The first packet of the file at `path`: read or mapped by its size, in
    one native call that closes the descriptor before it returns."""
    data = _open_file(path, writable, READ_BELOW, _MADV_RANDOM)
    if type(data) is int:  # not a regular file: its descriptor, read as a stream
        with open(data, "rb") as handle:
            return _load_streamed(handle, max_size, writable)
    _packet_size(data, max_size)
    return loads(data, writable=writable)  # bytes after the packet are ignored


def _load_mapped(handle: IO[bytes], descriptor: int, size: int, max_size: int | None, writable: bool) -> Any:
    position = handle.tell()
    if position >= size:
        raise EOFError("no packet: the file ends here")
    # From the packet on; the file's position moves once the packet is measured.
    data = _map_file(descriptor, writable, READ_BELOW, _MADV_RANDOM, position)
    handle.seek(position + _packet_size(data, max_size))  # a packet read whole is consumed, even if it fails to decode
    return loads(data, writable=writable)  # bytes after the packet are ignored


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
    return loads(read_packet(handle, max_size), writable=writable)


def read_packet(handle: IO[bytes], max_size: int | None = None) -> np.ndarray | _mmap.mmap:
    """The next packet's bytes from a binary stream, read in bounded steps and
    never past the packet; the errors of :func:`load`."""
    start = handle.tell() if _seekable(handle) else None
    try:
        return _receive(_stream_reader(handle), max_size, note_lost=start is None)
    except BaseException:
        if start is not None:
            handle.seek(start)
        raise


def _socket_packet(sock: socket.socket, max_size: int | None) -> bytes | np.ndarray | _mmap.mmap:
    # Small packets usually arrive whole: a peek measures them before a byte
    # is consumed, and one read then takes exactly the packet, which the
    # kernel already holds.
    try:
        peek = _scratch.peek  # one per thread, only read while it is filled
    except AttributeError:
        peek = _scratch.peek = memoryview(bytearray(_FIRST_STEP))
    try:
        seen = sock.recv_into(peek, _FIRST_STEP, _MSG_PEEK)
    except ValueError:  # sockets that take no flags (TLS)
        seen = None
    if seen == 0:
        raise EOFError("no packet: the peer closed the connection")
    if seen:
        complete, length = _probe(peek[:seen])
        if max_size is not None:
            _check_size(length if complete else seen + length, max_size)
        if complete:
            packet = sock.recv(length)
            if len(packet) == length:
                return packet
            raise RuntimeError(f"the socket returned {len(packet)} of {length} bytes it had shown")
    return _receive(sock.recv_into, max_size, note_lost=True)


def _receive(read_into: ReadInto, max_size: int | None, note_lost: bool) -> np.ndarray | _mmap.mmap:
    """Reads exactly one packet: never past the walker's lower bound for its
    length, into a buffer that grows only as bytes arrive (at most doubling).
    With `note_lost`, an error after some of the packet was read (other than
    the stream's end) says how many bytes are gone."""
    # One meter for the packet: each step resumes the walk where the last one
    # stopped, so a packet arriving in many small steps is walked once.
    buffer, have, ended, meter = _GrowingBuffer(), 0, False, _packet_meter()
    try:
        while True:
            complete, length = _measure(meter, buffer.filled(have))
            if complete:
                return buffer.packet(have)
            expected = have + length
            _check_size(expected, max_size)
            got = read_into(buffer.window(have, expected))
            if got is None:
                raise BlockingIOError(errno.EAGAIN, "the stream has no data ready")
            if got == 0:
                ended = True
                if have == 0:
                    raise EOFError("no packet: the stream ended")
                raise _cut_short(expected, have)
            have += got
    except BaseException as error:
        if have and note_lost and not ended:
            error.add_note(f"vakra: {have} bytes of the packet were read and are lost; the stream is inside that packet")
        raise


class _GrowingBuffer:
    """One buffer for one packet: a small array first; past that an anonymous
    mapping, which the kernel resizes without copying what it holds."""

    def __init__(self) -> None:
        self._memory: np.ndarray | _mmap.mmap = np.empty(_FIRST_STEP, np.uint8)

    def filled(self, have: int) -> memoryview:
        return memoryview(self._memory)[:have]

    def window(self, have: int, expected: int) -> memoryview:
        """Room for the next read: up to `expected`, growing the buffer to at
        most twice what has arrived when it is full."""
        capacity = len(self._memory)
        if have == capacity:
            capacity = min(expected, 2 * capacity)
            if isinstance(self._memory, np.ndarray):
                # Private: a shared anonymous mapping cannot grow past its first size.
                mapping = _mmap.mmap(-1, capacity, flags=_mmap.MAP_PRIVATE)
                if hasattr(_mmap, "MADV_HUGEPAGE"):
                    mapping.madvise(_mmap.MADV_HUGEPAGE)  # fewer page faults while it fills
                mapping[:have] = self._memory
                self._memory = mapping
            else:
                self._memory.resize(capacity)
        return memoryview(self._memory)[have:min(expected, capacity)]

    def packet(self, length: int) -> np.ndarray | _mmap.mmap:
        if isinstance(self._memory, np.ndarray):
            return self._memory[:length]
        self._memory.resize(length)
        return self._memory


def _stream_reader(handle: IO[bytes]) -> ReadInto:
    """The stream's readinto. Only the io module's own readers are taken at
    their word; for any other the room is zeroed first (a count within it
    cannot be told from a true one, and must not hand out the buffer's old
    bytes) and a count outside it is refused, as io.BufferedReader does."""
    if type(handle) in _EXACT_READERS:
        return handle.readinto
    readinto = getattr(handle, "readinto", None)

    def read_into(view: memoryview) -> int | None:
        if readinto is not None:
            np.frombuffer(view, np.uint8).fill(0)
            got = readinto(view)
        else:
            data = handle.read(len(view))
            got = None if data is None else len(data)
            if got is not None and got <= len(view):
                view[:got] = data
        if got is not None and not 0 <= got <= len(view):
            raise OSError(f"readinto() returned invalid length {got} (should have been between 0 and {len(view)})")
        return got

    return read_into


def _seekable(handle: IO[bytes]) -> bool:
    try:
        return bool(handle.seekable())
    except (AttributeError, OSError, ValueError):
        return False


def _check_size(length: int, max_size: int | None) -> None:
    if max_size is not None and length > max_size:
        raise ValueError(f"Packet larger than max_size: at least {length} bytes, max_size {max_size}")


def _cut_short(expected: int, read: int) -> ValueError:
    return ValueError(f"Packet cut short: expected at least {expected} bytes, read {read}")

