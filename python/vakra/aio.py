"""vakra over asyncio streams: ``recv`` and ``send`` on an
``asyncio.StreamReader`` / ``StreamWriter`` pair, and ``packets``, an async
iterator over the packets a reader delivers::

    reader, writer = await asyncio.open_connection(host, port)
    await vakra.aio.send(writer, {"x": np.arange(10)})
    async for value in vakra.aio.packets(reader):
        ...

A packet is measured in the bytes the reader has buffered and taken from it
only once it has arrived whole, so a ``recv`` that is cancelled (by
``asyncio.wait_for``'s timeout, say) consumes nothing and leaves the reader
at the packet's first byte, as a refused ``max_size`` does.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator
from typing import Any

import numpy as np

from . import _native
from ._encoding import convert
from ._io.packets import loads
from ._model.tree_packet import encoded

__all__ = ["recv", "send", "packets"]

_packet_meter = _native.packet_meter
_measure = _native.measure
_encode = _native.encode
_encode_segments = _native.encode_segments
_SMALL = 64 << 10  # arrays up to this size go out as one bytes object: one write instead of two


async def recv(reader: asyncio.StreamReader, *, max_size: int | None = None, writable: bool = False) -> Any:
    """Receive one packet from ``reader`` and return its value.

    Only a decoded or undecodable packet is taken from the reader: after any
    other error, or a cancellation (by ``asyncio.wait_for``'s timeout, say), the
    reader is still at the packet's first byte. Two coroutines may not read one
    reader at once (``RuntimeError``).

    Parameters
    ----------
    reader : asyncio.StreamReader
        The stream to read.
    max_size : int, optional
        Refuse a packet declared larger than this many bytes, checked from its
        header before its body is awaited.
    writable : bool, default False
        Give writable arrays (views when the packet was all the reader held,
        else copies); otherwise uncompressed arrays view the packet's bytes
        read-only.

    Returns
    -------
    object
        The packet's value.

    Raises
    ------
    EOFError
        When the stream ends before a packet starts.
    ValueError
        "Packet cut short: expected at least N bytes, read M" when it ends
        inside one; a packet larger than ``max_size``; the errors of
        :func:`vakra.loads` for a packet that arrived whole but does not decode
        (it is consumed).
    OSError
        What the reader raises (a lost connection).

    Examples
    --------
    >>> import asyncio, socket, vakra.aio
    >>> async def round_trip(value):
    ...     left, right = socket.socketpair()
    ...     _, writer = await asyncio.open_connection(sock=left)
    ...     reader, other_writer = await asyncio.open_connection(sock=right)
    ...     length = await vakra.aio.send(writer, value)
    ...     received = await asyncio.wait_for(vakra.aio.recv(reader), 5)
    ...     for each in (writer, other_writer):
    ...         each.close()
    ...         await each.wait_closed()
    ...     return length, received
    >>> asyncio.run(round_trip({"x": np.arange(3)}))
    (107, {'x': array([0, 1, 2])})
    """
    held = _held_bytes(reader)
    meter = _packet_meter()
    total = 1  # the bytes that must be there before the packet is measured again
    while True:
        if len(held) >= total:
            complete, length = _measure(meter, held)
            total = length if complete else len(held) + length
            if max_size is not None and total > max_size:
                raise ValueError(f"Packet larger than max_size: at least {total} bytes, max_size {max_size}")
            if complete:
                return loads(_take(reader, held, length), writable=writable)
        error = reader.exception()
        if error is not None:
            raise error
        if reader._eof:  # noqa: SLF001 (see _held_bytes)
            if not held:
                raise EOFError("no packet: the stream ended")
            raise ValueError(f"Packet cut short: expected at least {total} bytes, read {len(held)}")
        await reader._wait_for_data("vakra.aio.recv")  # noqa: SLF001 (see _held_bytes)
        if reader._buffer is not held:  # noqa: SLF001: another coroutine took a packet meanwhile; start over
            held, meter, total = _held_bytes(reader), _packet_meter(), 1


async def send(writer: asyncio.StreamWriter, obj: Any, *, check_integrity: bool = False, compress: bool = False,
               alignment: int = 64) -> int:
    """Send ``obj`` as one packet through ``writer`` and wait until it has drained.

    The packet goes to the writer as its segments: array bodies are the arrays'
    own memory, never joined into one ``bytes`` (the transport copies what the
    socket does not take at once, as it does for any ``write``). Once this
    returns, or is cancelled while it waits, the whole packet is with the
    writer.

    Parameters
    ----------
    writer : asyncio.StreamWriter
        The stream to write.
    obj : object
        Any value :func:`vakra.dumps` takes.
    check_integrity, compress, alignment
        As for :func:`vakra.dumps`.

    Returns
    -------
    int
        The packet's length in bytes.

    Raises
    ------
    TypeError, ValueError
        As :func:`vakra.dumps` raises them.
    OSError
        What the writer raises.

    Examples
    --------
    >>> import asyncio, socket, vakra.aio
    >>> async def send_two():
    ...     left, right = socket.socketpair()
    ...     _, writer = await asyncio.open_connection(sock=left)
    ...     reader, other_writer = await asyncio.open_connection(sock=right)
    ...     received = asyncio.ensure_future(vakra.aio.recv(reader))  # reads while the large one is sent
    ...     sizes = [await vakra.aio.send(writer, np.zeros(n)) for n in (100_000, 1)]
    ...     first, second = await received, await vakra.aio.recv(reader)
    ...     for each in (writer, other_writer):
    ...         each.close()
    ...         await each.wait_closed()
    ...     return sizes, first.shape, second.shape
    >>> asyncio.run(send_two())
    ([800064, 72], (100000,), (1,))
    """
    flags = (bool(check_integrity), bool(compress), alignment, convert)
    if type(obj) is np.ndarray and obj.nbytes <= _SMALL:
        packet = _encode(obj, *flags)
        writer.write(packet)
        length = len(packet)
    else:
        segments = encoded(_encode_segments, obj, *flags)
        for segment in segments:  # writelines would join them into one bytes object first
            writer.write(segment)
        length = sum(map(len, segments))
    await writer.drain()
    return length


async def packets(reader: asyncio.StreamReader, *, max_size: int | None = None,
                  writable: bool = False) -> AsyncIterator[Any]:
    """The values of the packets ``reader`` delivers, until the stream ends.

    The stream may end only between two packets; the options and errors are
    those of :func:`recv`.

    Parameters
    ----------
    reader : asyncio.StreamReader
        The stream to read.
    max_size, writable
        As for :func:`recv`.

    Yields
    ------
    object
        Each packet's value.

    Raises
    ------
    ValueError
        As :func:`recv` raises it, for a packet cut short or damaged.

    Examples
    --------
    >>> import asyncio, vakra.aio
    >>> async def values():
    ...     reader = asyncio.StreamReader()
    ...     reader.feed_data(vakra.dumps(np.arange(3)) + vakra.dumps(["a", "b"]))
    ...     reader.feed_eof()
    ...     return [value async for value in vakra.aio.packets(reader)]
    >>> asyncio.run(values())
    [array([0, 1, 2]), StringTensor(['a', 'b'])]
    """
    while True:
        try:
            value = await recv(reader, max_size=max_size, writable=writable)
        except EOFError:
            return
        yield value


def _take(reader: asyncio.StreamReader, held: bytearray, length: int) -> bytes | bytearray:
    """The first `length` bytes `reader` holds, taken from it without waiting
    (no cancellation can fall between the measure and the take): the held
    bytearray itself when it is exactly the packet (no copy; the reader gets
    a new one), else a copy, as readexactly makes."""
    if length == len(held):
        reader._buffer = bytearray()  # noqa: SLF001 (see _held_bytes)
        reader._maybe_resume_transport()  # noqa: SLF001
        return held
    packet = bytes(memoryview(held)[:length])
    del held[:length]
    reader._maybe_resume_transport()  # noqa: SLF001
    return packet


def _held_bytes(reader: asyncio.StreamReader) -> bytearray:
    """The bytes `reader` has received and not yet handed out.

    asyncio offers no way to look at them without consuming them, and reading
    a packet in pieces would leave the stream inside a packet whenever a wait
    is cancelled. So ``recv`` uses members of ``asyncio.StreamReader`` that it
    has had since Python 3.4: ``_buffer`` (this bytearray, extended as data
    arrives; only ``recv`` replaces it, when it takes all of it), ``_eof``,
    ``_wait_for_data`` and ``_maybe_resume_transport``, as readexactly does.
    """
    held = getattr(reader, "_buffer", None)
    members = ("_wait_for_data", "_eof", "_maybe_resume_transport")
    if not isinstance(held, bytearray) or not all(hasattr(reader, name) for name in members):
        raise TypeError(f"vakra.aio reads asyncio.StreamReader objects, not {type(reader).__name__}")
    return held
