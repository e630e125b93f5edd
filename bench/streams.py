"""Streams and sockets: vakra.send/recv against the raw socket calls, and
what reading one entry of a large mapped file costs in disk reads.

    .venv/bin/python bench/streams.py [--dir DIR] [--repeat N] [--round-trips N] [--skip-file]

Over loopback TCP, with the peer in a forked process:
- throughput of one 64 MiB float32 array: vakra.send/recv against
  sock.sendall(array) / recv_into a buffer of the known size, each acknowledged
  with one byte;
- 4 KiB round trips: an echo peer answering vakra.recv/send, against one
  answering recv_into/sendall of exactly 4096 bytes (raw), and one reading
  an 8-byte length prefix and then the payload (framed: what a raw protocol
  needs when sizes vary; shown for reference).
Then a 1 GiB file holding a dict of 64 arrays of 16 MiB is written under DIR
(default: build/ in the repository), dropped from the page cache with
posix_fadvise(DONTNEED), and one entry is loaded and summed; the bytes this
process read from storage come from /proc/self/io. The same read through a
mapping without random-access advice is shown for comparison. The file is
deleted afterwards. Writes results/streams.md.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import socket
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import vakra

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
    for _ in range(count):
        if mode == "vakra":
            vakra.recv(sock)
        else:
            raw_receive(sock, BIG)
        sock.sendall(b"k")


def framed_send(sock: socket.socket, payload) -> None:
    sock.sendmsg([len(payload).to_bytes(8, "little"), payload])


def framed_receive(sock: socket.socket) -> np.ndarray:
    return raw_receive(sock, int.from_bytes(raw_receive(sock, 8), "little"))


def echo(sock: socket.socket, mode: str, count: int) -> None:
    for _ in range(count):
        if mode == "vakra":
            vakra.send(sock, vakra.recv(sock))
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
        for _ in range(count):
            start = time.perf_counter()
            if mode == "vakra":
                vakra.send(client, array)
                vakra.recv(client)
            elif mode == "framed":
                framed_send(client, raw)
                framed_receive(client)
            else:
                client.sendall(raw)
                raw_receive(client, SMALL)
            seconds.append(time.perf_counter() - start)
        return seconds

    return with_peer(echo, mode, count, run)


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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", type=Path, default=HERE.parent / "build")
    parser.add_argument("--repeat", type=int, default=5, help="alternations of raw and vakra runs")
    parser.add_argument("--round-trips", type=int, default=1000, help="round trips per run")
    parser.add_argument("--skip-file", action="store_true")
    args = parser.parse_args(argv)

    lines = ["# streams and sockets", "", f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}", ""]
    lines += ["| measurement | raw socket calls | vakra | vakra / raw | framed raw (reference) |",
              "|---|---|---|---|---|"]
    # The modes alternate, so that bursts of background load hit all alike.
    for label, run, count, rate, modes in [
            ("64 MiB float32, one way, MB/s (median / best)", throughput, 3, lambda t: BIG / 1e6 / t,
             ("raw", "vakra")),
            ("4 KiB round trips per second (median / best)", round_trips, args.round_trips, lambda t: 1 / t,
             ("raw", "vakra", "framed"))]:
        seconds = {mode: [] for mode in modes}
        for _ in range(args.repeat):
            for mode in seconds:
                seconds[mode] += run(mode, count)
        median = {mode: rate(statistics.median(values)) for mode, values in seconds.items()}
        best = {mode: rate(min(values)) for mode, values in seconds.items()}
        framed = f"{median['framed']:.0f} / {best['framed']:.0f}" if "framed" in seconds else ""
        lines.append(f"| {label} | {median['raw']:.0f} / {best['raw']:.0f} | {median['vakra']:.0f} / "
                     f"{best['vakra']:.0f} | {median['vakra'] / median['raw']:.2f} / {best['vakra'] / best['raw']:.2f} "
                     f"| {framed} |")
        print(lines[-1], flush=True)
    if not args.skip_file:
        args.dir.mkdir(parents=True, exist_ok=True)
        lines += ["", f"One 16 MiB entry of a {ENTRIES * ENTRY >> 20} MiB dict file, page cache dropped for the file:", "",
                  "| read | bytes read from storage | / entry size |", "|---|---|---|"]
        for label, count in one_entry_of_a_large_file(args.dir):
            lines.append(f"| {label} | {count / (1 << 20):.1f} MiB | {count / ENTRY:.2f} |")
            print(lines[-1], flush=True)
    out = HERE / "results" / "streams.md"
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
