"""vakra.aio against a real asyncio server and clients on 127.0.0.1: several connections at once, bytes that
trickle in, a peer that hangs up inside a packet, max_size, and a recv cancelled halfway through a packet."""

from __future__ import annotations

import asyncio

import numpy as np
import pytest

import vakra
import vakra.aio
from samples import assert_same
from test_streams import ENCODED, PACKETS, VALUES


def run(main):
    return asyncio.run(asyncio.wait_for(main(), 60))


async def echo_server():
    async def echo(reader, writer):
        async for value in vakra.aio.packets(reader):
            await vakra.aio.send(writer, value)
        writer.close()

    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    return server, server.sockets[0].getsockname()[1]


def test_several_clients_at_once_get_every_kind_back():
    async def client(port):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        for value, options in PACKETS.values():
            await vakra.aio.send(writer, value, **options)
        values = [await vakra.aio.recv(reader) for _ in PACKETS]
        writer.write_eof()
        with pytest.raises(EOFError):
            await vakra.aio.recv(reader)
        writer.close()
        return values

    async def main():
        server, port = await echo_server()
        async with server:
            return await asyncio.gather(*(client(port) for _ in range(8)))

    for values in run(main):
        for expected, actual in zip(VALUES, values, strict=True):
            assert_same(expected, actual)


async def connected(feed):
    """A reader fed by `feed(writer)` over a real connection, and that feeding task."""
    accepted = asyncio.get_running_loop().create_future()
    server = await asyncio.start_server(lambda r, w: accepted.set_result((r, w)), "127.0.0.1", 0)
    _, writer = await asyncio.open_connection("127.0.0.1", server.sockets[0].getsockname()[1])
    reader, _ = await accepted
    server.close()
    return reader, asyncio.create_task(feed(writer))


async def trickle(writer, data, step=997, then_close=True):
    for start in range(0, len(data), step):
        writer.write(data[start:start + step])
        await writer.drain()
        await asyncio.sleep(0)
    if then_close:
        writer.close()


@pytest.mark.parametrize("data, expected", [
    (b"".join(ENCODED), None),
    (ENCODED[1] + ENCODED[0][:-5], "^Packet cut short: expected at least 400064 bytes, read 400059$"),
], ids=["trickled", "peer closes mid-packet"])
def test_trickled_bytes_and_a_peer_closing_inside_a_packet(data, expected):
    async def main():
        reader, feeding = await connected(lambda writer: trickle(writer, data))
        values = []
        try:
            async for value in vakra.aio.packets(reader, max_size=1 << 20):
                values.append(value)
        finally:
            await feeding
        return values

    if expected is None:
        for value, actual in zip(VALUES, run(main), strict=True):
            assert_same(value, actual)
    else:
        with pytest.raises(ValueError, match=expected):
            run(main)


def test_a_cancelled_or_refused_recv_leaves_the_reader_at_the_packet():
    async def main():
        packet = vakra.dumps(np.arange(50_000.0))
        half = asyncio.Event()

        async def feed(writer):
            await trickle(writer, packet[:len(packet) // 2], then_close=False)
            half.set()
            await asyncio.sleep(0.2)
            await trickle(writer, packet[len(packet) // 2:])

        reader, feeding = await connected(feed)
        await half.wait()
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(vakra.aio.recv(reader), 0.05)  # cancelled with half the packet in
        with pytest.raises(ValueError, match="^Packet larger than max_size: at least 400064 bytes"):
            await vakra.aio.recv(reader, max_size=1000)
        value = await vakra.aio.recv(reader, writable=True)
        await feeding
        return value

    value = run(main)
    np.testing.assert_array_equal(value, np.arange(50_000.0))
    assert value.flags.writeable
