"""Streams, sockets and unmapped file reads: vakra against the raw calls.

    .venv/bin/python bench/streams.py [--dir DIR] [--repeat N] [--round-trips N] [--skip-file]

1. A 4 KiB ping on a socket pair, in one thread: each message sent, then
   received. sock.sendall(array) and recv_into a fresh array of the known
   size (raw) against vakra.send and a vakra.Receiver, and vakra.send with
   vakra.recv. Per message: the median of 30 samples of 2,000 messages taken
   round-robin, as thread CPU time (the work itself, whatever else the
   shared machine runs) and as wall time.
2. asyncio over loopback TCP, the peer in a forked process with its own
   event loop: a 64 MiB float32 array one way, acknowledged with one byte
   (raw: an 8-byte length and the bytes, read with StreamReader.readexactly;
   vakra: vakra.aio.send and vakra.aio.recv), and 1,000 connections each
   making one 4 KiB round trip at once against an echo peer (raw: the same
   length-prefixed protocol; vakra: vakra.aio.packets and vakra.aio.send).
3. Over loopback TCP with a forked peer, blocking sockets: one 64 MiB
   float32 array (vakra.send / a Receiver against sendall / recv_into a
   buffer of the known size) and 4 KiB round trips against an echo peer
   (raw: recv_into / sendall of exactly 4096 bytes; framed: an 8-byte
   length prefix, what a raw protocol needs when sizes vary).
4. Reading files without mapping them, from tmpfs (/dev/shm): a 300 KB
   bundle (an image, features, a mask and labels, as a data loader reads
   them) with vakra.load(mmap=False) against open().read() + vakra.loads,
   and a 415 MiB float32 array against one readinto of the file into a
   fresh array (bench/timing.py medians, round-robin).
5. Unless --skip-file: a 1 GiB file holding a dict of 64 arrays of 16 MiB
   under DIR (default: build/ in the repository), dropped from the page
   cache with posix_fadvise(DONTNEED); one entry is loaded and summed, and
   /proc/self/io tells how many bytes came from storage, against a mapping
   without random-access advice.

Every comparison alternates its modes, so that bursts of background load
hit all alike. Writes results/streams.md.
"""

from __future__ import annotations

import argparse
import asyncio
import multiprocessing
import os
import socket
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import timing  # noqa: E402

import vakra  # noqa: E402
import vakra.aio  # noqa: E402

HERE = Path(__file__).resolve().parent
BIG = 64 << 20
SMALL = 4096
ENTRY = 16 << 20
ENTRIES = 64


def connected_pair() -> tuple[socket.socket, socket.socket]:
    with socket.create_server(("127.0.0.1", 0)) as listener:
        client = socket.create_connection(listener.getsockname())
        server, _ = listener.accept()
    for sock in (client, server):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return client, server


def raw_receive(sock: socket.socket, size: int) -> np.ndarray:
    buffer = np.empty(size, np.uint8)
    view, have = memoryview(buffer), 0
    while have < size:
        got = sock.recv_into(view[have:])
        if not got:
            raise EOFError
        have += got
    return buffer


def sink(sock: socket.socket, mode: str, count: int) -> None:
    """The peer of the throughput runs: receives `count` arrays, acknowledging each."""
    receiver = vakra.Receiver(sock)
    for _ in range(count):
        if mode == "vakra":
            receiver.recv()
        else:
            raw_receive(sock, BIG)
        sock.sendall(b"k")


def framed_send(sock: socket.socket, payload) -> None:
    sock.sendmsg([len(payload).to_bytes(8, "little"), payload])


def framed_receive(sock: socket.socket) -> np.ndarray:
    return raw_receive(sock, int.from_bytes(raw_receive(sock, 8), "little"))


def echo(sock: socket.socket, mode: str, count: int) -> None:
    receiver = vakra.Receiver(sock)
    for _ in range(count):
        if mode == "vakra":
            vakra.send(sock, receiver.recv())
        elif mode == "framed":
            framed_send(sock, framed_receive(sock))
        else:
            sock.sendall(raw_receive(sock, SMALL))


def with_peer(peer, mode: str, count: int, body) -> list[float]:
    client, server = connected_pair()
    process = multiprocessing.get_context("fork").Process(target=peer, args=(server, mode, count))
    process.start()
    server.close()
    try:
        return body(client)
    finally:
        client.close()
        process.join()


