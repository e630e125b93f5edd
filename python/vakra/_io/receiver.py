"""``Receiver``: the packets of a socket or a binary stream, one per call,
keeping what it has read.

A receiver reads in large chunks (one read per message when the message is
there) and keeps the bytes of a partial or following packet for its next
call, so it also works on non-blocking sockets: when the stream has nothing
more, ``recv`` raises ``BlockingIOError`` and the next call continues where
that one stopped. The native ``PacketReader`` does the reading; this module
says how each kind of source is read.
"""

from __future__ import annotations

import io
import socket
from collections.abc import Callable
from typing import IO, Any, Union

import numpy as np

from .. import _native
from .._model.tree_packet import tree_of

__all__ = ["Receiver"]

Source = Union[socket.socket, IO[bytes]]
ReadInto = Callable[[memoryview], "int | None"]

_EXACT_READERS = (io.BufferedReader, io.BufferedRandom, io.BytesIO, io.FileIO)  # readinto counts what it wrote


class Receiver:
    """The packets of a socket or binary stream, one value per call, reading ahead.

    The receiver reads as much as the source holds (up to 64 KiB at a time,
    more for a large packet) and keeps the bytes past a packet for the next
    call: one read per message when the message is there, and nothing is lost
    when a read stops early. On a non-blocking socket :meth:`recv` raises
    ``BlockingIOError`` when the packet has not fully arrived, a socket with a
    timeout raises ``TimeoutError``; the next call continues, with every byte
    read so far. Read the stream only through the receiver once it has been
    given one: the bytes it keeps are no longer in the stream. Iterating gives
    the values until the stream ends.

    Uncompressed arrays are read-only views of the memory the receiver read
    them into, which is never written again; small packets share 64 KiB blocks
    of it, so an array kept alive keeps its block.

    Parameters
    ----------
    source : socket.socket or binary file object
        A connected stream socket, or a binary stream (a pipe,
        ``sock.makefile("rb")``, ``io.BytesIO``, ...).
    max_size : int, optional
        Refuse a packet declared larger than this many bytes (``ValueError``,
        checked from its header, before its body is read; the packet stays
        unread).
    writable : bool, default False
        Give writable arrays: views of each packet's own bytes.

    Raises
    ------
    EOFError
        From :meth:`recv` when the stream ends between packets.
    ValueError
        "Packet cut short" inside one, and the errors of :func:`load`.

    See Also
    --------
    recv : one packet, never reading past it.
    vakra.aio.packets : the same over asyncio streams.

    Examples
    --------
    >>> import socket
    >>> sender, receiving = socket.socketpair()
    >>> receiving.setblocking(False)
    >>> receiver = vakra.Receiver(receiving)
    >>> packet = vakra.dumps({"x": np.arange(3)})
    >>> _ = sender.send(packet[:20])
    >>> receiver.recv()
    Traceback (most recent call last):
    ...
    BlockingIOError: ...
    >>> _ = sender.send(packet[20:] + vakra.dumps(np.array(7)))
    >>> receiver.recv()["x"]
    array([0, 1, 2])
    >>> receiver.buffered
    72
    >>> sender.close()
    >>> list(receiver)
    [array(7)]
    """

    def __init__(self, source: Source, *, max_size: int | None = None, writable: bool = False) -> None:
        self._reader = packet_reader(source, True, max_size, bool(writable))
        self._next = self._reader.next  # bound once: small messages are received at the rate of a system call

    def recv(self) -> Any:
        """Receive the next packet and return its value.

        Returns
        -------
        object
            The packet's value (a checkpoint tree, for a tree's packet).

        Raises
        ------
        EOFError
            When the stream ends between packets.
        BlockingIOError, TimeoutError
            When the packet has not fully arrived on a non-blocking socket or one
            with a timeout; the next call continues.
        ValueError
            As :func:`load` raises it.

        Examples
        --------
        >>> import io
        >>> vakra.Receiver(io.BytesIO(vakra.dumps(np.arange(2)))).recv()
        array([0, 1])
        """
        return tree_of(self._next())

    def __iter__(self) -> Receiver:
        return self

    def __next__(self) -> Any:
        try:
            return tree_of(self._next())
        except EOFError:
            raise StopIteration from None

    @property
    def buffered(self) -> int:
        """Bytes read from the source and held for the packets still to come.

        Returns
        -------
        int
            The count of bytes held.

        Examples
        --------
        >>> import io
        >>> receiver = vakra.Receiver(io.BytesIO(vakra.dumps(np.array(1)) * 2))
        >>> receiver.recv(), receiver.buffered
        (array(1), 72)
        """
        return self._reader.buffered()


def packet_reader(source: Source, read_ahead: bool, max_size: int | None = None, writable: bool = False) -> Any:
    """A native PacketReader of `source`, with the limit and the kind of
    arrays of every packet it gives: the descriptor itself where the source
    is a plain one (a socket, a raw file), with the source's own read for the
    moments the descriptor would block (a socket's timeout), and only the
    source's read otherwise (buffered files keep bytes of their own, TLS
    sockets decrypt)."""
    if isinstance(source, socket.socket):
        fd = source.fileno() if type(source) is socket.socket else -1
        return _native.PacketReader(fd, source.recv_into, read_ahead, max_size, writable)
    if isinstance(source, io.TextIOBase):
        raise TypeError("file must be opened in binary mode ('rb'), not text mode")
    if type(source) is io.FileIO:
        return _native.PacketReader(source.fileno(), source.readinto, read_ahead, max_size, writable)
    return _native.PacketReader(-1, _checked_reader(source, read_ahead), read_ahead, max_size, writable)


def _checked_reader(handle: IO[bytes], read_ahead: bool) -> ReadInto:
    """The stream's readinto: readinto1 when reading ahead, where the stream
    has it, so that a read takes what is there rather than wait to fill the
    room (a buffered pipe's readinto waits for all of it). Only the io
    module's own readers are taken at their word; for any other the room is
    zeroed first (a count within it cannot be told from a true one, and must
    not hand out the buffer's old bytes; the reader refuses a count outside
    it, as io.BufferedReader does). A stream without `read` is refused
    (TypeError), as pickle refuses it."""
    suffix = "1" if read_ahead else ""
    readinto = getattr(handle, "readinto" + suffix, None) or getattr(handle, "readinto", None)
    if type(handle) in _EXACT_READERS:
        return readinto
    read = getattr(handle, "read" + suffix, None) or getattr(handle, "read", None)
    if read is None:
        raise TypeError(f"file must have a 'read' attribute (and may have 'readinto'), as binary file objects do; "
                        f"{type(handle).__name__!r} has no 'read'")

    def read_into(view: memoryview) -> int | None:
        if readinto is not None:
            np.frombuffer(view, np.uint8).fill(0)
            return readinto(view)
        data = read(len(view))
        if data is None:
            return None
        if len(data) <= len(view):
            view[:len(data)] = data
        return len(data)

    return read_into