def throughput(mode: str, repeat: int) -> list[float]:
    array = np.random.default_rng(0).standard_normal(BIG // 4).astype(np.float32)

    def run(client: socket.socket) -> list[float]:
        seconds = []
        for _ in range(repeat):
            start = time.perf_counter()
            if mode == "vakra":
                vakra.send(client, array)
            else:
                client.sendall(array)
            client.recv(1)
            seconds.append(time.perf_counter() - start)
        return seconds

    return with_peer(sink, mode, repeat, run)


def round_trips(mode: str, count: int) -> list[float]:
    array = np.arange(SMALL // 8, dtype=np.float64)
    raw = array.view(np.uint8)

    def run(client: socket.socket) -> list[float]:
        seconds = []
        receiver = vakra.Receiver(client)
        for _ in range(count):
            start = time.perf_counter()
            if mode == "vakra":
                vakra.send(client, array)
                receiver.recv()
            elif mode == "framed":
                framed_send(client, raw)
                framed_receive(client)
            else:
                client.sendall(raw)
                raw_receive(client, SMALL)
            seconds.append(time.perf_counter() - start)
        return seconds

    return with_peer(echo, mode, count, run)


def ping(rounds: int = 30, count: int = 2000) -> dict[str, tuple[float, float]]:
    """Median microseconds per 4 KiB message sent and received on a socket pair in one thread: (CPU, wall)."""
    array = np.arange(SMALL // 8, dtype=np.float64)
    pairs = [socket.socketpair() for _ in range(3)]

    def raw(sender: socket.socket, receiver: socket.socket) -> None:
        for _ in range(count):
            sender.sendall(array)
            receiver.recv_into(np.empty(SMALL, np.uint8))

    def with_receiver(sender: socket.socket, receiver: vakra.Receiver) -> None:
        for _ in range(count):
            vakra.send(sender, array)
            receiver.recv()

    def with_recv(sender: socket.socket, receiver: socket.socket) -> None:
        for _ in range(count):
            vakra.send(sender, array)
            vakra.recv(receiver)

    modes = {"raw": (raw, *pairs[0]), "vakra.send + Receiver": (with_receiver, pairs[1][0], vakra.Receiver(pairs[1][1])),
             "vakra.send + vakra.recv": (with_recv, *pairs[2])}
    cpu: dict[str, list[float]] = {mode: [] for mode in modes}
    wall: dict[str, list[float]] = {mode: [] for mode in modes}
    for _ in range(rounds):
        for mode, (run, sender, receiver) in modes.items():
            cpu_start, wall_start = time.thread_time(), time.perf_counter()
            run(sender, receiver)
            cpu[mode].append((time.thread_time() - cpu_start) / count * 1e6)
            wall[mode].append((time.perf_counter() - wall_start) / count * 1e6)
    for pair in pairs:
        for sock in pair:
            sock.close()
    return {mode: (statistics.median(cpu[mode]), statistics.median(wall[mode])) for mode in modes}


async def _serve(listener: socket.socket, handle) -> None:
    """Serves `listener` until one connection's `handle` has finished."""
    finished = asyncio.Event()

    async def serve_one(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        try:
            await handle(reader, writer)
        finally:
            writer.close()
            finished.set()

    server = await asyncio.start_server(serve_one, sock=listener, backlog=2048)
    async with server:
        await finished.wait()


def aio_peer(listener: socket.socket, mode: str, count: int) -> None:
    """The forked asyncio peer: `count` 64 MiB arrays acknowledged (count > 0), or an echo of 4 KiB messages on
    every connection until the client closes them (count == 0)."""
    async def sink_arrays(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        for _ in range(count):
            if mode == "vakra":
                await vakra.aio.recv(reader)
            else:
                await reader.readexactly(int.from_bytes(await reader.readexactly(8), "little"))
            writer.write(b"k")
            await writer.drain()

    async def echo_messages(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        if mode == "vakra":
            async for value in vakra.aio.packets(reader):
                await vakra.aio.send(writer, value)
            return
        while True:
            try:
                prefix = await reader.readexactly(8)
            except asyncio.IncompleteReadError:  # the client closed the connection
                return
            writer.write(prefix)
            writer.write(await reader.readexactly(int.from_bytes(prefix, "little")))
            await writer.drain()

    async def main() -> None:
        if count:
            await _serve(listener, sink_arrays)
            return
        server = await asyncio.start_server(echo_messages, sock=listener, backlog=2048)
        async with server:
            await asyncio.sleep(3600)  # ended by the parent once its rounds are done

    asyncio.run(main())


def aio_throughput(mode: str, count: int) -> list[float]:
    array = np.random.default_rng(0).standard_normal(BIG // 4).astype(np.float32)

    async def client(port: int) -> list[float]:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        seconds = []
        for _ in range(count):
            start = time.perf_counter()
            if mode == "vakra":
                await vakra.aio.send(writer, array)
            else:
                writer.write(BIG.to_bytes(8, "little"))
                writer.write(memoryview(array).cast("B"))
                await writer.drain()
            await reader.readexactly(1)
            seconds.append(time.perf_counter() - start)
        writer.close()
        return seconds

    return _with_aio_peer(mode, count, client)


def aio_concurrent_round_trips(mode: str, rounds: int, connections: int = 1000) -> list[float]:
    """Seconds per batch of `connections` round trips made at once, one per connection."""
    array = np.arange(SMALL // 8, dtype=np.float64)
    payload = memoryview(array).cast("B")

    async def round_trip(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        if mode == "vakra":
            await vakra.aio.send(writer, array)
            await vakra.aio.recv(reader)
        else:
            writer.write(SMALL.to_bytes(8, "little"))
            writer.write(payload)
            await writer.drain()
            await reader.readexactly(int.from_bytes(await reader.readexactly(8), "little"))

    async def client(port: int) -> list[float]:
        pairs = await asyncio.gather(*(asyncio.open_connection("127.0.0.1", port) for _ in range(connections)))
        seconds = []
        for _ in range(rounds):
            start = time.perf_counter()
            await asyncio.gather(*(round_trip(reader, writer) for reader, writer in pairs))
            seconds.append(time.perf_counter() - start)
        for _, writer in pairs:
            writer.close()
        return seconds

    return _with_aio_peer(mode, 0, client)


def _with_aio_peer(mode: str, count: int, client) -> list[float]:
    listener = socket.create_server(("127.0.0.1", 0), backlog=2048)
    process = multiprocessing.get_context("fork").Process(target=aio_peer, args=(listener, mode, count))
    process.start()
    try:
        return asyncio.run(client(listener.getsockname()[1]))
    finally:
        listener.close()
        if count == 0:
            process.terminate()
        process.join()


def loader_bundle() -> dict[str, np.ndarray]:
    """About 300 KB, as a data loader reads one sample: an image, features, a mask and labels."""
    rng = np.random.default_rng(2)
    return {"image": rng.integers(0, 256, (224, 224, 3), dtype=np.uint8),
            "features": rng.standard_normal((256, 96)).astype(np.float32),
            "mask": rng.random((224, 224)) < 0.5, "labels": np.arange(10, dtype=np.int64)}


def read_then_loads(path: Path):
    with open(path, "rb") as handle:
        return vakra.loads(handle.read())


def one_readinto(path: Path) -> np.ndarray:
    with open(path, "rb", buffering=0) as handle:
        buffer = np.empty(os.fstat(handle.fileno()).st_size, np.uint8)
        handle.readinto(buffer)
        return buffer


def unmapped_files() -> list[tuple[str, str, float, float]]:
    """(label, baseline name, baseline ns, vakra ns) for files read without mapping them, on tmpfs."""
    load_unmapped = lambda path: vakra.load(path, mmap=False)  # noqa: E731
    rows = []
    with tempfile.TemporaryDirectory(dir="/dev/shm") as work:
        small, large = Path(work) / "bundle.vkr", Path(work) / "large.vkr"
        vakra.dump(loader_bundle(), small)
        vakra.dump(np.random.default_rng(3).standard_normal(415 * (1 << 20) // 4).astype(np.float32), large)
        for label, path, baseline, name, rounds, sample_ns in [
                (f"{small.stat().st_size / 1e3:.0f} KB bundle", small, read_then_loads, "open().read() + vakra.loads",
                 41, 20_000_000),
                (f"{large.stat().st_size / (1 << 20):.0f} MiB float32 array", large, one_readinto,
                 "one readinto into a fresh array", 9, 1)]:
            times = timing.measure({name: (baseline, path), "vakra": (load_unmapped, path)}, rounds, sample_ns)
            rows.append((label, name, times[name], times["vakra"]))
    return rows


def read_bytes() -> int:
    with open("/proc/self/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("read_bytes:"))


def evict(path: Path) -> None:
    with open(path, "rb+") as handle:
        os.fsync(handle.fileno())
        os.posix_fadvise(handle.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)


def one_entry_of_a_large_file(directory: Path) -> list[tuple[str, int]]:
    entry = np.random.default_rng(1).standard_normal(ENTRY // 4).astype(np.float32)
    with tempfile.TemporaryDirectory(dir=directory) as work:
        path = Path(work) / "big.vkr"
        vakra.dump({f"w{i:02d}": entry for i in range(ENTRIES)}, path)
        rows = []
        for label, load in (("vakra.load (random-access advice)", vakra.load),
                            ("mapping without advice + vakra.loads", _load_without_advice)):
            evict(path)
            before = read_bytes()
            value = load(path)
            assert np.array_equal(value["w31"], entry)
            rows.append((label, read_bytes() - before))
            del value
        return rows


def _load_without_advice(path: Path):
    import mmap

    with open(path, "rb") as handle:
        return vakra.loads(mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ))


def emit(lines: list[str], *rows: str) -> None:
    lines.extend(rows)
    print("\n".join(rows), flush=True)


def alternated(run, modes: tuple[str, ...], repeat: int, *args) -> dict[str, list[float]]:
    """The samples of `run(mode, *args)` for each mode, the modes taking turns."""
    samples: dict[str, list[float]] = {mode: [] for mode in modes}
    for _ in range(repeat):
        for mode in modes:
            samples[mode] += run(mode, *args)
    return samples


def rate_row(label: str, samples: dict[str, list[float]], rate) -> str:
    median = {mode: rate(statistics.median(values)) for mode, values in samples.items()}
    best = {mode: rate(min(values)) for mode, values in samples.items()}
    framed = f"{median['framed']:.0f} / {best['framed']:.0f}" if "framed" in samples else ""
    return (f"| {label} | {median['raw']:.0f} / {best['raw']:.0f} | {median['vakra']:.0f} / {best['vakra']:.0f} | "
            f"{median['vakra'] / median['raw']:.2f} / {best['vakra'] / best['raw']:.2f} | {framed} |")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", type=Path, default=HERE.parent / "build")
    parser.add_argument("--repeat", type=int, default=5, help="alternations of raw and vakra runs")
    parser.add_argument("--round-trips", type=int, default=1000, help="round trips per run")
    parser.add_argument("--skip-file", action="store_true")
    args = parser.parse_args(argv)

    lines = ["# streams and sockets", "", f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} "
             "(a machine shared with other work: compare ratios within one run)", ""]
    emit(lines, "4 KiB ping on a socket pair, one thread, µs per message (median; target: raw / vakra at least 0.8):",
         "", "| send + receive | thread CPU | wall | raw / this (CPU, wall) |", "|---|---|---|---|")
    pings = ping()
    raw_cpu, raw_wall = pings["raw"]
    for mode, (cpu, wall) in pings.items():
        emit(lines, f"| {mode} | {cpu:.2f} | {wall:.2f} | {raw_cpu / cpu:.2f}, {raw_wall / wall:.2f} |")

    emit(lines, "", "asyncio over loopback TCP, a forked peer (targets: 64 MiB at least 0.9, 1,000 round trips at "
         "least 0.8):", "", "| measurement | raw (readexactly) | vakra.aio | vakra / raw (median / best) | |",
         "|---|---|---|---|---|")
    emit(lines, rate_row("64 MiB float32, one way, MB/s (median / best)",
                         alternated(aio_throughput, ("raw", "vakra"), args.repeat, 3), lambda t: BIG / 1e6 / t))
    emit(lines, rate_row("1,000 connections, one 4 KiB round trip each at once: round trips per second",
                         alternated(aio_concurrent_round_trips, ("raw", "vakra"), args.repeat, 5),
                         lambda t: 1000 / t))

    emit(lines, "", "Blocking sockets over loopback TCP, a forked peer (vakra: send and a Receiver):", "",
         "| measurement | raw socket calls | vakra | vakra / raw (median / best) | framed raw (reference) |",
         "|---|---|---|---|---|")
    emit(lines, rate_row("64 MiB float32, one way, MB/s (median / best)",
                         alternated(throughput, ("raw", "vakra"), args.repeat, 3), lambda t: BIG / 1e6 / t))
    emit(lines, rate_row("4 KiB round trips per second (median / best)",
                         alternated(round_trips, ("raw", "vakra", "framed"), args.repeat, args.round_trips),
                         lambda t: 1 / t))

    emit(lines, "", "Files read without mapping them, on tmpfs (median; target: baseline / vakra at least 0.9):", "",
         "| file | baseline | baseline | vakra.load(mmap=False) | baseline / vakra |", "|---|---|---|---|---|")
    for label, name, baseline, mine in unmapped_files():
        emit(lines, f"| {label} | {name} | {baseline / 1e3:.1f} µs | {mine / 1e3:.1f} µs | {baseline / mine:.2f} |")

    if not args.skip_file:
        args.dir.mkdir(parents=True, exist_ok=True)
        emit(lines, "", f"One 16 MiB entry of a {ENTRIES * ENTRY >> 20} MiB dict file, page cache dropped for the "
             "file:", "", "| read | bytes read from storage | / entry size |", "|---|---|---|")
        for label, count in one_entry_of_a_large_file(args.dir):
            emit(lines, f"| {label} | {count / (1 << 20):.1f} MiB | {count / ENTRY:.2f} |")
    out = HERE / "results" / "streams.md"
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
